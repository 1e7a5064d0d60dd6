// SPDX-License-Identifier: GPL-3.0-or-later
// SQLite reports a read the disk refuses (EIO at a bad sector) as a damaged file, and forgets
// the system's error on the way. Every database file is therefore opened through a thin layer
// over SQLite's own file access that notes such a failure, so that a message can say that the
// disk failed rather than send the user to an old backup over a sound collection.

#include "data/engines/sqlite/AdoStatement.h"

#include <algorithm>
#include <cerrno>
#include <sqlite3.h>

namespace varozidi::ado {

namespace {

thread_local int readFailure = 0;
thread_local bool readFailureOfNewFile = false;
// The system's error of the last other call that failed. SQLite asks the system for it once
// the failure reaches the caller, when errno has often changed since (sqlite3_system_errno
// then says 0).
thread_local int lastFailure = 0;

struct alignas(8) WatchedFile {
    sqlite3_file base;
    sqlite3_file* real;
    // Why a file asked for reading and writing was opened for reading only; 0 where it was not.
    int writeRefused;
    // Empty when opened: a database being made, with nothing in it to save.
    bool wasEmpty;
};

sqlite3_vfs* realVfs = nullptr;

sqlite3_file* real(sqlite3_file* file) {
    return reinterpret_cast<WatchedFile*>(file)->real;
}

// The system's error SQLite kept for the file's last failed call.
int lastErrnoOf(sqlite3_file* under) {
    int err = 0;
    under->pMethods->xFileControl(under, SQLITE_FCNTL_LAST_ERRNO, &err);
    return err;
}

int noted(sqlite3_file* file, int rc) {
    if ((rc & 0xff) == SQLITE_IOERR || (rc & 0xff) == SQLITE_FULL)
        if (const int err = lastErrnoOf(real(file)))
            lastFailure = err;
    return rc;
}

int watchedClose(sqlite3_file* file) {
    return real(file)->pMethods->xClose(real(file));
}

int watchedRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    sqlite3_file* under = real(file);
    const int rc = under->pMethods->xRead(under, buffer, amount, offset);
    const int err = rc == SQLITE_OK ? 0 : lastErrnoOf(under);
    int failed = 0;
    if (rc == SQLITE_IOERR_SHORT_READ) {
        // Short of the file's own end, a read that stops early is the disk failing.
        sqlite3_int64 size = 0;
        if (under->pMethods->xFileSize(under, &size) == SQLITE_OK && offset + amount <= size)
            failed = EIO;
    } else if ((rc & 0xff) == SQLITE_IOERR) {
        failed = err != 0 ? err : EIO;
    }
    if (failed != 0) {
        readFailure = failed;
        readFailureOfNewFile = reinterpret_cast<WatchedFile*>(file)->wasEmpty;
    }
    return rc;
}

int watchedWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    return noted(file, real(file)->pMethods->xWrite(real(file), buffer, amount, offset));
}

int watchedTruncate(sqlite3_file* file, sqlite3_int64 size) {
    return noted(file, real(file)->pMethods->xTruncate(real(file), size));
}

int watchedSync(sqlite3_file* file, int flags) {
    return noted(file, real(file)->pMethods->xSync(real(file), flags));
}

int watchedFileSize(sqlite3_file* file, sqlite3_int64* size) {
    return real(file)->pMethods->xFileSize(real(file), size);
}

int watchedLock(sqlite3_file* file, int level) {
    return noted(file, real(file)->pMethods->xLock(real(file), level));
}

// Letting go comes after a commit is on the disk: SQLite would report the commit failed and the
// caller try it again. A lock kept by mistake only makes others wait until this one closes.
int watchedUnlock(sqlite3_file* file, int level) {
    const int rc = real(file)->pMethods->xUnlock(real(file), level);
    return (rc & 0xff) == SQLITE_IOERR ? SQLITE_OK : rc;
}

int watchedCheckReservedLock(sqlite3_file* file, int* out) {
    return real(file)->pMethods->xCheckReservedLock(real(file), out);
}

int watchedFileControl(sqlite3_file* file, int op, void* arg) {
    return real(file)->pMethods->xFileControl(real(file), op, arg);
}

int watchedSectorSize(sqlite3_file* file) {
    return real(file)->pMethods->xSectorSize(real(file));
}

int watchedDeviceCharacteristics(sqlite3_file* file) {
    return real(file)->pMethods->xDeviceCharacteristics(real(file));
}

int watchedShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
    return real(file)->pMethods->xShmMap(real(file), region, size, extend, out);
}

int watchedShmLock(sqlite3_file* file, int offset, int n, int flags) {
    return real(file)->pMethods->xShmLock(real(file), offset, n, flags);
}

