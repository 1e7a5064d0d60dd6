// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/core/SysUtils.h"
#include "data/store/ADODB.h"

#include "data/core/Errors.h"
#include "data/store/AdoTableImpl.h"

#include <QStringList>
#include <algorithm>
#include <climits>
#include <cmath>

using varozidi::Error;
using varozidi::ado::Condition;
using varozidi::ado::quoteIdentifier;

namespace {

QString shortened(const QString& text) {
    constexpr qsizetype kMax = 40;
    return text.size() <= kMax ? text : text.left(kMax) + QStringLiteral("...");
}

} // namespace

// ---------------------------------------------------------------------------------------
// TADOTable

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
    // A new pass over the rows: show what others may have changed since, unless the rows
    // were just read.
    if (!d_->justRead)
        d_->dropWindows();
}

void TADOTable::Next() {
    if (!Active())
        throwClosed(tableName_);
    if (state_ != State::dsBrowse)
        Post();
    if (!d_->atEnd())
        ++d_->pos;
    d_->justRead = false;
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
