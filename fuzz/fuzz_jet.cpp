// The legacy Jet 4.0 import: libmdb reads the file in a child process, and this process
// takes back what it sends. Any file gives snippets or a clear error, never a crash here.
#include "transfer/Jet.h"

#include <QDir>
#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

using namespace varozidi::transfer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    DecodeJetText(bytes);
    static const QString path =
        QDir::tempPath() + QStringLiteral("/fuzz-jet-%1.mdb").arg(::getpid());
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
