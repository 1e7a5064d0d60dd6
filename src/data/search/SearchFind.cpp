// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/search/SearchIndex.h"
#include "data/search/SearchIndexInternal.h"
#include "data/search/SearchMatch.h"

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
// Trigrams a body index is asked for at most: the rarest, as a few entries of each tell. Every
// one more costs about as much as the rows the rarest names, and narrows little.
constexpr qsizetype kAskedTrigrams = 6;
constexpr int kProbedEntries = 256;
// Text read around a match in a piece, for its line: kLineWidth characters of four bytes.
constexpr qint64 kPieceMargin = 4 * kLineWidth + 4;
constexpr qint64 kPieceReadAtOnce = 16 * kPieceBytes;

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

// The first match in a long body that the piece index names only by some of its pieces: every
// match starts in one of them, so only they are read, with room around for its line. Nothing
// where the body cannot be read so (changed meanwhile): then it is read whole.
std::optional<std::optional<Hit>> pieceHit(sqlite3* db, const Row& row, qint64 rowid,
                                           const std::vector<qint64>& pieces, const QString& text) {
    sqlite3_blob* blob = nullptr;
    if (sqlite3_blob_open(db, "main", kTable.toUtf8().constData(), "Body", rowid, 0, &blob) !=
        SQLITE_OK) {
        sqlite3_blob_close(blob);
        return std::nullopt;
    }
    const std::unique_ptr<sqlite3_blob, int (*)(sqlite3_blob*)> closer(blob, sqlite3_blob_close);
    const qint64 size = sqlite3_blob_bytes(blob);
    // A match of text spelled otherwise takes up to three bytes for each of its UTF-16 units.
    const qint64 longest = 3 * text.size();
    QByteArray bytes;
    for (std::size_t i = 0; i < pieces.size();) {
        qint64 from = pieces[i] * kPieceBytes;
        qint64 to = (pieces[i] + 1) * kPieceBytes + kPieceOverlap + longest;
        // Pieces close together are read at once, up to a few of them.
        for (++i;
             i < pieces.size() && pieces[i] * kPieceBytes <= to && to - from < kPieceReadAtOnce;
             ++i)
            to = (pieces[i] + 1) * kPieceBytes + kPieceOverlap + longest;
        from = std::max<qint64>(0, from - kPieceMargin);
        to = std::min(size, to + kPieceMargin);
        if (from >= to)
            break;
        // Three bytes more tell whether the last character is cut.
        const qint64 read = std::min(size, to + 3) - from;
        bytes.resize(read);
        if (sqlite3_blob_read(blob, bytes.data(), int(read), int(from)) != SQLITE_OK)
            return std::nullopt;
        const auto continues = [&bytes](qint64 at) {
            return (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80;
        };
        qint64 start = 0;
        while (from > 0 && start < 3 && start < read && continues(start))
            ++start;
        qint64 end = to - from;
        while (end < read && end > start && continues(end))
            --end;
        Row part = row;
        part.body = utf8(QByteArrayView(bytes).sliced(start, end - start));
        const qsizetype at = part.body.indexOf(text, 0, Qt::CaseInsensitive);
        if (at >= 0)
            return std::optional<Hit>(lineHit(part, part.body, at, text.size()));
    }
    const qsizetype at = row.language.indexOf(text, 0, Qt::CaseInsensitive);
    if (at >= 0)
        return std::optional<Hit>(lineHit(row, row.language, at, text.size()));
    return std::optional<Hit>();
}

// Title matches first, then the others, each read by its rowid; LIKE passes over a long body
// that does not hold the text faster than its check would. False where a list the index gave
// was cut short and ran out before limit was reached.
bool seek(sqlite3* db, const QString& path, const Fields& fields, const Query& query,
          const QString& text, const Next& nextTitle, bool wholeTitles, const Next& nextOther,
          bool wholeOthers, int limit, const std::function<bool()>& cancelled, QList<Hit>& titles,
          QList<Hit>& others) {
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
    QSet<qint64> titled;
    while (titles.size() < limit && !stop(cancelled)) {
        const auto next = nextTitle();
        if (!next)
            break;
        readTitle.reset();
        readTitle.bind(rowid, next->rowid);
        if (readTitle.step())
            if (const auto hit = titleHit(Row::from(readTitle), text)) {
                titles.append(*hit);
                titled.insert(next->rowid);
            }
    }
    if (!wholeTitles && titles.size() < limit && !stop(cancelled))
        return false;
    while (titles.size() + others.size() < limit && !stop(cancelled)) {
        const auto next = nextOther();
        if (!next)
            break;
        if (titled.contains(next->rowid))
            continue;
        if (!next->pieces.empty()) {
            readRow.reset();
            readRow.bind(1, next->rowid);
            if (!readRow.step())
                continue;
            if (const auto hit =
                    pieceHit(db, Row::titled(readRow), next->rowid, next->pieces, text)) {
                if (*hit)
                    others.append(**hit);
                continue;
            }
        }
        readAll.reset();
        readAll.bind(rowid, next->rowid);
        if (readAll.step())
            if (Row row = Row::titled(readAll); const auto hit = bodyHit(readAll, row, text, query))
                others.append(*hit);
    }
    return wholeOthers || titles.size() + others.size() >= limit || stop(cancelled);
}

// The text of a column that rows share a few values of, decoded once each.
class SharedTexts {
public:
    QString at(const Statement& s, int column) {
        const auto bytes = s.bytes(column);
        if (!bytes)
            return textAt(s, column);
        const std::string_view key(bytes->data(), std::size_t(bytes->size()));
        if (const auto it = known_.find(key); it != known_.end())
            return it->second;
        QString text = utf8(*bytes);
        if (known_.size() < kMaxShared)
            known_.emplace(std::string(key), text);
        return text;
    }

private:
    static constexpr std::size_t kMaxShared = 1024;
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view v) const {
            return std::hash<std::string_view>()(v);
        }
    };
    std::unordered_map<std::string, QString, Hash, std::equal_to<>> known_;
};

