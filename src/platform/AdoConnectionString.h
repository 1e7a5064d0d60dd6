#pragma once

#include <QString>
#include <map>

namespace varozidi::ado {

// "key=value;..." pairs: keys lower-cased, values may be quoted with " or ' (doubled
// inside). Throws varozidi::Error for a malformed string.
std::map<QString, QString> parseConnectionString(const QString& s);

} // namespace varozidi::ado
