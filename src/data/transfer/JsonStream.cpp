// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/JsonStream.h"

#include "data/core/SysUtils.h"
#include "data/files/Files.h"

#include <QFile>
#include <QFileInfo>
#include <cmath>
#include <cstring>
#include <limits>
#include <rapidjson/reader.h>

namespace varozidi::transfer {

namespace {

const QString kFormat = QStringLiteral("varozidi-snippets");
constexpr qint64 kVersion = 1;

// rapidjson's input stream over a file read in pieces. A read error ends the text early and
// is kept, so that it is reported as what it is rather than as bad JSON.
class FileStream {
public:
    using Ch = char;

    explicit FileStream(InputFile& file) : file_(file) {}
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    Ch Peek() {
        if (at_ == end_)
            fill();
        if (at_ == end_)
            return '\0';
        // The parser takes a NUL for the end of the text; one in the file is remembered.
        if (*at_ == '\0' && nulAt_ < 0)
            nulAt_ = qint64(Tell());
        return *at_;
    }
    Ch Take() {
        const Ch c = Peek();
        if (at_ != end_)
            ++at_;
        return c;
    }
    size_t Tell() const { return size_t(base_ + (at_ - buffer_)); }
    // Only reading is ever asked of it.
    Ch* PutBegin() { return nullptr; }
    void Put(Ch) {}
    void Flush() {}
    size_t PutEnd(Ch*) { return 0; }

    // The read that failed, said as a message; empty while none has.
    const QString& failure() const { return failure_; }
    bool ended() const { return ended_ && at_ == end_; }
    qint64 nulAt() const { return nulAt_; }

private:
    void fill() {
        if (!failure_.isEmpty() || ended_)
            return;
        base_ += end_ - buffer_;
        qint64 n = 0;
        try {
            n = file_.read(buffer_, sizeof buffer_);
        } catch (const DiskError& e) {
            failure_ = e.message();
        }
        ended_ = n == 0;
        at_ = buffer_;
        end_ = buffer_ + n;
    }

    InputFile& file_;
    char buffer_[1 << 16];
    char* at_ = buffer_;
    char* end_ = buffer_;
    qint64 base_ = 0;
    qint64 nulAt_ = -1;
    QString failure_;
    bool ended_ = false;
};

enum class Kind { Null, Bool, Number, String, Array, Object };

QString words(Kind kind) {
    switch (kind) {
    case Kind::Null:
        return QStringLiteral("null");
    case Kind::Bool:
        return QStringLiteral("true or false");
    case Kind::Number:
        return QStringLiteral("a number");
    case Kind::String:
        return QStringLiteral("text");
    case Kind::Array:
        return QStringLiteral("a list");
    case Kind::Object:
        break;
    }
    return QStringLiteral("an object");
}

QString words(rapidjson::ParseErrorCode code) {
    using namespace rapidjson;
    switch (code) {
    case kParseErrorDocumentEmpty:
        return QStringLiteral("no value");
    case kParseErrorDocumentRootNotSingular:
        return QStringLiteral("more after the end of the document");
    case kParseErrorValueInvalid:
        return QStringLiteral("illegal value");
    case kParseErrorObjectMissName:
        return QStringLiteral("a field without a name");
    case kParseErrorObjectMissColon:
        return QStringLiteral("missing colon after a field's name");
    case kParseErrorObjectMissCommaOrCurlyBracket:
        return QStringLiteral("missing comma or } after a field");
    case kParseErrorArrayMissCommaOrSquareBracket:
        return QStringLiteral("missing comma or ] after a value in a list");
    case kParseErrorStringUnicodeEscapeInvalidHex:
        return QStringLiteral("a \\u escape without four hexadecimal digits");
    case kParseErrorStringUnicodeSurrogateInvalid:
        return QStringLiteral("half of a UTF-16 surrogate pair");
    case kParseErrorStringEscapeInvalid:
        return QStringLiteral("an unknown escape");
    case kParseErrorStringMissQuotationMark:
        return QStringLiteral("unterminated text");
    case kParseErrorStringInvalidEncoding:
        return QStringLiteral("text that is not UTF-8");
    case kParseErrorNumberTooBig:
        return QStringLiteral("a number too large");
    case kParseErrorNumberMissFraction:
    case kParseErrorNumberMissExponent:
        return QStringLiteral("an unfinished number");
    default:
        break;
    }
    return QStringLiteral("a syntax error");
}

// A whole number of 64 bits, as a double that holds one exactly.
std::optional<qint64> whole(double d) {
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0) || std::trunc(d) != d)
        return std::nullopt;
    return qint64(d);
}

