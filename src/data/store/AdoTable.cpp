// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/core/SysUtils.h"
#include "data/store/ADODB.h"

#include "data/core/Errors.h"
#include "data/store/AdoBackend.h"
#include "data/store/AdoFilter.h"

#include <QStringList>
#include <algorithm>
#include <climits>
#include <cmath>

using varozidi::Error;
using varozidi::ado::Condition;
using varozidi::ado::quoteIdentifier;

namespace {

// Sequential reading loads a column in chunks that double up to this many rows...
constexpr qsizetype kMaxChunkRows = 4096;
// ...unless a chunk already holds this much text (long bodies), then they shrink again.
constexpr qsizetype kChunkBytes = 4 * 1024 * 1024;

QString shortened(const QString& text) {
    constexpr qsizetype kMax = 40;
    return text.size() <= kMax ? text : text.left(kMax) + QStringLiteral("...");
}

} // namespace

// ---------------------------------------------------------------------------------------
// TADOTable

struct TADOTable::Impl {
    // Consecutive values of one column, for the rows rowids[first], rowids[first + 1], ...
    struct Window {
        qsizetype first = 0;
        std::vector<QVariant> values;
        qsizetype bytes = 0;
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
    Condition condition;
    std::vector<qint64> rowids; // the visible rows, ascending
    qsizetype pos = 0;
    std::vector<Window> windows;
    std::vector<QVariant> buffer; // the row being edited or inserted
    std::vector<bool> changed;
    QString expectedVersion; // of the row being edited; see setExpectedVersion
    QString writtenVersion;  // the row's version as the last Post wrote it
    qsizetype posBeforeInsert = 0;

    explicit Impl(TADOTable* table) : q(table) {}

    varozidi::ado::Backend& engine() const { return q->connection_->backend(); }
    QString path() const { return q->connection_->Location(); }
    QString table() const { return quoteIdentifier(q->tableName_); }
    bool atEnd() const { return pos >= qsizetype(rowids.size()); }
    QString reading() const {
        return QStringLiteral("read the table '%1' of the database").arg(q->tableName_);
    }
    QString writing() const {
        return QStringLiteral("save to the table '%1' of the database").arg(q->tableName_);
    }

    void readColumns() {
        varozidi::ado::TableShape shape = engine().describe(q->tableName_);
        columns = std::move(shape.columns);
        rowidSql = std::move(shape.rowidSql);
        aliasColumn = shape.aliasColumn;
        generatedKey = shape.generatedKey;
        windows.assign(columns.size(), {});
        utf8 = engine().textInCodePointOrder();
    }

    Condition compile(const QString& filter) const {
        return varozidi::ado::translateFilter(filter, columns, q->tableName_, utf8);
    }

    // Reads the rows matching c and stands on the first; nothing changes when this fails.
    void apply(Condition c) {
        QString sql = QStringLiteral("SELECT %1 FROM %2").arg(rowidSql, table());
        if (!c.empty())
            sql += QStringLiteral(" WHERE ") + c.sql;
        // Sorted here: asked to sort, SQLite would rather scan the table in order than use
        // an index for the condition.
        const auto s = engine().query(sql, c.params, reading());
        std::vector<qint64> rows;
        while (s->step())
            rows.push_back(s->int64(0));
        if (!std::is_sorted(rows.begin(), rows.end()))
            std::sort(rows.begin(), rows.end());
        rowids = std::move(rows);
        condition = std::move(c);
        pos = 0;
        dropWindows();
    }

    void dropWindows() {
        for (Window& w : windows)
            w = {};
    }

    QVariant cell(int column) {
        Window& w = windows[std::size_t(column)];
        if (!w.holds(pos))
            load(w, column);
        return w.values[std::size_t(pos - w.first)];
    }

    // Loads column values from the current row on: one row when jumping about, ever larger
    // chunks while reading row after row.
    void load(Window& w, int column) {
        const qsizetype loaded = qsizetype(w.values.size());
        qsizetype count = 1;
        if (loaded > 0 && pos == w.first + loaded)
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
            if (const QByteArray* text = varozidi::ado::Utf8BytesOf(v))
                fresh.bytes += text->size();
            else if (v.typeId() == QMetaType::QString)
                fresh.bytes += v.toString().size() * qsizetype(sizeof(QChar));
            else if (v.typeId() == QMetaType::QByteArray)
                fresh.bytes += v.toByteArray().size();
            fresh.values[std::size_t(at - pos)] = std::move(v);
        }
        w = std::move(fresh);
    }

