#include "platform/PgSearch.h"

#include "platform/PgBackend.h"

#include <QSet>

namespace varozidi::search {

// Titles apart, as on the local file: one index over all three fields costs the planner so much
// that it would rather read every row.
const char* const kServerIndexSql = "CREATE INDEX varozidi_search ON varozidi USING gin "
                                    "(lower(\"Title\" COLLATE \"und-x-icu\") gin_trgm_ops);"
                                    "CREATE INDEX varozidi_search_text ON varozidi USING gin ("
                                    "lower(\"Body\" COLLATE \"und-x-icu\") gin_trgm_ops, "
                                    "lower(\"Language\" COLLATE \"und-x-icu\") gin_trgm_ops);";

namespace {

const QString kSearching = QStringLiteral("search the database");

// LIKE's own characters stand for themselves.
QString containing(const QString& text) {
    QString escaped = text;
    escaped.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'%', QStringLiteral("\\%"))
        .replace(u'_', QStringLiteral("\\_"));
    return u'%' + escaped + u'%';
}

QString lowered(const char* field) {
    return QStringLiteral("lower(\"%1\" COLLATE \"und-x-icu\") LIKE lower(? COLLATE "
                          "\"und-x-icu\")")
        .arg(QLatin1String(field));
}

bool stop(const std::function<bool()>& stopped) {
    return stopped && stopped();
}

} // namespace

Outcome FindOnServer(ado::PgBackend& server, const QString& text, int limit,
                     const std::function<bool()>& stopped) {
    Outcome out;
    if (text.isEmpty() || limit <= 0)
        return out;
    const QString pattern = containing(text);
    // The index narrows the rows down; the check decides, exactly as on the local file.
    const auto titled =
        server.exec(QStringLiteral("SELECT \"ID\", \"Language\", \"Title\" FROM varozidi WHERE %1 "
                                   "ORDER BY \"ID\"")
                        .arg(lowered("Title")),
                    {pattern}, kSearching);
    QList<Hit> titles;
    QSet<qint64> inTitle;
    for (int row = 0; row < titled->rows() && titles.size() < limit && !stop(stopped); ++row) {
        const qint64 id = titled->int64(row, 0);
        if (const auto hit = TitleMatch(id, titled->text(row, 1), titled->text(row, 2), text)) {
            titles.append(*hit);
            inTitle.insert(id);
        }
    }
    QList<Hit> others;
    if (titles.size() < limit && !stop(stopped)) {
        const auto rest = server.exec(
            QStringLiteral("SELECT \"ID\", \"Language\", \"Title\", \"Body\" FROM varozidi "
                           "WHERE %1 OR %2 ORDER BY \"ID\"")
                .arg(lowered("Body"), lowered("Language")),
            {pattern, pattern}, kSearching);
        for (int row = 0;
             row < rest->rows() && titles.size() + others.size() < limit && !stop(stopped); ++row) {
            const qint64 id = rest->int64(row, 0);
            if (inTitle.contains(id))
                continue;
            if (const auto hit = OtherMatch(id, rest->text(row, 1), rest->text(row, 2),
                                            rest->text(row, 3), text))
                others.append(*hit);
        }
    }
    out.hits = titles + others;
    return out;
}

QString CheckServerIndex(ado::PgBackend& server) {
    const auto found =
        server.exec(QStringLiteral("SELECT count(*) FROM pg_indexes WHERE tablename = "
                                   "'varozidi' AND indexname IN ('varozidi_search', "
                                   "'varozidi_search_text')"),
                    {}, QStringLiteral("check the search index"));
    return found->int64(0, 0) == 2 ? QStringLiteral("ok") : QStringLiteral("missing");
}

} // namespace varozidi::search
