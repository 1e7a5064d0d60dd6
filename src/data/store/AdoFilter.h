// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Turns the old Jet/ADO filter texts into SQL conditions whose values are all bound
// parameters. Field names are checked against the table's columns; nothing the user typed
// reaches the SQL text.

#include <QString>
#include <QVariant>
#include <vector>

namespace varozidi::ado {

// The case-insensitive collation every connection registers for text comparisons.
inline constexpr char kCollation[] = "VAROZIDI_NOCASE";

enum class Affinity { Integer, Real, Text };

struct Column {
    QString name;
    Affinity affinity = Affinity::Text;
};

// SQLite's affinity rules for a declared column type, reduced to what filters need.
Affinity affinityOf(const QString& declaredType);

struct Condition {
    QString sql;                  // empty: every row
    std::vector<QVariant> params; // for the ? in sql, in order
    bool empty() const { return sql.isEmpty(); }
};

// Throws varozidi::Error naming the problem and the filter text. binaryRanges: text sorts in
// code point order in this database (UTF-8), so text equality may add a range an index can
// seek.
Condition translateFilter(const QString& filter, const std::vector<Column>& columns,
                          const QString& tableName, bool binaryRanges = false);

QString quoteIdentifier(const QString& name);

} // namespace varozidi::ado
