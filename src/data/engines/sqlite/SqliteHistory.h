// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The history of the snippets in an SQLite file (see data/history/History.h).

#include "data/engines/sqlite/SqliteHandle.h"
#include "data/history/History.h"

#include <QByteArray>
#include <QList>
#include <functional>

struct sqlite3;

namespace varozidi::sqlite {

// Gives the file its history table and triggers where it lacks them, or has them with other
// retention numbers; only the history lost is lost when another program dropped them. True
// when it changed anything. Throws varozidi::Error.
bool EnsureHistory(sqlite3* db, const QString& path, const history::Retention& keep);

// Oldest first; nothing where the file keeps no history.
QList<history::KeptVersion> Versions(sqlite3* db, const QString& path, qint64 id);
std::optional<QByteArray> VersionBody(sqlite3* db, const QString& path, qint64 id, qint64 version);
// The removed snippets still kept, as their last version: the most recently removed last.
QList<history::KeptVersion> Removed(sqlite3* db, const QString& path);
// Whether the file has the history table.
bool KeepsHistory(sqlite3* db, const QString& path);
// Every version of the snippet id with its texts whole, the latest first; none where the file
// keeps no history.
void ForEachVersion(sqlite3* db, const QString& path, qint64 id,
                    const std::function<void(history::StoredVersion&&)>& each);

// Brings a removed snippet back, under its old ID where that is free; the ID it has now.
// Throws varozidi::Error where id is not among Removed.
qint64 Undelete(sqlite3* db, const QString& path, qint64 id);

// Before the file live is replaced by the backup at file: a copy of the backup, in memory so
// that no file of it can be left behind, that also keeps live's history and, as kind restore,
// every snippet of live the backup changes or lacks. A live file that cannot be read adds
// nothing. Throws varozidi::Error.
Handle MergedForRestore(const QString& live, const QString& file, const history::Retention& keep);

} // namespace varozidi::sqlite
