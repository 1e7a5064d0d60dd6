// SPDX-License-Identifier: GPL-3.0-or-later
// list and search: rows written out as the collection gives them, never gathered, so that a
// million snippets take no more memory than ten.

#include "Cli.h"

#include "data/collection/Collection.h"

#include <QStringEncoder>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdio>
#include <vector>

namespace cli {

namespace {

// Written out in pieces of about this many bytes.
constexpr qsizetype kPieceBytes = 64 * 1024;
// Search results up to this many are laid out as before, by their widest entries; past it the
// widths of these first ones hold for the rest, which come as they are found.
constexpr std::size_t kAlignedHits = 10000;

// Output made in place in a buffer of its own, written out a piece at a time. (QByteArray's
// append goes the long way of an insert, which a million rows feel.)
class Output {
public:
    explicit Output(Context& c) : c_(c), buffer_(2 * kPieceBytes, Qt::Uninitialized) {}
    // Room for n bytes more, to be filled from the pointer returned, then done with its end.
    char* room(qsizetype n) {
        if (used_ + n > buffer_.size()) {
            flush();
            if (n > buffer_.size())
                buffer_.resize(n);
        }
        return buffer_.data() + used_;
    }
    void done(char* end) { used_ = end - buffer_.constData(); }
    void put(QByteArrayView bytes) {
        done(std::copy_n(bytes.data(), bytes.size(), room(bytes.size())));
    }
    // After each row.
    void rowDone() {
        if (used_ >= kPieceBytes)
            flush();
    }
    void flush() {
        if (used_ > 0)
            c_.write(QByteArray::fromRawData(buffer_.constData(), used_));
        used_ = 0;
    }

    // text as UTF-8, followed by spaces to width UTF-16 units, as QString::leftJustified pads.
    void padded(QStringView text, qsizetype width = 0) {
        char* end = encoder_.appendToBuffer(room(3 * text.size() + width), text);
        done(text.size() < width ? std::fill_n(end, width - text.size(), ' ') : end);
    }
    // UTF-8 text as QJsonDocument writes a string: the escapes it makes, the rest as it is; or
    // null.
    void json(const std::optional<QByteArrayView>& utf8);
    void json(QStringView text) { json(QByteArrayView(text.toUtf8())); }
    // UTF-8 text as OneLine writes it, padded to width UTF-16 units.
    void oneLine(const std::optional<QByteArrayView>& utf8, qsizetype width = 0);

private:
    Context& c_;
    QByteArray buffer_;
    qsizetype used_ = 0;
    QStringEncoder encoder_{QStringEncoder::Utf8};
};

void Output::json(const std::optional<QByteArrayView>& utf8) {
    if (!utf8) {
        put("null");
        return;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    // No escape takes more than six bytes.
    char* out = room(6 * utf8->size() + 2);
    *out++ = '"';
    for (const char c : *utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && c != '"' && c != '\\') {
            *out++ = c;
            continue;
        }
        *out++ = '\\';
        switch (c) {
        case '"':
        case '\\':
            *out++ = c;
            break;
        case '\b':
            *out++ = 'b';
            break;
        case '\f':
            *out++ = 'f';
            break;
        case '\n':
            *out++ = 'n';
            break;
        case '\r':
            *out++ = 'r';
            break;
        case '\t':
            *out++ = 't';
            break;
        default:
            out = std::copy_n("u00", 3, out);
            *out++ = kHex[u >> 4];
            *out++ = kHex[u & 0xf];
        }
    }
    *out++ = '"';
    done(out);
}

void Output::oneLine(const std::optional<QByteArrayView>& utf8, qsizetype width) {
    static constexpr char kHex[] = "0123456789abcdef";
    const qsizetype size = utf8 ? utf8->size() : 0;
    // No escape takes more than four bytes.
    char* out = room(4 * size + std::max<qsizetype>(width, 0));
    qsizetype units = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char c = (*utf8)[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) {
            *out++ = c;
            // A character beyond 16 bits is two UTF-16 units, as QString counts it.
            units += (u & 0xc0) == 0x80 ? 0 : u >= 0xf0 ? 2 : 1;
            continue;
        }
        // As OneLine writes them.
        const char named = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : 0;
        *out++ = '\\';
        if (named) {
            *out++ = named;
            units += 2;
        } else {
            *out++ = 'x';
            *out++ = kHex[u >> 4];
            *out++ = kHex[u & 0xf];
            units += 4;
        }
    }
    if (units < width)
        out = std::fill_n(out, width - units, ' ');
    done(out);
}

// OneLine, without a copy for the text that needs no escapes.
QString oneLine(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return OneLine(text);
    return text;
}

// A JSON array written an element at a time.
class JsonArray {
public:
    explicit JsonArray(Output& out) : out_(out) {}
    Output& next() {
        out_.put(any_ ? "," : "[");
        any_ = true;
        return out_;
    }
    void close() { out_.put(any_ ? "]\n" : "[]\n"); }

private:
    Output& out_;
    bool any_ = false;
};

} // namespace

