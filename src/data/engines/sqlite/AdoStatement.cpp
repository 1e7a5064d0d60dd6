// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/AdoStatement.h"

#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/store/AdoBackend.h"

#include <QStringDecoder>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sqlite3.h>
#include <sys/resource.h>

namespace varozidi::ado {

QVariant Utf8Value(QByteArray bytes) {
    // Code that asks any value for its text gets this one's too.
    static const bool converts =
        QMetaType::registerConverter<Utf8Bytes, QString>([](const Utf8Bytes& text) {
            return ExactUtf8(text.bytes).value_or(QString::fromUtf8(text.bytes));
        });
    Q_UNUSED(converts);
    return QVariant::fromValue(Utf8Bytes{std::move(bytes)});
}

const QByteArray* Utf8BytesOf(const QVariant& value) {
    return value.metaType() == QMetaType::fromType<Utf8Bytes>()
               ? &static_cast<const Utf8Bytes*>(value.constData())->bytes
               : nullptr;
}

namespace {

// A write the file-size limit refuses comes back as a short write (SQLITE_FULL) or a bare
// write error, and errno is gone by then; name the limit when one is set.
QString sizeLimitReached() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return {};
    return QStringLiteral("the file has reached the largest size allowed (%1 bytes)")
        .arg(qulonglong(limit.rlim_cur));
}

// SQLite says "full" as well when the table's IDs have run out, which no free disk space mends.
bool idsUsedUp(sqlite3* db) {
    sqlite3_stmt* s = nullptr;
    if (!db || sqlite3_prepare_v2(db, "SELECT max(ID) FROM varozidi", -1, &s, nullptr) != SQLITE_OK)
        return false;
    const bool used = sqlite3_step(s) == SQLITE_ROW &&
                      sqlite3_column_int64(s, 0) == std::numeric_limits<sqlite3_int64>::max();
    sqlite3_finalize(s);
    return used;
}

// The system's words for err, as the rest of a sentence.
QString systemWords(int err) {
    QString words = QString::fromLocal8Bit(std::strerror(err));
    if (!words.isEmpty())
        words[0] = words[0].toLower();
    return words;
}

bool isWriteError(int extended) {
    switch (extended) {
    case SQLITE_IOERR_WRITE:
    case SQLITE_IOERR_FSYNC:
    case SQLITE_IOERR_DIR_FSYNC:
    case SQLITE_IOERR_TRUNCATE:
    case SQLITE_IOERR_DELETE:
        return true;
    default:
        return false;
    }
}

// A collection the disk fails to read may well be sound: the user is to save it before trying
// anything (a restore of an old backup would throw it away). A file being made holds nothing.
QString unreadable(int err, bool newFile) {
    const QString failed = QStringLiteral("the disk could not be read (%1)").arg(systemWords(err));
    return newFile ? failed
                   : failed + QStringLiteral(": the collection may be sound; copy it "
                                             "elsewhere before anything else");
}

// A write transaction a read failed in keeps failing with SQLite's "malformed" (its pager stays
// in the error state) until it is rolled back: those later errors are that read's too.
thread_local sqlite3* failedIn = nullptr;
thread_local int failedWith = 0;
thread_local bool failedOnNewFile = false;

// What an I/O error was, by the system's error where SQLite kept it.
QString ioReason(int system, int extended, const QString& own, bool& disk) {
    // The system's reason, where SQLite still has it, says more than "disk I/O error".
    switch (system) {
    case ENOSPC:
    case EDQUOT:
        return QStringLiteral("the disk is full");
    case EIO:
        disk = true;
        if (isWriteError(extended))
            return QStringLiteral("the disk could not be written (input/output error)");
        if (extended == SQLITE_IOERR_READ || extended == SQLITE_IOERR_SHORT_READ ||
            extended == SQLITE_IOERR_FSTAT)
            return unreadable(EIO, false);
        return QStringLiteral("a disk error occurred (input/output error)");
    case 0:
        return QStringLiteral("a disk error occurred (%1)").arg(own);
    default:
        return QStringLiteral("a disk error occurred (%1)").arg(systemWords(system));
    }
}

QString reasonFor(sqlite3* db, int rc, bool& disk) {
    const QString own =
        db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
    const int extended = db ? sqlite3_extended_errcode(db) : rc;
    const int noted = TakeSystemFailure();
    const int system = db && sqlite3_system_errno(db) != 0 ? sqlite3_system_errno(db) : noted;
    int unread = ReadFailure();
    bool newFile = ReadFailureOfNewFile();
    ClearReadFailure();
    if (unread != 0) {
        failedIn = db;
        failedWith = unread;
        failedOnNewFile = newFile;
    } else if (db && db == failedIn && sqlite3_get_autocommit(db) == 0) {
        unread = failedWith;
        newFile = failedOnNewFile;
    } else {
        failedIn = nullptr;
    }
    disk = false;
    if ((rc & 0xff) == SQLITE_FULL && idsUsedUp(db))
        return QStringLiteral("the collection has no IDs left (a snippet holds the highest ID "
                              "there can be)");
    const QString limit =
        (rc & 0xff) == SQLITE_FULL || extended == SQLITE_IOERR_WRITE || system == EFBIG
            ? sizeLimitReached()
            : QString();
    if (!limit.isEmpty())
        return limit;
    // SQLite reports a read the disk refused as damage to the file, or as a bare I/O error.
    const int code = rc & 0xff;
    if (unread != 0 && (code == SQLITE_CORRUPT || code == SQLITE_NOTADB ||
                        (code == SQLITE_IOERR && !isWriteError(extended)))) {
        disk = true;
        return unreadable(unread, newFile);
    }
    switch (code) {
    case SQLITE_READONLY:
        // SQLite opens for reading only whenever opening for writing fails, for whatever reason.
        if (const int refused = WriteRefused(db);
            refused != 0 && refused != EACCES && refused != EPERM && refused != EROFS) {
            disk = refused == EIO;
            return QStringLiteral("the database could not be opened for writing (%1)")
                .arg(systemWords(refused));
        }
        return QStringLiteral("the database is read-only");
    case SQLITE_FULL:
        return QStringLiteral("the disk is full");
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return QStringLiteral("the database is in use by another program; try again in a "
                              "moment");
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return QStringLiteral("the file is damaged or is not a database (%1)").arg(own);
    case SQLITE_CANTOPEN:
        return QStringLiteral("the file cannot be opened (%1)").arg(own);
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return QStringLiteral("access is denied (%1)").arg(own);
    case SQLITE_TOOBIG:
        return QStringLiteral("the text is too large to store");
    case SQLITE_NOMEM:
        return QStringLiteral("out of memory");
    case SQLITE_IOERR:
        return ioReason(system, extended, own, disk);
    default:
        return own;
    }
}

} // namespace

