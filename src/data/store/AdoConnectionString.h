// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <map>

namespace varozidi::ado {

// "key=value;..." pairs: keys lower-cased, values may be quoted with " or ' (doubled
// inside). Throws varozidi::Error for a malformed string.
std::map<QString, QString> parseConnectionString(const QString& s);

// The program's connection string for the database file at path.
QString jetConnectionString(const QString& path);
// The connection string for a PostgreSQL server's libpq address, "postgresql://...".
QString serverConnectionString(const QString& uri);

} // namespace varozidi::ado
