// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The table cursor's inside, shared by its reading and writing halves.

#include "data/store/ADODB.h"
#include "data/store/AdoBackend.h"
#include "data/store/AdoFilter.h"

#include <algorithm>
#include <vector>

namespace varozidi::ado {

// Sequential reading loads a column in chunks that double up to this many rows...
constexpr qsizetype kMaxChunkRows = 4096;
// ...unless a chunk already holds this much text (long bodies), then they shrink again.
constexpr qsizetype kChunkBytes = 4 * 1024 * 1024;

} // namespace varozidi::ado

struct TADOTable::Impl {
    // Consecutive values of one column, for the rows rowids[first], rowids[first + 1], ...
    struct Window {
        qsizetype first = 0;
        std::vector<QVariant> values;
        qsizetype bytes = 0;
        bool unscannable = false; // see scan
        bool holds(qsizetype row) const {
            return row >= first && row < first + qsizetype(values.size());
        }
    };

    TADOTable* q;
    std::vector<varozidi::ado::Column> columns;
    QString rowidSql;      // see TableShape
    int aliasColumn = -1;  // read from rowids directly
    int generatedKey = -1; // numbered here on insert
    bool utf8 = false;     // text sorts in code point order
    varozidi::ado::Condition condition;
    std::vector<qint64> rowids; // the visible rows, ascending
    qsizetype pos = 0;
    std::vector<Window> windows;
    bool justRead = false;        // the windows were read with the rows, and no row was left since
    std::vector<QVariant> buffer; // the row being edited or inserted
    std::vector<bool> changed;
    QString expectedVersion; // of the row being edited; see setExpectedVersion
    QString writtenVersion;  // the row's version as the last Post wrote it
    qsizetype posBeforeInsert = 0;

    explicit Impl(TADOTable* table) : q(table) {}

    varozidi::ado::Backend& engine() const { return q->connection_->backend(); }
    QString path() const { return q->connection_->Location(); }
    QString table() const { return varozidi::ado::quoteIdentifier(q->tableName_); }
    bool atEnd() const { return pos >= qsizetype(rowids.size()); }
    QString reading() const {
        return QStringLiteral("read the table '%1' of the database").arg(q->tableName_);
    }
    QString writing() const {
        return QStringLiteral("save to the table '%1' of the database").arg(q->tableName_);
    }

    void readColumns();
    varozidi::ado::Condition compile(const QString& filter) const {
        return varozidi::ado::translateFilter(filter, columns, q->tableName_, utf8);
    }
    // Reads the rows matching c and stands on the first; nothing changes when this fails.
    void apply(varozidi::ado::Condition c);

    void dropWindows() {
        for (Window& w : windows)
            w = {};
        justRead = false;
    }
    QVariant cell(int column) {
        Window& w = windows[std::size_t(column)];
        if (!w.holds(pos))
            load(w, column);
        return w.values[std::size_t(pos - w.first)];
    }
    void load(Window& w, int column);
    bool scan(Window& w, int column);
    void lookUp(Window& w, int column, const std::vector<qint64>& rows);

    // A write through any cursor makes every cursor on the connection read afresh.
    void written() {
        for (TADOTable* other : q->connection_->tables_)
            if (other->d_)
                other->d_->dropWindows();
    }

    qint64 write();

    // Puts rowid among the visible rows and stands on it.
    void standOn(qint64 id) {
        const auto it = std::lower_bound(rowids.begin(), rowids.end(), id);
        pos = it - rowids.begin();
        if (it == rowids.end() || *it != id)
            rowids.insert(it, id);
    }
};
