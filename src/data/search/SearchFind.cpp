// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/search/SearchIndex.h"
#include "data/search/SearchIndexInternal.h"
#include "data/search/SearchMatch.h"
#include "data/search/SearchSpool.h"

#include "data/core/Errors.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/store/CaseRange.h"

#include <QSet>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace varozidi::search {

using ado::Statement;
using namespace internal;

namespace {

// Reading a row by its rowid costs about this many rows read in turn.
constexpr qsizetype kSeekCost = 4;
// Rows read in turn at once.
constexpr int kScanRows = 512;
// Trigrams a body index is asked for at most: the rarest, as a few entries of each tell. Every
// one more costs about as much as the rows the rarest names, and narrows little.
constexpr qsizetype kAskedTrigrams = 6;
constexpr int kProbedEntries = 256;

bool stop(const std::function<bool()>& stopped) {
    return stopped && stopped();
}

// A row the index names: read whole, or, for a long body named only by some of its pieces,
// only around those.
struct Candidate {
    qint64 rowid = 0;
    std::vector<qint64> pieces; // in order; empty: the whole row is read
};

// The next candidate, in rowid order; none once they have run out.
using Next = std::function<std::optional<Candidate>()>;

std::vector<qint64> rowsWithNul(sqlite3* db, const QString& path, const Fields& fields) {
    std::vector<qint64> rows;
    Statement s(db, path,
                QStringLiteral("SELECT %1 FROM %2 INDEXED BY %3 WHERE %4 ORDER BY %1")
                    .arg(fields.rowid, kTable, kNulIndex, kNulRows),
                searching());
    while (s.step())
        rows.push_back(s.int64(0));
    return rows;
}

// The match of the trigrams of groups that index names the fewest rows for, as the rowid of the
// entry after the first kProbedEntries of each tells: the further on, the rarer.
QString rarest(sqlite3* db, const QString& path, const QString& index, const QStringList& groups) {
    if (groups.size() <= kAskedTrigrams)
        return groups.join(QStringLiteral(" AND "));
    Statement probe(db, path,
                    QStringLiteral("SELECT rowid FROM %1 WHERE %1 MATCH ? LIMIT 1 OFFSET %2")
                        .arg(index)
                        .arg(kProbedEntries),
                    searching());
    std::vector<std::pair<qint64, qsizetype>> reach;
    for (qsizetype i = 0; i < groups.size(); ++i) {
        probe.reset();
        probe.bind(1, groups[i]);
        reach.emplace_back(probe.step() ? probe.int64(0) : std::numeric_limits<qint64>::max(), i);
    }
    std::sort(reach.begin(), reach.end(), std::greater<>());
    QStringList chosen;
    for (qsizetype i = 0; i < kAskedTrigrams; ++i)
        chosen.append(groups[reach[std::size_t(i)].second]);
    return chosen.join(QStringLiteral(" AND "));
}

// The rowids an index names for match, in order, read as they are needed, with the rows it
// cannot see whole among them.
class Named {
public:
    Named(sqlite3* db, const QString& path, const QString& index, const QString& match,
          const std::vector<qint64>& unseen)
        : s_(db, path, QStringLiteral("SELECT rowid FROM %1 WHERE %1 MATCH ?").arg(index),
             searching()),
          unseen_(unseen) {
        s_.bind(1, match);
        advance();
    }
    std::optional<Candidate> next() {
        if (indexed_ && (at_ >= unseen_.size() || *indexed_ <= unseen_[at_])) {
            const qint64 rowid = *indexed_;
            if (at_ < unseen_.size() && unseen_[at_] == rowid)
                ++at_;
            advance();
            return Candidate{rowid, {}};
        }
        return at_ < unseen_.size() ? std::optional<Candidate>({unseen_[at_++], {}}) : std::nullopt;
    }

private:
    void advance() { indexed_ = s_.step() ? std::optional<qint64>(s_.int64(0)) : std::nullopt; }
    Statement s_;
    const std::vector<qint64>& unseen_;
    std::size_t at_ = 0;
    std::optional<qint64> indexed_;
};

// The long bodies whose pieces the piece index names for match, each with those pieces.
class Pieces {
public:
    Pieces(sqlite3* db, const QString& path, const QString& match)
        : s_(db, path, QStringLiteral("SELECT rowid FROM %1 WHERE %1 MATCH ?").arg(kPieceIndex),
             searching()) {
        s_.bind(1, match);
        advance();
    }
    std::optional<Candidate> next() {
        if (!piece_)
            return std::nullopt;
        Candidate c{ownerOf(*piece_), {}};
        while (piece_ && ownerOf(*piece_) == c.rowid) {
            c.pieces.push_back(*piece_ - c.rowid * kPieceSlots);
            advance();
        }
        return c;
    }

private:
    static qint64 ownerOf(qint64 piece) {
        return piece >= 0 ? piece / kPieceSlots : -((-piece + kPieceSlots - 1) / kPieceSlots);
    }
    void advance() { piece_ = s_.step() ? std::optional<qint64>(s_.int64(0)) : std::nullopt; }
    Statement s_;
    std::optional<qint64> piece_;
};

// Two lists of candidates as one, in rowid order; a row in both is read whole.
Next merged(Next first, Next second) {
    return [first = std::move(first), second = std::move(second), a = std::optional<Candidate>(),
            b = std::optional<Candidate>(), started = false]() mutable {
        if (!started) {
            a = first();
            b = second();
            started = true;
        }
        if (!a && !b)
            return std::optional<Candidate>();
        std::optional<Candidate> out;
        if (a && (!b || a->rowid <= b->rowid)) {
            if (b && b->rowid == a->rowid)
                b = second();
            out = std::move(a);
            a = first();
        } else {
            out = std::move(b);
            b = second();
        }
        return out;
    };
}

Next over(const std::vector<Candidate>& candidates) {
    return [&candidates, at = std::size_t(0)]() mutable {
        return at < candidates.size() ? std::optional<Candidate>(candidates[at++]) : std::nullopt;
    };
}

// The first cap candidates of next; whole tells whether that was all.
std::vector<Candidate> drained(const Next& next, qint64 cap, bool& whole) {
    std::vector<Candidate> out;
    whole = true;
    while (auto c = next()) {
        if (qint64(out.size()) >= cap) {
            whole = false;
            break;
        }
        out.push_back(std::move(*c));
    }
    return out;
}

// The lists the indexes give: titles, and the others, those of long bodies included.
struct Lists {
    std::vector<qint64> unseen;
    std::optional<Named> titles;
    std::optional<Named> others;
    std::optional<Pieces> pieces;

