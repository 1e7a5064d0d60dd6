// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Taking every snippet out of the collection, and bringing snippets in from a file or folder.

#include "transfer/Snippet.h"

#include <functional>

struct sqlite3;

namespace varozidi::transfer {

struct Source {
    QList<Snippet> snippets;
    QString kind; // what was read, in words: "a Jet 4.0 database", ...
};

// The snippets of a file or folder, recognised by its content, not its name: the program's
// JSON export or folder tree, Visual Studio Code snippets, or a Jet 4.0 database. Throws
// BadInput for anything else, and for a file of those kinds that is malformed or damaged.
Source ReadSnippetsFrom(const QString& path);

// Every snippet of the database open at db (file path), in ID order.
QList<Snippet> ReadCollection(sqlite3* db, const QString& path);

enum class ExportFormat { Json, Folder };

// Told now and then how many snippets are done, of how many in all.
using Progress = std::function<void(qint64 done, qint64 total)>;

// Writes snippets to path, which must not exist yet (an empty folder will do for a tree):
// nothing the user has is replaced. The file or tree appears whole or not at all. Throws
// BadInput when path is taken or its folder missing, Error on a failure.
void ExportSnippets(const QList<Snippet>& snippets, ExportFormat format, const QString& path);

// Every snippet of the database open at db (file dbPath) exported to path as ExportSnippets
// does; a JSON file is written as the rows are read, so that memory stays small whatever the
// collection's size. Returns how many were exported.
qint64 ExportCollection(sqlite3* db, const QString& dbPath, ExportFormat format,
                        const QString& path, const Progress& progress = {});

// The ID each snippet added gets: its own, when the collection is empty and no two share one;
// otherwise the next ones after used, the last ID the collection gave. Throws Error naming
// where when no IDs are left.
QList<qint64> IdsFor(const QList<Snippet>& snippets, bool empty, qint64 used, const QString& where);

// Adds snippets to the database open at db, all in one transaction, and returns the ID each
// got. Into an empty collection they keep their own IDs when every one has a distinct ID;
// otherwise the collection numbers them in turn. With dryRun everything is done and then
// rolled back. Throws Error; nothing is then added.
QList<qint64> AddSnippets(sqlite3* db, const QString& path, const QList<Snippet>& snippets,
                          bool dryRun = false, const Progress& progress = {});

} // namespace varozidi::transfer
