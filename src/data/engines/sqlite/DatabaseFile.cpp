// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/DatabaseFile.h"

#include "data/core/Errors.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteHandle.h"

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

bool RestoreDatabaseInto(const QString& path, const QString& source) {
    const Handle from =
        Handle::Open(source, Handle::Mode::ReadOnly, QStringLiteral("restore the database"));
    return RestoreDatabaseInto(path, from.get());
}

bool RestoreDatabaseInto(const QString& path, sqlite3* source) {
    const QString doing = QStringLiteral("restore the database");
    int rc = SQLITE_OK;
    const Handle live = Handle::TryOpen(path, Handle::Mode::ReadWrite, rc);
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
    if (rc != SQLITE_DONE)
        varozidi::ado::throwSqliteError(db, rc, path, doing);
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