// UTF-8 of a lone UTF-16 surrogate, which a \u escape can give and no text holds.
bool holdsSurrogate(const char* s, size_t size) {
    for (const char* at = s;
         (at = static_cast<const char*>(std::memchr(at, '\xed', size_t(s + size - at)))); ++at)
        if (at + 1 < s + size && static_cast<unsigned char>(at[1]) >= 0xa0)
            return true;
    return false;
}

// Follows the parser's events through the file's shape: the root object, its "snippets" list
// and each record in it; every other value is passed over, however deep.
class Handler {
public:
    Handler(const QString& path, const std::function<void(Utf8Snippet&&)>& each,
            const std::function<void()>& recordDone)
        : path_(path), each_(each), recordDone_(recordDone) {}

    bool Null() { return scalar(Kind::Null); }
    bool Bool(bool) { return scalar(Kind::Bool); }
    bool Int(int i) { return number(i); }
    bool Uint(unsigned u) { return number(qint64(u)); }
    bool Int64(int64_t i) { return number(qint64(i)); }
    bool Uint64(uint64_t u) {
        return u > uint64_t(std::numeric_limits<qint64>::max()) ? number(std::nullopt)
                                                                : number(qint64(u));
    }
    bool Double(double d) { return number(whole(d)); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return scalar(Kind::Number); }
    bool String(const char* s, rapidjson::SizeType size, bool) {
        if (skipping() || depth_ == 0)
            return scalar(Kind::String);
        if (depth_ == 1 && key_ == u"format") {
            format_ = QString::fromUtf8(s, size);
            return true;
        }
        if (inRecord() && textField()) {
            if (holdsSurrogate(s, size))
                notOurs(QStringLiteral("snippet %1 has a \"%2\" holding half of a UTF-16 "
                                       "surrogate pair, which is not text")
                            .arg(n_)
                            .arg(field_));
            text() = QByteArray(s, qsizetype(size));
            return true;
        }
        return scalar(Kind::String);
    }
    bool Key(const char* s, rapidjson::SizeType size, bool) {
        if (skipping())
            return true;
        if (depth_ == 1)
            key_ = QString::fromUtf8(s, size);
        else if (inRecord()) {
            field_ = QString::fromUtf8(s, size);
            // Which of two values was meant cannot be told; taking either would change a
            // snippet without a word.
            const QString known[] = {QStringLiteral("id"), QStringLiteral("language"),
                                     QStringLiteral("title"), QStringLiteral("body")};
            for (int i = 0; i < 4; ++i) {
                if (field_ != known[i])
                    continue;
                if (named_ & (1 << i))
                    notOurs(QStringLiteral("snippet %1 has \"%2\" twice").arg(n_).arg(field_));
                named_ |= 1 << i;
            }
        }
        return true;
    }
    bool StartObject() { return open(Kind::Object); }
    bool StartArray() { return open(Kind::Array); }
    bool EndObject(rapidjson::SizeType) {
        close();
        if (!skipping() && inList_ && depth_ == 2)
            finishRecord();
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        close();
        if (!skipping() && depth_ == 1)
            inList_ = false;
        return true;
    }

    // Whether the file was an export of the program's, once the whole of it is read; throws
    // for one that is but should not be read.
    bool ours() {
        if (listSeen_) {
            checkHead();
            return true;
        }
        if (!format_ || !format_->startsWith(u"varozidi"))
            return false;
        checkHead();
        notOurs(QStringLiteral("its \"snippets\" is %1, not a list")
                    .arg(snippets_ ? words(*snippets_) : QStringLiteral("missing")));
    }

private:
    bool skipping() const { return skipFrom_ >= 0; }
    bool inRecord() const { return inList_ && depth_ == 3; }
    bool textField() const {
        return field_ == u"language" || field_ == u"title" || field_ == u"body";
    }
    // The record's text field being read, marked as given.
    Utf8& text() {
        const int bit = field_ == u"language" ? 1 : field_ == u"title" ? 2 : 4;
        given_ |= bit;
        return bit == 1 ? record_.language : bit == 2 ? record_.title : record_.body;
    }

