// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/UnifiedDiff.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <dtl/dtl.hpp>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kContext = 3;
// dtl's O(NP) search takes time in proportion to the lines times the differences: a stretch of
// more lines than this between the first and the last difference is not matched line by line,
// so that two large texts that differ throughout never hold up the window.
constexpr std::size_t kMatchedLines = 20000;
// Lines a diff shows at most; one longer is cut.
constexpr qsizetype kShownLines = 20000;

using Line = std::string_view;

// Each line with its line end, so that a last line without one differs from the same line
// with one, as it does in the text.
std::vector<Line> linesOf(const QByteArray& text) {
    std::vector<Line> lines;
    const char* at = text.constData();
    const char* const end = at + text.size();
    while (at < end) {
        const auto* newline =
            static_cast<const char*>(std::memchr(at, '\n', std::size_t(end - at)));
        const char* next = newline ? newline + 1 : end;
        lines.emplace_back(at, std::size_t(next - at));
        at = next;
    }
    return lines;
}

struct Edit {
    char op; // ' ', '-' or '+'
    Line line;
};

class Writer {
public:
    explicit Writer(UnifiedDiff& out) : out_(out) {}
    bool full() const { return out_.cut; }
    void hunk(std::size_t aStart, std::size_t aCount, std::size_t bStart, std::size_t bCount) {
        // A side with no lines names the line before the hunk, as diff does.
        out_.text += "@@ -" + range(aStart, aCount) + " +" + range(bStart, bCount) + " @@\n";
    }
    void line(char op, Line line) {
        if (out_.cut)
            return;
        if (++shown_ > kShownLines) {
            out_.cut = true;
            out_.text += "\\ The rest of the differences is not shown.\n";
            return;
        }
        out_.text += op;
        out_.text.append(line.data(), qsizetype(line.size()));
        if (!line.ends_with('\n'))
            out_.text += "\n\\ No newline at end of file\n";
    }

private:
    static QByteArray range(std::size_t start, std::size_t count) {
        return QByteArray::number(qulonglong(count == 0 ? start - 1 : start)) + ',' +
               QByteArray::number(qulonglong(count));
    }
    UnifiedDiff& out_;
    qsizetype shown_ = 0;
};

// The hunks of edits, whose first line is line number first of both texts.
void writeHunks(Writer& out, const std::vector<Edit>& edits, std::size_t first) {
    std::size_t aLine = first, bLine = first, i = 0;
    while (i < edits.size() && !out.full()) {
        std::size_t change = i;
        while (change < edits.size() && edits[change].op == ' ')
            ++change;
        if (change == edits.size())
            return;
        const std::size_t start = change >= i + kContext ? change - kContext : i;
        aLine += start - i;
        bLine += start - i;
        // Changes closer than twice the context share a hunk.
        std::size_t last = change;
        for (std::size_t at = change + 1; at < edits.size() && at - last <= 2 * kContext; ++at)
            if (edits[at].op != ' ')
                last = at;
        const std::size_t end = std::min(edits.size(), last + kContext + 1);
        const auto count = [&](char skip) {
            return std::size_t(std::count_if(edits.begin() + qsizetype(start),
                                             edits.begin() + qsizetype(end),
                                             [skip](const Edit& e) { return e.op != skip; }));
        };
        const std::size_t aCount = count('+'), bCount = count('-');
        out.hunk(aLine, aCount, bLine, bCount);
        for (std::size_t at = start; at < end; ++at)
            out.line(edits[at].op, edits[at].line);
        aLine += aCount;
        bLine += bCount;
        i = end;
    }
}

} // namespace

namespace {

// The line ends among size bytes, eight at a time: a shared head of megabytes is counted
// only for the number of the first line shown.
std::size_t lineEnds(const char* bytes, qsizetype size) {
    constexpr quint64 kLow = 0x7f7f7f7f7f7f7f7fULL;
    std::size_t n = 0;
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word;
        std::memcpy(&word, bytes + i, 8);
        // Each byte that was '\n' becomes zero; its high bit is then set, and only its.
        const quint64 x = word ^ 0x0a0a0a0a0a0a0a0aULL;
        n += std::size_t(std::popcount(~(((x & kLow) + kLow) | x | kLow)));
    }
    for (; i < size; ++i)
        n += bytes[i] == '\n';
    return n;
}