QString SqliteErrorReason(sqlite3* db, int rc, bool* disk) {
    bool failed = false;
    const QString reason = reasonFor(db, rc, failed);
    if (disk)
        *disk = failed;
    return reason;
}

void throwSqliteError(sqlite3* db, int rc, const QString& path, const QString& doing) {
    bool disk = false;
    const QString message =
        QStringLiteral("Cannot %1 \"%2\": %3.").arg(doing, path, reasonFor(db, rc, disk));
    if (disk)
        throw DiskError(message);
    throw Error(message);
}

Statement::Statement(sqlite3* db, const QString& path, const QString& sql, const QString& doing)
    : db_(db), path_(path), doing_(doing) {
    const QByteArray utf8 = sql.toUtf8();
    const int rc = sqlite3_prepare_v2(db_, utf8.constData(), int(utf8.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK)
        fail(rc);
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

void Statement::fail(int rc) const {
    throwSqliteError(db_, rc, path_, doing_);
}

void Statement::bind(const std::vector<QVariant>& values, int first) {
    for (const QVariant& v : values)
        bind(first++, v);
}

void Statement::bind(int index, const QVariant& value) {
    int rc = SQLITE_OK;
    if (const QByteArray* utf8 = Utf8BytesOf(value)) {
        rc = sqlite3_bind_text64(stmt_, index, utf8->constData(), sqlite3_uint64(utf8->size()),
                                 SQLITE_TRANSIENT, SQLITE_UTF8);
        if (rc != SQLITE_OK)
            fail(rc);
        return;
    }
    switch (value.typeId()) {
    case QMetaType::UnknownType:
        rc = sqlite3_bind_null(stmt_, index);
        break;
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
        rc = sqlite3_bind_int64(stmt_, index, value.toLongLong());
        break;
    case QMetaType::Double:
        rc = sqlite3_bind_double(stmt_, index, value.toDouble());
        break;
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        rc = sqlite3_bind_blob64(stmt_, index, bytes.constData(), sqlite3_uint64(bytes.size()),
                                 SQLITE_TRANSIENT);
        break;
    }
    default: {
        const QByteArray text = value.toString().toUtf8();
        rc = sqlite3_bind_text64(stmt_, index, text.constData(), sqlite3_uint64(text.size()),
                                 SQLITE_TRANSIENT, SQLITE_UTF8);
        break;
    }
    }
    if (rc != SQLITE_OK)
        fail(rc);
}

void Statement::bindStored(int index, const Statement& from, int column) {
    const int rc = sqlite3_bind_value(stmt_, index, sqlite3_column_value(from.stmt_, column));
    if (rc != SQLITE_OK)
        fail(rc);
}

bool Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW)
        return true;
    if (rc == SQLITE_DONE)
        return false;
    fail(rc);
}

