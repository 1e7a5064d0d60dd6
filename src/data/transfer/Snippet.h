// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Snippets on their way into or out of the collection, and what a bad file is reported as.

#include "platform/Errors.h"

#include <QList>
#include <QString>
#include <optional>

namespace varozidi::transfer {

// A field without a value (NULL) stays apart from empty text all the way through.
using Text = std::optional<QString>;

struct Snippet {
    std::optional<qint64> id; // none: the collection numbers it
    Text language;
    Text title;
    Text body;
    bool operator==(const Snippet&) const = default;
};

// The file or folder given is not one that can be read: of the wrong kind, malformed or
// damaged. Nothing was changed. The command line reports it as the user's mistake.
class BadInput : public Error {
public:
    using Error::Error;
};

} // namespace varozidi::transfer
