// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/DatabaseFile.h"

#include "data/core/Errors.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteHandle.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <memory>
#include <sqlite3.h>

using varozidi::sqlite::Handle;

void SettleDatabaseFile(const QString& path) {
    // Without a journal beside it the file is whole as it is; nothing is opened then. SQLite
    // keeps the journal beside the file a link points to.
    const QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty() || !QFileInfo::exists(real + QStringLiteral("-journal")))
        return;
    const QString doing = QStringLiteral("finish the database's interrupted write");
    const Handle db = Handle::Open(path, Handle::Mode::ReadWrite, doing);
    // The first read of a connection is what rolls a hot journal back.
    varozidi::ado::Statement read(db.get(), path,
                                  QStringLiteral("SELECT count(*) FROM sqlite_master"), doing);
    read.step();
}

namespace {

// A digest of what db holds: its schema, and every row of its tables (a virtual table's rows
// are those of its own tables), each value with its type.
QByteArray contentOf(sqlite3* db) {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const auto feed = [&hash](sqlite3_stmt* s) {
        const int columns = sqlite3_column_count(s);
        while (sqlite3_step(s) == SQLITE_ROW)
            for (int i = 0; i < columns; ++i) {
                const char type = char('0' + sqlite3_column_type(s, i));
                const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, i));
                const int size = sqlite3_column_bytes(s, i);
                hash.addData(QByteArrayView(&type, 1));
                hash.addData(QByteArray::number(size) + ':');
                hash.addData(QByteArrayView(bytes, bytes ? size : 0));
            }
        return sqlite3_finalize(s) == SQLITE_OK;
    };
    const auto prepare = [db](const QByteArray& sql) {
        sqlite3_stmt* s = nullptr;
        return sqlite3_prepare_v2(db, sql.constData(), -1, &s, nullptr) == SQLITE_OK ? s : nullptr;
    };
    sqlite3_stmt* schema = prepare("SELECT type, name, sql FROM sqlite_master ORDER BY type, name");
    if (!schema || !feed(schema))
        return {};
    sqlite3_stmt* tables = prepare("SELECT name FROM sqlite_master WHERE type = 'table' AND sql "
                                   "NOT LIKE 'CREATE VIRTUAL TABLE%' ORDER BY name");
    if (!tables)
        return {};
    QList<QByteArray> names;
    while (sqlite3_step(tables) == SQLITE_ROW)
        names.append(reinterpret_cast<const char*>(sqlite3_column_text(tables, 0)));
    sqlite3_finalize(tables);
    for (QByteArray name : names) {
        name = '"' + name.replace('"', "\"\"") + '"';
        sqlite3_stmt* rows = prepare("SELECT * FROM " + name);
        if (!rows)
            return {};
        QByteArray order;
        for (int i = 1; i <= sqlite3_column_count(rows); ++i)
            order += (i > 1 ? ", " : "") + QByteArray::number(i);
        sqlite3_finalize(rows);
        rows = prepare("SELECT * FROM " + name + " ORDER BY " + order);
        if (!rows || !feed(rows))
            return {};
    }
    return hash.result();
}

// Whether the file at path now holds what source holds: read by a connection of its own, so
// that a write left half done is rolled back first.
bool holdsTheSame(const QString& path, sqlite3* source) {
    int rc = SQLITE_OK;
    const Handle live = Handle::TryOpen(path, Handle::Mode::ReadWrite, rc);
    if (rc != SQLITE_OK)
        return false;
    const QByteArray stored = contentOf(live.get());
    return !stored.isEmpty() && stored == contentOf(source);
}

} // namespace

bool RestoreDatabaseInto(const QString& path, const QString& source) {
    const Handle from =
        Handle::Open(source, Handle::Mode::ReadOnly, QStringLiteral("restore the database"));
    return RestoreDatabaseInto(path, from.get());
}

bool RestoreDatabaseInto(const QString& path, sqlite3* source) {
    const QString doing = QStringLiteral("restore the database");
    int rc = SQLITE_OK;
    Handle live = Handle::TryOpen(path, Handle::Mode::ReadWrite, rc);
    sqlite3* db = live.get();
    if (rc != SQLITE_OK || sqlite3_db_readonly(db, "main") != 0)
        return false;
    sqlite3_exec(db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if ((rc & 0xff) == SQLITE_NOTADB || (rc & 0xff) == SQLITE_CORRUPT)
        return false;
    if (rc != SQLITE_OK)
        varozidi::ado::throwSqliteError(db, rc, path, doing);
    sqlite3_backup* copy = sqlite3_backup_init(db, "main", source, "main");
    if (!copy)
        varozidi::ado::throwSqliteError(db, sqlite3_extended_errcode(db), path, doing);
    rc = sqlite3_backup_step(copy, -1);
    sqlite3_backup_finish(copy);
    if (rc == SQLITE_DONE)
        return true;
    try {
        varozidi::ado::throwSqliteError(db, rc, path, doing);
    } catch (const varozidi::Error&) {
        // A step that fails after its commit (the file's last shortening, say) has restored
        // all the same; only a file that, once let go, does not hold the backup is a failed
        // restore.
        if ((rc & 0xff) != SQLITE_IOERR)
            throw;
        live.reset();
        if (!holdsTheSame(path, source))
            throw;
    }
    return true;
}

std::unique_ptr<DatabaseHold> DatabaseHold::Take(const QString& path, Keep keep, bool& busy) {
    busy = false;
    int rc = SQLITE_OK;
    Handle held = Handle::TryOpen(path, Handle::Mode::ReadWrite, rc, 0);
    sqlite3* db = held.get();
    if (rc != SQLITE_OK)
        return nullptr;
    // Reading takes the shared lock, which keeps every writer from committing, and rolls back
    // a write a stopped program left half done; the exclusive one keeps readers out as well.
    const char* take = keep == Keep::Everyone ? "BEGIN EXCLUSIVE" : "BEGIN";
    rc = sqlite3_exec(db, take, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    // A file no one may write to is copied as it is, once no writer holds it.
    if ((rc & 0xff) == SQLITE_READONLY && keep == Keep::Everyone) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        held.reset();
        return Take(path, Keep::Writers, busy);
    }
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
        busy = true;
        return nullptr;
    }
    if (rc != SQLITE_OK)
        return nullptr;
    return std::unique_ptr<DatabaseHold>(new DatabaseHold(std::move(held)));
}

DatabaseHold::~DatabaseHold() {
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void VerifyDatabaseFile(const QString& path, const QString& tableName) {
    const QString doing = QStringLiteral("use the file");
    const Handle handle = Handle::Open(path, Handle::Mode::ReadOnly, doing);
    sqlite3* db = handle.get();
    varozidi::ado::ClearReadFailure();
    varozidi::ado::Statement check(db, path, QStringLiteral("PRAGMA quick_check"), doing);
    const QString verdict = check.step() ? check.value(0).toString() : QString();
    // A page the disk would not give is no damage of the file.
    if (varozidi::ado::ReadFailure() != 0)
        varozidi::ado::throwSqliteError(db, SQLITE_IOERR_READ, path, doing);
    if (verdict != u"ok")
        throw varozidi::Error(
            QStringLiteral("The database \"%1\" is damaged (%2).").arg(path, verdict));
    varozidi::ado::Statement table(
        db, path,
        QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                       "name = ? COLLATE NOCASE"),
        doing);
    table.bind(1, tableName);
    if (!table.step() || table.int64(0) == 0)
        throw varozidi::Error(
            QStringLiteral("\"%1\" holds no table '%2' of snippets.").arg(path, tableName));
}
