// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The history on a server compacted and read back (see data/history/Compaction.h), as
// sqlite/SqliteCompaction.h does it for a file. A compaction takes the snippet's own row
// before its versions, as a write of the snippet does, so that the two never wait on each
// other in a ring.

#include "data/history/Compaction.h"

#include <QString>
#include <optional>

namespace varozidi::ado {
class PgBackend;
}

namespace varozidi::postgresql {

bool HoldsPackedOnServer(ado::PgBackend& server);
// As sqlite::VersionText.
std::optional<QByteArray> ServerVersionText(ado::PgBackend& server, qint64 version);
// As sqlite::UnpackDependents, within the caller's transaction.
void UnpackServerDependents(ado::PgBackend& server, qint64 id, qint64 base);
// Whether the server has the columns and state compaction needs, and, where it has, whether
// history::kCompactAfter versions have been kept since compaction last looked.
bool ServerKeepsPacked(ado::PgBackend& server);
bool ServerCompactionDue(ado::PgBackend& server);
bool CompactServerBatch(ado::PgBackend& server, qint64* packed = nullptr);
std::unique_ptr<history::CompactionWork> ServerCompactionOf(const QString& uri);

} // namespace varozidi::postgresql
