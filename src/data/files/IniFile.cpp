// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/files/IniFile.h"

#include "data/core/Errors.h"
#include "data/files/Files.h"

#include <QList>
#include <cerrno>
// As the Debian library was built. Its code is compiled in from the header rather than
// linked: one library less to map at every start of the programs.
#define SI_CONVERT_ICU
#define SI_IMPLEMENTATION
#include <SimpleIni.h>

namespace {

bool sameName(const QByteArray& a, const QString& b) {
    return QString::fromUtf8(a.trimmed()).compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}

bool isComment(const QByteArray& trimmed) {
    return trimmed.startsWith(';') || trimmed.startsWith('#');
}

} // namespace

struct TIniFile::Impl {
    // Multi-key, so that the first of two equal keys is the one read, as Windows reads it.
    CSimpleIniA ini{true, true};
    QByteArray text; // the file as read, edited line by line by the writes
    QString unread;  // why the file could not be read whole
};

TIniFile::TIniFile(const QString& fileName)
    : fileName_(ResolveFileName(fileName)), d_(std::make_unique<Impl>()) {
    // An unreadable or absent file reads as empty, like the old profile routines. One that
    // exists but fails to open or to read to its end is never saved again from what was read.
    InputFile file(fileName_);
    if (!file.isOpen() && file.openErrno() != ENOENT && file.openErrno() != ENOTDIR)
        d_->unread = QStringLiteral("Cannot read \"%1\": %2.").arg(fileName_, file.openError());
    try {
        if (file.isOpen())
            d_->text = file.readAll();
    } catch (const varozidi::Error& e) {
        d_->text.clear();
        d_->unread = e.message();
    }
    d_->ini.LoadData(d_->text.constData(), std::size_t(d_->text.size()));
}

TIniFile::~TIniFile() = default;

QString TIniFile::Unread() const {
    return d_->unread;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
    const char* value =
        d_->ini.GetValue(section.toUtf8().constData(), key.toUtf8().constData(), nullptr);
    return value ? QString::fromUtf8(value) : def;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int def) const {
    bool ok = false;
    const int value = ReadString(section, key, QString()).trimmed().toInt(&ok);
    return ok ? value : def;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    // A line break would end the entry and start another.
    QString oneLine = value;
    oneLine.replace(u'\r', u' ').replace(u'\n', u' ');
    d_->text = WithEntry(d_->text, section, key, oneLine);
    d_->ini.SetValue(section.toUtf8().constData(), key.toUtf8().constData(),
                     oneLine.toUtf8().constData(), nullptr, true);
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString& section, const QString& key, bool value) {
    WriteInteger(section, key, value ? 1 : 0);
}

void TIniFile::UpdateFile() {
    if (!d_->unread.isEmpty())
        throw varozidi::Error(d_->unread);
    WriteFileSafely(fileName_, d_->text);
}

QByteArray TIniFile::WithEntry(const QByteArray& text, const QString& section, const QString& key,
                               const QString& value) {
    const QByteArray eol = text.contains("\r\n") ? "\r\n" : "\n";
    QList<QByteArray> lines = text.split('\n'); // a '\r' stays at the end of its line
    const QByteArray entry = key.toUtf8() + '=' + value.toUtf8();
    qsizetype header = -1;
    qsizetype last = -1; // the section's last line that is neither blank nor a comment
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith('[')) {
            if (header >= 0)
                break;
            const qsizetype close = trimmed.indexOf(']');
            if (close > 0 && sameName(trimmed.mid(1, close - 1), section))
                header = last = i;
            continue;
        }
        if (header < 0 || trimmed.isEmpty() || isComment(trimmed))
            continue;
        last = i;
        const qsizetype eq = line.indexOf('=');
        if (eq < 0 || !sameName(line.left(eq), key))
            continue;
        // Keep the key as spelled and the blanks after '='; only the value changes.
        qsizetype start = eq + 1;
        while (start < line.size() && (line[start] == ' ' || line[start] == '\t'))
            ++start;
        lines[i] = line.left(start) + value.toUtf8() + (line.endsWith('\r') ? "\r" : "");
        return lines.join('\n');
    }
    if (header >= 0) {
        lines.insert(last + 1, entry + (eol == "\r\n" ? "\r" : ""));
        return lines.join('\n');
    }
    QByteArray out = text;
    if (!out.isEmpty() && !out.endsWith('\n'))
        out += eol;
    if (!out.isEmpty())
        out += eol;
    return out + '[' + section.toUtf8() + ']' + eol + entry + eol;
}
