// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// What the data layer's tests on real SQLite files share: generated tables, a connection with
// its cursor, and traces of what SQLite read.

#include "TestSupport.h"

#include "data/core/Errors.h"
#include "data/store/ADODB.h"

#include <QtTest>
#include <sqlite3.h>

namespace adotest {

using testsupport::Row;
using testsupport::StoredRow;

// A fresh database holding count generated rows: Language 'L' || (i % 3), Title 'T' || i and
// a Body of bodySize 'x' followed by i.
inline void makeGenerated(const QString& path, int count, int bodySize) {
    QVERIFY(QFile::remove(path));
    testsupport::makeDatabase(path, {});
    testsupport::execSql(
        path, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                             "WHERE i < %1) INSERT INTO varozidi (Language, Title, Body) "
                             "SELECT 'L' || (i % 3), 'T' || i, printf('%.*c', %2, 'x') || i "
                             "FROM n WHERE i <= %1")
                  .arg(count)
                  .arg(bodySize));
}

inline void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

template <class F> QString errorOf(F&& f) {
    try {
        f();
    } catch (const varozidi::Error& e) {
        return e.message();
    }
    return {};
}

inline QList<int> idsFromHere(TADOTable& table) {
    QList<int> ids;
    for (; !table.Eof(); table.Next())
        ids.append(table.FieldByName(QStringLiteral("ID")).AsInteger());
    return ids;
}

inline const QList<Row> kRows = {
    {"SQL", "Top 10", "select 1"},
    {"C++", "Hello", "int main"},
    {"SQL", "Joins", "select *"},
    {"Python", "Hi", "print"},
};

inline QList<StoredRow> storedRows() {
    QList<StoredRow> rows;
    for (int i = 0; i < kRows.size(); ++i)
        rows.append({i + 1, kRows[i].language, kRows[i].title, kRows[i].body});
    return rows;
}

// One connection and one cursor on the snippet table of a database file.
struct Opened {
    explicit Opened(const QString& path, const QString& filter = {}) {
        connection.setConnectionString(testsupport::connectionStringFor(path));
        table.setConnection(&connection);
        table.setTableName(QStringLiteral("varozidi"));
        table.setFilter(filter);
        table.setFiltered(!filter.isEmpty());
    }
    TField field(const char* name) { return table.FieldByName(QLatin1String(name)); }
    TADOConnection connection;
    TADOTable table;
};

struct Trace {
    QStringList readColumns;
    int bodyRows = 0;
};

inline int recordReads(void* data, int action, const char*, const char* column, const char*,
                       const char*) {
    if (action == SQLITE_READ && column)
        static_cast<Trace*>(data)->readColumns.append(QString::fromUtf8(column));
    return SQLITE_OK;
}

inline int countBodyRows(unsigned type, void* data, void* statement, void*) {
    if (type == SQLITE_TRACE_ROW &&
        QByteArray(sqlite3_sql(static_cast<sqlite3_stmt*>(statement))).contains("\"Body\""))
        ++static_cast<Trace*>(data)->bodyRows;
    return 0;
}

} // namespace adotest
