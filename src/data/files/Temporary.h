// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Files and folders written under a name of their own beside the one they will have, then
// renamed into place whole. A program stopped by a kill or a power cut cannot remove what it
// was writing, so each one is noted, under a lock its maker holds, in the state folder: a
// later run finds the notes whose makers are gone and removes what they name.

#include <QByteArray>
#include <QString>
#include <functional>

class TemporaryBeside {
public:
    enum Kind { File, Folder };
    // A new, empty file (0600) or folder (0700) in target's folder, named after it, held
    // until it is put in place or removed. what says, for messages, what it is for ("save
    // \"...\""); throws varozidi::Error when the folder takes no new entry.
    TemporaryBeside(const QString& target, Kind kind, const QString& what);
    // Removes it unless it was put in place; a removal that fails is said as a warning.
    ~TemporaryBeside();
    TemporaryBeside(const TemporaryBeside&) = delete;
    TemporaryBeside& operator=(const TemporaryBeside&) = delete;

    const QString& path() const { return path_; }
    const QByteArray& native() const { return native_; }
    // The file, open for writing; for a folder, the folder itself.
    int fd() const { return fd_; }

    // Everything written reaches the disk, then a rename gives it target's name (replacing
    // what is there, or only where nothing is), then the folder's new entry reaches the disk.
    // False when something is there and replace is not set; throws varozidi::Error saying
    // which step failed, and it stays to be removed.
    bool PutInPlace(bool replace);
    // Removes it now; the reason when that failed, else an empty string.
    QString Remove();

private:
    QString target_;
    QString what_;
    Kind kind_;
    QString path_;
    QByteArray native_;
    int fd_ = -1;
    int note_ = -1;
    QByteArray notePath_;
    bool done_ = false;
};

// Removes what stopped programs left in the way described above; those of programs still
// running are left alone. Removals that fail are said as warnings and tried again next time.
void RemoveLeftovers();

// Where warnings about files left behind go; standard error when not set. Set once, at start.
void SetWarningHandler(std::function<void(const QString&)> handler);
void Warn(const QString& message);

// fsync of the folder path names, so that entries just made or renamed in it survive a power
// cut; false, with errno set, when it fails.
bool SyncFolder(const QString& path);
