// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Bringing an old collection over: a database file still in the Jet 4.0 format of the old
// program becomes one of ours, with the original kept beside it.

#include <QString>
#include <functional>
#include <optional>

namespace varozidi::transfer {

struct JetConversion {
    QString original; // where the untouched original is kept now
    qsizetype snippets = 0;
};

// When the file at path is a Jet database: keeps it under a new, dated name beside it,
// converts its snippets into a new database in one transaction in a temporary file, and
// renames that into place. Returns nothing when the file is no Jet database (or another
// program converted it meanwhile). A Jet file that cannot be read is left as it is and
// reported by a varozidi::Error saying why. slow is told true once the work takes more than a
// moment, and false when it is over.
std::optional<JetConversion> ConvertJetCollection(const QString& path,
                                                  const std::function<void(bool)>& slow = {});

} // namespace varozidi::transfer
