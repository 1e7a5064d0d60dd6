// SPDX-License-Identifier: GPL-3.0-or-later
// The connection-string parser: pairs or a clear error; what the program writes reads back.
#include "data/core/Errors.h"
#include "data/store/AdoConnectionString.h"

#include <cstdint>
#include <cstdlib>

using namespace varozidi::ado;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    try {
        parseConnectionString(text);
    } catch (const varozidi::Error&) {
    }
    // Any path the program names reaches the database unchanged.
    if (!text.isEmpty()) {
        const auto pairs = parseConnectionString(jetConnectionString(text));
        if (pairs.at(QStringLiteral("data source")) != text)
            std::abort();
    }
    return 0;
}
