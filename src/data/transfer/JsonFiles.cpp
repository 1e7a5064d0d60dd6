// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/JsonFiles.h"

#include "data/history/History.h"
#include "data/transfer/Names.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <algorithm>

namespace varozidi::transfer {

namespace {

const QString kFormat = QStringLiteral("varozidi-snippets");
constexpr int kVersion = 1;

QString typeOf(const QJsonValue& v) {
    switch (v.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return QStringLiteral("true or false");
    case QJsonValue::Double:
        return QStringLiteral("a number");
    case QJsonValue::String:
        return QStringLiteral("text");
    case QJsonValue::Array:
        return QStringLiteral("a list");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("missing");
}

QString vsCodeLanguage(const QString& path, const QJsonObject& snippet) {
    const QFileInfo file(path);
    // A language's own file is named after it; scope belongs to the global files.
    if (file.suffix().compare(u"json", Qt::CaseInsensitive) == 0)
        return LanguageForVsCodeId(file.completeBaseName());
    const QString scope =
        snippet.value(QStringLiteral("scope")).toString().section(u',', 0, 0).trimmed();
    return LanguageForVsCodeId(scope.isEmpty() ? file.completeBaseName() : scope);
}

QList<Snippet> vsCode(const QString& path, const QJsonObject& root) {
    QList<Snippet> snippets;
    for (auto it = root.begin(); it != root.end(); ++it) {
        const QJsonObject snippet = it->toObject();
        if (!it->isObject() || !snippet.contains(QStringLiteral("body")))
            throw BadInput(QStringLiteral("\"%1\" is JSON, but neither a Varozidi export nor "
                                          "Visual Studio Code snippets: \"%2\" is not a snippet "
                                          "(an object with a body).")
                               .arg(path, it.key()));
        const QJsonValue body = snippet.value(QStringLiteral("body"));
        QStringList lines;
        if (body.isString())
            lines.append(body.toString());
        for (const QJsonValue& line : body.toArray()) {
            if (!line.isString()) {
                lines.clear();
                break;
            }
            lines.append(line.toString());
        }
        if (lines.isEmpty() && !(body.isArray() && body.toArray().isEmpty()))
            throw BadInput(QStringLiteral("In \"%1\", the snippet \"%2\" has a body that is %3; "
                                          "Visual Studio Code takes text or a list of lines.")
                               .arg(path, it.key(),
                                    body.isArray() ? QStringLiteral("a list holding more than "
                                                                    "text")
                                                   : typeOf(body)));
        snippets.append(
            Snippet{std::nullopt, vsCodeLanguage(path, snippet), it.key(), lines.join(u'\n')});
    }
    return snippets;
}

} // namespace

std::optional<qint64> WholeNumber(const QJsonValue& value) {
    // The reader keeps every 64-bit whole number exact; toInteger gives the default for
    // anything else.
    if (!value.isDouble() || value.toInteger(0) != value.toInteger(1))
        return std::nullopt;
    return value.toInteger();
}

void AppendJson(QByteArray& out, const Text& value) {
    if (!value) {
        out += "null";
        return;
    }
    // Room for all of it at once: growing by doubling would hold a long text twice over.
    qsizetype room = 2;
    for (const QChar c : *value) {
        const char16_t u = c.unicode();
        room += u < 0x20                  ? 6
                : u == u'"' || u == u'\\' ? 2
                : u < 0x80                ? 1
                : u < 0x800               ? 2
                : c.isSurrogate()         ? 2
                                          : 3;
    }
    out.reserve(out.size() + room);
    out += '"';
    // A piece at a time, so that a long text is never held twice over as UTF-8.
    constexpr qsizetype kPiece = 1 << 16;
    const QStringView text(*value);
    for (qsizetype at = 0; at < text.size();) {
        qsizetype size = std::min(kPiece, text.size() - at);
        if (at + size < text.size() && text[at + size - 1].isHighSurrogate())
            ++size;
        const QByteArray utf8 = text.mid(at, size).toUtf8();
        at += size;
        qsizetype plain = 0; // where the run of bytes that need no escape began
        for (qsizetype i = 0; i < utf8.size(); ++i) {
            const char c = utf8[i];
            if (static_cast<unsigned char>(c) >= 0x20 && c != '"' && c != '\\')
                continue;
            out.append(utf8.constData() + plain, i - plain);
            plain = i + 1;
            switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += QByteArray("\\u00") + QByteArray::number(int(c), 16).rightJustified(2, '0');
            }
        }
        out.append(utf8.constData() + plain, utf8.size() - plain);
    }
    out += '"';
}

// Written by hand rather than through QJsonDocument, which sorts the fields by name and would
// put long bodies before the titles: one snippet a line, fields as a person reads them.
QByteArray JsonListFile(const QString& format, const QByteArrayList& records) {
    QByteArray out = "{\n  \"format\": ";
    AppendJson(out, format);
    out += ",\n  \"version\": " + QByteArray::number(kVersion) + ",\n  \"snippets\": [";
    if (!records.isEmpty())
        out += "\n    " + records.join(",\n    ") + "\n  ";
    return out + "]\n}\n";
}

QByteArray SnippetsToJson(const QList<Snippet>& snippets) {
    QByteArray out = JsonExportHead();
    for (qsizetype i = 0; i < snippets.size(); ++i)
        AppendJsonRecord(out, snippets[i], i == 0);
    return out + JsonExportTail(snippets.isEmpty());
}

QByteArray SnippetsToJson(const QList<Snippet>& snippets, const QList<Snippet>& removed,
                          bool withHistory) {
    if (!withHistory)
        return SnippetsToJson(snippets);
    QByteArray out = JsonExportHead();
    const auto append = [&out](const QList<Snippet>& records, bool areRemoved) {
        for (qsizetype i = 0; i < records.size(); ++i) {
            AppendHistoryRecordHead(out, records[i], i == 0, areRemoved);
            for (qsizetype v = 0; v < records[i].versions.size(); ++v)
                AppendJsonVersion(out, records[i].versions[v], v == 0);
            AppendHistoryRecordTail(out);
        }
    };
    append(snippets, false);
    out += JsonRemovedHead(snippets.isEmpty());
    append(removed, true);
    return out + JsonExportTail(removed.isEmpty());
}

QByteArray JsonExportHead() {
    QByteArray out = "{\n  \"format\": ";
    AppendJson(out, kFormat);
    return out + ",\n  \"version\": " + QByteArray::number(kVersion) + ",\n  \"snippets\": [";
}

namespace {

void appendRecordStart(QByteArray& out, const Snippet& s, bool first, bool withFields) {
    out += first ? "\n    {\"id\": " : ",\n    {\"id\": ";
    out += s.id ? QByteArray::number(*s.id) : QByteArray("null");
    if (!withFields)
        return;
    out += ", \"language\": ";
    AppendJson(out, s.language);
    out += ", \"title\": ";
    AppendJson(out, s.title);
    out += ", \"body\": ";
    AppendJson(out, s.body);
}

} // namespace

void AppendJsonRecord(QByteArray& out, const Snippet& s, bool first) {
    appendRecordStart(out, s, first, true);
    out += '}';
}

QByteArray JsonExportTail(bool empty) {
    return empty ? "]\n}\n" : "\n  ]\n}\n";
}

void AppendHistoryRecordHead(QByteArray& out, const Snippet& s, bool first, bool removed) {
    appendRecordStart(out, s, first, !removed);
    out += ", \"versions\": [";
}

void AppendJsonVersion(QByteArray& out, const Version& v, bool first) {
    out += first ? "\n      {\"kind\": " : ",\n      {\"kind\": ";
    AppendJson(out, v.kind);
    out += ", \"time\": \"" + JsonTime(v.changedMs) + "\", \"language\": ";
    AppendJson(out, v.language);
    out += ", \"title\": ";
    AppendJson(out, v.title);
    out += ", \"body\": ";
    AppendJson(out, v.body);
    out += '}';
}

QByteArray JsonRemovedHead(bool noSnippets) {
    return QByteArray(noSnippets ? "]" : "\n  ]") + ",\n  \"removed\": [";
}

QByteArray JsonTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs).toLatin1();
}

