// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/store/CaseRange.h"

#include <QChar>
#include <QHash>
#include <algorithm>
#include <vector>

namespace varozidi::ado {

namespace {

// The characters spelled out one by one at the start, as far as this many ranges allow.
constexpr qsizetype kMaxRanges = 16;

// Every character that folds to the same as another, by its folded form, in code point
// order. No cased letters lie beyond the first supplementary plane.
const QHash<char32_t, std::vector<char32_t>>& foldClasses() {
    static const QHash<char32_t, std::vector<char32_t>> classes = [] {
        QHash<char32_t, std::vector<char32_t>> made;
        for (char32_t c = 0; c < 0x20000; ++c) {
            if (QChar::isSurrogate(c))
                continue;
            const char32_t folded = QChar::toCaseFolded(c);
            if (folded == c)
                continue;
            auto it = made.find(folded);
            if (it == made.end())
                it = made.insert(folded, {folded});
            it->push_back(c);
        }
        for (auto& members : made)
            std::sort(members.begin(), members.end());
        return made;
    }();
    return classes;
}

QString fromCodePoint(char32_t c) {
    const char32_t units[] = {c};
    return QString::fromUcs4(units, 1);
}

// The code points of text, or nothing where a surrogate stands alone.
std::optional<std::vector<char32_t>> codePoints(QStringView text) {
    std::vector<char32_t> points;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i].unicode(), text[i + 1].unicode());
            ++i;
        } else if (QChar::isSurrogate(c)) {
            return std::nullopt;
        }
        points.push_back(c);
    }
    return points;
}

} // namespace

std::optional<QStringList> caseBlindSpellings(QStringView text, qsizetype max, bool asciiCapitals) {
    const auto points = codePoints(text);
    if (!points)
        return std::nullopt;
    const auto& classes = foldClasses();
    QStringList spellings = {QString()};
    for (const char32_t c : *points) {
        const auto it = classes.constFind(QChar::toCaseFolded(c));
        std::vector<char32_t> members = it == classes.cend() ? std::vector<char32_t>{c} : *it;
        if (!asciiCapitals)
            std::erase_if(members, [](char32_t m) { return m >= u'A' && m <= u'Z'; });
        if (members.empty())
            members = {c};
        if (spellings.size() * qsizetype(members.size()) > max)
            return std::nullopt;
        QStringList longer;
        for (const QString& start : std::as_const(spellings))
            for (const char32_t m : members)
                longer.append(start + fromCodePoint(m));
        spellings = std::move(longer);
    }
    return spellings;
}

std::optional<QList<std::pair<QString, QString>>> caseBlindRanges(QStringView text) {
    const auto points = codePoints(text);
    if (!points)
        return std::nullopt;
    const auto& classes = foldClasses();
    std::vector<std::vector<char32_t>> spellings;
    for (const char32_t c : *points) {
        const auto it = classes.constFind(QChar::toCaseFolded(c));
        spellings.push_back(it == classes.cend() ? std::vector<char32_t>{c} : *it);
    }
    // The prefixes spelled out, then the rest from its least to its greatest spelling.
    QList<std::pair<QString, QString>> ranges = {{QString(), QString()}};
    std::size_t i = 0;
    for (; i < spellings.size(); ++i) {
        const qsizetype count = ranges.size() * qsizetype(spellings[i].size());
        if (count > kMaxRanges)
            break;
        QList<std::pair<QString, QString>> longer;
        for (const auto& [low, high] : ranges)
            for (char32_t c : spellings[i])
                longer.append({low + fromCodePoint(c), high + fromCodePoint(c)});
        ranges = std::move(longer);
    }
    for (; i < spellings.size(); ++i)
        for (auto& [low, high] : ranges) {
            low += fromCodePoint(spellings[i].front());
            high += fromCodePoint(spellings[i].back());
        }
    return ranges;
}

QString likeContaining(QStringView text) {
    QString escaped = text.toString();
    escaped.replace(u'\\', QStringLiteral("\\\\"))
        .replace(u'%', QStringLiteral("\\%"))
        .replace(u'_', QStringLiteral("\\_"));
    return u'%' + escaped + u'%';
}

} // namespace varozidi::ado