    [[noreturn]] void notOurs(const QString& why) const {
        throw BadInput(QStringLiteral("\"%1\" is not a Varozidi export: %2.").arg(path_, why));
    }

    void checkHead() const {
        if (format_ && *format_ != kFormat)
            notOurs(QStringLiteral("its format is \"%1\"").arg(*format_));
        if (version_ && *version_ > kVersion)
            notOurs(QStringLiteral("it was written by a newer version of Varozidi"));
    }

    bool number(std::optional<qint64> value) {
        if (!skipping() && depth_ == 1 && key_ == u"version") {
            version_ = value;
            return true;
        }
        if (!skipping() && inRecord() && field_ == u"id") {
            if (!value)
                badId();
            record_.id = value;
            return true;
        }
        return scalar(Kind::Number);
    }

    [[noreturn]] void badId() const {
        notOurs(QStringLiteral("snippet %1 has an \"id\" that is not a whole number of 64 bits")
                    .arg(n_));
    }

    // A value other than those taken above, where it stands: refused if a record's field or
    // a list's item should be something else, otherwise passed over.
    bool scalar(Kind kind) {
        if (skipping())
            return true;
        if (depth_ == 0)
            notObject(kind);
        if (depth_ == 1 && key_ == u"snippets") {
            if (listSeen_)
                notOurs(QStringLiteral("it has a second \"snippets\""));
            snippets_ = kind;
        }
        if (inList_ && depth_ == 2)
            notARecord(kind);
        if (inRecord()) {
            if (field_ == u"id") {
                if (kind != Kind::Null)
                    badId();
                record_.id.reset();
            } else if (textField()) {
                if (kind != Kind::Null)
                    notOurs(QStringLiteral("snippet %1 has a \"%2\" that is %3, not text or null")
                                .arg(n_)
                                .arg(field_, words(kind)));
                text().reset();
            }
        }
        return true;
    }

    bool open(Kind kind) {
        if (!skipping()) {
            if (depth_ == 0 && kind != Kind::Object)
                notObject(kind);
            if (depth_ == 1 && key_ == u"snippets") {
                // A reader that keeps the last of a name given twice would see other snippets.
                if (listSeen_)
                    notOurs(QStringLiteral("it has a second \"snippets\""));
                snippets_ = kind;
                if (kind == Kind::Array) {
                    listSeen_ = inList_ = true;
                    checkHead();
                    ++depth_;
                    return true;
                }
            }
            if (inList_ && depth_ == 2) {
                if (kind != Kind::Object)
                    notARecord(kind);
                ++n_;
                record_ = {};
                given_ = 0;
                named_ = 0;
                ++depth_;
                return true;
            }
            if (inRecord() && field_ == u"id")
                badId();
            if (inRecord() && textField())
                scalar(kind);
            if (depth_ > 0)
                skipFrom_ = depth_;
        }
        ++depth_;
        return true;
    }

    void close() {
        --depth_;
        if (depth_ == skipFrom_)
            skipFrom_ = -1;
    }

    [[noreturn]] void notObject(Kind kind) const {
        throw BadInput(QStringLiteral("\"%1\" is JSON, but neither a Varozidi export nor Visual "
                                      "Studio Code snippets: it holds %2, not an object.")
                           .arg(path_, kind == Kind::Array ? QStringLiteral("a list")
                                                           : QStringLiteral("a single value")));
    }

    [[noreturn]] void notARecord(Kind kind) {
        ++n_;
        notOurs(QStringLiteral("snippet %1 is %2, not an object").arg(n_).arg(words(kind)));
    }

    void finishRecord() {
        // A field not given at all is refused.
        const char* const names[] = {"language", "title", "body"};
        for (int i = 0; i < 3; ++i)
            if (!(given_ & (1 << i)))
                notOurs(QStringLiteral("snippet %1 has a \"%2\" that is missing, not text or null")
                            .arg(n_)
                            .arg(QLatin1String(names[i])));
        each_(std::move(record_));
        record_ = {};
        recordDone_();
    }

