// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the data layer needs to know of a table: its fields, and how to reach a row's real
// rowid whatever the table declares.

#include "data/store/AdoFilter.h"

#include <QString>
#include <vector>

struct sqlite3;

namespace varozidi::ado {

struct TableShape {
    std::vector<Column> columns;
    // How SQL names the row's real rowid here: a field may hide "rowid", and a declared key
    // is not always the rowid, so rows are never found by a field's value.
    QString rowidSql;
    int aliasColumn = -1;  // a field that is the rowid itself
    int generatedKey = -1; // an INTEGER primary key SQLite does not number itself
};

// Throws varozidi::Error for a missing table, one WITHOUT ROWID, or one whose fields hide
// every name of the rowid.
TableShape describeTable(sqlite3* db, const QString& path, const QString& table);

} // namespace varozidi::ado
