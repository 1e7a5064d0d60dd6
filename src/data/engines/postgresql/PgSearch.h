// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Search on a server: pg_trgm's trigram index finds the candidates, and the same check as on
// the local file decides, so that both find the same snippets in the same order.

#include "data/search/SearchIndex.h"

namespace varozidi::ado {
class PgBackend;
}

namespace varozidi::search {

// As Find: title matches first, each group in ID order, at most limit.
Outcome FindOnServer(ado::PgBackend& server, const QString& text, int limit,
                     const std::function<bool()>& stopped = {});
// As FindEach: each hit told as it is found, title matches first.
void FindEachOnServer(ado::PgBackend& server, const QString& text,
                      const std::function<void(const Hit&)>& each);
// "ok", or "missing" when the server's table lacks its trigram index.
QString CheckServerIndex(ado::PgBackend& server);

// The trigram indexes as varozidi-setup makes them: on the fields lower-cased by ICU, whatever the
// server's own locale, so that case is ignored for every letter.
extern const char* const kServerIndexSql;

} // namespace varozidi::search
