// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One snippet exactly as the collection stores it (see Collection::read): the body as bytes,
// never decoded and encoded again.

#include <QByteArray>
#include <QString>

namespace varozidi {

struct StoredBody {
    QString language;
    QString title;
    QByteArray bytes;
};

} // namespace varozidi
