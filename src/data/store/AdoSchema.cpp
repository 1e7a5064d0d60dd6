// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/store/AdoSchema.h"

#include "data/core/Errors.h"
#include "data/engines/sqlite/AdoStatement.h"

#include <algorithm>
#include <sqlite3.h>

namespace varozidi::ado {

TableShape describeTable(sqlite3* db, const QString& path, const QString& table) {
    const QString reading = QStringLiteral("read the table '%1' of the database").arg(table);
    TableShape shape;
    Statement s(db, path, QStringLiteral("SELECT name, type, pk FROM pragma_table_info(?)"),
                reading);
    s.bind(1, table);
    int keys = 0;
    int key = -1;
    QString keyType;
    while (s.step()) {
        const QString type = s.value(1).toString();
        if (s.int64(2) > 0) {
            ++keys;
            key = int(shape.columns.size());
            keyType = type;
        }
        shape.columns.push_back({s.value(0).toString(), affinityOf(type)});
    }
    if (shape.columns.empty())
        throw Error(
            QStringLiteral("Cannot find the table '%1' in the database \"%2\".").arg(table, path));
    // A view reads like a table but has no row numbers to find its rows again by.
    Statement kind(db, path,
                   QStringLiteral("SELECT type FROM sqlite_master WHERE name = ? COLLATE NOCASE"),
                   reading);
    kind.bind(1, table);
    if (kind.step() && kind.value(0).toString() != u"table")
        throw Error(QStringLiteral("'%1' in the database \"%2\" is a view, not a table; this "
                                   "program keeps its snippets in a table.")
                        .arg(table, path));
    if (keys == 1 && shape.columns[std::size_t(key)].affinity == Affinity::Integer) {
        // Only a key declared exactly INTEGER, with no index of its own, is the rowid;
        // "INTEGER PRIMARY KEY DESC" and "INT PRIMARY KEY" get an index and are not.
        Statement index(
            db, path,
            QStringLiteral("SELECT count(*) FROM pragma_index_list(?) WHERE origin = 'pk'"),
            reading);
        index.bind(1, table);
        index.step();
        const bool alias =
            keyType.compare(u"INTEGER", Qt::CaseInsensitive) == 0 && index.int64(0) == 0;
        (alias ? shape.aliasColumn : shape.generatedKey) = key;
    }
    for (const char* name : {"rowid", "_rowid_", "oid"}) {
        const bool hidden =
            std::any_of(shape.columns.begin(), shape.columns.end(), [name](const Column& c) {
                return c.name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
            });
        if (!hidden) {
            shape.rowidSql = QLatin1String(name);
            break;
        }
    }
    if (shape.rowidSql.isEmpty() && shape.aliasColumn >= 0)
        shape.rowidSql = quoteIdentifier(shape.columns[std::size_t(shape.aliasColumn)].name);
    if (shape.rowidSql.isEmpty())
        throw Error(QStringLiteral("The table '%1' in the database \"%2\" has fields named rowid, "
                                   "_rowid_ and oid, which hide the row numbers this program "
                                   "needs to tell its rows apart.")
                        .arg(table, path));
    // Only a table made WITHOUT ROWID has no rowid under a name no field takes.
    sqlite3_stmt* probe = nullptr;
    const QByteArray sql =
        QStringLiteral("SELECT %1 FROM %2").arg(shape.rowidSql, quoteIdentifier(table)).toUtf8();
    const int rc = sqlite3_prepare_v2(db, sql.constData(), int(sql.size()), &probe, nullptr);
    sqlite3_finalize(probe);
    if (rc != SQLITE_OK)
        throw Error(QStringLiteral("The table '%1' in the database \"%2\" was made WITHOUT "
                                   "ROWID; this program can only use tables that number their "
                                   "rows.")
                        .arg(table, path));
    return shape;
}

} // namespace varozidi::ado
