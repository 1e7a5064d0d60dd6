// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/SqliteCollection.h"

#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/core/SysUtils.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/LockFile.h"
#include "data/engines/sqlite/SqliteBackend.h"
#include "data/engines/sqlite/SqliteCompaction.h"
#include "data/engines/sqlite/SqliteHistory.h"
#include "data/engines/sqlite/SqliteListing.h"
#include "data/files/Files.h"
#include "data/files/Temporary.h"
#include "data/search/SearchIndex.h"
#include "data/store/ADODB.h"
#include "data/store/LanguageIndex.h"
#include "data/transfer/Migration.h"
#include "data/transfer/Transfer.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace varozidi::sqlite {

namespace {

// Unicode-aware and case-blind, where SQLite's own NOCASE only folds ASCII.
int compareNoCase(void*, int size1, const void* text1, int size2, const void* text2) {
    const QStringView a(static_cast<const char16_t*>(text1), size1 / 2);
    const QStringView b(static_cast<const char16_t*>(text2), size2 / 2);
    return a.compare(b, Qt::CaseInsensitive);
}

bool identity(const QString& path, quint64& inode, quint64& device) {
    struct stat st {};
    if (::stat(posix::native(path).constData(), &st) != 0)
        return false;
    inode = quint64(st.st_ino);
    device = quint64(st.st_dev);
    return true;
}

// The file asked for its data version a few times a second, which costs a few system calls
// and reads nothing; it changes with every commit of another connection.
class DataVersionFeed : public ChangeFeed {
public:
    DataVersionFeed(SqliteCollection& collection)
        : collection_(collection), timer_(new QTimer(this)) {
        QObject::connect(timer_, &QTimer::timeout, this, [this] { poll(); });
        identity(collection_.location(), inode_, device_);
        dataVersion_ = version();
        timer_->start(kPollMs);
    }
    bool listening() const override { return true; }
    void setPollInterval(int ms) override { timer_->setInterval(ms); }

private:
    static constexpr int kPollMs = 500;

