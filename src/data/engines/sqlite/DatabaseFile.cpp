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

namespace {

// Whether the file at path now holds what source holds, table by table and row by row: read
// by a connection of its own, so that a write left half done is rolled back first.
bool holdsTheSame(const QString& path, const QString& source) {
    int rc = SQLITE_OK;
    const Handle live = Handle::TryOpen(path, Handle::Mode::ReadWrite, rc);
    if (rc != SQLITE_OK)
        return false;
    char* attach = sqlite3_mprintf("ATTACH %Q AS other", QFile::encodeName(source).constData());
    rc = sqlite3_exec(live.get(), attach, nullptr, nullptr, nullptr);
    sqlite3_free(attach);
    if (rc != SQLITE_OK)
        return false;
    const auto differs = [&live](const QString& query) {
        int found = -1;
        const auto count = [](void* out, int, char** values, char**) {
            *static_cast<int*>(out) = values[0] ? atoi(values[0]) : -1;
            return 0;
        };
        const int done =
            sqlite3_exec(live.get(), query.toUtf8().constData(), count, &found, nullptr);
        return done != SQLITE_OK || found != 0;
    };
    const QString schema = QStringLiteral("SELECT type, name, sql FROM %1.sqlite_master");
    if (differs(QStringLiteral("SELECT count(*) FROM (%1 EXCEPT %2)")
                    .arg(schema.arg(u"main"), schema.arg(u"other"))) ||
        differs(QStringLiteral("SELECT count(*) FROM (%1 EXCEPT %2)")
                    .arg(schema.arg(u"other"), schema.arg(u"main"))))
        return false;
    QStringList tables;
    const auto name = [](void* out, int, char** values, char**) {
        static_cast<QStringList*>(out)->append(QString::fromUtf8(values[0]));
        return 0;
    };
    // A virtual table's rows are those of its own tables, compared as any other.
    if (sqlite3_exec(live.get(),
                     "SELECT name FROM main.sqlite_master WHERE type = 'table' AND sql NOT LIKE "
                     "'CREATE VIRTUAL TABLE%'",
                     name, &tables, nullptr) != SQLITE_OK)
        return false;
    for (QString table : tables) {
        table = u'"' + table.replace(u'"', QStringLiteral("\"\"")) + u'"';
        for (const auto& [a, b] : {std::pair{u"main", u"other"}, std::pair{u"other", u"main"}})
            if (differs(QStringLiteral("SELECT count(*) FROM (SELECT * FROM %1.%3 EXCEPT "
                                       "SELECT * FROM %2.%3)")
                            .arg(a, b, table)))
                return false;
    }
    return true;
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
