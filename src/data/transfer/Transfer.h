// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Taking every snippet out of the collection, and bringing snippets in from a file or folder.

#include "data/history/History.h"
#include "data/transfer/Snippet.h"

#include <functional>

struct sqlite3;

namespace varozidi::transfer {

struct Source {
    QList<Snippet> snippets;
    QString kind; // what was read, in words: "a Jet 4.0 database", ...
    // An export with the history: the removed snippets it keeps (see Snippet::versions).
    QList<Snippet> removed = {};
};

// The snippets of a file or folder, recognised by its content, not its name: the program's
// JSON export or folder tree, Visual Studio Code snippets, or a Jet 4.0 database. Throws
// BadInput for anything else, and for a file of those kinds that is malformed or damaged.
Source ReadSnippetsFrom(const QString& path);

// Every snippet of the database open at db (file path), in ID order.
QList<Snippet> ReadCollection(sqlite3* db, const QString& path);

// Told now and then how many snippets are done, of how many in all.
using Progress = std::function<void(qint64 done, qint64 total)>;

// Writes snippets to path, which must not exist yet (an empty folder will do for a tree):
// nothing the user has is replaced. The file or tree appears whole or not at all. Throws
// BadInput when path is taken or its folder missing, Error on a failure.
void ExportSnippets(const QList<Snippet>& snippets, ExportFormat format, const QString& path);
// The same with the history: each snippet's versions and the removed snippets kept.
void ExportSnippets(const QList<Snippet>& snippets, const QList<Snippet>& removed,
                    ExportFormat format, const QString& path);

// A version as an export carries it; throws Error for text that is not UTF-8 (another
// program stored bytes), which an export cannot keep unchanged.
Version ExportedVersion(const history::StoredVersion& stored);

// Every snippet of the database open at db (file dbPath) exported to path as ExportSnippets
// does; a JSON file is written as the rows are read, so that memory stays small whatever the
// collection's size. withHistory: each snippet's versions too, and the removed snippets kept.
// Returns how many were exported.
qint64 ExportCollection(sqlite3* db, const QString& dbPath, ExportFormat format,
                        const QString& path, const Progress& progress = {},
                        bool withHistory = false);

// The ID each snippet added gets: its own, when the collection is empty and no two share one;
// otherwise the next ones after used, the last ID the collection gave. Throws Error naming
// where when no IDs are left.
QList<qint64> IdsFor(const QList<Snippet>& snippets, bool empty, qint64 used, const QString& where);

// Adds snippets to the database open at db, all in one transaction, and returns the ID each
// got. Into an empty collection they keep their own IDs when every one has a distinct ID;
// otherwise the collection numbers them in turn. With dryRun everything is done and then
// rolled back. Versions the snippets carry go into the history. Throws Error; nothing is then
// added.
QList<qint64> AddSnippets(sqlite3* db, const QString& path, const QList<Snippet>& snippets,
                          bool dryRun = false, const Progress& progress = {});

// What an import added, or would add, in the order read. It is kept in the connection's
// temporary database rather than in memory, and lasts while ImportSnippets calls back.
class ImportList : public ImportedSnippets {
public:
    ImportList(sqlite3* db, const QString& path, qint64 size, bool ownIds, qint64 used);

    qint64 size() const override { return size_; }
    void forEach(const std::function<void(qint64 id, const Text& language, const Text& title)>&
                     each) const override;

private:
    sqlite3* db_;
    QString path_;
    qint64 size_;
    bool ownIds_;
    qint64 used_;
};

struct ImportProgress {
    Progress reading; // bytes of the program's own JSON export
    Progress adding;  // snippets
};

// The snippets of the file or folder at source, recognised as ReadSnippetsFrom does, added to
// the database open at db (file path) as AddSnippets adds them: all in one transaction,
// nothing when any of it cannot be read. The program's own JSON export is read a record at a
// time, so that memory stays small whatever its size. listed is then called with what was
// added. With dryRun nothing is written to the collection, so a read-only file will do.
// Throws BadInput for a file that cannot be read, Error on a failure.
void ImportSnippets(sqlite3* db, const QString& path, const QString& source, bool dryRun,
                    const ImportProgress& progress,
                    const std::function<void(const ImportList&)>& listed);

} // namespace varozidi::transfer
