// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The index of the snippets' languages, which lets the language list and the titles of one
// language be read without reading every row.

#include <QString>
#include <QStringList>
#include <optional>

struct sqlite3;

namespace varozidi::ado {
class PgBackend;
}

namespace varozidi::language {

// The index's name in the database.
inline constexpr char kIndexName[] = "varozidi_language";

// Adds the index to a snippet table that lacks it. Returns whether it added it. Throws
// varozidi::Error.
bool EnsureIndex(sqlite3* db, const QString& path);

// Each language once, in the order of its first row; of names that differ only in letter
// case (all letters, not just ASCII), the spelling met first. A field without a value reads
// as empty text. Reads one index entry per spelling, never the rows; nothing when the table
// has no such index. Throws varozidi::Error.
std::optional<QStringList> DistinctLanguages(sqlite3* db, const QString& path,
                                             const QString& table);

// On a server: the index the language list seeks, and the trigger that tells every watching
// window which rows each statement wrote (on the channel CollectionWatcher::kChannel).
extern const char* const kServerSupportSql;

// Gives the server's snippet table what kServerSupportSql makes, where it lacks any of it.
// Returns whether it added anything. Throws varozidi::Error (for instance when the user may
// not change the table).
bool EnsureServerSupport(ado::PgBackend& server, const QString& location);

// As DistinctLanguages, on a server: one index seek per spelling. Nothing when the table has
// no such index.
std::optional<QStringList> DistinctLanguagesOnServer(ado::PgBackend& server, const QString& table);

} // namespace varozidi::language
