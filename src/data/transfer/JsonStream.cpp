// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/JsonStream.h"

#include "data/transfer/JsonHandler.h"

#include "data/core/SysUtils.h"
#include "data/files/Files.h"

#include <QFile>
#include <QFileInfo>

namespace varozidi::transfer {

namespace {

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
    Snippet snippet{s.id, text(s.language), text(s.title), text(s.body)};
    for (const Utf8Version& v : s.versions)
        snippet.versions.append(
            {v.kind, v.changedMs, text(v.language), text(v.title), text(v.body)});
    return snippet;
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
    ExportHandler handler(path, each, recordDone);
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
