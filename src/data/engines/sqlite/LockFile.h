// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The lock file kept beside an open database, as the old engine did: "<base name>.ldb".
// Every holder keeps a shared advisory lock on it; the last one to let go removes it.
class LockFile {
public:
    explicit LockFile(const QString& databasePath);
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // Lets go, removing the file when no one else holds it; what went wrong with the removal,
    // as a message, or nothing.
    QString release();

    static QString pathFor(const QString& databasePath);
    // True when a file exists at path, in any letter case, and some live process holds it; a
    // file left by a crashed process is stale and reports false.
    static bool isHeld(const QString& lockPath);

private:
    QString path_;
    int fd_ = -1;
};