std::optional<qint64> TimeFrom(const QString& text) {
    const QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    // Without its zone a time would be read as this machine's local time.
    if (!time.isValid() || time.timeSpec() == Qt::LocalTime)
        return std::nullopt;
    return time.toMSecsSinceEpoch();
}

Version VersionFromJson(const QJsonValue& value, const QString& where) {
    const QJsonObject o = value.toObject();
    const auto bad = [&where](const QString& why) {
        throw BadInput(QStringLiteral("%1 %2.").arg(where, why));
    };
    if (!value.isObject())
        bad(QStringLiteral("is %1, not an object").arg(typeOf(value)));
    Version v;
    v.kind = o.value(QStringLiteral("kind")).toString();
    if (!history::IsKind(v.kind))
        bad(QStringLiteral("has a \"kind\" that is none of body, title, language, removed and "
                           "restore"));
    const auto ms = TimeFrom(o.value(QStringLiteral("time")).toString());
    if (!ms)
        bad(QStringLiteral("has a \"time\" that is not a time of day with its time zone"));
    v.changedMs = *ms;
    Text* const texts[] = {&v.language, &v.title, &v.body};
    const char* const names[] = {"language", "title", "body"};
    for (int i = 0; i < 3; ++i) {
        const QJsonValue field = o.value(QLatin1String(names[i]));
        if (!field.isString() && !field.isNull())
            bad(QStringLiteral("has a \"%1\" that is %2, not text or null")
                    .arg(QLatin1String(names[i]), typeOf(field)));
        if (field.isString())
            *texts[i] = field.toString();
    }
    return v;
}

