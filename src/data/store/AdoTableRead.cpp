// SPDX-License-Identifier: GPL-3.0-or-later
// The table cursor's reading half: which rows a filter shows, and their values in windows.
#include "data/store/AdoTableImpl.h"

#include <QStringList>
#include <numeric>

using varozidi::ado::Condition;
using varozidi::ado::kChunkBytes;
using varozidi::ado::kMaxChunkRows;
using varozidi::ado::quoteIdentifier;

namespace {

qsizetype sizeOf(const QVariant& v) {
    if (const QByteArray* text = varozidi::ado::Utf8BytesOf(v))
        return text->size();
    if (v.typeId() == QMetaType::QString)
        return static_cast<const QString*>(v.constData())->size() * qsizetype(sizeof(QChar));
    if (v.typeId() == QMetaType::QByteArray)
        return static_cast<const QByteArray*>(v.constData())->size();
    return 0;
}

// Values short enough that a whole chunk of them stays within its bytes.
bool shortValues(qsizetype bytes, qsizetype rows) {
    return bytes <= rows * (kChunkBytes / kMaxChunkRows);
}

// Short values read along with the rows, up to this much: a list of 100,000 titles.
constexpr qsizetype kAlongBytes = 8 * kChunkBytes;

} // namespace

void TADOTable::Impl::readColumns() {
    varozidi::ado::TableShape shape = engine().describe(q->tableName_);
    columns = std::move(shape.columns);
    rowidSql = std::move(shape.rowidSql);
    aliasColumn = shape.aliasColumn;
    generatedKey = shape.generatedKey;
    windows.assign(columns.size(), {});
    utf8 = engine().textInCodePointOrder();
}

void TADOTable::Impl::apply(Condition c) {
    // Columns an earlier pass through a filter read row by row come with the rows: a list
    // of titles then visits each row once.
    std::vector<int> along;
    if (!c.empty())
        for (std::size_t i = 0; i < columns.size(); ++i)
            if (int(i) != aliasColumn && q->readAlong_.contains(columns[i].name))
                along.push_back(int(i));
    QString sql = QStringLiteral("SELECT %1").arg(rowidSql);
    for (int column : along)
        sql += u',' + quoteIdentifier(columns[std::size_t(column)].name);
    sql += QStringLiteral(" FROM ") + table();
    if (!c.empty())
        sql += QStringLiteral(" WHERE ") + c.sql;
    // Sorted here: asked to sort, SQLite would rather scan the table in order than use
    // an index for the condition.
    const auto s = engine().query(sql, c.params, reading());
    std::vector<qint64> rows;
    std::vector<std::vector<QVariant>> values(along.size());
    qsizetype bytes = 0;
    while (s->step()) {
        rows.push_back(s->int64(0));
        for (std::size_t k = 0; k < along.size(); ++k) {
            values[k].push_back(s->cell(int(k) + 1));
            bytes += sizeOf(values[k].back());
        }
        if (!along.empty() && bytes > kAlongBytes) {
            // Too much to hold: these are read in chunks again, and no longer along.
            for (int column : along)
                q->readAlong_.removeAll(columns[std::size_t(column)].name);
            along.clear();
            values.clear();
        }
    }
    if (!std::is_sorted(rows.begin(), rows.end())) {
        std::vector<std::size_t> order(rows.size());
        std::iota(order.begin(), order.end(), std::size_t(0));
        std::sort(order.begin(), order.end(),
                  [&rows](std::size_t a, std::size_t b) { return rows[a] < rows[b]; });
        const auto permuted = [&order](auto& list) {
            std::remove_reference_t<decltype(list)> sorted;
            sorted.reserve(list.size());
            for (std::size_t i : order)
                sorted.push_back(std::move(list[i]));
            list = std::move(sorted);
        };
        permuted(rows);
        for (auto& list : values)
            permuted(list);
    }
    rowids = std::move(rows);
    condition = std::move(c);
    pos = 0;
    dropWindows();
    for (std::size_t k = 0; k < along.size(); ++k) {
        Window& w = windows[std::size_t(along[k])];
        w.values = std::move(values[k]);
        w.bytes = std::accumulate(w.values.begin(), w.values.end(), qsizetype(0),
                                  [](qsizetype sum, const QVariant& v) { return sum + sizeOf(v); });
    }
    justRead = !along.empty();
}

