// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What a search looks for, and how a row read is told to hold it: the query made of the text,
// and the hit made of a row.

#include "data/engines/sqlite/AdoStatement.h"
#include "data/search/SearchIndex.h"

#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace varozidi::search::internal {

// Characters of a match's line shown at most.
inline constexpr qsizetype kLineWidth = 160;

// The UTF-8 spellings of one character: those of one byte as a table, being most.
struct Letter {
    std::array<bool, 256> byte{};
    std::vector<QByteArray> longer;
};

// What a search asks the index for, and what a row read in turn must hold.
struct Query {
    // Every trigram of text (a sample of a long one), each as any of its case-blind spellings,
    // all of them needed; empty where the index cannot answer soundly.
    QString match;
    // Its trigrams one by one, of which the bodies' indexes are asked for the rarest; and those
    // of the start of text, that lies whole in one piece of a long body.
    QStringList groups;
    QStringList pieceGroups;
    // The UTF-8 spellings of each character of text, each of which the check counts as it;
    // empty where a character has too many, or text is not exact.
    std::vector<Letter> spelled;
    std::vector<unsigned char> starts; // the bytes a spelling of the first character starts with
    // LIKE patterns, one of which a field holding text matches (LIKE ignores the case of
    // ASCII letters only: the others are spelled out); empty where none can be made.
    QStringList like;
};

Query queryOf(const QString& text);

QString textOf(const QVariant& value);
// bytes as text, a byte-order mark at the start kept as the character it is, as the rows'
// reading keeps it (QString::fromUtf8 drops it).
QString utf8(QByteArrayView bytes);
// Column column of s as text, as textOf reads it, decoded once and straight from SQLite's
// bytes: the search reads every row of a broad query so.
QString textAt(const ado::Statement& s, int column);

// One snippet as search reads it, by rowid or row after row.
struct Row {
    qint64 id = 0;
    QString language;
    QString title;
    QString body;

    static Row from(const ado::Statement& s) {
        return {s.int64(0), textAt(s, 1), textAt(s, 2), textAt(s, 3)};
    }
    // All but the body, which a title match does without.
    static Row titled(const ado::Statement& s) {
        return {s.int64(0), textAt(s, 1), textAt(s, 2), {}};
    }
};

// The line of field that holds the match at at, a long one cut down around it.
Hit lineHit(const Row& row, const QString& field, qsizetype at, qsizetype length);
std::optional<Hit> titleHit(const Row& row, const QString& text);
std::optional<Hit> otherHit(const Row& row, const QString& text);
// Where in bytes (UTF-8) the first match of the query is, and where it ends, found by its
// spellings without decoding: UTF-8 being prefix-free, a spelling matches whole characters.
std::optional<std::pair<qsizetype, qsizetype>> firstSpelled(QByteArrayView bytes,
                                                            const Query& query);
// As otherHit, by the bytes of a body, where the first spelled match of the query in them is
// match: only its line is decoded, and the check confirms it. Nothing where that cannot be
// told so.
std::optional<std::optional<Hit>>
spelledBodyHit(QByteArrayView bytes, const std::optional<std::pair<qsizetype, qsizetype>>& match,
               const Row& row, const QString& text);
// As otherHit, the body read from column 3 of s: a long one first only as far as its start,
// which is where a search that matches most rows mostly finds its match.
std::optional<Hit> bodyHit(const ado::Statement& s, Row& row, const QString& text,
                           const Query& query);

// The first match in a long body that the piece index names only by some of its pieces: every
// match starts in one of them, so only they are read, with room around for its line. Nothing
// where the body cannot be read so (changed meanwhile): then it is read whole.
std::optional<std::optional<Hit>> pieceHit(sqlite3* db, const Row& row, qint64 rowid,
                                           const std::vector<qint64>& pieces, const QString& text);

// The text of a column that rows share a few values of, decoded once each.
class SharedTexts {
public:
    QString at(const ado::Statement& s, int column);

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

// Where a search puts the hits it finds: those in titles first, then the others, each group in
// table order.
class Hits {
public:
    virtual ~Hits() = default;
    void title(Hit hit) {
        ++titles_;
        keepTitle(std::move(hit));
    }
    void other(Hit hit) {
        ++others_;
        keepOther(std::move(hit));
    }
    qsizetype titles() const { return titles_; }
    qsizetype others() const { return others_; }
    // No statement holds the file now: what may be passed on is passed on.
    virtual void settle() {}
    // The others come only once the last title match is in (the index's lists are read so),
    // or mixed with them (every row read in turn).
    virtual void othersAfterTitles(bool after) { Q_UNUSED(after); }
    // The search starts over, reading every row: it finds the same hits in the same order.
    virtual void restart() = 0;

protected:
    virtual void keepTitle(Hit&& hit) = 0;
    virtual void keepOther(Hit&& hit) = 0;
    qsizetype titles_ = 0;
    qsizetype others_ = 0;
};

} // namespace varozidi::search::internal
