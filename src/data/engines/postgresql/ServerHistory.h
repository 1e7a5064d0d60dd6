// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The history of the snippets on a server (see data/history/History.h), and how it goes into
// a backup file and comes back with a restore.

#include "data/history/History.h"
#include "data/transfer/Snippet.h"

#include <QByteArray>
#include <QList>
#include <functional>

struct sqlite3;

namespace varozidi::ado {
class PgBackend;
}

namespace varozidi::postgresql {

// As sqlite::EnsureHistory, on the server. Throws varozidi::Error.
bool EnsureServerHistory(ado::PgBackend& server, const history::Retention& keep);

QList<history::KeptVersion> ServerVersions(ado::PgBackend& server, qint64 id);
std::optional<QByteArray> ServerVersionBody(ado::PgBackend& server, qint64 id, qint64 version);
QList<history::KeptVersion> ServerRemoved(ado::PgBackend& server);
qint64 ServerUndelete(ado::PgBackend& server, qint64 id);

// Every version the server keeps, with its texts whole: by snippet, each snippet's latest
// first. Within the caller's transaction.
void ForEachServerVersion(ado::PgBackend& server,
                          const std::function<void(history::StoredVersion&&)>& each);
// versions (the latest first) into the history of the snippet id, the oldest first, within
// the caller's transaction. Throws Error where the server keeps no history.
void AddServerVersions(ado::PgBackend& server, qint64 id, const QList<transfer::Version>& versions,
                       const QString& doing);
// Whether the server has the history table.
bool KeepsServerHistory(ado::PgBackend& server);

// One row of the history table, whole: a compacted one with its frame, size and base.
struct StoredVersion {
    qint64 version = 0;
    qint64 id = 0;
    transfer::Text language;
    transfer::Text title;
    transfer::Text body;
    qint64 changedMs = 0;
    QString kind;
    std::optional<QByteArray> delta = {};
    qint64 size = 0;
    qint64 base = 0;
};

// Every row of the server's history, within the caller's transaction; none where it has none.
QList<StoredVersion> ReadServerHistory(ado::PgBackend& server);
// Into the backup file being made at db (named path for messages), with its triggers.
void WriteHistoryFile(sqlite3* db, const QString& path, const QList<StoredVersion>& rows);
// The history a backup file holds; none where it holds none.
QList<StoredVersion> ReadHistoryFile(const QString& path);
// Within the caller's restore transaction, before the rows are replaced by restored: every
// snippet that changes or goes is kept as kind restore, the backup's older history (read from
// the backup file at file) merged, each version plain, and the triggers keep nothing of the
// replacement itself.
void KeepReplaced(ado::PgBackend& server, const QList<transfer::Snippet>& restored,
                  const QList<StoredVersion>& older, const QString& file, const QString& doing);

} // namespace varozidi::postgresql
