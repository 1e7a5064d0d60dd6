// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/postgresql/PgSearch.h"

#include "data/engines/postgresql/PgBackend.h"
#include "data/store/CaseRange.h"

#include <QSet>
#include <limits>

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

// Trigrams (or the whole of a shorter text) the server is asked for; more narrow it little.
constexpr qsizetype kMaxPieces = 4;
constexpr qsizetype kMaxSpellings = 27;

// The pieces of text a matching field must hold, each as every case-blind spelling of it: the
// server lower-cases by its own rules, which differ from the program's, but of the spellings
// one is the field's very own, and lowered alike. Nothing where none can be asked soundly.
QList<QStringList> piecesOf(const QString& text) {
    const QList<uint> points = text.toUcs4();
    if (text.contains(QChar()) ||
        QString::fromUcs4(reinterpret_cast<const char32_t*>(points.constData()), points.size()) !=
            text)
        return {};
    const qsizetype size = std::min<qsizetype>(3, points.size());
    const qsizetype count = points.size() - size + 1;
    const qsizetype step = std::max<qsizetype>(1, count / kMaxPieces);
    QList<QStringList> pieces;
    for (qsizetype i = 0; i < count && pieces.size() < kMaxPieces; i += step) {
        const QString piece =
            QString::fromUcs4(reinterpret_cast<const char32_t*>(points.constData() + i), size);
        if (const auto spellings = ado::caseBlindSpellings(piece, kMaxSpellings))
            pieces.append(*spellings);
    }
    return pieces;
}

// The condition that field holds every piece, and its parameters appended to params.
QString holding(const char* field, const QList<QStringList>& pieces,
                std::vector<QVariant>& params) {
    if (pieces.isEmpty())
        return QStringLiteral("TRUE");
    QStringList all;
    for (const QStringList& spellings : pieces) {
        QStringList any;
        for (const QString& spelling : spellings) {
            any.append(QStringLiteral("lower(\"%1\" COLLATE \"und-x-icu\") LIKE lower(? COLLATE "
                                      "\"und-x-icu\")")
                           .arg(QLatin1String(field)));
            params.emplace_back(ado::likeContaining(spelling));
        }
        all.append(u'(' + any.join(QStringLiteral(" OR ")) + u')');
    }
    return all.join(QStringLiteral(" AND "));
}

bool stop(const std::function<bool()>& stopped) {
    return stopped && stopped();
}

// Title matches, then the others, each told to found in ID order until limit are told. The rows
// come through a cursor a batch at a time; a row whose title matches is passed over among the
// others by checking it again, which holds no list of them.
void searchServer(ado::PgBackend& server, const QString& text, qsizetype limit,
                  const std::function<bool()>& stopped, const std::function<void(Hit&&)>& found) {
    if (text.isEmpty() || limit <= 0)
        return;
    const QList<QStringList> pieces = piecesOf(text);
    qsizetype told = 0;
    // The index narrows the rows down; the check decides, exactly as on the local file.
    std::vector<QVariant> titleParams;
    const QString inTitleSql = holding("Title", pieces, titleParams);
    server.fetchEach(
        QStringLiteral("SELECT \"ID\", \"Language\", \"Title\" FROM varozidi WHERE %1 ORDER BY "
                       "\"ID\"")
            .arg(inTitleSql),
        titleParams, kSearching, [&](const ado::PgResult& rows) {
            for (int row = 0; row < rows.rows() && told < limit && !stop(stopped); ++row)
                if (auto hit = TitleMatch(rows.int64(row, 0), rows.text(row, 1), rows.text(row, 2),
                                          text)) {
                    found(std::move(*hit));
                    ++told;
                }
            return told < limit && !stop(stopped);
        });
    if (told >= limit || stop(stopped))
        return;
    std::vector<QVariant> params;
    const QString inBody = holding("Body", pieces, params);
    const QString inLanguage = holding("Language", pieces, params);
    server.fetchEach(
        QStringLiteral("SELECT \"ID\", \"Language\", \"Title\", \"Body\" FROM varozidi WHERE "
                       "(%1) OR (%2) ORDER BY \"ID\"")
            .arg(inBody, inLanguage),
        params, kSearching, [&](const ado::PgResult& rows) {
            for (int row = 0; row < rows.rows() && told < limit && !stop(stopped); ++row) {
                const qint64 id = rows.int64(row, 0);
                const QString language = rows.text(row, 1);
                const QString title = rows.text(row, 2);
                if (TitleMatch(id, language, title, text))
                    continue;
                if (auto hit = OtherMatch(id, language, title, rows.text(row, 3), text)) {
                    found(std::move(*hit));
                    ++told;
                }
            }
            return told < limit && !stop(stopped);
        });
}

} // namespace

Outcome FindOnServer(ado::PgBackend& server, const QString& text, int limit,
                     const std::function<bool()>& stopped) {
    Outcome out;
    searchServer(server, text, limit, stopped, [&out](Hit&& hit) { out.hits.append(hit); });
    return out;
}

void FindEachOnServer(ado::PgBackend& server, const QString& text,
                      const std::function<void(const Hit&)>& each) {
    searchServer(server, text, std::numeric_limits<qsizetype>::max(), {},
                 [&each](Hit&& hit) { each(hit); });
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
