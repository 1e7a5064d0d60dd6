// SPDX-License-Identifier: GPL-3.0-or-later
// The legacy Jet 4.0 import: libmdb reads the file in a child process, and this process
// takes back what it sends. Any file gives snippets or a clear error, never a crash here.
#include "data/transfer/Jet.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

using namespace varozidi::transfer;

// This target links libmdb itself, where the program loads it as a module.
void varozidi::transfer::LoadJetReader() {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    DecodeJetText(bytes);
    // One file, rewritten for every input, in a folder removed at exit.
    static const QTemporaryDir folder;
    static const QString path = folder.filePath(QStringLiteral("input.mdb"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(bytes);
    }
    try {
        if (IsJetFile(path))
            ReadJetSnippets(path);
    } catch (const varozidi::Error&) {
    }
    return 0;
}
