// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The history of an SQLite file compacted and read back (see data/history/Compaction.h).

#include "data/history/Compaction.h"

#include <QString>
#include <optional>

struct sqlite3;

namespace varozidi::sqlite {

// Whether the history table of schema has the columns of compacted versions.
bool HoldsPacked(sqlite3* db, const QString& path, const QString& schema = QStringLiteral("main"));
// The body of version in the history of schema, as stored, unpacked as far as it was packed;
// none for NULL. Throws varozidi::Error where a version it was stored against is gone.
std::optional<QByteArray> VersionText(sqlite3* db, const QString& path, qint64 version,
                                      const QString& schema = QStringLiteral("main"));
// Every version of the snippet id packed against base stored plain again, within the caller's
// transaction, before base goes.
void UnpackDependents(sqlite3* db, const QString& path, qint64 id, qint64 base);

// Whether history::kCompactAfter versions have been kept since compaction last looked.
bool CompactionDue(sqlite3* db, const QString& path);
// One short transaction of compaction: each version not yet looked at as a dictionary packs
// the version of its snippet before it. Whether more is left; packed counts the versions
// packed.
bool CompactBatch(sqlite3* db, const QString& path, qint64* packed = nullptr);
// The background's work, on a connection of its own to the file at path.
std::unique_ptr<history::CompactionWork> CompactionOf(const QString& path);

} // namespace varozidi::sqlite
