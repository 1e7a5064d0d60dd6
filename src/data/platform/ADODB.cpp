#include "platform/ADODB.h"
#include "platform/SysUtils.h"

#include "platform/AdoConnectionString.h"
#include "platform/AdoFilter.h"
#include "platform/AdoSchema.h"
#include "platform/AdoStatement.h"
#include "platform/Errors.h"
#include "platform/LanguageIndex.h"
#include "platform/PgBackend.h"
#include "platform/SearchIndex.h"
#include "platform/SqliteBackend.h"
#include "transfer/Migration.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <sqlite3.h>

using varozidi::Error;
using varozidi::ado::Condition;
using varozidi::ado::quoteIdentifier;
using varozidi::ado::Statement;

namespace {

constexpr char kProvider[] = "Microsoft.Jet.OLEDB.4.0";
constexpr char kServerProvider[] = "PostgreSQL";
// Sequential reading loads a column in chunks that double up to this many rows...
constexpr qsizetype kMaxChunkRows = 4096;
// ...unless a chunk already holds this much text (long bodies), then they shrink again.
constexpr qsizetype kChunkBytes = 4 * 1024 * 1024;

QString shortened(const QString& text) {
    constexpr qsizetype kMax = 40;
    return text.size() <= kMax ? text : text.left(kMax) + QStringLiteral("...");
}

// Unicode-aware and case-blind, where SQLite's own NOCASE only folds ASCII.
int compareNoCase(void*, int size1, const void* text1, int size2, const void* text2) {
    const QStringView a(static_cast<const char16_t*>(text1), size1 / 2);
    const QStringView b(static_cast<const char16_t*>(text2), size2 / 2);
    return a.compare(b, Qt::CaseInsensitive);
}

} // namespace

// ---------------------------------------------------------------------------------------
// TADOConnection

TADOConnection::TADOConnection(QObject* parent) : QObject(parent) {}

TADOConnection::~TADOConnection() {
    Close();
    for (TADOTable* table : tables_)
        table->connection_ = nullptr;
}

void TADOConnection::setConnectionString(const QString& s) {
    connectionString_ = s;
}

QString TADOConnection::Location() const {
    return backend_ ? backend_->location() : databasePath_;
}

void TADOConnection::Open() {
    if (backend_)
        return;
    // A server: no file, no lock file; the server keeps its own search support.
    if (varozidi::ado::IsServerUri(connectionString_.trimmed())) {
        openServer(connectionString_.trimmed());
        return;
    }
    // A write past the file-size limit must come back as an error to report, not end the
    // program with SIGXFSZ and take unsaved text with it.
    static const bool ignoringSizeSignal = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    Q_UNUSED(ignoringSizeSignal);
    const auto pairs = varozidi::ado::parseConnectionString(connectionString_);
    const auto value = [&pairs](const char* key) {
        const auto it = pairs.find(QLatin1String(key));
        return it == pairs.end() ? QString() : it->second;
    };
    const QString provider = value("provider");
    if (provider.compare(QLatin1String(kServerProvider), Qt::CaseInsensitive) == 0) {
        if (!varozidi::ado::IsServerUri(value("data source")))
            throw Error(
                QStringLiteral("\"%1\" is not the address of a database server; such an "
                               "address begins with \"postgresql://\".")
                    .arg(varozidi::ado::HidePassword(value("data source"), value("data source"))));
        openServer(value("data source"));
        return;
    }
    if (provider.isEmpty())
        throw Error(QStringLiteral("The connection string names no Provider; use %1.")
                        .arg(QLatin1String(kProvider)));
    if (provider.compare(QLatin1String(kProvider), Qt::CaseInsensitive) != 0)
        throw Error(QStringLiteral("Provider cannot be found. It may not be properly installed: "
                                   "\"%1\" is unknown; only %2 and %3 are available.")
                        .arg(provider, QLatin1String(kProvider), QLatin1String(kServerProvider)));
    const QString source = value("data source");
    if (source.isEmpty())
        throw Error(QStringLiteral("The connection string names no Data Source (database file)."));

    const QFileInfo info(ResolveFileName(source));
    if (!info.exists())
        throw Error(QStringLiteral("Could not find file '%1'.").arg(source));
    if (!info.isFile())
        throw Error(QStringLiteral("'%1' is not a database file.").arg(source));
    const QString path = info.absoluteFilePath();
    // A collection copied over from the old program is still a Jet database: it becomes one of
    // ours first, the original kept beside it.
    if (const auto converted = varozidi::transfer::ConvertJetCollection(path, OnConverting))
        if (OnConverted)
            OnConverted(*converted);

    sqlite3* db = nullptr;
    // Never create: a missing file is an error, reported above.
    int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    try {
        if (rc != SQLITE_OK)
            varozidi::ado::throwSqliteError(db, rc, path, QStringLiteral("open the database"));
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, TADOConnection::kBusyTimeoutMs);
        // A commit is on the disk before it is reported done, whatever the library's build
        // chose (see docs/reliability.md).
        sqlite3_exec(db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
        rc = sqlite3_create_collation_v2(db, varozidi::ado::kCollation, SQLITE_UTF16_ALIGNED,
                                         nullptr, compareNoCase, nullptr);
        if (rc != SQLITE_OK)
            varozidi::ado::throwSqliteError(db, rc, path, QStringLiteral("open the database"));
        // SQLite reads the file lazily; make it show now whether this is a database at all.
        Statement check(db, path, QStringLiteral("SELECT count(*) FROM sqlite_master"),
                        QStringLiteral("open the database"));
        check.step();
    } catch (...) {
        sqlite3_close_v2(db);
        throw;
    }
    db_ = db;
    databasePath_ = path;
    auto backend = std::make_unique<varozidi::ado::SqliteBackend>(db_, path);
    backend->setSlowWrite(&OnSlowWrite);
    backend_ = std::move(backend);
    lock_ = std::make_unique<LockFile>(path);
    // Whoever opens the snippets first gives them their search index. Lacking it is no reason
    // to refuse the collection (a read-only file, an odd table): search then reads every row.
    try {
        varozidi::search::EnsureIndex(db_, path, OnSlowOpen, OnSlowProgress);
    } catch (const std::exception&) {
    }
    try {
        varozidi::language::EnsureIndex(db_, path);
    } catch (const std::exception&) {
    }
}

