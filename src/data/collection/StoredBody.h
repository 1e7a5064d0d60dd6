// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One snippet's body exactly as the collection stores it, for the clipboard: bytes, never
// decoded and encoded again.

#include <QByteArray>
#include <QString>
#include <optional>

namespace varozidi {

struct StoredBody {
    QString language;
    QString title;
    QByteArray bytes;
};

// The snippet with this ID in database (a file path or a server URI); nullopt when no row
// holds it any more. Throws varozidi::Error when the collection cannot be read.
std::optional<StoredBody> ReadStoredBody(const QString& database, qint64 id);

} // namespace varozidi
