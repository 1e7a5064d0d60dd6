// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/SqliteListing.h"

#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/store/AdoFilter.h"
#include "data/store/AdoSchema.h"
#include "data/store/LanguageIndex.h"

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

bool ascii(QByteArrayView bytes) {
    unsigned char any = 0;
    for (const char c : bytes)
        any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

// A field as the table cursor reads it: text exactly, a number as its text; isText false for
// bytes that are not UTF-8.
std::optional<QString> fieldOf(const Statement& s, int column, bool& isText) {
    isText = true;
    switch (s.type(column)) {
    case SQLITE_NULL:
        return std::nullopt;
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        return s.cell(column).toString();
    default:
        break;
    }
    const QByteArrayView bytes = s.bytes(column).value_or(QByteArrayView());
    // Most fields are ASCII, which needs no decoder.
    if (ascii(bytes))
        return QString::fromLatin1(bytes.data(), bytes.size());
    if (auto exact = ExactUtf8(bytes))
        return *std::move(exact);
    isText = false;
    return QString::fromUtf8(bytes);
}

// A value of Language as stored; plain where it is null or UTF-8 text, which the language index
// can be asked for by the text it reads as.
struct Spelling {
    std::optional<QString> text;
    bool plain = true;
};

Spelling spellingAt(const Statement& s) {
    bool isText = true;
    Spelling spelling{fieldOf(s, 0, isText)};
    spelling.plain = s.type(0) == SQLITE_NULL || (s.type(0) == SQLITE_TEXT && isText);
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
    const QString holds = c.empty() ? QString() : QStringLiteral(" AND (%1)").arg(c.sql);
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
        probe.bindStored(1, *at, 0);
        if (c.empty() || probe.step())
            found.push_back(spellingAt(*at));
        probe.reset();
        next->reset();
        next->bindStored(1, *at, 0);
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
              const QString& where, const std::vector<QVariant>& params,
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
    std::vector<ListedSnippet> batch;
    batch.reserve(kBatchRows);
    std::optional<qint64> last;
    for (;;) {
        Statement& s = last ? next : first;
        if (last)
            s.bind(int(params.size()) + 1, *last);
        batch.clear();
        while (s.step()) {
            ListedSnippet r;
            r.id = s.int64(0);
            bool isText = true;
            r.language = fieldOf(s, 1, isText);
            if (!isText)
                r.notText = QStringLiteral("Language");
            r.title = fieldOf(s, 2, isText);
            if (!isText && r.notText.isEmpty())
                r.notText = QStringLiteral("Title");
            last = s.int64(3);
            batch.push_back(std::move(r));
        }
        s.reset();
        for (const ListedSnippet& r : batch)
            row(r);
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
        readRows(db, path, id, shape.rowidSql, {}, {}, row);
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
    readRows(db, path, id, shape.rowidSql, where, params, row);
}

} // namespace varozidi::sqlite