    // -1 while the file cannot be read (someone is writing): asked again next time.
    qint64 version() {
        sqlite3* db = collection_.handle();
        // Asked without waiting: a writer holding the file is simply asked again next time.
        sqlite3_busy_timeout(db, 0);
        sqlite3_stmt* statement = nullptr;
        qint64 version = -1;
        if (sqlite3_prepare_v2(db, "PRAGMA data_version", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            version = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        sqlite3_busy_timeout(db, waitLimit_);
        return version;
    }

    void poll() {
        // The window's own write runs aside: asked again next time.
        if (collection_.writingAside())
            return;
        quint64 inode = 0, device = 0;
        if (identity(collection_.location(), inode, device) &&
            (inode != inode_ || device != device_)) {
            inode_ = inode;
            device_ = device;
            Q_EMIT Replaced();
            return;
        }
        const qint64 now = version();
        if (now < 0)
            return;
        if (dataVersion_ < 0 || now == dataVersion_) {
            dataVersion_ = now;
            return;
        }
        dataVersion_ = now;
        Q_EMIT Changed({});
    }

    friend class varozidi::sqlite::SqliteCollection;
    SqliteCollection& collection_;
    QTimer* timer_;
    qint64 dataVersion_ = -1;
    quint64 inode_ = 0;
    quint64 device_ = 0;
    int waitLimit_ = Collection::kWaitLimitMs;
};

} // namespace

SqliteCollection::SqliteCollection(const CollectionAddress& address, const CollectionHooks& hooks,
                                   Access access, Upkeep upkeep)
    : Collection(address), hooks_(hooks) {
    path_ = findFile();
    if (access == Access::ReadWrite)
        convertJet(hooks);
    connect(access);
    backend_ = std::make_unique<ado::SqliteBackend>(db_.get(), path_);
    backend_->setSlowWrite(hooks.slowWrite);
    backend_->setWriteWaiting(hooks.writeWaiting);
    if (access == Access::ReadWrite) {
        lock_ = std::make_unique<LockFile>(path_);
        keepIndexes(hooks, upkeep);
        keepHistory();
        const QString file = path_;
        compactor_ = std::make_unique<history::Compactor>([file] { return CompactionOf(file); });
        backend_->setAfterWrite([this] { compactWhenDue(); });
    }
}

SqliteCollection::~SqliteCollection() {
    close();
}

QString SqliteCollection::findFile() const {
    const QString& source = address().source();
    const QFileInfo info(ResolveFileName(source));
    if (!info.exists())
        throw Error(QStringLiteral("Could not find file '%1'.").arg(source));
    if (!info.isFile())
        throw Error(QStringLiteral("'%1' is not a database file.").arg(source));
    return info.absoluteFilePath();
}

// A collection copied over from the old program is still a Jet database: it becomes one of
// ours first, the original kept beside it.
void SqliteCollection::convertJet(const CollectionHooks& hooks) const {
    const auto converted = transfer::ConvertJetCollection(
        path_, hooks.converting ? *hooks.converting : std::function<void(bool)>());
    if (converted && hooks.converted && *hooks.converted)
        (*hooks.converted)(*converted);
}

void SqliteCollection::connect(Access access) {
    const QString doing = QStringLiteral("open the database");
    // Never create: a missing file is an error, reported above.
    db_ = Handle::Open(
        path_, access == Access::ReadWrite ? Handle::Mode::ReadWrite : Handle::Mode::ReadOnly,
        doing);
    // A commit is on the disk before it is reported done, whatever the library's build chose
    // (see docs/reliability.md).
    sqlite3_exec(db_.get(), "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
    const int rc = sqlite3_create_collation_v2(db_.get(), ado::kCollation, SQLITE_UTF16_ALIGNED,
                                               nullptr, compareNoCase, nullptr);
    if (rc != SQLITE_OK)
        ado::throwSqliteError(db_.get(), rc, path_, doing);
    // SQLite reads the file lazily; make it show now whether this is a database at all.
    ado::Statement check(db_.get(), path_, QStringLiteral("SELECT count(*) FROM sqlite_master"),
                         doing);
    check.step();
    // SQLite opens for reading whenever opening for writing fails; a file it may write to,
    // refused by a failing disk or a want of descriptors, is no read-only collection.
    if (access == Access::ReadWrite && sqlite3_db_readonly(db_.get(), "main") == 1)
        if (const int refused = ado::WriteRefused(db_.get());
            refused != 0 && refused != EACCES && refused != EPERM && refused != EROFS)
            ado::throwSqliteError(db_.get(), SQLITE_READONLY, path_, doing);
}

// Whoever opens the snippets first gives them their indexes. Lacking one is no reason to
// refuse the collection (a read-only file, an odd table): the rows are read instead.
void SqliteCollection::keepIndexes(const CollectionHooks& hooks, Upkeep upkeep) {
    try {
        // A collection without any of the search index (made by another program) is listed
        // and read without it; one with part of it is mended now, as its triggers may name
        // what is missing.
        searchLater_ = upkeep == Upkeep::SearchWhenNeeded && search::IndexAbsent(db_.get(), path_);
        if (!searchLater_)
            search::EnsureIndex(db_.get(), path_,
                                hooks.slowOpen ? *hooks.slowOpen : search::SlowWork(),
                                hooks.slowProgress ? *hooks.slowProgress : search::Progress());
    } catch (const std::exception&) {
    }
    try {
        language::EnsureIndex(db_.get(), path_);
    } catch (const std::exception&) {
    }
}

// As the indexes: a file that cannot keep history (read-only, an odd table) is used without.
void SqliteCollection::keepHistory() {
    try {
        EnsureHistory(db_.get(), path_, history::RetentionBeside(path_));
    } catch (const std::exception&) {
    }
}

void SqliteCollection::compactWhenDue() {
    if (compactor_->running())
        return;
    // A history that cannot be looked at now is looked at after the next write.
    try {
        if (CompactionDue(db_.get(), path_))
            compactor_->start();
    } catch (const std::exception&) {
    }
}

ado::Backend& SqliteCollection::rows() {
    return *backend_;
}

std::optional<QStringList> SqliteCollection::languages(const QString& table) {
    return language::DistinctLanguages(db_.get(), path_, table);
}

namespace {

// Language, title and body from column first on.
StoredBody storedAt(const ado::Statement& row, int first) {
    const auto bytes = [&row](int column) {
        const auto stored = row.bytes(column);
        return stored ? stored->toByteArray() : QByteArray();
    };
    // A leading byte-order mark is part of the name.
    const auto text = [&bytes](int column) {
        const QByteArray stored = bytes(column);
        return ExactUtf8(stored).value_or(QString::fromUtf8(stored));
    };
    return StoredBody{text(first), text(first + 1), bytes(first + 2)};
}

} // namespace

std::optional<StoredBody> SqliteCollection::read(qint64 id) {
    ado::Statement row(db_.get(), path_,
                       QStringLiteral("SELECT Language, Title, Body FROM varozidi WHERE ID = ?"),
                       QStringLiteral("read the snippet"));
    row.bind(1, id);
    if (!row.step())
        return std::nullopt;
    return storedAt(row, 0);
}

QList<std::pair<qint64, StoredBody>> SqliteCollection::readFrom(qint64 after, int count) {
    ado::Statement rows(db_.get(), path_,
                        QStringLiteral("SELECT Language, Title, Body, ID FROM varozidi WHERE ID > "
                                       "? ORDER BY ID LIMIT ?"),
                        QStringLiteral("read the snippets"));
    rows.bind(1, after);
    rows.bind(2, count);
    QList<std::pair<qint64, StoredBody>> out;
    while (rows.step())
        out.append({rows.int64(3), storedAt(rows, 0)});
    return out;
}

void SqliteCollection::list(const std::optional<QString>& language,
                            const std::function<void(const ListingOutline&)>& outline,
                            const std::function<void(const ListedSnippet&)>& row) {
    ListSnippets(db_.get(), path_, backend_->textInCodePointOrder(), language, outline, row);
}

void SqliteCollection::keepSearchIndex() {
    if (!std::exchange(searchLater_, false))
        return;
    // As on opening: an index that cannot be made (the file is read-only) leaves every row to
    // be read.
    try {
        search::EnsureIndex(db_.get(), path_,
                            hooks_.slowOpen ? *hooks_.slowOpen : search::SlowWork(),
                            hooks_.slowProgress ? *hooks_.slowProgress : search::Progress());
    } catch (const std::exception&) {
    }
}

search::Outcome SqliteCollection::find(const QString& text, int limit,
                                       const std::function<bool()>& stopped) {
    keepSearchIndex();
    return search::Find(db_.get(), path_, text, limit, stopped);
}

bool SqliteCollection::findEach(const QString& text,
                                const std::function<void(const search::Hit&)>& hit) {
    keepSearchIndex();
    return search::FindEach(db_.get(), path_, text, hit);
}

void SqliteCollection::repairSearchIndex(const search::SlowWork& slow,
                                         const search::Progress& progress) {
    searchLater_ = false;
    search::RebuildIndex(db_.get(), path_, slow, progress);
}

CheckReport SqliteCollection::check() {
    sqlite3* db = db_.get();
    const QString doing = QStringLiteral("check the database");
    // A page the disk refuses to give comes back as a problem of the file; it is the disk's.
    const auto diskFailed = [&] {
        if (ado::ReadFailure() != 0)
            ado::throwSqliteError(db, SQLITE_IOERR_READ, path_, doing);
    };
    CheckReport report;
    QStringList problems;
    ado::ClearReadFailure();
    ado::Statement integrity(db, path_, QStringLiteral("PRAGMA integrity_check"), doing);
    while (integrity.step())
        problems.append(integrity.value(0).toString());
    diskFailed();
    report.database = problems.join(QStringLiteral("; "));
    // The index's own check goes through a write: a file that cannot be written to now is
    // sound or not for all that, and said to be unchecked rather than damaged.
    const int rc = sqlite3_db_readonly(db, "main") == 1
                       ? SQLITE_READONLY
                       : sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        report.searchIndex = search::CheckIndex(db, path_);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        diskFailed();
        return report;
    }
    report.indexUnchecked = true;
    if ((rc & 0xff) == SQLITE_READONLY) {
        const int refused = ado::WriteRefused(db);
        if (refused == EIO)
            ado::throwSqliteError(db, SQLITE_READONLY, path_, doing);
        report.searchIndex =
            refused == 0 || refused == EACCES || refused == EPERM || refused == EROFS
                ? QStringLiteral("not checked: the file is read-only")
                : QStringLiteral("not checked: ") + ado::SqliteErrorReason(db, SQLITE_READONLY);
    } else if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
        report.searchIndex = QStringLiteral("not checked: another program is writing to it");
    } else {
        ado::throwSqliteError(db, rc, path_, doing);
    }
    return report;
}

void SqliteCollection::backupTo(const QString& file) {
    BackupDatabase(db_.get(), path_, file);
}

qint64 SqliteCollection::exportTo(transfer::ExportFormat format, const QString& path,
                                  const std::function<void(qint64, qint64)>& progress,
                                  bool withHistory) {
    return transfer::ExportCollection(db_.get(), path_, format, path, progress, withHistory);
}

void SqliteCollection::importFrom(
    const QString& source, bool dryRun, const ImportHooks& hooks,
    const std::function<void(const transfer::ImportedSnippets&)>& listed) {
    transfer::ImportSnippets(db_.get(), path_, source, dryRun, {hooks.reading, hooks.adding},
                             [&listed](const transfer::ImportList& list) { listed(list); });
}

QList<history::KeptVersion> SqliteCollection::versions(qint64 id) {
    return Versions(db_.get(), path_, id);
}

std::optional<QByteArray> SqliteCollection::versionBody(qint64 id, qint64 version) {
    return VersionBody(db_.get(), path_, id, version);
}

QList<history::KeptVersion> SqliteCollection::removed() {
    return Removed(db_.get(), path_);
}

qint64 SqliteCollection::undelete(qint64 id) {
    return Undelete(db_.get(), path_, id);
}

qint64 SqliteCollection::compactHistory() {
    if (compactor_)
        compactor_->stop();
    qint64 packed = 0;
    if (HoldsPacked(db_.get(), path_))
        while (CompactBatch(db_.get(), path_, &packed)) {
        }
    return packed;
}

bool SqliteCollection::compactingHistory() const {
    return compactor_ && compactor_->running();
}

bool SqliteCollection::readOnly() const {
    return db_ && sqlite3_db_readonly(db_.get(), "main") == 1;
}

std::optional<QString> SqliteCollection::changeMark() {
    sqlite3* db = db_.get();
    // Held open, the statement holds the file's shared lock: no writer is halfway through a
    // change while the header is read.
    ado::Statement hold(db, path_, QStringLiteral("SELECT count(*) FROM sqlite_master"),
                        QStringLiteral("read the database"));
    sqlite3_file* file = nullptr;
    unsigned char header[100] = {};
    if (!hold.step() ||
        sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
        !file->pMethods || file->pMethods->xRead(file, header, sizeof header, 0) != SQLITE_OK)
        return std::nullopt;
    // The file counts each write in its header, except in WAL mode (18 and 19 then say 2).
    if (header[18] != 1 || header[19] != 1)
        return std::nullopt;
    const auto word = [&header](int at) {
        return quint32(header[at]) << 24 | quint32(header[at + 1]) << 16 |
               quint32(header[at + 2]) << 8 | quint32(header[at + 3]);
    };
    struct stat st {};
    if (::stat(posix::native(path_).constData(), &st) != 0)
        return std::nullopt;
    // The change counter, the size in pages and the schema's cookie, of this very file, and
    // its time of change: another collection copied over it may count as many writes.
    return QStringLiteral("%1.%2.%3.%4.%5.%6.%7")
        .arg(word(24))
        .arg(word(28))
        .arg(word(40))
        .arg(quint64(st.st_ino))
        .arg(quint64(st.st_dev))
        .arg(qint64(st.st_ctim.tv_sec))
        .arg(qint64(st.st_ctim.tv_nsec));
}

bool SqliteCollection::isItself(const QString& file) const {
    quint64 inode = 0, device = 0, ownInode = 0, ownDevice = 0;
    return identity(file, inode, device) && identity(path_, ownInode, ownDevice) &&
           inode == ownInode && device == ownDevice;
}

ChangeFeed* SqliteCollection::changes() {
    if (!feed_)
        feed_ = std::make_unique<DataVersionFeed>(*this);
    return feed_.get();
}

void SqliteCollection::setWaitLimit(int ms) {
    sqlite3_busy_timeout(db_.get(), ms);
    if (feed_)
        static_cast<DataVersionFeed*>(feed_.get())->waitLimit_ = ms;
}

bool SqliteCollection::writingAside() const {
    return backend_ && backend_->writing();
}

ado::WriteAside SqliteCollection::stopWrite(int waitMs) {
    return backend_->stopWrite(waitMs);
}

QString SqliteCollection::close() {
    compactor_.reset();
    feed_.reset();
    backend_.reset();
    db_.reset();
    if (!lock_)
        return {};
    const QString left = lock_->release();
    lock_.reset();
    return left;
}

sqlite3* HandleOf(const TADOConnection& connection) {
    auto* file = dynamic_cast<SqliteCollection*>(connection.collection());
    return file ? file->handle() : nullptr;
}

namespace {

// SQLite's online backup: for a file whose newest pages may still be in its write-ahead log,
// which a copy of the file alone would miss.
void backupThroughSqlite(sqlite3* db, const QString& file, TemporaryBeside& temp) {
    int rc = SQLITE_OK;
    Handle owned = Handle::TryOpen(temp.path(), Handle::Mode::ReadWrite, rc);
    sqlite3* copy = owned.get();
    // A copy that fails is thrown away whole, so its journal stays in memory: none is left
    // behind, and a disk without room for one more file still takes the copy.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(copy, "PRAGMA journal_mode = MEMORY", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_backup* job = sqlite3_backup_init(copy, "main", db, "main");
        rc = job ? sqlite3_backup_step(job, -1) : sqlite3_errcode(copy);
        const int finished = job ? sqlite3_backup_finish(job) : SQLITE_OK;
        if (rc == SQLITE_DONE)
            rc = finished;
    }
    if (rc == SQLITE_OK)
        return;
    // A read of the collection that failed is told as such, as a write of the copy is. A copy
    // SQLite could open for reading only is a file this user may not write, not a read-only
    // collection.
    bool disk = false;
    const QString why = (rc & 0xff) == SQLITE_READONLY && ado::WriteRefused(copy) != 0
                            ? QStringLiteral("it cannot be written there (%1)")
                                  .arg(DiskErrorText(ado::WriteRefused(copy), true))
                            : ado::SqliteErrorReason(copy, rc, &disk);
    const QString message = QStringLiteral("Cannot back up to \"%1\": %2.").arg(file, why);
    if (disk)
        throw DiskError(message);
    throw Error(message);
}

// The file's bytes as they are, while nothing writes to it.
void copyBytes(const QString& live, const QString& file, TemporaryBeside& temp) {
    const auto fail = [&file](int err, bool writing) {
        const QString message =
            QStringLiteral("Cannot back up to \"%1\": %2.").arg(file, DiskErrorText(err, writing));
        if (err == EIO)
            throw DiskError(message);
        throw Error(message);
    };
    const int in = ::open(QFile::encodeName(live).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        fail(errno, false);
    const auto closeIn = qScopeGuard([in] { ::close(in); });
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(errno, false);
        if (n == 0)
            return;
        if (!WriteAll(temp.fd(), buffer.data(), std::size_t(n)))
            fail(errno, true);
    }
}

} // namespace

void BackupDatabase(sqlite3* db, const QString& live, const QString& file) {
    const QString doing = QStringLiteral("back up to \"%1\"").arg(file);
    // A file that is a link stays one: the copy replaces the file it points to.
    TemporaryBeside temp(ReplacementTarget(QFileInfo(file).absoluteFilePath(), doing),
                         TemporaryBeside::File, doing);
    bool logged = false;
    if (db) {
        ado::Statement mode(db, live, QStringLiteral("PRAGMA journal_mode"), doing);
        logged = mode.step() && mode.value(0).toString().compare(u"wal", Qt::CaseInsensitive) == 0;
    }
    if (logged) {
        backupThroughSqlite(db, file, temp);
    } else if (db) {
        // A read keeps every writer from committing until the copy is whole, and rolls back
        // first what a stopped program left half done.
        ado::Statement::exec(db, live, QStringLiteral("BEGIN"), doing);
        try {
            ado::Statement read(db, live, QStringLiteral("SELECT count(*) FROM sqlite_master"),
                                doing);
            read.step();
            copyBytes(live, file, temp);
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    } else {
        copyBytes(live, file, temp);
    }
    temp.PutInPlace(true);
}

} // namespace varozidi::sqlite
