// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The snippets of a collection on a server going out (export, backup) and coming in
// (import, restore), each in one transaction of the server.

#include "data/transfer/Transfer.h"

namespace varozidi::ado {
class PgBackend;
}

namespace varozidi::transfer {

// Every snippet on the server, in ID order, as one consistent state.
QList<Snippet> ReadServerCollection(ado::PgBackend& server);

// What an export takes: every snippet in ID order and, withHistory, their versions and the
// removed snippets kept, all of one moment.
Source ReadServerExport(ado::PgBackend& server, bool withHistory);

// As AddSnippets for a file: into an empty table they keep their own distinct IDs, else the
// server numbers them after every ID it gave; the versions they carry, and the removed
// snippets, go into the history. dryRun rolls back. Throws Error; nothing is then added.
QList<qint64> AddSnippetsToServer(ado::PgBackend& server, const QList<Snippet>& snippets,
                                  bool dryRun = false, const QList<Snippet>& removed = {});

// The usual backup file, an SQLite collection, made from the server's rows as they were in
// one repeatable-read transaction; it replaces path whole or not at all.
void BackupServer(ado::PgBackend& server, const QString& path);

// Every snippet of the collection file (SQLite) at path, in ID order; throws BadInput for a
// file that is not a sound collection.
QList<Snippet> ReadCollectionFile(const QString& path);

// The server's rows replaced by those of the backup file at path, in one transaction.
void RestoreServer(ado::PgBackend& server, const QString& path);

} // namespace varozidi::transfer
