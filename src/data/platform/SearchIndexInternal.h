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
inline constexpr int kObjects = 6;

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
