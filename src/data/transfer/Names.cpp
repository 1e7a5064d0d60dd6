// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/Names.h"

#include <QStringView>
#include <iterator>

namespace varozidi::transfer {

namespace {

struct Language {
    QStringView name;
    QStringView extension;
    QStringView vsCodeId; // empty: none of its own
};

// The highlighter table's languages first, as the program spells them, then common others.
constexpr Language kLanguages[] = {
    {u"General", u"txt", u""},
    {u"Java", u"java", u"java"},
    {u"Delphi", u"pas", u""},
    {u"CSharp", u"cs", u"csharp"},
    {u"CSS", u"css", u"css"},
    {u"Javascript", u"js", u"javascript"},
    {u"HTML", u"html", u"html"},
    {u"PHP", u"php", u"php"},
    {u"VB", u"vb", u"vb"},
    {u"XML", u"xml", u"xml"},
    {u"VBScript", u"vbs", u""},
    {u"SQL", u"sql", u"sql"},
    {u"C++", u"cpp", u"cpp"},
    {u"Pascal", u"pas", u"pascal"},
    {u"C", u"c", u"c"},
    {u"C#", u"cs", u""},
    {u"Python", u"py", u"python"},
    {u"Ruby", u"rb", u"ruby"},
    {u"Go", u"go", u"go"},
    {u"Rust", u"rs", u"rust"},
    {u"TypeScript", u"ts", u"typescript"},
    {u"Shell", u"sh", u"shellscript"},
    {u"Bash", u"sh", u""},
    {u"PowerShell", u"ps1", u"powershell"},
    {u"Batch", u"bat", u"bat"},
    {u"Perl", u"pl", u"perl"},
    {u"Lua", u"lua", u"lua"},
    {u"Kotlin", u"kt", u"kotlin"},
    {u"Swift", u"swift", u"swift"},
    {u"Objective-C", u"m", u"objective-c"},
    {u"R", u"r", u"r"},
    {u"Dart", u"dart", u"dart"},
    {u"Scala", u"scala", u"scala"},
    {u"Haskell", u"hs", u"haskell"},
    {u"F#", u"fs", u"fsharp"},
    {u"Groovy", u"groovy", u"groovy"},
    {u"Clojure", u"clj", u"clojure"},
    {u"Elixir", u"ex", u"elixir"},
    {u"Erlang", u"erl", u"erlang"},
    {u"Julia", u"jl", u"julia"},
    {u"Assembly", u"asm", u""},
    {u"Fortran", u"f90", u"fortran"},
    {u"COBOL", u"cbl", u""},
    {u"Lisp", u"lisp", u"lisp"},
    {u"JSON", u"json", u"json"},
    {u"YAML", u"yaml", u"yaml"},
    {u"TOML", u"toml", u"toml"},
    {u"INI", u"ini", u"ini"},
    {u"Markdown", u"md", u"markdown"},
    {u"LaTeX", u"tex", u"latex"},
    {u"Makefile", u"mk", u"makefile"},
    {u"Dockerfile", u"dockerfile", u"dockerfile"},
    {u"Text", u"txt", u"plaintext"},
};

// Windows refuses these as names, with any extension.
constexpr QStringView kDeviceNames[] = {u"CON",  u"PRN",  u"AUX",  u"NUL",  u"COM1", u"COM2",
                                        u"COM3", u"COM4", u"COM5", u"COM6", u"COM7", u"COM8",
                                        u"COM9", u"LPT1", u"LPT2", u"LPT3", u"LPT4", u"LPT5",
                                        u"LPT6", u"LPT7", u"LPT8", u"LPT9"};

bool reserved(QChar c) {
    return c.unicode() < 0x20 || c.unicode() == 0x7f || QStringView(u"<>:\"/\\|?*").contains(c);
}

// The longest start of text whose UTF-8 takes at most maxBytes, never splitting a character.
QString bounded(const QString& text, qsizetype maxBytes) {
    qsizetype bytes = 0;
    qsizetype end = 0;
    while (end < text.size()) {
        const bool pair = text[end].isHighSurrogate() && end + 1 < text.size();
        const char32_t code =
            pair ? QChar::surrogateToUcs4(text[end], text[end + 1]) : char32_t(text[end].unicode());
        const int width = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (bytes + width > maxBytes)
            break;
        bytes += width;
        end += pair ? 2 : 1;
    }
    return text.left(end);
}

} // namespace

QString ExtensionFor(const QString& language) {
    const QString name = language.trimmed();
    for (const Language& l : kLanguages)
        if (name.compare(l.name, Qt::CaseInsensitive) == 0 ||
            (!l.vsCodeId.isEmpty() && name.compare(l.vsCodeId, Qt::CaseInsensitive) == 0))
            return l.extension.toString();
    return QStringLiteral("txt");
}

QString LanguageForVsCodeId(const QString& id) {
    for (const Language& l : kLanguages)
        if (!l.vsCodeId.isEmpty() && id.compare(l.vsCodeId, Qt::CaseInsensitive) == 0)
            return l.name.toString();
    return id;
}

QString SafeFileName(const QString& wanted, qsizetype maxBytes, const QString& fallback) {
    QString name = wanted;
    for (QChar& c : name)
        if (reserved(c))
            c = u'_';
    if (name.startsWith(u'.'))
        name[0] = u'_';
    name = bounded(name, maxBytes - 2); // room for the '_'s below
    if (name.isEmpty())
        return fallback;
    if (name.endsWith(u'.') || name.endsWith(u' '))
        name += u'_';
    const QStringView base = QStringView(name).left(name.indexOf(u'.')).trimmed();
    for (QStringView device : kDeviceNames)
        if (base.compare(device, Qt::CaseInsensitive) == 0)
            return name.insert(base.size(), u'_');
    return name;
}

QString FolderNames::take(const QString& stem, const QString& extension) {
    const QString dot = extension.isEmpty() ? QString() : u'.' + extension;
    QString name = stem + dot;
    for (int n = 2; taken_.contains(name.normalized(QString::NormalizationForm_C).toCaseFolded());
         ++n)
        name = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(dot);
    taken_.insert(name.normalized(QString::NormalizationForm_C).toCaseFolded());
    return name;
}

} // namespace varozidi::transfer
