// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Snippets on their way into a collection file, a record at a time, all in one transaction:
// first into a temporary table on the disk, in the order read, then into the collection by
// one statement for many rows, once their IDs can be decided. The search index's triggers
// then gather many rows before writing, where a statement a row makes the index write each
// row on its own, several times slower. The temporary table stays after the commit as the
// list of what was added, until this is destroyed. The versions an export with its history
// carries, and its removed snippets, go into the history beside them.

#include "data/transfer/JsonStream.h"
#include "data/transfer/Transfer.h"

struct sqlite3;
struct sqlite3_stmt;

namespace varozidi::transfer {

extern const QString kAdding;

class Staging {
public:
    // Begins the transaction. Throws Error.
    Staging(sqlite3* db, const QString& path, bool dryRun);
    ~Staging();
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    // A removed snippet (s.removed) goes among those the history keeps.
    void add(const Utf8Snippet& s);
    void add(const Snippet& s, bool removed = false);

    // Decides the IDs, adds the rows to the collection (a dry run does not) and commits.
    void finish(const Progress& progress = {});

    ImportList list() const;

private:
    void exec(const char* sql);
    void prepare(const char* sql, sqlite3_stmt** statement);
    void step(sqlite3_stmt* statement);
    void stageVersions(const QList<Utf8Version>& versions, qint64 seq, bool removed);
    void addRows(const Progress& progress, bool compact);
    void addHistory();
    qint64 removedBase(bool& own);
    // Whatever is not committed is rolled back, and the list goes with it.
    void close();
    void bindText(sqlite3_stmt* statement, int index, const Utf8& text);

    sqlite3* db_;
    QString path_;
    bool dryRun_;
    bool committed_ = false;
    bool empty_ = false;
    qint64 used_ = 0;
    qint64 count_ = 0;
    qint64 removed_ = 0;
    qint64 versions_ = 0;
    bool ownIds_ = true;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* insertRemoved_ = nullptr;
    sqlite3_stmt* insertVersion_ = nullptr;
};

// Whether the collection is empty, and the last ID it ever gave.
std::pair<bool, qint64> LastId(sqlite3* db, const QString& path);

} // namespace varozidi::transfer
