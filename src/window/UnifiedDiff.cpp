// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/UnifiedDiff.h"

#include <algorithm>
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

UnifiedDiff DiffLines(const QByteArray& before, const QByteArray& after, const QByteArray& from,
                      const QByteArray& to) {
    const std::vector<Line> a = linesOf(before), b = linesOf(after);
    // What both share at either end is only context: often all but a few lines.
    std::size_t head = 0, tail = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head])
        ++head;
    while (tail < a.size() - head && tail < b.size() - head &&
           a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
        ++tail;
    UnifiedDiff out;
    if (head == a.size() && head == b.size())
        return out;
    out.text = "--- " + from + "\n+++ " + to + '\n';
    Writer writer(out);
    const std::size_t lead = std::min(head, kContext), trail = std::min(tail, kContext);
    const auto aFrom = a.begin() + qsizetype(head), aTo = a.end() - qsizetype(tail);
    const auto bFrom = b.begin() + qsizetype(head), bTo = b.end() - qsizetype(tail);
    const std::size_t aMiddle = std::size_t(aTo - aFrom), bMiddle = std::size_t(bTo - bFrom);
    std::vector<Edit> edits;
    if (aMiddle + bMiddle > kMatchedLines) {
        // One hunk: the whole stretch between the shared ends, removed, then added.
        out.rough = true;
        writer.hunk(head - lead + 1, lead + aMiddle + trail, head - lead + 1,
                    lead + bMiddle + trail);
        for (std::size_t i = head - lead; i < head; ++i)
            writer.line(' ', a[i]);
        std::for_each(aFrom, aTo, [&](Line line) { writer.line('-', line); });
        std::for_each(bFrom, bTo, [&](Line line) { writer.line('+', line); });
        for (std::size_t i = 0; i < trail; ++i)
            writer.line(' ', a[a.size() - tail + i]);
        return out;
    }
    for (std::size_t i = head - lead; i < head; ++i)
        edits.push_back({' ', a[i]});
    // Removals before additions within a change, as diff shows them.
    dtl::Diff<Line, std::vector<Line>> diff(std::vector<Line>(aFrom, aTo),
                                            std::vector<Line>(bFrom, bTo), true);
    diff.compose();
    for (const auto& [line, info] : diff.getSes().getSequence())
        edits.push_back({info.type == dtl::SES_ADD      ? '+'
                         : info.type == dtl::SES_DELETE ? '-'
                                                        : ' ',
                         line});
    for (std::size_t i = 0; i < trail; ++i)
        edits.push_back({' ', a[a.size() - tail + i]});
    writeHunks(writer, edits, head - lead + 1);
    return out;
}
