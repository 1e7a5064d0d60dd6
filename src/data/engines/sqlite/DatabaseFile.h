// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "data/engines/sqlite/SqliteHandle.h"

#include <QString>

#include <memory>

struct sqlite3;

// A program stopped in the middle of a write leaves a "hot" journal beside the database: the
// file itself may then hold half of that write until the next connection rolls it back. A
// copy of the file alone would keep the half-written state, and a file put in its place would
// have the old journal played into it. This rolls any such journal back now; with none it
// changes nothing. Throws varozidi::Error when the file cannot be opened to do so.
void SettleDatabaseFile(const QString& path);

// Writes the database at source into the one at path through SQLite itself, all or nothing,
// so that programs that have path open go on with the new content instead of a file that is
// no longer there. False, with nothing changed, where path is no database SQLite may write to
// (damaged, read-only); throws varozidi::Error when the write fails.
bool RestoreDatabaseInto(const QString& path, const QString& source);
// The same from a database already open.
bool RestoreDatabaseInto(const QString& path, sqlite3* source);

// Opens the file at path read-only and checks that it is a sound database holding the table;
// throws varozidi::Error saying what is wrong. Changes nothing.
void VerifyDatabaseFile(const QString& path, const QString& tableName);

// SQLite's own lock on a database file, taken by a connection of this program: while it is
// held, no other program writes to the file (Writers), or none uses it at all (Everyone).
class DatabaseHold {
public:
    enum class Keep { Writers, Everyone };
    // One attempt, without waiting. Null with busy set while another program holds a lock in
    // the way; null without busy where the file takes no lock (damaged, not a database), so
    // there is nothing to wait for.
    static std::unique_ptr<DatabaseHold> Take(const QString& path, Keep keep, bool& busy);
    ~DatabaseHold();
    DatabaseHold(const DatabaseHold&) = delete;
    DatabaseHold& operator=(const DatabaseHold&) = delete;

private:
    explicit DatabaseHold(varozidi::sqlite::Handle db) : db_(std::move(db)) {}
    varozidi::sqlite::Handle db_;
};