    Lists(sqlite3* db, const QString& path, const Fields& fields, const Query& query)
        : unseen(rowsWithNul(db, path, fields)) {
        titles.emplace(db, path, kTitleIndex, query.match, unseen);
        others.emplace(db, path, kTextIndex, rarest(db, path, kTextIndex, query.groups), unseen);
        if (!query.pieceGroups.isEmpty())
            pieces.emplace(db, path, rarest(db, path, kPieceIndex, query.pieceGroups));
    }
    Next title() {
        return [this] { return titles->next(); };
    }
    Next other() {
        if (!pieces)
            return [this] { return others->next(); };
        return merged([this] { return others->next(); }, [this] { return pieces->next(); });
    }
};

struct Candidates {
    std::vector<Candidate> titles;
    std::vector<Candidate> others;
    bool wholeTitles = true;
    bool wholeOthers = true;
};

// The condition that one of columns may hold the query, as LIKE tells, or the row holds a NUL;
// its patterns are parameters 1, 2, ...
QString likeWhere(const Fields& fields, const Query& query,
                  std::initializer_list<const char*> columns) {
    if (query.like.isEmpty())
        return QStringLiteral("1");
    QStringList likes;
    for (const char* column : columns) {
        for (qsizetype i = 0; i < query.like.size(); ++i)
            likes.append(
                QStringLiteral("%1 LIKE ?%2 ESCAPE '\\'").arg(QLatin1String(column)).arg(i + 1));
        // LIKE passes over bytes another program stored; they are read and checked here.
        likes.append(QStringLiteral("typeof(%1) = 'blob'").arg(QLatin1String(column)));
    }
    return QStringLiteral("(%1 OR %2 IN (SELECT %2 FROM %3 WHERE %4))")
        .arg(likes.join(QStringLiteral(" OR ")), fields.rowid, kTable, kNulRows);
}

void bindLike(Statement& s, const Query& query, int first) {
    for (qsizetype i = 0; i < query.like.size(); ++i)
        s.bind(int(first + i), query.like[i]);
}

// The hit of a row the bodies' lists name, or none where it does not hold text; nothing where
// the row is gone. Both statements are let go of again.
std::optional<std::optional<Hit>> otherAt(sqlite3* db, Statement& readRow, Statement& readAll,
                                          int rowid, const Candidate& next, const QString& text,
                                          const Query& query) {
    if (!next.pieces.empty()) {
        readRow.reset();
        readRow.bind(1, next.rowid);
        if (!readRow.step())
            return std::nullopt;
        const Row row = Row::titled(readRow);
        readRow.reset();
        if (const auto hit = pieceHit(db, row, next.rowid, next.pieces, text))
            return hit;
    }
    readAll.reset();
    readAll.bind(rowid, next.rowid);
    if (!readAll.step())
        return std::nullopt;
    Row row = Row::titled(readAll);
    std::optional<Hit> hit = bodyHit(readAll, row, text, query);
    readAll.reset();
    return hit;
}

// Title matches first, then the others, each read by its rowid; LIKE passes over a long body
// that does not hold the text faster than its check would. False where a list the index gave
// was cut short and ran out before limit was reached.
bool seek(sqlite3* db, const QString& path, const Fields& fields, const Query& query,
          const QString& text, const Next& nextTitle, bool wholeTitles, const Next& nextOther,
          bool wholeOthers, int limit, const std::function<bool()>& cancelled, Hits& out) {
    const int rowid = int(query.like.size()) + 1;
    // A title match needs no body: the title pass reads without it.
    Statement readTitle(
        db, path,
        QStringLiteral("SELECT %1, Language, Title, NULL FROM %2 WHERE %3 = ?%4 AND %5")
            .arg(fields.id, kTable, fields.rowid)
            .arg(rowid)
            .arg(likeWhere(fields, query, {"Title"})),
        searching());
    Statement readAll(
        db, path,
        QStringLiteral("SELECT %1, Language, Title, Body FROM %2 WHERE %3 = ?%4 AND %5")
            .arg(fields.id, kTable, fields.rowid)
            .arg(rowid)
            .arg(likeWhere(fields, query, {"Language", "Body"})),
        searching());
    Statement readRow(db, path,
                      QStringLiteral("SELECT %1, Language, Title FROM %2 WHERE %3 = ?")
                          .arg(fields.id, kTable, fields.rowid),
                      searching());
    bindLike(readTitle, query, 1);
    bindLike(readAll, query, 1);
    // Each statement lets go of the file once its row is read, before the hit is passed on.
    out.othersAfterTitles(true);
    QSet<qint64> titled;
    while (out.titles() < limit && !stop(cancelled)) {
        const auto next = nextTitle();
        if (!next)
            break;
        readTitle.reset();
        readTitle.bind(rowid, next->rowid);
        const std::optional<Hit> hit =
            readTitle.step() ? titleHit(Row::from(readTitle), text) : std::nullopt;
        readTitle.reset();
        if (hit) {
            out.title(*hit);
            titled.insert(next->rowid);
            out.settle();
        }
    }
    if (!wholeTitles && out.titles() < limit && !stop(cancelled))
        return false;
    while (out.titles() + out.others() < limit && !stop(cancelled)) {
        const auto next = nextOther();
        if (!next)
            break;
        if (titled.contains(next->rowid))
            continue;
        if (const auto hit = otherAt(db, readRow, readAll, rowid, *next, text, query)) {
            if (*hit)
                out.other(**hit);
            out.settle();
        }
    }
    return wholeOthers || out.titles() + out.others() >= limit || stop(cancelled);
}

// The hit of the row all stands on, if any, put into out.
void scanned(const Statement& all, SharedTexts& languages, const Query& query, const QString& text,
             int limit, bool othersOnly, Hits& out) {
    const bool spelled = !query.spelled.empty();
    const auto title = all.bytes(2);
    const auto body = all.bytes(3);
    const bool maybeTitle = !spelled || !title || firstSpelled(*title, query);
    const bool spelledBody = spelled && !maybeTitle && body;
    std::optional<std::pair<qsizetype, qsizetype>> inBody;
    if (spelledBody) {
        if (out.others() >= limit)
            return;
        inBody = firstSpelled(*body, query);
        const auto language = inBody ? std::nullopt : all.bytes(1);
        if (language && !firstSpelled(*language, query))
            return;
    }
    Row row{all.int64(0), languages.at(all, 1), title ? utf8(*title) : textAt(all, 2), {}};
    if (maybeTitle)
        if (const auto hit = titleHit(row, text)) {
            if (!othersOnly)
                out.title(*hit);
            return;
        }
    if (out.others() >= limit)
        return;
    if (spelledBody)
        if (const auto hit = spelledBodyHit(*body, inBody, row, text)) {
            if (*hit)
                out.other(**hit);
            return;
        }
    if (const auto other = bodyHit(all, row, text, query))
        out.other(*other);
}

// Every row in turn. Where the query has spellings, each row is read once and those that cannot
// hold it are told by their stored bytes, before anything is decoded; else LIKE passes over
// them, and every row holding a NUL is read.
// A batch of rows at a time: the statement lets go of the file before their hits are passed on.
// othersOnly: the title matches were told already, and are passed over.
void scan(sqlite3* db, const QString& path, const Fields& fields, const Query& query,
          const QString& text, int limit, const std::function<bool()>& cancelled, Hits& out,
          bool othersOnly = false) {
    out.othersAfterTitles(othersOnly);
    const bool spelled = !query.spelled.empty();
    const QString where =
        spelled ? QStringLiteral("1") : likeWhere(fields, query, {"Title", "Language", "Body"});
    const int bound = spelled ? 0 : int(query.like.size());
    Statement all(db, path,
                  QStringLiteral("SELECT %1, Language, Title, Body, %4 FROM %2 WHERE (%3) AND %4 "
                                 ">= ?%5 ORDER BY %4 LIMIT %6")
                      .arg(fields.id, kTable, where, fields.rowid)
                      .arg(bound + 1)
                      .arg(kScanRows),
                  searching());
    if (!spelled)
        bindLike(all, query, 1);
    SharedTexts languages;
    qint64 from = std::numeric_limits<qint64>::min();
    for (;;) {
        all.bind(bound + 1, from);
        qsizetype read = 0;
        // Once limit titles match, nothing later can rank higher.
        while (out.titles() < limit && !stop(cancelled) && all.step()) {
            ++read;
            from = all.int64(4);
            scanned(all, languages, query, text, limit, othersOnly, out);
        }
        all.reset();
        out.settle();
        if (read < kScanRows || out.titles() >= limit || stop(cancelled) ||
            from == std::numeric_limits<qint64>::max())
            return;
        ++from;
    }
}

// The index's candidates, or nothing where it cannot answer text.
// The others first, the longer list mostly: where they alone were cut short, or would cost more
// read by rowid than the rows read in turn, the titles are left unread and not whole.
std::optional<Candidates> ask(sqlite3* db, const QString& path, const Fields& fields,
                              const Query& query, qint64 cap, int limit, qint64 rows) {
    if (query.match.isEmpty() || presentObjects(db, path) != kObjects)
        return std::nullopt;
    Lists lists(db, path, fields, query);
    Candidates c;
    c.others = drained(lists.other(), cap, c.wholeOthers);
    if (c.wholeOthers && std::min<qint64>(limit, qint64(c.others.size())) * kSeekCost < rows)
        c.titles = drained(lists.title(), cap, c.wholeTitles);
    else
        c.wholeTitles = false;
    return c;
}

qint64 rowEstimate(sqlite3* db, const QString& path, const Fields& fields) {
    Statement s(db, path,
                // Each apart, so that each is one step along the table's b-tree.
                QStringLiteral("SELECT (SELECT max(%1) FROM %2) - (SELECT min(%1) FROM %2) + 1")
                    .arg(fields.rowid, kTable),
                searching());
    return s.step() ? s.int64(0) : 0;
}

} // namespace

