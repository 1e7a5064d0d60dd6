// SPDX-License-Identifier: GPL-3.0-or-later
// list and search: rows written out as the collection gives them, never gathered, so that a
// million snippets take no more memory than ten.

#include "Cli.h"

#include "data/collection/Collection.h"

#include <QStringEncoder>
#include <array>
#include <cstdio>
#include <vector>

namespace cli {

namespace {

// Written out in pieces of about this many bytes.
constexpr qsizetype kPieceBytes = 64 * 1024;
// Search results up to this many are laid out as before, by their widest entries; past it the
// widths of these first ones hold for the rest, which come as they are found.
constexpr std::size_t kAlignedHits = 10000;

class Output {
public:
    explicit Output(Context& c) : c_(c) { bytes_.reserve(kPieceBytes + 4096); }
    QByteArray& bytes() { return bytes_; }
    // After each row.
    void rowDone() {
        if (bytes_.size() >= kPieceBytes)
            flush();
    }
    void flush() {
        if (!bytes_.isEmpty())
            c_.write(bytes_);
        bytes_.clear();
    }

    void text(QStringView text) {
        const qsizetype at = bytes_.size();
        bytes_.resize(at + 3 * text.size());
        char* end = encoder_.appendToBuffer(bytes_.data() + at, text);
        bytes_.resize(end - bytes_.constData());
    }
    // text followed by spaces to width UTF-16 units, as QString::leftJustified pads.
    void padded(QStringView text, qsizetype width) {
        this->text(text);
        if (text.size() < width)
            bytes_.append(width - text.size(), ' ');
    }
    // As QJsonDocument writes a string: the escapes it makes, the rest as UTF-8.
    void json(QStringView s);
    void json(const std::optional<QString>& s) {
        if (s)
            json(QStringView(*s));
        else
            bytes_.append("null");
    }

private:
    Context& c_;
    QByteArray bytes_;
    QStringEncoder encoder_{QStringEncoder::Utf8};
};

void Output::json(QStringView s) {
    static constexpr char kHex[] = "0123456789abcdef";
    bytes_.append('"');
    qsizetype plain = 0; // start of the run not written yet
    const auto writeRun = [&](qsizetype to) {
        if (to > plain)
            text(s.sliced(plain, to - plain));
    };
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t u = s[i].unicode();
        const bool lone =
            QChar::isSurrogate(u) && !(QChar::isHighSurrogate(u) && i + 1 < s.size() &&
                                       QChar::isLowSurrogate(s[i + 1].unicode()));
        if (u >= 0x20 && u != u'"' && u != u'\\' && !lone) {
            if (QChar::isHighSurrogate(u))
                ++i;
            continue;
        }
        writeRun(i);
        plain = i + 1;
        bytes_.append('\\');
        switch (u) {
        case u'"':
            bytes_.append('"');
            break;
        case u'\\':
            bytes_.append('\\');
            break;
        case u'\b':
            bytes_.append('b');
            break;
        case u'\f':
            bytes_.append('f');
            break;
        case u'\n':
            bytes_.append('n');
            break;
        case u'\r':
            bytes_.append('r');
            break;
        case u'\t':
            bytes_.append('t');
            break;
        default:
            bytes_.append('u');
            for (int shift = 12; shift >= 0; shift -= 4)
                bytes_.append(kHex[(u >> shift) & 0xf]);
        }
    }
    writeRun(s.size());
    bytes_.append('"');
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
        out_.bytes().append(any_ ? ',' : '[');
        any_ = true;
        return out_;
    }
    void close() { out_.bytes().append(any_ ? "]\n" : "[]\n"); }

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
            if (!s.notText.isEmpty())
                RefuseNotText(s.id, s.notText);
            if (c.json) {
                Output& o = array.next();
                o.bytes().append("{\"id\":").append(QByteArray::number(s.id));
                o.bytes().append(",\"language\":");
                o.json(s.language);
                o.bytes().append(",\"title\":");
                o.json(s.title);
                o.bytes().append('}');
            } else {
                out.padded(QString::number(s.id), idWidth + 2);
                out.padded(s.language ? oneLine(*s.language) : QString(), languageWidth + 2);
                out.text(s.title ? oneLine(*s.title) : QString());
                out.bytes().append('\n');
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
        out_.text(row[3]);
        out_.bytes().append('\n');
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
        o.bytes().append("{\"id\":").append(QByteArray::number(hit.id));
        o.bytes().append(",\"language\":");
        o.json(QStringView(hit.language));
        o.bytes().append(",\"line\":");
        o.json(QStringView(hit.line));
        o.bytes().append(",\"title\":");
        o.json(QStringView(hit.title));
        o.bytes().append('}');
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
