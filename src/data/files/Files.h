// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>
#include <cstddef>
#include <functional>
#include <memory>

// Resolves the last component of path without regard to letter case within its folder,
// as the old platform's file system did. Returns path unchanged when nothing matches.
QString ResolveFileName(const QString& path);

// Every entry of folder whose name equals name without regard to letter case.
QStringList FilesNamedLike(const QString& folder, const QString& name);

// Creates every missing folder of path, each readable by its owner only, and returns those
// it made. Throws varozidi::Error with the system's reason.
QStringList MakeFolders(const QString& path);

// Copies source over dest (resolved without regard to letter case) so that dest is at every
// moment either the old file or the whole new one: the bytes go to a temporary file beside
// it, reach the disk, and are then renamed over it. The copy is readable by its owner only.
// Throws varozidi::Error naming the step and the system's reason; dest is then untouched.
// Without replace, a dest that exists is never touched: that, too, is an error. A dest that is
// a symbolic link stays one: the file it points to is the one replaced.
void CopyFileSafely(const QString& source, const QString& dest, bool replace = true);

// The file a replacement of path goes to: path itself, or the file it links to, so that a
// symbolic link stays one. what says, for the message, what was being done; a link to
// nowhere throws varozidi::Error.
QString ReplacementTarget(const QString& path, const QString& what);

// Writes size bytes at data to the descriptor fd, going on after interruptions; false, with
// errno set, when the system refuses.
bool WriteAll(int fd, const char* data, std::size_t size);

// The system's reason err in the words of the program's messages, where those say more than
// the system's own: a disk that fails (EIO) is named as one that could not be read or written,
// a full disk as full.
QString DiskErrorText(int err, bool writing);

// A file read as a whole or not at all: a read the system refuses after part of the file came
// (a bad sector) fails the whole, where QFile would hand back the part as if the file ended
// there.
class InputFile {
public:
    explicit InputFile(const QString& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    // Why the file could not be opened, in the words of DiskErrorText, and the system's error.
    QString openError() const;
    int openErrno() const { return openErrno_; }
    // Up to size bytes from where the last read ended; fewer only at the end of the file.
    // Throws varozidi::DiskError ("Cannot read ...") when a read fails.
    qint64 read(char* buffer, qint64 size);
    QByteArray read(qint64 size);
    QByteArray readAll();
    bool seek(qint64 offset);

private:
    QString path_;
    int fd_ = -1;
    int openErrno_ = 0;
};

// Replaces the file at path (resolved without regard to letter case) with bytes, in the same
// all-or-nothing way, readable by its owner only; without replace, only where nothing is.
void WriteFileSafely(const QString& path, const QByteArray& bytes, bool replace = true);
// As above, the content written by fill to the descriptor it is given, a piece at a time; fill
// returns false, with errno set, when a write fails, and may throw.
void WriteFileSafely(const QString& path, const std::function<bool(int fd)>& fill,
                     bool replace = true);
