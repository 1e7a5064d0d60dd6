// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/search/SearchMatch.h"
#include "data/search/SearchIndexInternal.h"

#include "data/store/CaseRange.h"

#include <QSet>
#include <QStringDecoder>
#include <algorithm>
#include <cstring>
#include <memory>
#include <sqlite3.h>

namespace varozidi::search::internal {

using ado::Statement;

namespace {

// More trigrams than this make a long query slow without making it more precise: every
// candidate is checked against the whole text anyway.
constexpr int kMaxTrigrams = 12;
// Bytes of a body decoded first, before the rest is needed.
constexpr qsizetype kBodyStart = 4096;
// Spellings of one trigram the index is asked for; a wider trigram is left to the check.
constexpr qsizetype kMaxSpellings = 27;
// A text searched for as a whole by LIKE, when row after row is read: at most this long, and
// with this many spellings.
constexpr qsizetype kMaxLikeLength = 64;
constexpr qsizetype kMaxLikeSpellings = 8;
// Characters that lie whole in one piece of a long body, however they are spelled.
constexpr qsizetype kPieceWindow = kPieceOverlap / 4;
// A match's line decoded alone, at most this long in bytes; a longer one is decoded as before.
constexpr qsizetype kMaxSpelledLine = 65536;

QString phrase(const QString& trigram) {
    return u'"' + QString(trigram).replace(u'"', QStringLiteral("\"\"")) + u'"';
}

// The characters of points from at on, size of them, as text.
QString pieceOf(const QList<uint>& points, qsizetype at, qsizetype size) {
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(points.constData() + at), size);
}

// The UTF-8 spellings of each character, and the bytes the first one's start with; none where
// a character has too many.
void spell(Query& query, const QList<uint>& points) {
    for (qsizetype i = 0; i < points.size(); ++i) {
        const auto spellings = ado::caseBlindSpellings(pieceOf(points, i, 1), kMaxSpellings, true);
        if (!spellings) {
            query.spelled.clear();
            break;
        }
        Letter letter;
        for (const QString& one : *spellings) {
            const QByteArray bytes = one.toUtf8();
            if (bytes.size() == 1)
                letter.byte[static_cast<unsigned char>(bytes.front())] = true;
            else
                letter.longer.push_back(bytes);
            if (i == 0)
                query.starts.push_back(static_cast<unsigned char>(bytes.front()));
        }
        query.spelled.push_back(std::move(letter));
    }
    std::sort(query.starts.begin(), query.starts.end());
    query.starts.erase(std::unique(query.starts.begin(), query.starts.end()), query.starts.end());
    if (query.spelled.empty())
        query.starts.clear();
}

// The trigrams of the first size characters, each as an index query of its spellings.
QStringList trigramGroups(const QList<uint>& points, qsizetype size) {
    const qsizetype count = size - 2;
    const qsizetype step = std::max<qsizetype>(1, count / kMaxTrigrams);
    QStringList groups;
    QSet<QString> seen;
    for (qsizetype i = 0; i < count; i += step) {
        const QString trigram = pieceOf(points, i, 3);
        if (trigram.contains(QChar()) || seen.contains(trigram.toCaseFolded()))
            continue;
        seen.insert(trigram.toCaseFolded());
        const auto spellings = ado::caseBlindSpellings(trigram, kMaxSpellings);
        if (!spellings)
            continue;
        QStringList phrases;
        for (const QString& s : *spellings)
            phrases.append(phrase(s));
        groups.append(u'(' + phrases.join(QStringLiteral(" OR ")) + u')');
    }
    return groups;
}

// LIKE reads text only up to a NUL (those rows are read whatever it says), and takes a pattern
// of limited length: then the narrowest trigram stands for the whole.
QStringList likePatterns(const QString& text, const QList<uint>& points) {
    QStringList patterns;
    std::optional<QStringList> like;
    if (points.size() <= kMaxLikeLength && !text.contains(QChar())) {
        // One pattern, a letter of several spellings left to LIKE's "_", where enough letters
        // are left to narrow the rows down; else each spelling.
        QString pattern = QStringLiteral("%");
        qsizetype literal = 0;
        for (qsizetype i = 0; i < points.size(); ++i) {
            const QString c = pieceOf(points, i, 1);
            const auto spellings = ado::caseBlindSpellings(c, 1);
            pattern += spellings ? ado::likeContaining(c).mid(1).chopped(1) : QStringLiteral("_");
            literal += spellings ? 1 : 0;
        }
        if (literal >= std::min<qsizetype>(3, points.size()))
            return {pattern + u'%'};
        like = ado::caseBlindSpellings(text, kMaxLikeSpellings);
    }
    for (qsizetype i = 0; !like && i < points.size() - 2; ++i) {
        const QString trigram = pieceOf(points, i, 3);
        const auto spellings = trigram.contains(QChar())
                                   ? std::nullopt
                                   : ado::caseBlindSpellings(trigram, kMaxSpellings);
        if (spellings && (patterns.isEmpty() || spellings->size() < patterns.size()))
            patterns = *spellings;
    }
    if (like)
        patterns = *like;
    for (QString& pattern : patterns)
        pattern = ado::likeContaining(pattern);
    return patterns;
}

} // namespace

