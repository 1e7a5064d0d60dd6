// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/SqliteHandle.h"

#include "data/engines/sqlite/AdoStatement.h"

#include <QFile>
#include <sqlite3.h>
#include <utility>

namespace varozidi::sqlite {

Handle Handle::TryOpen(const QString& path, Mode mode, int& rc, int waitLimitMs) {
    const int flags = mode == Mode::ReadOnly    ? SQLITE_OPEN_READONLY
                      : mode == Mode::ReadWrite ? SQLITE_OPEN_READWRITE
                                                : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    sqlite3* db = nullptr;
    rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &db, flags, nullptr);
    // Owned from here on, the failed open's own handle included.
    Handle handle(db);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, waitLimitMs);
    }
    return handle;
}

Handle Handle::Open(const QString& path, Mode mode, const QString& doing, int waitLimitMs) {
    int rc = SQLITE_OK;
    Handle handle = TryOpen(path, mode, rc, waitLimitMs);
    if (rc != SQLITE_OK)
        ado::throwSqliteError(handle.get(), rc, path, doing);
    return handle;
}

Handle::~Handle() {
    reset();
}

Handle::Handle(Handle&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Handle& Handle::operator=(Handle&& other) noexcept {
    if (this != &other) {
        reset();
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

void Handle::reset() {
    if (db_)
        sqlite3_close_v2(std::exchange(db_, nullptr));
}

} // namespace varozidi::sqlite