void watchedShmBarrier(sqlite3_file* file) {
    real(file)->pMethods->xShmBarrier(real(file));
}

int watchedShmUnmap(sqlite3_file* file, int deleteFlag) {
    return real(file)->pMethods->xShmUnmap(real(file), deleteFlag);
}

int watchedFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
    return real(file)->pMethods->xFetch(real(file), offset, amount, out);
}

int watchedUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
    return real(file)->pMethods->xUnfetch(real(file), offset, page);
}

// One table for each version of the methods the files below may have: a newer method is
// never offered on top of a file that lacks it.
constexpr sqlite3_io_methods methodsOfVersion(int version) {
    return {version,
            watchedClose,
            watchedRead,
            watchedWrite,
            watchedTruncate,
            watchedSync,
            watchedFileSize,
            watchedLock,
            watchedUnlock,
            watchedCheckReservedLock,
            watchedFileControl,
            watchedSectorSize,
            watchedDeviceCharacteristics,
            version >= 2 ? watchedShmMap : nullptr,
            version >= 2 ? watchedShmLock : nullptr,
            version >= 2 ? watchedShmBarrier : nullptr,
            version >= 2 ? watchedShmUnmap : nullptr,
            version >= 3 ? watchedFetch : nullptr,
            version >= 3 ? watchedUnfetch : nullptr};
}

constexpr sqlite3_io_methods kMethods[] = {methodsOfVersion(1), methodsOfVersion(2),
                                           methodsOfVersion(3)};

bool isWatched(const sqlite3_file* file) {
    for (const sqlite3_io_methods& methods : kMethods)
        if (file->pMethods == &methods)
            return true;
    return false;
}

int watchedOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    auto* watched = reinterpret_cast<WatchedFile*>(file);
    watched->real = reinterpret_cast<sqlite3_file*>(watched + 1);
    watched->writeRefused = 0;
    watched->wasEmpty = false;
    int opened = 0;
    errno = 0;
    const int rc = realVfs->xOpen(realVfs, name, watched->real, flags, &opened);
    if (rc != SQLITE_OK && errno != 0)
        lastFailure = errno;
    // SQLite falls back to reading only whenever opening for writing fails, whatever the
    // reason: the reason is what errno still holds.
    if (rc == SQLITE_OK && (flags & SQLITE_OPEN_READWRITE) && (opened & SQLITE_OPEN_READONLY))
        watched->writeRefused = errno != 0 ? errno : EACCES;
    if (outFlags)
        *outFlags = opened;
    const sqlite3_io_methods* under = watched->real->pMethods;
    file->pMethods = under ? &kMethods[std::clamp(under->iVersion, 1, 3) - 1] : nullptr;
    sqlite3_int64 size = -1;
    watched->wasEmpty = rc == SQLITE_OK && under &&
                        under->xFileSize(watched->real, &size) == SQLITE_OK && size == 0;
    return rc;
}

sqlite3_vfs watchVfs{};

int watchedDelete(sqlite3_vfs*, const char* name, int syncDir) {
    const int rc = realVfs->xDelete(realVfs, name, syncDir);
    if ((rc & 0xff) == SQLITE_IOERR && rc != SQLITE_IOERR_DELETE_NOENT && errno != 0)
        lastFailure = errno;
    return rc;
}

const bool installed = [] {
    // First, while SQLite has not started yet: it counts the memory it holds under a lock taken
    // around every allocation, which nothing here reads, and checking a search index makes
    // hundreds of millions of them.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    realVfs = sqlite3_vfs_find(nullptr);
    if (!realVfs)
        return false;
    watchVfs = *realVfs;
    watchVfs.pNext = nullptr;
    watchVfs.zName = "varozidi";
    watchVfs.szOsFile = int(sizeof(WatchedFile)) + realVfs->szOsFile;
    watchVfs.xOpen = watchedOpen;
    watchVfs.xDelete = watchedDelete;
    return sqlite3_vfs_register(&watchVfs, 1) == SQLITE_OK;
}();

} // namespace

int ReadFailure() {
    static_cast<void>(installed);
    return readFailure;
}

void ClearReadFailure() {
    readFailure = 0;
}

int TakeSystemFailure() {
    const int err = lastFailure;
    lastFailure = 0;
    return err;
}

bool ReadFailureOfNewFile() {
    return readFailure != 0 && readFailureOfNewFile;
}

int WriteRefused(sqlite3* db) {
    sqlite3_file* file = nullptr;
    if (!db || sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        !file || !isWatched(file))
        return 0;
    return reinterpret_cast<const WatchedFile*>(file)->writeRefused;
}

} // namespace varozidi::ado
