// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/SqliteListing.h"

#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/store/AdoFilter.h"
#include "data/store/AdoSchema.h"
#include "data/store/LanguageIndex.h"

#include <algorithm>
#include <cstring>
#include <sqlite3.h>
#include <vector>

namespace varozidi::sqlite {

namespace {

using ado::Statement;

const QString kTable = QStringLiteral("varozidi");

// Rows read at once. The file is let go of before they are told: a reader that stops reading
// (a pager) must not keep the program's saves waiting.
constexpr std::size_t kBatchRows = 512;

QString listing() {
    return QStringLiteral("list the snippets of the database");
}

// Most fields are ASCII, which needs no decoder to tell: eight bytes at a time.
bool isUtf8(QByteArrayView bytes) {
    quint64 any = 0;
    qsizetype i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        quint64 word = 0;
        std::memcpy(&word, bytes.data() + i, 8);
        any |= word;
    }
    for (; i < bytes.size(); ++i)
        any |= static_cast<unsigned char>(bytes[i]);
    return (any & 0x8080808080808080ULL) == 0 || ExactUtf8(bytes).has_value();
}

// A field as the table cursor reads it: text exactly, a number as SQLite's text for it;
// isText false for bytes that are not UTF-8.
std::optional<QString> fieldOf(const Statement& s, int column, bool& isText) {
    isText = true;
    const auto bytes = s.textOf(column);
    if (!bytes)
        return std::nullopt;
    isText = isUtf8(*bytes);
    return ExactUtf8(*bytes).value_or(QString::fromUtf8(*bytes));
}

// A batch of rows, held once the statement has let go of the file: their fields' bytes in one
// buffer.
class Batch {
public:
    // Their room kept for the next batch.
    void clear() {
        used_ = 0;
        rows_.clear();
    }
    std::size_t size() const { return rows_.size(); }
    qint64 lastId() const { return rows_.back().id; }
    void add(const Statement& s) {
        Held r{s.int64(0), {}, {}, {}};
        bool isText = true;
        r.language = keep(s, 1, isText);
        if (!isText)
            r.notText = "Language";
        r.title = keep(s, 2, isText);
        if (!isText && !r.notText)
            r.notText = "Title";
        rows_.push_back(std::move(r));
    }
    void tell(const std::function<void(const ListedSnippet&)>& row) const {
        for (const Held& r : rows_)
            row({r.id, view(r.language), view(r.title), r.notText});
    }

private:
    struct Field {
        qsizetype at = -1; // none: no value
        qsizetype size = 0;
    };
    struct Held {
        qint64 id = 0;
        Field language;
        Field title;
        const char* notText = nullptr;
    };
    Field keep(const Statement& s, int column, bool& isText) {
        isText = true;
        const auto text = s.textOf(column);
        if (!text)
            return {};
        isText = isUtf8(*text);
        const Field field{used_, text->size()};
        if (used_ + text->size() > bytes_.size())
            bytes_.resize(std::max(2 * bytes_.size(), used_ + text->size() + 4096));
        std::memcpy(bytes_.data() + used_, text->data(), std::size_t(text->size()));
        used_ += text->size();
        return field;
    }
    std::optional<QByteArrayView> view(const Field& f) const {
        if (f.at < 0)
            return std::nullopt;
        return QByteArrayView(bytes_.constData() + f.at, f.size);
    }
    QByteArray bytes_;
    qsizetype used_ = 0;
    std::vector<Held> rows_;
};

// A value of Language as stored; plain where it is null or UTF-8 text, which the language index
// can be asked for by the text it reads as.
struct Spelling {
    std::optional<QString> text;
    bool plain = true;
};

Spelling spellingAt(const Statement& s) {
    // Asked before the text: reading it as text may change what the type reads.
    const int type = s.type(0);
    bool isText = true;
    Spelling spelling{fieldOf(s, 0, isText)};
    spelling.plain = type == SQLITE_NULL || (type == SQLITE_TEXT && isText);
    return spelling;
}

std::vector<Spelling> spellingsWhere(sqlite3* db, const QString& path, const ado::Condition& c) {
    Statement s(db, path,
                QStringLiteral("SELECT DISTINCT Language FROM %1%2")
                    .arg(kTable, c.empty() ? QString() : QStringLiteral(" WHERE ") + c.sql),
                listing());
    s.bind(c.params);
    std::vector<Spelling> found;
    while (s.step())
        found.push_back(spellingAt(s));
    return found;
}

bool hasLanguageIndex(sqlite3* db, const QString& path) {
    Statement s(db, path,
                QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name "
                               "= ? AND tbl_name = ? COLLATE NOCASE"),
                listing());
    s.bind({QString::fromLatin1(language::kIndexName), kTable});
    return s.step() && s.int64(0) > 0;
}

// Every spelling where c holds for a row of it: one seek in the language index each, and one
// more to ask c, however many rows each has.
std::vector<Spelling> everySpelling(sqlite3* db, const QString& path, const ado::Condition& c) {
    if (!hasLanguageIndex(db, path))
        return spellingsWhere(db, path, c);
    const QString from = QStringLiteral("SELECT Language FROM %1 INDEXED BY %2 WHERE ")
                             .arg(kTable, QLatin1String(language::kIndexName));
    const QString holds = c.empty() ? QString() : QStringLiteral(" AND (") + c.sql + u')';
    std::vector<Spelling> found;
    Statement none(db, path,
                   from + QStringLiteral("Language IS NULL") + holds + QStringLiteral(" LIMIT 1"),
                   listing());
    none.bind(c.params);
    if (none.step())
        found.push_back({});
    none.reset();
    Statement probe(db, path,
                    from + QStringLiteral("Language = ?") + holds + QStringLiteral(" LIMIT 1"),
                    listing());
    probe.bind(c.params, 2);
    const QString after = from + QStringLiteral("Language > ? ORDER BY Language LIMIT 1");
    Statement first(db, path,
                    from + QStringLiteral("Language IS NOT NULL ORDER BY Language LIMIT 1"),
                    listing());
    Statement a(db, path, after, listing());
    Statement b(db, path, after, listing());
    // Each seek starts from the value before it as stored, which two statements hand on in turn.
    Statement* at = &first;
    Statement* next = &a;
    while (at->step()) {
        // Handed on before it is read as text, which may change how it is held.
        next->reset();
        next->bindStored(1, *at, 0);
        probe.bindStored(1, *at, 0);
        if (c.empty() || probe.step())
            found.push_back(spellingAt(*at));
        probe.reset();
        at->reset();
        at = std::exchange(next, next == &a ? &b : &a);
    }
    return found;
}