// Loads column values from the current row on: one row when jumping about, ever larger
// chunks while reading row after row.
void TADOTable::Impl::load(Window& w, int column) {
    const qsizetype loaded = qsizetype(w.values.size());
    const bool sequential = loaded > 0 && pos == w.first + loaded;
    if (sequential && !condition.empty() && !w.unscannable && shortValues(w.bytes, loaded) &&
        scan(w, column))
        return;
    qsizetype count = 1;
    if (sequential)
        count = w.bytes > kChunkBytes ? std::max<qsizetype>(1, loaded / 2)
                                      : std::min(loaded * 2, kMaxChunkRows);
    count = std::min(count, qsizetype(rowids.size()) - pos);

    // All rows: one range scan. Filtered rows lie scattered: look up just those, which
    // also finds rows written through this cursor that no longer match the filter.
    const bool all = condition.empty();
    const QString rows =
        all ? QStringLiteral("%1 BETWEEN ? AND ?").arg(rowidSql)
            : QStringLiteral("%1 IN (%2)")
                  .arg(rowidSql, QStringList(count, QStringLiteral("?")).join(u','));
    std::vector<QVariant> params;
    if (all) {
        params = {rowids[std::size_t(pos)], rowids[std::size_t(pos + count - 1)]};
    } else {
        for (qsizetype i = 0; i < count; ++i)
            params.emplace_back(rowids[std::size_t(pos + i)]);
    }
    const auto s = engine().query(
        QStringLiteral("SELECT %1, %2 FROM %3 WHERE %4 ORDER BY %1")
            .arg(rowidSql, quoteIdentifier(columns[std::size_t(column)].name), table(), rows),
        params, reading());
    Window fresh;
    fresh.first = pos;
    fresh.values.resize(std::size_t(count));
    fresh.unscannable = w.unscannable;
    // Rows another program deleted meanwhile stay empty; rows it added are not ours.
    qsizetype at = pos;
    const qsizetype end = pos + count;
    while (s->step()) {
        const qint64 rowid = s->int64(0);
        while (at < end && rowids[std::size_t(at)] < rowid)
            ++at;
        if (at == end)
            break;
        if (rowids[std::size_t(at)] != rowid)
            continue;
        QVariant v = s->cell(1);
        fresh.bytes += sizeOf(v);
        fresh.values[std::size_t(at - pos)] = std::move(v);
    }
    w = std::move(fresh);
}

// Short values read row after row through a filter: the rest of the column in one pass
// over the filter's rows, rather than looking up each row again by its rowid, and the
// column read along with the rows from now on. Gives up (false) past kAlongBytes.
bool TADOTable::Impl::scan(Window& w, int column) {
    const QString name = columns[std::size_t(column)].name;
    // "+": the rowid bound must not lead SQLite to scan the table in place of the index.
    const QString sql = QStringLiteral("SELECT %1, %2 FROM %3 WHERE (%4) AND +%1 > ?")
                            .arg(rowidSql, quoteIdentifier(name), table(), condition.sql);
    std::vector<QVariant> params = condition.params;
    params.emplace_back(rowids[std::size_t(pos - 1)]);
    const auto s = engine().query(sql, params, reading());
    std::vector<std::pair<qint64, QVariant>> found;
    qsizetype bytes = 0;
    while (s->step()) {
        QVariant v = s->cell(1);
        bytes += sizeOf(v);
        if (bytes > kAlongBytes) {
            w.unscannable = true;
            return false;
        }
        found.emplace_back(s->int64(0), std::move(v));
    }
    const auto byRowid = [](const auto& a, const auto& b) { return a.first < b.first; };
    if (!std::is_sorted(found.begin(), found.end(), byRowid))
        std::sort(found.begin(), found.end(), byRowid);

    Window fresh;
    fresh.first = pos;
    fresh.values.resize(rowids.size() - std::size_t(pos));
    fresh.bytes = bytes;
    // Rows written through this cursor may no longer match the filter: looked up alone.
    std::vector<qint64> missing;
    auto next = found.begin();
    for (std::size_t at = std::size_t(pos); at < rowids.size(); ++at) {
        next = std::lower_bound(next, found.end(), std::pair{rowids[at], QVariant()}, byRowid);
        if (next != found.end() && next->first == rowids[at])
            fresh.values[at - std::size_t(pos)] = std::move(next->second);
        else
            missing.push_back(rowids[at]);
    }
    w = std::move(fresh);
    lookUp(w, column, missing);
    if (!q->readAlong_.contains(name))
        q->readAlong_.append(name);
    return true;
}

// Fills in the given rows of w (ascending rowids it covers) by their rowids.
void TADOTable::Impl::lookUp(Window& w, int column, const std::vector<qint64>& rows) {
    const QString name = quoteIdentifier(columns[std::size_t(column)].name);
    for (std::size_t first = 0; first < rows.size(); first += std::size_t(kMaxChunkRows)) {
        const std::size_t count = std::min(rows.size() - first, std::size_t(kMaxChunkRows));
        std::vector<QVariant> params;
        for (std::size_t i = first; i < first + count; ++i)
            params.emplace_back(rows[i]);
        const auto s =
            engine().query(QStringLiteral("SELECT %1, %2 FROM %3 WHERE %1 IN (%4)")
                               .arg(rowidSql, name, table(),
                                    QStringList(qsizetype(count), QStringLiteral("?")).join(u',')),
                           params, reading());
        const auto begin = rowids.begin() + w.first;
        const auto end = begin + qsizetype(w.values.size());
        while (s->step()) {
            const qint64 rowid = s->int64(0);
            const auto at = std::lower_bound(begin, end, rowid);
            if (at == end || *at != rowid)
                continue;
            QVariant v = s->cell(1);
            w.bytes += sizeOf(v);
            w.values[std::size_t(at - begin)] = std::move(v);
        }
    }
}
