// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

namespace varozidi::setup {

// Gives an empty database on a PostgreSQL server the snippet table, its indexes, the search
// support and the trigger that tells windows of changes, in one transaction. A snippet table
// already there is kept (true is returned for that); any other table of that name is refused and
// left alone. Throws varozidi::Error naming the server, never the password.
bool PrepareServer(const QString& uri);

} // namespace varozidi::setup