QString idColumn(const ado::TableShape& shape) {
    for (const ado::Column& c : shape.columns)
        if (c.name.compare(u"ID", Qt::CaseInsensitive) == 0)
            return ado::quoteIdentifier(c.name);
    throw Error(QStringLiteral("Field 'ID' not found in the table '%1'.").arg(kTable));
}

// Whether the field id names is the rowid itself, as an INTEGER PRIMARY KEY is.
bool isRowid(const ado::TableShape& shape, const QString& id) {
    return shape.aliasColumn >= 0 &&
           ado::quoteIdentifier(shape.columns[std::size_t(shape.aliasColumn)].name) == id;
}

void idRange(sqlite3* db, const QString& path, const QString& id, const QString& where,
             const std::vector<QVariant>& params, ListingOutline& outline) {
    // Each apart, so that each is one seek where an index has the rows in ID order.
    const QString rows = kTable + (where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where);
    Statement s(
        db, path,
        QStringLiteral("SELECT (SELECT min(%1) FROM %2), (SELECT max(%1) FROM %2)").arg(id, rows),
        listing());
    s.bind(params);
    s.bind(params, int(params.size()) + 1);
    if (s.step() && s.type(0) != SQLITE_NULL) {
        outline.lowestId = s.int64(0);
        outline.highestId = s.int64(1);
    }
}

// The rows where holds, in rowid order, a batch at a time, each batch told once the file is let
// go of. Rows written meanwhile are listed where they fall after the batch before.
void readRows(sqlite3* db, const QString& path, const QString& id, const QString& rowid,
              bool idIsRowid, const QString& where, const std::vector<QVariant>& params,
              const std::function<void(const ListedSnippet&)>& row) {
    const QString select =
        QStringLiteral("SELECT %1, Language, Title, %2 FROM %3 ").arg(id, rowid, kTable);
    const QString order = QStringLiteral(" ORDER BY %1 LIMIT %2").arg(rowid).arg(kBatchRows);
    Statement first(
        db, path, select + (where.isEmpty() ? QString() : QStringLiteral("WHERE ") + where) + order,
        listing());
    Statement next(db, path,
                   select + QStringLiteral("WHERE ") +
                       (where.isEmpty() ? QString() : u'(' + where + QStringLiteral(") AND ")) +
                       rowid + QStringLiteral(" > ?") + order,
                   listing());
    first.bind(params);
    next.bind(params);
    Batch batch;
    std::optional<qint64> last;
    for (;;) {
        Statement& s = last ? next : first;
        if (last)
            s.bind(int(params.size()) + 1, *last);
        batch.clear();
        while (s.step()) {
            batch.add(s);
            last = idIsRowid ? batch.lastId() : s.int64(3);
        }
        s.reset();
        batch.tell(row);
        if (batch.size() < kBatchRows)
            return;
    }
}

QStringList textsOf(const std::vector<Spelling>& spellings) {
    QStringList texts;
    for (const Spelling& s : spellings)
        if (s.text)
            texts.append(*s.text);
    return texts;
}

} // namespace

void ListSnippets(sqlite3* db, const QString& path, bool utf8,
                  const std::optional<QString>& language,
                  const std::function<void(const ListingOutline&)>& outline,
                  const std::function<void(const ListedSnippet&)>& row) {
    const ado::TableShape shape = ado::describeTable(db, path, kTable);
    const QString id = idColumn(shape);
    if (!language) {
        if (outline) {
            ListingOutline o;
            idRange(db, path, id, {}, {}, o);
            o.languages = textsOf(everySpelling(db, path, {}));
            outline(o);
        }
        readRows(db, path, id, shape.rowidSql, isRowid(shape, id), {}, {}, row);
        return;
    }
    // The condition the table cursor's filter has, so that both list the same rows.
    const ado::Condition c = ado::translateFilter(
        QStringLiteral("Language = ") + QuotedStr(*language), shape.columns, kTable, utf8);
    const std::vector<Spelling> spellings = everySpelling(db, path, c);
    if (spellings.empty()) {
        if (outline)
            outline({});
        return;
    }
    // One spelling, as nearly always, is read in ID order straight from the language index;
    // several by the whole condition, row after row.
    QString where = c.sql;
    std::vector<QVariant> params = c.params;
    if (spellings.size() == 1 && spellings[0].plain) {
        where =
            spellings[0].text ? QStringLiteral("Language = ?") : QStringLiteral("Language IS NULL");
        params.clear();
        if (spellings[0].text)
            params.emplace_back(*spellings[0].text);
    }
    if (outline) {
        ListingOutline o;
        idRange(db, path, id, where, params, o);
        o.languages = textsOf(spellings);
        outline(o);
    }
    readRows(db, path, id, shape.rowidSql, isRowid(shape, id), where, params, row);
}

} // namespace varozidi::sqlite
