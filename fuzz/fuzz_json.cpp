// SPDX-License-Identifier: GPL-3.0-or-later
// The JSON import: the program's export files, read a record at a time, and Visual Studio Code
// snippets (comments and trailing commas allowed). Any bytes give snippets or a clear error.
#include "data/transfer/JsonFiles.h"
#include "data/transfer/JsonStream.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <optional>

using namespace varozidi::transfer;

namespace {

// bytes as an export file read a record at a time; none when they are JSON of another shape.
std::optional<QList<Snippet>> streamed(const QByteArray& bytes) {
    static const QString path =
        QDir::tempPath() +
        QStringLiteral("/fuzz_json-%1.json").arg(QCoreApplication::applicationPid());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
    file.close();
    QList<Snippet> read;
    if (!StreamJsonExport(path, [&read](Utf8Snippet&& s) { read.append(SnippetOf(s)); }))
        return std::nullopt;
    return read;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // Blanking comments keeps every byte's place.
    if (StripJsonComments(bytes).size() != bytes.size())
        std::abort();
    // What was read writes out as an export file whose records read back as many.
    const auto writtenReadsBack = [](const QList<Snippet>& read) {
        const auto again = streamed(SnippetsToJson(read));
        if (!again || again->size() != read.size())
            std::abort();
    };
    try {
        if (const auto read = streamed(bytes)) {
            writtenReadsBack(*read);
            return 0;
        }
    } catch (const varozidi::Error&) {
        return 0;
    }
    // The name decides the language of a Visual Studio Code file, so both kinds of name.
    for (const char* name : {"python.json", "mine.code-snippets"}) {
        try {
            writtenReadsBack(ReadVsCodeSnippets(QString::fromLatin1(name), bytes));
        } catch (const varozidi::Error&) {
        }
    }
    return 0;
}
