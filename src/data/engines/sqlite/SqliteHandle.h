// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// One connection to an SQLite file, closed when the handle ends, on every way out. Every open
// in the program goes through here, so a failure reads the same wherever it happens.

#include <QString>

struct sqlite3;

namespace varozidi::sqlite {

class Handle {
public:
    // ReadWrite and ReadOnly never create a file; Create makes a new one where none is.
    enum class Mode { ReadWrite, ReadOnly, Create };

    Handle() = default;
    // Opens path; throws varozidi::Error (DiskError where the disk failed) saying "Cannot
    // <doing> ..." and why. The connection reports extended result codes and waits
    // waitLimitMs for another program's write.
    static Handle Open(const QString& path, Mode mode, const QString& doing,
                       int waitLimitMs = kWaitLimitMs);
    static constexpr int kWaitLimitMs = 3000;
    // The same without throwing: rc says how it went, and the handle is owned either way, so
    // that the caller can ask it why.
    static Handle TryOpen(const QString& path, Mode mode, int& rc, int waitLimitMs = kWaitLimitMs);

    ~Handle();
    Handle(Handle&& other) noexcept;
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    sqlite3* get() const { return db_; }
    explicit operator bool() const { return db_ != nullptr; }
    // Ends the connection now.
    void reset();

private:
    explicit Handle(sqlite3* db) : db_(db) {}
    sqlite3* db_ = nullptr;
};

} // namespace varozidi::sqlite
