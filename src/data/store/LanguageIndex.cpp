// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/store/LanguageIndex.h"

#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/store/AdoFilter.h"
#include "data/store/AdoSchema.h"

#include <QHash>
#include <algorithm>
#include <vector>

using varozidi::ado::quoteIdentifier;
using varozidi::ado::Statement;

namespace varozidi::language {

namespace {

const QString kTable = QStringLiteral("varozidi");

QString reading() {
    return QStringLiteral("list the languages of the database");
}

bool hasIndex(sqlite3* db, const QString& path, const QString& table) {
    Statement s(db, path,
                QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'index' AND "
                               "name = ? AND tbl_name = ? COLLATE NOCASE"),
                reading());
    s.bind(1, QString::fromLatin1(kIndexName));
    s.bind(2, table);
    return s.step() && s.int64(0) > 0;
}

// As a field reads: text as it is, bytes as UTF-8, numbers as their text.
QString asText(const QVariant& v) {
    if (!v.isValid())
        return {};
    if (v.typeId() == QMetaType::QByteArray)
        return QString::fromUtf8(v.toByteArray());
    return v.toString();
}

// Languages first, in code point order, then rows: what the skip scan walks.
const QString kServerIndex = QStringLiteral("varozidi_language_id");
const QStringList kServerTriggers{
    QStringLiteral("varozidi_inserted"), QStringLiteral("varozidi_updated"),
    QStringLiteral("varozidi_deleted"), QStringLiteral("varozidi_truncated")};

// Each spelling's first row in index order, and the first row without a language.
const QString kServerLanguages = QStringLiteral(
    "WITH RECURSIVE spelling(language, id) AS ("
    "(SELECT \"Language\", \"ID\" FROM varozidi WHERE \"Language\" IS NOT NULL "
    "ORDER BY \"Language\" COLLATE \"C\", \"ID\" LIMIT 1) "
    "UNION ALL SELECT next.language, next.id FROM spelling CROSS JOIN LATERAL "
    "(SELECT \"Language\" AS language, \"ID\" AS id FROM varozidi WHERE \"Language\" "
    "COLLATE \"C\" > spelling.language COLLATE \"C\" ORDER BY \"Language\" COLLATE \"C\", "
    "\"ID\" LIMIT 1) next) "
    "SELECT language, id FROM spelling UNION ALL "
    "(SELECT NULL, \"ID\" FROM varozidi WHERE \"Language\" IS NULL ORDER BY \"ID\" LIMIT 1)");

std::optional<QStringList> firstSpellings(std::vector<std::pair<qint64, QString>> firsts) {
    std::sort(firsts.begin(), firsts.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList languages;
    QHash<QString, bool> listed;
    for (const auto& [id, language] : firsts) {
        const QString key = language.toCaseFolded();
        if (listed.contains(key))
            continue;
        listed.insert(key, true);
        languages.append(language);
    }
    return languages;
}

} // namespace

// A statement names at most 300 rows (the notification's text has room for them); past
// that, none, which means "look at everything".
const char* const kServerSupportSql =
    "CREATE INDEX IF NOT EXISTS varozidi_language_id ON varozidi "
    "(\"Language\" COLLATE \"C\", \"ID\");"
    "CREATE OR REPLACE FUNCTION varozidi_changed() RETURNS trigger LANGUAGE plpgsql AS $f$ "
    "DECLARE ids text; rows int; "
    "BEGIN "
    "IF TG_OP = 'TRUNCATE' THEN PERFORM pg_notify('varozidi_changed', ''); RETURN NULL; END IF; "
    "IF TG_OP = 'DELETE' THEN "
    "SELECT count(*), string_agg(\"ID\"::text, ',') INTO rows, ids FROM "
    "(SELECT \"ID\" FROM varozidi_old LIMIT 301) r; "
    "ELSE "
    "SELECT count(*), string_agg(\"ID\"::text, ',') INTO rows, ids FROM "
    "(SELECT \"ID\" FROM varozidi_new LIMIT 301) r; "
    "END IF; "
    "IF rows = 0 THEN RETURN NULL; END IF; "
    "IF rows > 300 THEN ids := ''; END IF; "
    "PERFORM pg_notify('varozidi_changed', ids); "
    "RETURN NULL; "
    "END $f$;"
    "CREATE OR REPLACE TRIGGER varozidi_inserted AFTER INSERT ON varozidi REFERENCING NEW TABLE "
    "AS varozidi_new FOR EACH STATEMENT EXECUTE FUNCTION varozidi_changed();"
    "CREATE OR REPLACE TRIGGER varozidi_updated AFTER UPDATE ON varozidi REFERENCING NEW TABLE "
    "AS varozidi_new FOR EACH STATEMENT EXECUTE FUNCTION varozidi_changed();"
    "CREATE OR REPLACE TRIGGER varozidi_deleted AFTER DELETE ON varozidi REFERENCING OLD TABLE "
    "AS varozidi_old FOR EACH STATEMENT EXECUTE FUNCTION varozidi_changed();"
    "CREATE OR REPLACE TRIGGER varozidi_truncated AFTER TRUNCATE ON varozidi "
    "FOR EACH STATEMENT EXECUTE FUNCTION varozidi_changed();";

bool EnsureServerSupport(ado::PgBackend& server, const QString&) {
    const QString doing = QStringLiteral("prepare the snippet table");
    const auto present = server.exec(
        QStringLiteral(
            "SELECT to_regclass('varozidi') IS NOT NULL, "
            "to_regclass(?) IS NOT NULL, (SELECT count(*) FROM pg_trigger WHERE "
            "tgrelid = to_regclass('varozidi') AND tgname = ANY(string_to_array(?, ',')))"),
        {kServerIndex, kServerTriggers.join(u',')}, doing);
    if (present->rows() == 0 || present->text(0, 0) != u"t")
        return false;
    if (present->text(0, 1) == u"t" && present->int64(0, 2) == kServerTriggers.size())
        return false;
    server.script(QLatin1String(kServerSupportSql), doing);
    return true;
}

std::optional<QStringList> DistinctLanguagesOnServer(ado::PgBackend& server, const QString& table) {
    if (table.compare(kTable, Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const auto index =
        server.exec(QStringLiteral("SELECT to_regclass(?) IS NOT NULL"), {kServerIndex}, reading());
    if (index->rows() == 0 || index->text(0, 0) != u"t")
        return std::nullopt;
    const auto found = server.exec(kServerLanguages, {}, reading());
    std::vector<std::pair<qint64, QString>> firsts;
    firsts.reserve(std::size_t(found->rows()));
    for (int row = 0; row < found->rows(); ++row)
        firsts.push_back({found->int64(row, 1), found->text(row, 0)});
    return firstSpellings(std::move(firsts));
}

bool EnsureIndex(sqlite3* db, const QString& path) {
    if (hasIndex(db, path, kTable))
        return false;
    Statement::exec(db, path,
                    QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 (Language)")
                        .arg(QLatin1String(kIndexName), quoteIdentifier(kTable)),
                    QStringLiteral("add the language index to the database"));
    return true;
}

std::optional<QStringList> DistinctLanguages(sqlite3* db, const QString& path,
                                             const QString& table) {
    if (!hasIndex(db, path, table))
        return std::nullopt;
    const QString t = quoteIdentifier(table);
    // A field may hide the name "rowid".
    const QString rowid = varozidi::ado::describeTable(db, path, table).rowidSql;
    // Index entries are ordered by language, then row: the first entry of each spelling is
    // its first row. One seek per spelling, however many rows each has.
    std::vector<std::pair<qint64, QString>> firsts;
    Statement none(db, path,
                   QStringLiteral("SELECT %3 FROM %1 INDEXED BY %2 WHERE Language IS NULL "
                                  "ORDER BY %3 LIMIT 1")
                       .arg(t, QLatin1String(kIndexName), rowid),
                   reading());
    if (none.step())
        firsts.push_back({none.int64(0), QString()});
    Statement first(db, path,
                    QStringLiteral("SELECT Language, %3 FROM %1 INDEXED BY %2 WHERE Language "
                                   "IS NOT NULL ORDER BY Language, %3 LIMIT 1")
                        .arg(t, QLatin1String(kIndexName), rowid),
                    reading());
    Statement after(db, path,
                    QStringLiteral("SELECT Language, %3 FROM %1 INDEXED BY %2 WHERE Language "
                                   "> ? ORDER BY Language, %3 LIMIT 1")
                        .arg(t, QLatin1String(kIndexName), rowid),
                    reading());
    // The next seek starts from the value as stored (a number stays a number); the list
    // shows it as a field reads.
    bool found = first.step();
    QVariant value = found ? first.value(0) : QVariant();
    QString text = found ? asText(first.cell(0)) : QString();
    qint64 row = found ? first.int64(1) : 0;
    while (found) {
        firsts.push_back({row, text});
        after.reset();
        after.bind(1, value);
        found = after.step();
        if (!found)
            continue;
        // Text that does not survive the trip through UTF-16 (not valid UTF-8) could lead
        // back to a spelling already met; the rows then tell the truth.
        if (after.int64(1) == row)
            return std::nullopt;
        value = after.value(0);
        text = asText(after.cell(0));
        row = after.int64(1);
    }
    return firstSpellings(std::move(firsts));
}

} // namespace varozidi::language
