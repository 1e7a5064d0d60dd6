// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/LockFile.h"

#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"

#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace {

using varozidi::posix::Link;
using varozidi::posix::native;
using varozidi::posix::sameFile;

// A holder letting go keeps its exclusive lock only for a moment, so a short wait suffices.
constexpr int kAttempts = 200;
constexpr std::chrono::milliseconds kRetryPause(5);

void describeHolder(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_size != 0)
        return;
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    const QByteArray line =
        QByteArray(host) + '\t' + qgetenv("USER") + '\t' + QByteArray::number(::getpid()) + '\n';
    // Only informative; a failed write changes nothing about the lock.
    [[maybe_unused]] const ssize_t written = ::write(fd, line.constData(), size_t(line.size()));
}

// Whether any process holds a lock on the file at path, as the system lists them; where the list
// cannot be read, held.
bool lockedInSystem(const QByteArray& path) {
    struct stat info {};
    if (::stat(path.constData(), &info) != 0)
        return false;
    QByteArray locks;
    try {
        InputFile list(QStringLiteral("/proc/locks"));
        if (!list.isOpen())
            return true;
        locks = list.readAll();
    } catch (const varozidi::Error&) {
        return true;
    }
    // "1: FLOCK  ADVISORY  WRITE 1234 08:02:131090 0 EOF": device (hex) and inode of the file.
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    for (const QByteArray& line : locks.split('\n'))
        if (line.split(' ').contains(QByteArray(file)))
            return true;
    return false;
}

} // namespace

LockFile::LockFile(const QString& databasePath) : path_(pathFor(databasePath)) {
    // The lock file is a courtesy to other programs: when the folder does not allow it, the
    // database is used without one.
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int fd =
            ::open(native(path_).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            return;
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            if (err != EWOULDBLOCK)
                return;
            std::this_thread::sleep_for(kRetryPause);
            continue;
        }
        // The last holder may have removed the file between our open and our lock.
        if (sameFile(fd, path_, Link::Followed)) {
            fd_ = fd;
            describeHolder(fd);
            return;
        }
        ::close(fd);
    }
}

LockFile::~LockFile() {
    release();
}

QString LockFile::release() {
    if (fd_ < 0)
        return {};
    // Another holder keeps it (EWOULDBLOCK) and removes it in turn; any other failure leaves it.
    const bool last = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    QString left;
    if ((last ? sameFile(fd_, path_, Link::Followed) && ::unlink(native(path_).constData()) != 0
              : errno != EWOULDBLOCK) &&
        errno != ENOENT)
        left = QStringLiteral("Cannot remove the lock file \"%1\": %2. It does no harm: no "
                              "program waits for a lock file that no program holds.")
                   .arg(path_, DiskErrorText(errno, true));
    ::close(fd_);
    fd_ = -1;
    return left;
}

QString LockFile::pathFor(const QString& databasePath) {
    return varozidi::paths::LockFileOf(databasePath);
}

bool LockFile::isHeld(const QString& lockPath) {
    // "Varozidi.ldb" and "varozidi.ldb" are one lock, as they were on the old platform.
    const QFileInfo info(lockPath);
    const QStringList names = FilesNamedLike(info.path(), info.fileName());
    return std::any_of(names.begin(), names.end(), [&info](const QString& name) {
        const QByteArray path = native(info.path() + u'/' + name);
        // Non-blocking: a pipe in its place must not keep the caller waiting for a writer.
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        // Present but unreadable (another user's): the system's list of locks tells.
        if (fd < 0)
            return errno == EACCES && lockedInSystem(path);
        const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ::close(fd);
        return held;
    });
}
