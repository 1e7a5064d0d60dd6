// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What keeping the search index and finding through it share: the names of the index's
// objects in the database, and how to reach the snippet table's fields.

#include <QString>
#include <QStringList>

struct sqlite3;

namespace varozidi::search::internal {

inline const QString kTable = QStringLiteral("varozidi");
inline const QString kTitleIndex = QStringLiteral("varozidi_search_title");
inline const QString kTextIndex = QStringLiteral("varozidi_search_text");
inline const QStringList kTriggers = {QStringLiteral("varozidi_search_insert"),
                                      QStringLiteral("varozidi_search_delete"),
                                      QStringLiteral("varozidi_search_update")};

// The rows holding a NUL: the trigram tokenizer stops reading there, so search reads them
// whatever the index says.
inline const QString kNulIndex = QStringLiteral("varozidi_search_nul");
inline const QString kNulRows =
    QStringLiteral("instr(Title, char(0)) > 0 OR instr(Language, char(0)) > 0 OR "
                   "instr(Body, char(0)) > 0");

// Long bodies are indexed apart, in overlapping pieces: a trigram index without positions
// finds nearly every query's trigrams somewhere in a body of megabytes, while in a piece of
// one kilobyte they must lie close together. The main index keeps their language only.
inline const QString kPieceIndex = QStringLiteral("varozidi_search_piece");
// What the main index holds of each row, long bodies left out.
inline const QString kWholeView = QStringLiteral("varozidi_search_whole");
// The numbers 0, 1, 2, ..., as many as a piece list needs.
inline const QString kCounting = QStringLiteral("varozidi_search_counting");
// A piece starts every kPieceBytes bytes of the UTF-8 text and runs kPieceOverlap bytes into
// the next, so that kPieceOverlap / 4 characters lie whole in one piece wherever they are.
inline constexpr qint64 kPieceBytes = 1024;
inline constexpr qint64 kPieceOverlap = 256;
inline constexpr qint64 kPieceFrom = 8192; // bodies longer than this, in bytes
// A piece's rowid is its row's rowid times kPieceSlots plus its number.
inline constexpr qint64 kPieceSlots = qint64(1) << 20;
inline constexpr qint64 kPieceRowidLimit = qint64(1) << 42;

inline constexpr int kObjects = 9;
// Written into the view's definition: an index made with other sizes is made anew.
QString layout();

// SQL telling whether the row whose fields row names (as "new." or "v.") is kept in pieces;
// rowid is the rowid's name. False in a database that keeps text as UTF-16.
QString pieced(const QString& row, const QString& rowid, bool utf8);

QString searching();

// How SQL reaches the snippet table's fields; the ID is the rowid where there is no ID.
struct Fields {
    QString rowid;
    QString id;
};

Fields fieldsOf(sqlite3* db, const QString& path);
// How many of the index's objects the database holds, of kObjects.
int presentObjects(sqlite3* db, const QString& path);

} // namespace varozidi::search::internal