// Every row in turn. Where the query has spellings, each row is read once and those that cannot
// hold it are told by their stored bytes, before anything is decoded; else LIKE passes over
// them, and every row holding a NUL is read.
void scan(sqlite3* db, const QString& path, const Fields& fields, const Query& query,
          const QString& text, int limit, const std::function<bool()>& cancelled,
          QList<Hit>& titles, QList<Hit>& others) {
    const bool spelled = !query.spelled.empty();
    const QString where =
        spelled ? QStringLiteral("1") : likeWhere(fields, query, {"Title", "Language", "Body"});
    Statement all(db, path,
                  QStringLiteral("SELECT %1, Language, Title, Body FROM %2 WHERE %3 ORDER BY %4")
                      .arg(fields.id, kTable, where, fields.rowid),
                  searching());
    if (!spelled)
        bindLike(all, query, 1);
    SharedTexts languages;
    // Once limit titles match, nothing later can rank higher.
    while (titles.size() < limit && !stop(cancelled) && all.step()) {
        const auto title = all.bytes(2);
        const auto body = all.bytes(3);
        const bool maybeTitle = !spelled || !title || firstSpelled(*title, query);
        const bool spelledBody = spelled && !maybeTitle && body;
        std::optional<std::pair<qsizetype, qsizetype>> inBody;
        if (spelledBody) {
            if (others.size() >= limit)
                continue;
            inBody = firstSpelled(*body, query);
            const auto language = inBody ? std::nullopt : all.bytes(1);
            if (language && !firstSpelled(*language, query))
                continue;
        }
        Row row{all.int64(0), languages.at(all, 1), title ? utf8(*title) : textAt(all, 2), {}};
        if (maybeTitle)
            if (const auto hit = titleHit(row, text)) {
                titles.append(*hit);
                continue;
            }
        if (others.size() >= limit)
            continue;
        if (spelledBody)
            if (const auto hit = spelledBodyHit(*body, inBody, row, text)) {
                if (*hit)
                    others.append(**hit);
                continue;
            }
        if (const auto other = bodyHit(all, row, text, query))
            others.append(*other);
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

Outcome Find(sqlite3* db, const QString& path, const QString& text, int limit,
             const std::function<bool()>& cancelled) {
    Outcome out;
    if (text.isEmpty() || limit <= 0)
        return out;
    const Fields fields = fieldsOf(db, path);
    const Query query = queryOf(text);
    QList<Hit> titles;
    QList<Hit> others;
    // Reading the rows in turn beats reading many of them one by one.
    std::optional<Candidates> candidates;
    qint64 rows = 0;
    bool found = false;
    try {
        rows = rowEstimate(db, path, fields);
        if (2 * qint64(limit) * kSeekCost < rows) {
            // The first few hits: the candidates are read as they are needed.
            if (!query.match.isEmpty() && presentObjects(db, path) == kObjects) {
                Lists lists(db, path, fields, query);
                found = seek(db, path, fields, query, text, lists.title(), true, lists.other(),
                             true, limit, cancelled, titles, others);
            }
        } else {
            candidates =
                ask(db, path, fields, query, std::max<qint64>(rows / kSeekCost, 256), limit, rows);
        }
    } catch (const DiskError&) {
        throw; // the disk's failure, not the index's: nothing to build again
    } catch (const Error&) {
        out.indexFailed = !stop(cancelled);
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
                             candidates->wholeOthers, limit, cancelled, titles, others);
        } catch (const DiskError&) {
            throw;
        } catch (const Error&) {
            out.indexFailed = !stop(cancelled);
        }
    }
    if (!found) {
        titles.clear();
        others.clear();
    }
    if (!found && !stop(cancelled))
        scan(db, path, fields, query, text, limit, cancelled, titles, others);
    out.hits = titles + others;
    if (out.hits.size() > limit)
        out.hits.resize(limit);
    return out;
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