Query queryOf(const QString& text) {
    Query query;
    const QList<uint> points = text.toUcs4();
    // Where text came out of invalid UTF-16 or UTF-8, stored bytes and index may disagree.
    if (text.contains(QChar::ReplacementCharacter) || pieceOf(points, 0, points.size()) != text)
        return query;
    spell(query, points);
    query.groups = trigramGroups(points, points.size());
    query.match = query.groups.join(QStringLiteral(" AND "));
    query.pieceGroups =
        points.size() > kPieceWindow ? trigramGroups(points, kPieceWindow) : query.groups;
    query.like = likePatterns(text, points);
    return query;
}

QString textOf(const QVariant& value) {
    return value.typeId() == QMetaType::QByteArray ? QString::fromUtf8(value.toByteArray())
                                                   : value.toString();
}

QString utf8(QByteArrayView bytes) {
    if (!bytes.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(bytes);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

QString textAt(const Statement& s, int column) {
    if (const auto bytes = s.bytes(column))
        return utf8(*bytes);
    return textOf(s.cell(column));
}

Hit lineHit(const Row& row, const QString& field, qsizetype at, qsizetype length) {
    qsizetype start = at > 0 ? field.lastIndexOf(u'\n', at - 1) + 1 : 0;
    qsizetype end = field.indexOf(u'\n', at + length);
    if (end < 0)
        end = field.size();
    if (end > start && field[end - 1] == u'\r')
        --end;
    if (end - start > kLineWidth) {
        start = std::max(start, at - kLineWidth / 3);
        end = std::min(end, std::max(at + length, start + kLineWidth));
        // A character beyond U+FFFF is two halves: cut between them, it would be no text.
        if (start > 0 && field[start].isLowSurrogate() && field[start - 1].isHighSurrogate())
            --start;
        if (end < field.size() && field[end].isLowSurrogate() && field[end - 1].isHighSurrogate())
            ++end;
    }
    return {row.id,          row.language, row.title, field.mid(start, end - start),
            int(at - start), int(length),  false};
}

std::optional<Hit> titleHit(const Row& row, const QString& text) {
    const qsizetype at = row.title.indexOf(text, 0, Qt::CaseInsensitive);
    if (at < 0)
        return std::nullopt;
    Hit hit = lineHit(row, row.title, at, text.size());
    hit.inTitle = true;
    return hit;
}

std::optional<Hit> otherHit(const Row& row, const QString& text) {
    for (const QString* field : {&row.body, &row.language}) {
        const qsizetype at = field->indexOf(text, 0, Qt::CaseInsensitive);
        if (at >= 0)
            return lineHit(row, *field, at, text.size());
    }
    return std::nullopt;
}

// Where in bytes (UTF-8) the first match of the query is, and where it ends, found by its
// spellings without decoding: UTF-8 being prefix-free, a spelling matches whole characters.
std::optional<std::pair<qsizetype, qsizetype>> firstSpelled(QByteArrayView bytes,
                                                            const Query& query) {
    const char* data = bytes.data();
    const qsizetype size = bytes.size();
    // The next place each byte a match can start with stands, found by memchr.
    std::array<qsizetype, 256> next; // left uninitialised: only the first starts are used
    const std::size_t starts = std::min(query.starts.size(), next.size());
    const auto find = [&](unsigned char b, qsizetype from) {
        const void* at =
            from < size ? std::memchr(data + from, b, std::size_t(size - from)) : nullptr;
        return at ? static_cast<const char*>(at) - data : size;
    };
    for (std::size_t k = 0; k < starts; ++k)
        next[k] = find(query.starts[k], 0);
    while (true) {
        qsizetype i = size;
        for (std::size_t k = 0; k < starts; ++k)
            i = std::min(i, next[k]);
        if (i >= size)
            return std::nullopt;
        qsizetype at = i;
        bool whole = true;
        for (const Letter& letter : query.spelled) {
            if (at < size && letter.byte[static_cast<unsigned char>(data[at])]) {
                ++at;
                continue;
            }
            const auto it =
                std::find_if(letter.longer.begin(), letter.longer.end(), [&](const auto& one) {
                    return size - at >= one.size() &&
                           std::memcmp(data + at, one.data(), std::size_t(one.size())) == 0;
                });
            if (it == letter.longer.end()) {
                whole = false;
                break;
            }
            at += it->size();
        }
        if (whole)
            return std::pair(i, at);
        for (std::size_t k = 0; k < starts; ++k)
            if (next[k] == i)
                next[k] = find(query.starts[k], i + 1);
    }
}

namespace {

// The length in UTF-16 of bytes decoded, counted without decoding where they are ASCII.
qsizetype utf16Size(QByteArrayView bytes) {
    for (const char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80)
            return utf8(bytes).size();
    return bytes.size();
}

} // namespace

// As otherHit, by the bytes of the body in column 3 of s, where the first spelled match of the
// query in them is match: only its line is decoded, and the check confirms it. Nothing where
// that cannot be told so.
std::optional<std::optional<Hit>>
spelledBodyHit(QByteArrayView bytes, const std::optional<std::pair<qsizetype, qsizetype>>& match,
               const Row& row, const QString& text) {
    if (!match) {
        const qsizetype at = row.language.indexOf(text, 0, Qt::CaseInsensitive);
        if (at >= 0)
            return std::optional<Hit>(lineHit(row, row.language, at, text.size()));
        return std::optional<Hit>();
    }
    const auto [from, to] = *match;
    const qsizetype start = bytes.first(from).lastIndexOf('\n') + 1;
    qsizetype end = bytes.sliced(to).indexOf('\n');
    end = end < 0 ? bytes.size() : to + end;
    if (end - start > kMaxSpelledLine)
        return std::nullopt;
    Row line = row;
    line.body = utf8(bytes.sliced(start, end - start));
    const qsizetype at = utf16Size(bytes.sliced(start, from - start));
    if (QStringView(line.body).mid(at, text.size()).compare(text, Qt::CaseInsensitive) != 0)
        return std::nullopt;
    return std::optional<Hit>(lineHit(line, line.body, at, text.size()));
}

std::optional<Hit> bodyHit(const Statement& s, Row& row, const QString& text, const Query& query) {
    const auto bytes = s.bytes(3);
    if (bytes && !query.spelled.empty())
        if (const auto hit = spelledBodyHit(*bytes, firstSpelled(*bytes, query), row, text))
            return *hit;
    if (bytes && bytes->size() > kBodyStart) {
        qsizetype cut = kBodyStart;
        while (cut > 0 && (static_cast<unsigned char>((*bytes)[cut]) & 0xC0) == 0x80)
            --cut;
        row.body = utf8(bytes->first(cut));
        const qsizetype at = row.body.indexOf(text, 0, Qt::CaseInsensitive);
        // The first match, and the whole of its line as a hit shows it.
        if (at >= 0 && (row.body.indexOf(u'\n', at + text.size()) >= 0 ||
                        row.body.size() >= at + text.size() + kLineWidth))
            return lineHit(row, row.body, at, text.size());
    }
    row.body = textAt(s, 3);
    return otherHit(row, text);
}

namespace {

// Text read around a match in a piece, for its line: kLineWidth characters of four bytes.
constexpr qint64 kPieceMargin = 4 * kLineWidth + 4;
constexpr qint64 kPieceReadAtOnce = 16 * kPieceBytes;

} // namespace

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

QString SharedTexts::at(const Statement& s, int column) {
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

} // namespace varozidi::search::internal