QVariant Statement::cell(int column) const {
    if (sqlite3_column_type(stmt_, column) != SQLITE_FLOAT)
        return value(column);
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    if (!text)
        fail(SQLITE_NOMEM);
    return QString::fromLatin1(text, sqlite3_column_bytes(stmt_, column));
}

std::optional<QByteArrayView> Statement::bytes(int column) const {
    const int type = sqlite3_column_type(stmt_, column);
    if (type == SQLITE_NULL)
        return QByteArrayView();
    if (type != SQLITE_TEXT && type != SQLITE_BLOB)
        return std::nullopt;
    const void* data = type == SQLITE_TEXT
                           ? static_cast<const void*>(sqlite3_column_text(stmt_, column))
                           : sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    if (!data && size > 0)
        fail(SQLITE_NOMEM);
    return QByteArrayView(static_cast<const char*>(data), size);
}

bool Statement::isNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::optional<QByteArrayView> Statement::textOf(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    if (!data) {
        // NULL, or no memory for the text.
        if (sqlite3_column_type(stmt_, column) == SQLITE_NULL)
            return std::nullopt;
        fail(SQLITE_NOMEM);
    }
    return QByteArrayView(data, sqlite3_column_bytes(stmt_, column));
}

std::optional<QByteArrayView> Statement::text(int column) const {
    if (sqlite3_column_type(stmt_, column) != SQLITE_TEXT)
        return std::nullopt;
    return bytes(column);
}

void Statement::reset() {
    sqlite3_reset(stmt_);
}

void Statement::exec(sqlite3* db, const QString& path, const QString& sql, const QString& doing) {
    Statement(db, path, sql, doing).step();
}

qint64 Statement::int64(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

int Statement::type(int column) const {
    return sqlite3_column_type(stmt_, column);
}

QVariant Statement::value(int column) const {
    switch (sqlite3_column_type(stmt_, column)) {
    case SQLITE_INTEGER:
        return qint64(sqlite3_column_int64(stmt_, column));
    case SQLITE_FLOAT:
        return sqlite3_column_double(stmt_, column);
    case SQLITE_TEXT: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        const int size = sqlite3_column_bytes(stmt_, column);
        if (!text)
            fail(SQLITE_NOMEM);
        // Text another program wrote that is not UTF-8 comes as the bytes it is, as a BLOB
        // does, rather than changed.
        if (auto exact = ExactUtf8(QByteArrayView(text, size)))
            return *std::move(exact);
        return QByteArray(text, size);
    }
    case SQLITE_BLOB: {
        const void* blob = sqlite3_column_blob(stmt_, column);
        const int size = sqlite3_column_bytes(stmt_, column);
        if (!blob && size > 0)
            fail(SQLITE_NOMEM);
        return QByteArray(static_cast<const char*>(blob), size);
    }
    default:
        return {};
    }
}

} // namespace varozidi::ado