int List(Context& c) {
    c.searchIndexWhenNeeded = true;
    const auto given = c.options.constFind(QStringLiteral("--language"));
    const std::optional<QString> language =
        given != c.options.cend() ? std::optional<QString>(*given) : std::nullopt;
    Output out(c);
    JsonArray array(out);
    // The widths Aligned would give the ID and language columns, from the outline.
    qsizetype idWidth = 0;
    qsizetype languageWidth = 0;
    const auto outline = [&](const varozidi::ListingOutline& o) {
        idWidth = std::max(QString::number(o.lowestId).size(), QString::number(o.highestId).size());
        for (const QString& name : o.languages)
            languageWidth = std::max(languageWidth, oneLine(name).size());
    };
    c.collection().list(
        language, c.json ? std::function<void(const varozidi::ListingOutline&)>() : outline,
        [&](const varozidi::ListedSnippet& s) {
            if (s.notText)
                RefuseNotText(s.id, QLatin1String(s.notText));
            if (c.json) {
                Output& o = array.next();
                char digits[24];
                const auto end = std::to_chars(digits, digits + sizeof digits, s.id).ptr;
                o.put("{\"id\":");
                o.put(QByteArrayView(digits, end - digits));
                o.put(",\"language\":");
                o.json(s.language);
                o.put(",\"title\":");
                o.json(s.title);
                o.put("}");
            } else {
                char digits[24];
                const auto end = std::to_chars(digits, digits + sizeof digits, s.id).ptr;
                out.oneLine(QByteArrayView(digits, end - digits), idWidth + 2);
                out.oneLine(s.language, languageWidth + 2);
                out.oneLine(s.title);
                out.put("\n");
            }
            out.rowDone();
        });
    if (c.json)
        array.close();
    out.flush();
    return kDone;
}

namespace {

// Search results as text: the first kAlignedHits held to be laid out by their widest entries,
// exactly as Aligned lays them out; the rest after them as they come.
class HitLines {
public:
    explicit HitLines(Output& out) : out_(out) {}
    void add(std::array<QString, 4> row) {
        if (!released_) {
            for (std::size_t i = 0; i < widths_.size(); ++i)
                widths_[i] = std::max(widths_[i], row[i].size());
            held_.push_back(std::move(row));
            if (held_.size() == kAlignedHits)
                release();
            return;
        }
        write(row);
    }
    void finish() { release(); }

private:
    void release() {
        released_ = true;
        for (const auto& row : held_)
            write(row);
        held_.clear();
        held_.shrink_to_fit();
    }
    void write(const std::array<QString, 4>& row) {
        for (std::size_t i = 0; i < widths_.size(); ++i)
            out_.padded(row[i], widths_[i] + 2);
        out_.padded(row[3]);
        out_.put("\n");
        out_.rowDone();
    }
    Output& out_;
    std::vector<std::array<QString, 4>> held_;
    std::array<qsizetype, 3> widths_{};
    bool released_ = false;
};

} // namespace

int Search(Context& c) {
    varozidi::Collection& collection = c.collection();
    Output out(c);
    JsonArray array(out);
    HitLines lines(out);
    const bool failed = collection.findEach(c.args[0], [&](const varozidi::search::Hit& hit) {
        // A replacement character may stand for bytes another program stored: the row says.
        if ((hit.title + hit.language + hit.line).contains(QChar::ReplacementCharacter))
            CheckStoredText(c, hit.id);
        if (!c.json) {
            lines.add({QString::number(hit.id), oneLine(hit.language), oneLine(hit.title),
                       oneLine(hit.line.trimmed())});
            return;
        }
        Output& o = array.next();
        o.put("{\"id\":");
        o.put(QByteArray::number(hit.id));
        o.put(",\"language\":");
        o.json(QStringView(hit.language));
        o.put(",\"line\":");
        o.json(QStringView(hit.line));
        o.put(",\"title\":");
        o.json(QStringView(hit.title));
        o.put("}");
        out.rowDone();
    });
    c.json ? array.close() : lines.finish();
    out.flush();
    // The hits are whole either way, read row by row: a file that cannot be written now (read
    // only, or busy) still answers, and says its index stays damaged.
    if (failed) {
        try {
            collection.repairSearchIndex();
        } catch (const varozidi::Error& e) {
            const QByteArray note = QStringLiteral("varozidi-cli: the search index is damaged and "
                                                   "could not be rebuilt, so every snippet was "
                                                   "read instead: %1\n")
                                        .arg(e.message())
                                        .toUtf8();
            std::fwrite(note.constData(), 1, std::size_t(note.size()), stderr);
        }
    }
    return kDone;
}

} // namespace cli
