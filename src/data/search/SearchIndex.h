// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Full-text search over the snippets: trigram indexes of titles and of languages and bodies,
// kept in step with the table by triggers, so that every program's writes keep them
// current. Titles have an index of their own so that title matches can come first.

#include <QList>
#include <QString>
#include <functional>
#include <optional>

struct sqlite3;

namespace varozidi::search {

struct Hit {
    qint64 id = 0;
    QString language;
    QString title;
    QString line; // the line holding the match: the title itself for a title match
    int matchStart = 0;
    int matchLength = 0;
    bool inTitle = false;
};

struct Outcome {
    QList<Hit> hits;
    bool indexFailed = false; // the index answered with an error; every row was read instead
};

// Called with true once building has taken more than a moment, and with false when it ends.
using SlowWork = std::function<void(bool)>;

// Called, once building was told slow, with how far it has come: 0 to 99 percent.
using Progress = std::function<void(int)>;

// Adds the indexes to a database whose snippet table lacks them, or part of them, and fills
// them, all in one transaction. Returns whether it built them. Throws varozidi::Error.
bool EnsureIndex(sqlite3* db, const QString& path, const SlowWork& slow = {},
                 const Progress& progress = {});
// True where the database holds none of the index's objects (made by another program), so that
// writing needs none of them either.
bool IndexAbsent(sqlite3* db, const QString& path);
// Builds them afresh, as when they are found damaged.
void RebuildIndex(sqlite3* db, const QString& path, const SlowWork& slow = {},
                  const Progress& progress = {});
// For adding many rows at once, within the caller's transaction: the index stops being kept
// row by row (its triggers go) until RefillIndex makes it anew from all the rows, faster
// than the triggers would. False, changing nothing, where there is no whole index. Throws
// varozidi::Error.
bool PauseIndex(sqlite3* db, const QString& path);
void RefillIndex(sqlite3* db, const QString& path, const Progress& progress = {});
// Merges each index into one piece, as a build leaves it, within the caller's transaction.
// Rows added many at once leave the index in many pieces, each of which a search then has to
// look every trigram up in. Nothing where the index is missing. Throws varozidi::Error.
void CompactIndex(sqlite3* db, const QString& path);
// "ok", "missing", or the damage found.
QString CheckIndex(sqlite3* db, const QString& path);

// The snippets whose title, language or body holds text, letter case ignored: title matches
// first, each group in table order, at most limit. Three characters or more go through the
// index; fewer, or an index that fails, read every row. Stops early once stopped says so.
// Throws varozidi::Error.
Outcome Find(sqlite3* db, const QString& path, const QString& text, int limit,
             const std::function<bool()>& stopped = {});

// As Find without a limit, each hit told to each as soon as its place in the order is sure:
// title matches as they are found, the others after them, put aside meanwhile (in a temporary
// file past a few megabytes). No statement holds the file while each runs. True where the
// index failed and every row was read instead. Throws varozidi::Error.
bool FindEach(sqlite3* db, const QString& path, const QString& text,
              const std::function<void(const Hit&)>& each);

// How a row holds text, as Find reports it: in its title; else in its body or language.
std::optional<Hit> TitleMatch(qint64 id, const QString& language, const QString& title,
                              const QString& text);
std::optional<Hit> OtherMatch(qint64 id, const QString& language, const QString& title,
                              const QString& body, const QString& text);

} // namespace varozidi::search
