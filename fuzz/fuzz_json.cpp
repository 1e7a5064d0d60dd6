// SPDX-License-Identifier: GPL-3.0-or-later
// The JSON import: the program's export files and Visual Studio Code snippets (comments and
// trailing commas allowed). Any bytes give snippets or a clear error.
#include "transfer/JsonFiles.h"
#include "transfer/JsonStream.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <cstdint>
#include <cstdlib>

using namespace varozidi::transfer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // Blanking comments keeps every byte's place.
    if (StripJsonComments(bytes).size() != bytes.size())
        std::abort();
    // The name decides the language of a Visual Studio Code file, so both kinds of name.
    for (const char* name : {"python.json", "mine.code-snippets"}) {
        try {
            const JsonSnippets read = ReadJsonSnippets(QString::fromLatin1(name), bytes);
            // What was read writes out as an export file that reads back the same.
            const JsonSnippets again =
                ReadJsonSnippets(QStringLiteral("export.json"), SnippetsToJson(read.snippets));
            if (again.snippets.size() != read.snippets.size())
                std::abort();
        } catch (const varozidi::Error&) {
        }
    }
    // The same bytes as a file, read a record at a time: snippets or a clear error, and what
    // was read writes out as an export file whose records read back as many.
    static const QString path =
        QDir::tempPath() +
        QStringLiteral("/fuzz_json-%1.json").arg(QCoreApplication::applicationPid());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
    file.close();
    try {
        QList<Snippet> read;
        const auto text = [](const Utf8& t) { return t ? Text(QString::fromUtf8(*t)) : Text(); };
        if (StreamJsonExport(path, [&](Utf8Snippet&& s) {
                read.append({s.id, text(s.language), text(s.title), text(s.body)});
            })) {
            if (ReadJsonSnippets(QStringLiteral("export.json"), SnippetsToJson(read))
                    .snippets.size() != read.size())
                std::abort();
        }
    } catch (const varozidi::Error&) {
    }
    return 0;
}