QJsonObject ParseJsonObject(const QString& path, const QByteArray& bytes) {
    QByteArray text = bytes.startsWith("\xef\xbb\xbf") ? bytes.mid(3) : bytes;
    // The parser drops a byte order mark that begins a string, as a decoder drops one at the
    // start of a text; spelled as an escape it is kept. Outside strings it is no JSON anyway.
    text.replace("\xef\xbb\xbf", "\\uFEFF");
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(StripJsonComments(text), &error);
    if (error.error != QJsonParseError::NoError) {
        const QByteArray before = text.left(error.offset);
        const qsizetype lineStart = before.lastIndexOf('\n') + 1;
        throw BadInput(QStringLiteral("\"%1\" is not valid JSON: %2 at line %3, column %4.")
                           .arg(path, error.errorString())
                           .arg(before.count('\n') + 1)
                           .arg(QString::fromUtf8(before.mid(lineStart)).size() + 1));
    }
    if (!document.isObject())
        throw BadInput(QStringLiteral("\"%1\" is JSON, but neither a Varozidi export nor Visual "
                                      "Studio Code snippets: it holds %2, not an object.")
                           .arg(path, document.isArray() ? QStringLiteral("a list")
                                                         : QStringLiteral("a single value")));
    return document.object();
}

QList<Snippet> ReadVsCodeSnippets(const QString& path, const QByteArray& bytes) {
    return vsCode(path, ParseJsonObject(path, bytes));
}

// QJsonDocument takes strict JSON only. Comments and trailing commas outside strings become
// blanks of the same length (line breaks kept), so that a parse error's offset still points
// at the file as written.
QByteArray StripJsonComments(QByteArray text) {
    enum { Code, String, LineComment, BlockComment } state = Code;
    qsizetype comma = -1; // a comma that only blanks and comments have followed so far
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        char& c = text[i];
        const char next = i + 1 < size ? text[i + 1] : '\0';
        switch (state) {
        case String:
            if (c == '\\')
                ++i;
            else if (c == '"')
                state = Code;
            break;
        case LineComment:
            if (c == '\n')
                state = Code;
            else
                c = ' ';
            break;
        case BlockComment:
            if (c == '*' && next == '/') {
                c = ' ';
                text[++i] = ' ';
                state = Code;
            } else if (c != '\n') {
                c = ' ';
            }
            break;
        case Code:
            if (c == '/' && (next == '/' || next == '*')) {
                state = next == '/' ? LineComment : BlockComment;
                c = ' ';
                text[++i] = ' ';
            } else if (c == ',') {
                comma = i;
            } else if (c == '}' || c == ']') {
                if (comma >= 0)
                    text[comma] = ' ';
                comma = -1;
            } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
                comma = -1;
                if (c == '"')
                    state = String;
            }
            break;
        }
    }
    return text;
}

} // namespace varozidi::transfer
