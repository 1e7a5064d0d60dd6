// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The snippets listed row by row from the SQLite file, as Collection::list describes.

#include "data/collection/Collection.h"

struct sqlite3;

namespace varozidi::sqlite {

// utf8: the file keeps text as UTF-8, so text sorts in code point order (see
// ado::translateFilter). Throws varozidi::Error.
void ListSnippets(sqlite3* db, const QString& path, bool utf8,
                  const std::optional<QString>& language,
                  const std::function<void(const ListingOutline&)>& outline,
                  const std::function<void(const ListedSnippet&)>& row);

} // namespace varozidi::sqlite