namespace {

// The title matches alone through the title index, where it names few rows: the others can then
// be told as every row is read, none put aside until the last row. False, telling nothing,
// where it names too many.
bool titlesThroughIndex(sqlite3* db, const QString& path, const Fields& fields, const Query& query,
                        const QString& text, qint64 rows, Hits& out) {
    if (query.match.isEmpty() || presentObjects(db, path) != kObjects)
        return false;
    const std::vector<qint64> unseen = rowsWithNul(db, path, fields);
    Named named(db, path, kTitleIndex, query.match, unseen);
    bool whole = false;
    const std::vector<Candidate> titles =
        drained([&named] { return named.next(); }, std::max<qint64>(rows / kSeekCost, 256), whole);
    if (!whole)
        return false;
    seek(
        db, path, fields, query, text, over(titles), true,
        [] { return std::optional<Candidate>(); }, true, std::numeric_limits<int>::max(), {}, out);
    return true;
}

// The hits of text put into out, through the index where it answers; true where it failed and
// every row was read instead.
// titlesApart: where every row is read, the title matches are first sought in the title index.
bool findInto(sqlite3* db, const QString& path, const QString& text, int limit,
              const std::function<bool()>& cancelled, Hits& out, bool titlesApart = false) {
    const Fields fields = fieldsOf(db, path);
    const Query query = queryOf(text);
    // Reading the rows in turn beats reading many of them one by one.
    std::optional<Candidates> candidates;
    qint64 rows = 0;
    bool found = false;
    bool failed = false;
    try {
        rows = rowEstimate(db, path, fields);
        if (2 * qint64(limit) * kSeekCost < rows) {
            // The first few hits: the candidates are read as they are needed.
            if (!query.match.isEmpty() && presentObjects(db, path) == kObjects) {
                Lists lists(db, path, fields, query);
                found = seek(db, path, fields, query, text, lists.title(), true, lists.other(),
                             true, limit, cancelled, out);
            }
        } else {
            candidates =
                ask(db, path, fields, query, std::max<qint64>(rows / kSeekCost, 256), limit, rows);
        }
    } catch (const DiskError&) {
        throw; // the disk's failure, not the index's: nothing to build again
    } catch (const Error&) {
        failed = !stop(cancelled);
        found = false;
    }
    if (candidates) {
        const bool whole = candidates->wholeTitles && candidates->wholeOthers;
        const qint64 reads = whole ? std::min<qint64>(limit, qint64(candidates->titles.size())) +
                                         std::min<qint64>(limit, qint64(candidates->others.size()))
                                   : 2 * qint64(limit);
        try {
            if (reads * kSeekCost < rows)
                found = seek(db, path, fields, query, text, over(candidates->titles),
                             candidates->wholeTitles, over(candidates->others),
                             candidates->wholeOthers, limit, cancelled, out);
        } catch (const DiskError&) {
            throw;
        } catch (const Error&) {
            failed = !stop(cancelled);
        }
    }
    if (!found)
        out.restart();
    if (found || stop(cancelled))
        return failed;
    bool titled = false;
    try {
        titled =
            titlesApart && !failed && titlesThroughIndex(db, path, fields, query, text, rows, out);
    } catch (const DiskError&) {
        throw;
    } catch (const Error&) {
        failed = true;
        out.restart();
    }
    scan(db, path, fields, query, text, limit, cancelled, out, titled);
    return failed;
}

// The hits kept in two lists, joined at the end.
class GatheredHits : public Hits {
public:
    QList<Hit> titleHits;
    QList<Hit> otherHits;
    void restart() override {
        titleHits.clear();
        otherHits.clear();
        titles_ = others_ = 0;
    }

private:
    void keepTitle(Hit&& hit) override { titleHits.append(std::move(hit)); }
    void keepOther(Hit&& hit) override { otherHits.append(std::move(hit)); }
};

} // namespace

Outcome Find(sqlite3* db, const QString& path, const QString& text, int limit,
             const std::function<bool()>& cancelled) {
    Outcome out;
    if (text.isEmpty() || limit <= 0)
        return out;
    GatheredHits hits;
    out.indexFailed = findInto(db, path, text, limit, cancelled, hits);
    out.hits = hits.titleHits + hits.otherHits;
    if (out.hits.size() > limit)
        out.hits.resize(limit);
    return out;
}

bool FindEach(sqlite3* db, const QString& path, const QString& text,
              const std::function<void(const Hit&)>& each) {
    if (text.isEmpty())
        return false;
    StreamedHits hits(each);
    const bool failed = findInto(db, path, text, std::numeric_limits<int>::max(), {}, hits, true);
    hits.finish();
    return failed;
}

std::optional<Hit> TitleMatch(qint64 id, const QString& language, const QString& title,
                              const QString& text) {
    return titleHit({id, language, title, {}}, text);
}

std::optional<Hit> OtherMatch(qint64 id, const QString& language, const QString& title,
                              const QString& body, const QString& text) {
    return otherHit({id, language, title, body}, text);
}

} // namespace varozidi::search
