#include "platform/LanguageIndex.h"

#include "platform/AdoFilter.h"
#include "platform/AdoSchema.h"
#include "platform/AdoStatement.h"

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

} // namespace

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

} // namespace varozidi::language
