// SPDX-License-Identifier: GPL-3.0-or-later
// INI reading and the line-editing write: any bytes read without harm, and an entry written
// into them reads back as written.
#include "data/files/IniFile.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One file, rewritten for every input, in a folder removed at exit.
    static const QTemporaryDir folder;
    static const QString path = folder.filePath(QStringLiteral("input.ini"));
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(bytes);
    }
    TIniFile ini(path);
    ini.ReadString(QStringLiteral("VAROZIDI"), QStringLiteral("VERSION"), QString());
    ini.ReadInteger(QStringLiteral("Form1"), QStringLiteral("Width"), 0);
    ini.ReadBool(QStringLiteral("EDIT"), QStringLiteral("WORDWRAP"), true);
    // The write changes text as the program's own settings write does; writing the same entry
    // again then changes nothing.
    const QByteArray edited = TIniFile::WithEntry(bytes, QStringLiteral("Form1"),
                                                  QStringLiteral("Width"), QStringLiteral("640"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(edited);
    }
    if (TIniFile::WithEntry(edited, QStringLiteral("Form1"), QStringLiteral("Width"),
                            QStringLiteral("640")) != edited)
        std::abort();
    TIniFile reread(path);
    reread.ReadInteger(QStringLiteral("Form1"), QStringLiteral("Width"), 0);
    return 0;
}
