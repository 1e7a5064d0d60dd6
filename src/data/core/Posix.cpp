// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/core/Posix.h"

#include <QFile>
#include <cstring>
#include <sys/stat.h>

namespace varozidi::posix {

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

QString systemError(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

bool sameFile(int fd, const QByteArray& nativePath, Link link) {
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) != 0)
        return false;
    const int found = link == Link::Followed ? ::stat(nativePath.constData(), &named)
                                             : ::lstat(nativePath.constData(), &named);
    return found == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool sameFile(int fd, const QString& path, Link link) {
    return sameFile(fd, native(path), link);
}

} // namespace varozidi::posix