    // A write through any cursor makes every cursor on the connection read afresh.
    void written() {
        for (TADOTable* table : q->connection_->tables_)
            if (table->d_)
                table->d_->dropWindows();
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

TADOTable::TADOTable(QObject* parent) : QObject(parent) {}

TADOTable::~TADOTable() {
    Close();
    if (connection_)
        connection_->detach(this);
}

void TADOTable::setConnection(TADOConnection* connection) {
    if (connection == connection_)
        return;
    Close();
    if (connection_)
        connection_->detach(this);
    connection_ = connection;
    if (connection_)
        connection_->attach(this);
}

void TADOTable::setTableName(const QString& name) {
    if (name == tableName_)
        return;
    Close();
    tableName_ = name;
}

void TADOTable::Open() {
    if (Active())
        return;
    if (!connection_)
        throw Error(
            QStringLiteral("Cannot open the table '%1': it has no connection.").arg(tableName_));
    if (tableName_.isEmpty())
        throw Error(QStringLiteral("Cannot open a table without a name."));
    connection_->Open();
    auto d = std::make_unique<Impl>(this);
    d->readColumns();
    d->apply(filtered_ ? d->compile(filter_) : Condition{});
    d_ = std::move(d);
    state_ = State::dsBrowse;
}

void TADOTable::Close() {
    d_.reset();
    state_ = State::dsInactive;
}

void TADOTable::connectionClosing() {
    Close();
}

namespace {

[[noreturn]] void throwClosed(const QString& table) {
    throw Error(
        QStringLiteral("Cannot perform this operation on the closed table '%1'.").arg(table));
}

} // namespace

void TADOTable::setFilter(const QString& filter) {
    if (Active() && filtered_) {
        if (state_ != State::dsBrowse)
            Post();
        d_->apply(d_->compile(filter));
    }
    filter_ = filter;
}

void TADOTable::setFiltered(bool on) {
    if (on == filtered_)
        return;
    if (Active()) {
        if (state_ != State::dsBrowse)
            Post();
        d_->apply(on ? d_->compile(filter_) : Condition{});
    }
    filtered_ = on;
}

void TADOTable::First() {
    if (!Active())
        throwClosed(tableName_);
    if (state_ != State::dsBrowse)
        Post();
    d_->pos = 0;
    // A new pass over the rows: show what others may have changed since.
    d_->dropWindows();
}

void TADOTable::Next() {
    if (!Active())
        throwClosed(tableName_);
    if (state_ != State::dsBrowse)
        Post();
    if (!d_->atEnd())
        ++d_->pos;
}

bool TADOTable::Eof() const {
    return !Active() || d_->atEnd();
}

int TADOTable::RecordCount() const {
    if (!Active())
        throwClosed(tableName_);
    return int(d_->rowids.size());
}

TField TADOTable::FieldByName(const QString& name) {
    if (!Active())
        throwClosed(tableName_);
    for (std::size_t i = 0; i < d_->columns.size(); ++i)
        if (d_->columns[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return TField(this, int(i));
    throw Error(QStringLiteral("Field '%1' not found in the table '%2'.").arg(name, tableName_));
}

void TADOTable::Edit() {
    if (!Active())
        throwClosed(tableName_);
    if (state_ != State::dsBrowse)
        return;
    if (d_->atEnd())
        throw Error(
            QStringLiteral("Cannot edit: the table '%1' has no current record.").arg(tableName_));
    d_->buffer.assign(d_->columns.size(), QVariant());
    d_->changed.assign(d_->columns.size(), false);
    state_ = State::dsEdit;
}

void TADOTable::Insert() {
    if (!Active())
        throwClosed(tableName_);
    if (state_ != State::dsBrowse)
        Post();
    d_->buffer.assign(d_->columns.size(), QVariant());
    d_->changed.assign(d_->columns.size(), false);
    d_->posBeforeInsert = d_->pos;
    state_ = State::dsInsert;
}

void TADOTable::Post() {
    if (!Active())
        throwClosed(tableName_);
    if (state_ == State::dsBrowse)
        return;
    // A post that fails is dropped, never kept to be written by a later move or filter.
    qint64 id = 0;
    try {
        id = d_->write();
    } catch (...) {
        Cancel();
        throw;
    }
    d_->buffer.clear();
    d_->changed.clear();
    d_->expectedVersion.clear();
    state_ = State::dsBrowse;
    d_->written();
    // The row is written: a failure to read it back is no failure of the write.
    try {
        d_->standOn(id);
    } catch (const std::exception& e) {
        throw varozidi::AfterChangeError(varozidi::messageOf(e));
    }
}

// Writes the row being edited or inserted; returns its rowid.
qint64 TADOTable::Impl::write() {
    writtenVersion.clear();
    QStringList names;
    QStringList places;
    std::vector<QVariant> values;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        if (!changed[i])
            continue;
        names.append(quoteIdentifier(columns[i].name));
        places.append(QStringLiteral("?"));
        values.push_back(buffer[i]);
    }
    if (q->state_ == State::dsEdit) {
        qint64 id = rowids[std::size_t(pos)];
        if (names.isEmpty())
            return id;
        values.emplace_back(id);
        // Checked in the write itself, so that no one's write slips in between.
        const auto changedError = [this] {
            return RowChangedError(QStringLiteral("Cannot save to the table '%1' of \"%2\": the "
                                                  "record was changed by another user.")
                                       .arg(q->tableName_, path()));
        };
        QString guard;
        const QString version = engine().versionSql(q->tableName_);
        if (!expectedVersion.isEmpty() && !version.isEmpty()) {
            guard = QStringLiteral(" AND %1 = ?").arg(version);
            values.emplace_back(expectedVersion);
        } else if (!expectedVersion.isEmpty() &&
                   engine().version(q->tableName_, rowidSql, id, writing()) != expectedVersion) {
            // An engine that cannot check in the write: checked just before it.
            throw changedError();
        }
        const QString sql =
            QStringLiteral("UPDATE %1 SET %2 = ? WHERE %3 = ?%4")
                .arg(table(), names.join(QStringLiteral(" = ?, ")), rowidSql, guard);
        // The version as written, from the write itself: read after it, it could be another
        // program's, and the body would be read whole once more.
        const qint64 changes =
            version.isEmpty()
                ? engine().change(sql, values, writing())
                : engine().changeReturning(sql, version, values, writtenVersion, writing());
        if (changes == 0 && !guard.isEmpty() &&
            !engine().version(q->tableName_, rowidSql, id, writing()).isEmpty())
            throw changedError();
        if (changes == 0)
            throw Error(QStringLiteral("Cannot save to the table '%1' of \"%2\": the record was "
                                       "deleted by another user.")
                            .arg(q->tableName_, path()));
        if (aliasColumn >= 0 && changed[std::size_t(aliasColumn)]) {
            rowids.erase(rowids.begin() + pos);
            id = buffer[std::size_t(aliasColumn)].toLongLong();
        }
        return id;
    }
    if (generatedKey >= 0 && !changed[std::size_t(generatedKey)]) {
        // Numbered in the same statement, so no other writer can take the number between.
        const QString key = quoteIdentifier(columns[std::size_t(generatedKey)].name);
        names.append(key);
        places.append(
            QStringLiteral("(SELECT COALESCE(MAX(%1), 0) + 1 FROM %2)").arg(key, table()));
    }
    const QString sql = names.isEmpty()
                            ? QStringLiteral("INSERT INTO %1 DEFAULT VALUES").arg(table())
                            : QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                  .arg(table(), names.join(u','), places.join(u','));
    return engine().insert(sql, values, rowidSql, writing());
}

void TADOTable::Cancel() {
    if (!Active() || state_ == State::dsBrowse)
        return;
    if (state_ == State::dsInsert)
        d_->pos = d_->posBeforeInsert;
    d_->buffer.clear();
    d_->changed.clear();
    d_->expectedVersion.clear();
    state_ = State::dsBrowse;
}

void TADOTable::Delete() {
    if (!Active())
        throwClosed(tableName_);
    if (state_ == State::dsInsert) {
        Cancel();
        return;
    }
    Cancel();
    Impl& d = *d_;
    if (d.atEnd())
        throw Error(
            QStringLiteral("Cannot delete: the table '%1' has no current record.").arg(tableName_));
    d.engine().change(QStringLiteral("DELETE FROM %1 WHERE %2 = ?").arg(d.table(), d.rowidSql),
                      {d.rowids[std::size_t(d.pos)]}, d.writing());
    // The row after it moves into its place.
    d.rowids.erase(d.rowids.begin() + d.pos);
    d.written();
}

QString TADOTable::RowVersion() {
    if (!Active())
        throwClosed(tableName_);
    if (d_->atEnd())
        return {};
    return d_->engine().version(tableName_, d_->rowidSql, d_->rowids[std::size_t(d_->pos)],
                                d_->reading());
}

QString TADOTable::WrittenVersion() const {
    return Active() ? d_->writtenVersion : QString();
}

void TADOTable::setExpectedVersion(const QString& version) {
    if (!Active())
        throwClosed(tableName_);
    d_->expectedVersion = version;
}

QVariant TADOTable::value(int column) {
    if (!Active())
        throwClosed(tableName_);
    Impl& d = *d_;
    const auto c = std::size_t(column);
    if (state_ == State::dsInsert || (state_ == State::dsEdit && d.changed[c]))
        return d.buffer[c];
    if (d.atEnd())
        return {};
    if (column == d.aliasColumn)
        return d.rowids[std::size_t(d.pos)];
    return d.cell(column);
}

void TADOTable::setValue(int column, const QVariant& v) {
    if (!Active())
        throwClosed(tableName_);
    if (state_ == State::dsBrowse)
        throw Error(QStringLiteral("Cannot change the field '%1': the table '%2' is not being "
                                   "edited.")
                        .arg(d_->columns[std::size_t(column)].name, tableName_));
    d_->buffer[std::size_t(column)] = v;
    d_->changed[std::size_t(column)] = true;
}

namespace {

// The bytes a field holds as they are stored: text undecoded, or a BLOB.
const QByteArray* storedBytes(const QVariant& v) {
    if (const QByteArray* utf8 = varozidi::ado::Utf8BytesOf(v))
        return utf8;
    return v.typeId() == QMetaType::QByteArray ? static_cast<const QByteArray*>(v.constData())
                                               : nullptr;
}

} // namespace

// ---------------------------------------------------------------------------------------
// TField

QString TField::AsString() const {
    const QVariant v = table_->value(column_);
    if (const QByteArray* bytes = storedBytes(v))
        return ExactUtf8(*bytes).value_or(QString::fromUtf8(*bytes));
    return v.isValid() ? v.toString() : QString();
}

bool TField::IsText() const {
    const QVariant v = table_->value(column_);
    const QByteArray* bytes = storedBytes(v);
    return !bytes || ExactUtf8(*bytes).has_value();
}

QByteArray TField::AsBytes() const {
    const QVariant v = table_->value(column_);
    const QByteArray* bytes = storedBytes(v);
    return bytes ? *bytes : AsString().toUtf8();
}

void TField::setAsString(const QString& value) {
    table_->setValue(column_, value);
}

void TField::setAsBytes(const QByteArray& utf8) {
    table_->setValue(column_, varozidi::ado::Utf8Value(utf8));
}

qint64 TField::AsLargeInt() const {
    const QVariant v = table_->value(column_);
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        return 0;
    case QMetaType::LongLong:
    case QMetaType::Int:
        return v.toLongLong();
    default:
        break;
    }
    // Empty text is what a field without a value reads as, so it counts as no number.
    const QString text = AsString().trimmed();
    if (text.isEmpty())
        return 0;
    bool ok = false;
    const qint64 whole = text.toLongLong(&ok);
    if (ok)
        return whole;
    const double number = text.toDouble(&ok);
    if (!ok)
        throw Error(QStringLiteral("The field '%1' holds '%2', which is not a whole number.")
                        .arg(FieldName(), shortened(text)));
    // 2^63 itself does not fit: the largest double below it does.
    if (!std::isfinite(number) || number >= 0x1p63 || number < -0x1p63)
        throw Error(QStringLiteral("The field '%1' holds %2, which is too large for a whole "
                                   "number.")
                        .arg(FieldName(), shortened(text)));
    return qint64(std::llround(number));
}

int TField::AsInteger() const {
    const qint64 number = AsLargeInt();
    if (number < INT_MIN || number > INT_MAX)
        throw Error(QStringLiteral("The field '%1' holds %2, which is too large for a whole "
                                   "number.")
                        .arg(FieldName(), QString::number(number)));
    return int(number);
}

void TField::setAsInteger(int value) {
    table_->setValue(column_, qint64(value));
}

bool TField::IsNull() const {
    return !table_->value(column_).isValid();
}

QString TField::FieldName() const {
    if (!table_->Active())
        throwClosed(table_->TableName());
    return table_->d_->columns[std::size_t(column_)].name;
}
