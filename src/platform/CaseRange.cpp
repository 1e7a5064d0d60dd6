#include "platform/CaseRange.h"

#include <QChar>
#include <QHash>

namespace varozidi::ado {

namespace {

// Every character that folds to the same as another, by its folded form: the least and the
// greatest of them. No cased letters lie beyond the first supplementary plane.
const QHash<char32_t, std::pair<char32_t, char32_t>>& foldClasses() {
    static const QHash<char32_t, std::pair<char32_t, char32_t>> classes = [] {
        QHash<char32_t, std::pair<char32_t, char32_t>> made;
        for (char32_t c = 0; c < 0x20000; ++c) {
            if (QChar::isSurrogate(c))
                continue;
            const char32_t folded = QChar::toCaseFolded(c);
            if (folded == c)
                continue;
            auto it = made.find(folded);
            if (it == made.end())
                it = made.insert(folded, {folded, folded});
            it->first = std::min(it->first, c);
            it->second = std::max(it->second, c);
        }
        return made;
    }();
    return classes;
}

void append(QString& to, char32_t c) {
    const char32_t units[] = {c};
    to += QString::fromUcs4(units, 1);
}

} // namespace

std::optional<std::pair<QString, QString>> caseBlindBounds(QStringView text) {
    const auto& classes = foldClasses();
    QString low, high;
    low.reserve(text.size());
    high.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i].unicode(), text[i + 1].unicode());
            ++i;
        } else if (QChar::isSurrogate(c)) {
            return std::nullopt;
        }
        const auto it = classes.constFind(QChar::toCaseFolded(c));
        append(low, it == classes.cend() ? c : it->first);
        append(high, it == classes.cend() ? c : it->second);
    }
    return std::pair{low, high};
}

} // namespace varozidi::ado
