// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/DatabaseFile.h"

#include "data/engines/sqlite/AdoStatement.h"

#include <QFile>
#include <QFileInfo>
#include <memory>
#include <sqlite3.h>

void SettleDatabaseFile(const QString& path) {
    // Without a journal beside it the file is whole as it is; nothing is opened then. SQLite
    // keeps the journal beside the file a link points to.
    const QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty() || !QFileInfo::exists(real + QStringLiteral("-journal")))
        return;
    const QString doing = QStringLiteral("finish the database's interrupted write");
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close_v2);
    if (rc != SQLITE_OK)
        varozidi::ado::throwSqliteError(db, rc, path, doing);
    sqlite3_busy_timeout(db, 3000);
    // The first read of a connection is what rolls a hot journal back.
    varozidi::ado::Statement read(db, path, QStringLiteral("SELECT count(*) FROM sqlite_master"),
                                  doing);
    read.step();
}

bool RestoreDatabaseInto(const QString& path, const QString& source) {
    const QString doing = QStringLiteral("restore the database");
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close_v2);
    if (rc != SQLITE_OK || sqlite3_db_readonly(db, "main") != 0)
        return false;
    sqlite3_busy_timeout(db, 3000);
    sqlite3_exec(db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if ((rc & 0xff) == SQLITE_NOTADB || (rc & 0xff) == SQLITE_CORRUPT)
        return false;
    if (rc != SQLITE_OK)
        varozidi::ado::throwSqliteError(db, rc, path, doing);
    sqlite3* from = nullptr;
    rc = sqlite3_open_v2(QFile::encodeName(source).constData(), &from, SQLITE_OPEN_READONLY,
                         nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> fromCloser(from, sqlite3_close_v2);
    if (rc != SQLITE_OK)
        varozidi::ado::throwSqliteError(from, rc, source, doing);
    sqlite3_backup* copy = sqlite3_backup_init(db, "main", from, "main");
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
    sqlite3* db = nullptr;
    int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close_v2);
    if (rc != SQLITE_OK)
        return nullptr;
    sqlite3_busy_timeout(db, 0);
    // Reading takes the shared lock, which keeps every writer from committing, and rolls back
    // a write a stopped program left half done; the exclusive one keeps readers out as well.
    const char* take = keep == Keep::Everyone ? "BEGIN EXCLUSIVE" : "BEGIN";
    rc = sqlite3_exec(db, take, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    // A file no one may write to is copied as it is, once no writer holds it.
    if ((rc & 0xff) == SQLITE_READONLY && keep == Keep::Everyone) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        closer.reset();
        return Take(path, Keep::Writers, busy);
    }
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
        busy = true;
        return nullptr;
    }
    if (rc != SQLITE_OK)
        return nullptr;
    return std::unique_ptr<DatabaseHold>(new DatabaseHold(closer.release()));
}

DatabaseHold::~DatabaseHold() {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
}