void TADOConnection::openServer(const QString& uri) {
    auto server = std::make_unique<varozidi::ado::PgBackend>(uri);
    // As on the file: whoever may, gives the table what lets windows list languages and
    // follow changes; one who may not still works, reading every row and learning of changes
    // at the next click.
    try {
        varozidi::language::EnsureServerSupport(*server, server->location());
    } catch (const std::exception&) {
    }
    backend_ = std::move(server);
}

void TADOConnection::VerifyDatabaseFile(const QString& path, const QString& tableName) {
    const QString doing = QStringLiteral("use the file");
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close_v2);
    if (rc != SQLITE_OK)
        varozidi::ado::throwSqliteError(db, rc, path, doing);
    Statement check(db, path, QStringLiteral("PRAGMA quick_check"), doing);
    const QString verdict = check.step() ? check.value(0).toString() : QString();
    if (verdict != u"ok")
        throw Error(QStringLiteral("The database \"%1\" is damaged (%2).").arg(path, verdict));
    Statement table(db, path,
                    QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                                   "name = ? COLLATE NOCASE"),
                    doing);
    table.bind(1, tableName);
    if (!table.step() || table.int64(0) == 0)
        throw Error(QStringLiteral("\"%1\" holds no table '%2' of snippets.").arg(path, tableName));
}

void TADOConnection::Close() {
    const auto tables = tables_;
    for (TADOTable* table : tables)
        table->connectionClosing();
    backend_.reset();
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    lock_.reset();
}

void TADOConnection::attach(TADOTable* table) {
    if (std::find(tables_.begin(), tables_.end(), table) == tables_.end())
        tables_.push_back(table);
}

void TADOConnection::detach(TADOTable* table) {
    std::erase(tables_, table);
}

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
    qsizetype posBeforeInsert = 0;

    explicit Impl(TADOTable* table) : q(table) {}

    varozidi::ado::Backend& engine() const { return *q->connection_->backend(); }
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
            if (v.typeId() == QMetaType::QString)
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
    try {
        d_->standOn(d_->write());
    } catch (...) {
        Cancel();
        throw;
    }
    d_->buffer.clear();
    d_->changed.clear();
    d_->expectedVersion.clear();
    state_ = State::dsBrowse;
    d_->written();
}

// Writes the row being edited or inserted; returns its rowid.
qint64 TADOTable::Impl::write() {
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
        QString guard;
        if (const QString version = engine().versionSql(q->tableName_);
            !expectedVersion.isEmpty() && !version.isEmpty()) {
            guard = QStringLiteral(" AND %1 = ?").arg(version);
            values.emplace_back(expectedVersion);
        }
        const qint64 changes = engine().change(
            QStringLiteral("UPDATE %1 SET %2 = ? WHERE %3 = ?%4")
                .arg(table(), names.join(QStringLiteral(" = ?, ")), rowidSql, guard),
            values, writing());
        if (changes == 0 && !guard.isEmpty() &&
            !engine().version(q->tableName_, rowidSql, id, writing()).isEmpty())
            throw RowChangedError(QStringLiteral("Cannot save to the table '%1' of \"%2\": the "
                                                 "record was changed by another user.")
                                      .arg(q->tableName_, path()));
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

// ---------------------------------------------------------------------------------------
// TField

QString TField::AsString() const {
    const QVariant v = table_->value(column_);
    switch (v.typeId()) {
    case QMetaType::UnknownType:
        return {};
    case QMetaType::QByteArray:
        return ExactUtf8(v.toByteArray()).value_or(QString::fromUtf8(v.toByteArray()));
    default:
        return v.toString();
    }
}

bool TField::IsText() const {
    const QVariant v = table_->value(column_);
    return v.typeId() != QMetaType::QByteArray || ExactUtf8(v.toByteArray()).has_value();
}

QByteArray TField::AsBytes() const {
    const QVariant v = table_->value(column_);
    return v.typeId() == QMetaType::QByteArray ? v.toByteArray() : AsString().toUtf8();
}

void TField::setAsString(const QString& value) {
    table_->setValue(column_, value);
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