// The bytes both texts share at their start, up to the end of the last whole line among them.
qsizetype sharedHead(const QByteArray& a, const QByteArray& b) {
    const qsizetype most = std::min(a.size(), b.size());
    const auto [at, unused] = std::mismatch(a.constData(), a.constData() + most, b.constData());
    const QByteArrayView shared(a.constData(), at - a.constData());
    return shared.lastIndexOf('\n') + 1;
}

// The bytes both share at their end, from the start of the first whole line among them and
// after head.
qsizetype sharedTail(const QByteArray& a, const QByteArray& b, qsizetype head) {
    const qsizetype most = std::min(a.size(), b.size()) - head;
    qsizetype n = 0;
    while (n < most && a[a.size() - 1 - n] == b[b.size() - 1 - n])
        ++n;
    // Head ends a line, so a stretch from there starts one.
    const auto startsLine = [head](const QByteArray& text, qsizetype at) {
        return at == head || text[at - 1] == '\n';
    };
    if (n == 0 || (startsLine(a, a.size() - n) && startsLine(b, b.size() - n)))
        return n;
    // From the next line end on, both are the same whole lines.
    const qsizetype newline = QByteArrayView(a).indexOf('\n', a.size() - n);
    return newline < 0 ? 0 : a.size() - newline - 1;
}

// The last count lines of text before its byte end, and the first count lines from start.
std::vector<Line> linesBefore(const QByteArray& text, qsizetype end, std::size_t count) {
    qsizetype from = end;
    for (std::size_t i = 0; i < count && from > 0; ++i)
        from = QByteArrayView(text.constData(), from - 1).lastIndexOf('\n') + 1;
    return linesOf(QByteArray::fromRawData(text.constData() + from, end - from));
}

std::vector<Line> linesFrom(const QByteArray& text, qsizetype start, std::size_t count) {
    qsizetype to = start;
    for (std::size_t i = 0; i < count && to < text.size(); ++i) {
        const qsizetype newline = QByteArrayView(text).indexOf('\n', to);
        to = newline < 0 ? text.size() : newline + 1;
    }
    return linesOf(QByteArray::fromRawData(text.constData() + start, to - start));
}

} // namespace

UnifiedDiff DiffLines(const QByteArray& before, const QByteArray& after, const QByteArray& from,
                      const QByteArray& to) {
    // What both share at either end is only context: often all but a few lines. Found by bytes
    // first, so that only the lines between are split and matched.
    const qsizetype headBytes = sharedHead(before, after);
    const qsizetype tailBytes = sharedTail(before, after, headBytes);
    UnifiedDiff out;
    if (headBytes + tailBytes == before.size() && before.size() == after.size())
        return out;
    const std::size_t head = lineEnds(before.constData(), headBytes);
    const std::vector<Line> leading = linesBefore(before, headBytes, kContext);
    const std::vector<Line> trailing = linesFrom(before, before.size() - tailBytes, kContext);
    const auto middle = [&](const QByteArray& text) {
        return linesOf(QByteArray::fromRawData(text.constData() + headBytes,
                                               text.size() - headBytes - tailBytes));
    };
    const std::vector<Line> a = middle(before), b = middle(after);
    out.text = "--- " + from + "\n+++ " + to + '\n';
    Writer writer(out);
    const std::size_t lead = leading.size();
    if (a.size() + b.size() > kMatchedLines) {
        // One hunk: the whole stretch between the shared ends, removed, then added.
        out.rough = true;
        writer.hunk(head - lead + 1, lead + a.size() + trailing.size(), head - lead + 1,
                    lead + b.size() + trailing.size());
        for (Line line : leading)
            writer.line(' ', line);
        for (Line line : a)
            writer.line('-', line);
        for (Line line : b)
            writer.line('+', line);
        for (Line line : trailing)
            writer.line(' ', line);
        return out;
    }
    std::vector<Edit> edits;
    for (Line line : leading)
        edits.push_back({' ', line});
    // Removals before additions within a change, as diff shows them.
    dtl::Diff<Line, std::vector<Line>> diff(a, b, true);
    diff.compose();
    for (const auto& [line, info] : diff.getSes().getSequence())
        edits.push_back({info.type == dtl::SES_ADD      ? '+'
                         : info.type == dtl::SES_DELETE ? '-'
                                                        : ' ',
                         line});
    for (Line line : trailing)
        edits.push_back({' ', line});
    writeHunks(writer, edits, head - lead + 1);
    return out;
}
