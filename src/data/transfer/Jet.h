// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The old collection format: a Jet 4.0 database (.mdb) with the table varozidi, read through
// libmdb. Nothing here ever writes to such a file.

#include "data/transfer/Snippet.h"

#include <QByteArrayView>
#include <functional>

namespace varozidi::transfer {

// Whether the file at path begins as a Jet or ACE database does, whatever its version.
bool IsJetFile(const QString& path);

// Loads libmdb's module, or throws an Error naming it; done before the reading process is
// made, which must not load anything itself.
void LoadJetReader();

// Every row of the table varozidi, in the file's own order, each value exactly as stored.
// Throws BadInput when the file is not a readable Jet 4.0 database holding that table, or is
// damaged anywhere on the way. slow is told true once reading takes more than a moment.
QList<Snippet> ReadJetSnippets(const QString& path, const std::function<void(bool)>& slow = {});

// A Jet 4.0 text value as stored: UTF-16LE, or after the marker FF FE the compressed form,
// single bytes for characters up to U+00FF, each 00 byte switching to and from UTF-16LE.
QString DecodeJetText(QByteArrayView raw);

} // namespace varozidi::transfer
