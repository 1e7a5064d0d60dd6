// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The few words the data layer needs with the system's file calls, written once.

#include <QByteArray>
#include <QString>

namespace varozidi::posix {

// path as the system's calls take it (the file name encoding).
QByteArray native(const QString& path);

// The system's words for err (strerror), as the rest of a sentence.
QString systemError(int err);

// How a name that is a symbolic link counts in sameFile.
enum class Link {
    Followed,   // the file it points to, as open(2) without O_NOFOLLOW takes it (stat)
    NotFollowed // the link itself (lstat): a link now at the name is not the opened file
};

// Whether the open descriptor fd is still the file at path (same device and inode): a file
// removed or replaced between an open and a lock is another file.
bool sameFile(int fd, const QByteArray& nativePath, Link link);
bool sameFile(int fd, const QString& path, Link link);

} // namespace varozidi::posix
