// SPDX-License-Identifier: GPL-3.0-or-later
// The filter-expression parser: any text gives SQL with bound values, or a clear error.
#include "data/core/Errors.h"
#include "data/store/AdoFilter.h"

#include <cstdint>
#include <cstdlib>

using namespace varozidi::ado;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString filter = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    static const std::vector<Column> columns{{QStringLiteral("ID"), Affinity::Integer},
                                             {QStringLiteral("Language"), Affinity::Text},
                                             {QStringLiteral("Title"), Affinity::Text},
                                             {QStringLiteral("Body"), Affinity::Text},
                                             {QStringLiteral("Score"), Affinity::Real}};
    // With and without the index ranges a UTF-8 file adds to text equalities.
    for (const bool ranges : {false, true}) {
        try {
            const Condition c =
                translateFilter(filter, columns, QStringLiteral("varozidi"), ranges);
            // Every value is a parameter: the SQL holds exactly as many '?' as there are
            // values, and no text in quotes but the empty text of its own.
            if (qsizetype(c.params.size()) != c.sql.count(u'?') ||
                QString(c.sql).remove(QStringLiteral("''")).contains(u'\''))
                std::abort();
        } catch (const varozidi::Error&) {
        }
    }
    return 0;
}
