// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Names for snippets out in the file system and in other programs: a file extension for each
// language, the language a Visual Studio Code language id stands for, and file names that
// every file system takes.

#include <QSet>
#include <QString>

namespace varozidi::transfer {

// "sql" for SQL, "py" for Python (letter case ignored); "txt" for a language not known.
QString ExtensionFor(const QString& language);

// The language name the program uses for a Visual Studio Code language id ("cpp" -> "C++",
// "javascript" -> "Javascript"); an id not known is taken as it is.
QString LanguageForVsCodeId(const QString& id);

// wanted, made into one file name that every file system takes: no '/', NUL, control or
// reserved characters (each becomes '_'), no leading dot (so never "." or ".."), no trailing
// dot or blank, no device name of Windows, at most maxBytes bytes of UTF-8; fallback when
// nothing is left.
QString SafeFileName(const QString& wanted, qsizetype maxBytes, const QString& fallback);

// Hands out file names within one folder: a name already taken, in any letter case, is
// numbered "name (2)", "name (3)", ... before its extension.
class FolderNames {
public:
    QString take(const QString& stem, const QString& extension = {});

private:
    QSet<QString> taken_;
};

} // namespace varozidi::transfer