    const QString& path_;
    const std::function<void(Utf8Snippet&&)>& each_;
    const std::function<void()>& recordDone_;
    int depth_ = 0;
    int skipFrom_ = -1; // the depth a value passed over began at
    QString key_;       // of the root's field being read
    QString field_;     // of the record's field being read
    std::optional<QString> format_;
    std::optional<qint64> version_;
    std::optional<Kind> snippets_;
    bool listSeen_ = false;
    bool inList_ = false;
    qsizetype n_ = 0; // the record being read, from 1
    Utf8Snippet record_;
    int given_ = 0; // bits: language, title, body
    int named_ = 0; // bits: id, language, title, body, as keys met in the record
};

// Bad JSON at offset (past skipped bytes of a byte order mark), by its line and column as an
// editor counts them; only the part of the file before it is read again.
QString jsonErrorAt(const QString& path, const QString& why, qint64 skipped, qint64 offset) {
    QFile file(path);
    qint64 line = 1;
    qint64 column = 1;
    if (file.open(QIODevice::ReadOnly) && file.seek(skipped)) {
        char buffer[1 << 16];
        for (qint64 left = offset; left > 0;) {
            const qint64 n = file.read(buffer, std::min<qint64>(left, sizeof buffer));
            if (n <= 0)
                break;
            left -= n;
            for (qint64 i = 0; i < n; ++i) {
                const auto c = static_cast<unsigned char>(buffer[i]);
                if (c == '\n') {
                    ++line;
                    column = 1;
                } else if ((c & 0xc0) != 0x80) {
                    // A character of UTF-16, as the column was counted before; two past U+FFFF.
                    column += c >= 0xf0 ? 2 : 1;
                }
            }
        }
    }
    return QStringLiteral("\"%1\" is not valid JSON: %2 at line %3, column %4.")
        .arg(path, why)
        .arg(line)
        .arg(column);
}

} // namespace

Snippet SnippetOf(const Utf8Snippet& s) {
    // Checked as UTF-8 on the way in; a leading byte order mark is text like any other.
    const auto text = [](const Utf8& t) {
        return t ? Text(ExactUtf8(*t).value_or(QString::fromUtf8(*t))) : Text();
    };
    return {s.id, text(s.language), text(s.title), text(s.body)};
}

bool StreamJsonExport(const QString& path, const std::function<void(Utf8Snippet&&)>& each,
                      const std::function<void(qint64, qint64)>& bytesRead) {
    InputFile file(path);
    if (!file.isOpen())
        CannotOpen(path, file);
    const qint64 size = QFileInfo(path).size();
    const qint64 skipped = file.read(3) == "\xef\xbb\xbf" ? 3 : 0;
    if (!file.seek(skipped))
        throw BadInput(
            QStringLiteral("Cannot read \"%1\": it cannot be read from its start.").arg(path));
    FileStream stream(file);
    const std::function<void()> recordDone = [&] {
        if (bytesRead)
            bytesRead(skipped + qint64(stream.Tell()), size);
    };
    Handler handler(path, each, recordDone);
    rapidjson::Reader reader;
    constexpr unsigned kFlags = rapidjson::kParseIterativeFlag |
                                rapidjson::kParseValidateEncodingFlag |
                                rapidjson::kParseFullPrecisionFlag | rapidjson::kParseCommentsFlag |
                                rapidjson::kParseTrailingCommasFlag;
    const rapidjson::ParseResult result = reader.Parse<kFlags>(stream, handler);
    if (!stream.failure().isEmpty())
        throw DiskError(stream.failure());
    if (!result && stream.nulAt() < 0) {
        // A file cut short fails wherever the cut fell; that is worth saying plainly.
        const QString why = stream.ended() && result.Offset() == stream.Tell()
                                ? QStringLiteral("the file ends too soon")
                                : words(result.Code());
        throw BadInput(jsonErrorAt(path, why, skipped, qint64(result.Offset())));
    }
    if (stream.nulAt() >= 0)
        throw BadInput(jsonErrorAt(path, QStringLiteral("a NUL byte"), skipped, stream.nulAt()));
    return handler.ours();
}

} // namespace varozidi::transfer
