// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/files/Temporary.h"

#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <ftw.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using varozidi::Error;

namespace {

using varozidi::posix::Link;
using varozidi::posix::sameFile;
using varozidi::posix::systemError;

// A note names one temporary file or folder: its kind and path, then, once it exists, the
// device and inode it got, so that nothing else ever made at that name is taken for it.
const QString kNoteSuffix = QStringLiteral(".temp");

std::atomic<unsigned> nextNote{0};

std::function<void(const QString&)>& warningHandler() {
    static std::function<void(const QString&)> handler;
    return handler;
}

// A new note of this process, held under an exclusive lock for as long as it is open; -1
// when none can be had, and then nothing is noted: the work itself does not depend on it.
int newNote(QByteArray& notePath) {
    const QString folder = varozidi::paths::StateFolder();
    for (int attempt = 0; attempt < 100; ++attempt) {
        notePath = QFile::encodeName(
            folder + QStringLiteral("%1-%2").arg(::getpid()).arg(nextNote++) + kNoteSuffix);
        const int fd =
            ::open(notePath.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno == ENOENT && attempt == 0) {
            try {
                MakeFolders(folder);
            } catch (const std::exception&) {
                return -1;
            }
            continue;
        }
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return -1;
        // A run clearing leftovers may have taken the empty note for a dead one's and removed
        // it before the lock was had.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && sameFile(fd, notePath, Link::NotFollowed))
            return fd;
        ::close(fd);
    }
    return -1;
}

bool writeAt(int fd, const QByteArray& bytes, off_t offset) {
    return ::pwrite(fd, bytes.constData(), std::size_t(bytes.size()), offset) == bytes.size();
}

thread_local int treeError = 0;

int removeEntry(const char* path, const struct stat*, int type, struct FTW*) {
    const int rc = type == FTW_DP ? ::rmdir(path) : ::unlink(path);
    if (rc != 0 && errno != ENOENT && treeError == 0)
        treeError = errno;
    return 0;
}

// Removes a file, or a folder with all in it, never following a link; 0 or the errno of
// the first removal that failed.
int removePath(const QByteArray& path, TemporaryBeside::Kind kind) {
    if (kind == TemporaryBeside::File)
        return ::unlink(path.constData()) == 0 || errno == ENOENT ? 0 : errno;
    treeError = 0;
    if (::nftw(path.constData(), removeEntry, 16, FTW_DEPTH | FTW_PHYS) != 0 && treeError == 0)
        treeError = errno == ENOENT ? 0 : errno;
    return treeError;
}

QString kindName(TemporaryBeside::Kind kind) {
    return kind == TemporaryBeside::File ? QStringLiteral("file") : QStringLiteral("folder");
}

// What one note says; path is empty when its maker was stopped before it wrote that much.
struct Note {
    TemporaryBeside::Kind kind = TemporaryBeside::File;
    QByteArray path;
    bool identified = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

Note readNote(int fd) {
    QByteArray bytes;
    char buffer[4096];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, at);
        if (n <= 0)
            break;
        bytes.append(buffer, n);
        at += n;
    }
    Note note;
    // Lines cut short by a kill are no lines.
    const QList<QByteArray> lines = bytes.left(bytes.lastIndexOf('\n') + 1).split('\n');
    const QByteArray& first = lines.value(0);
    if (first.size() < 3 || first[1] != ' ' || (first[0] != 'f' && first[0] != 'd'))
        return note;
    note.kind = first[0] == 'f' ? TemporaryBeside::File : TemporaryBeside::Folder;
    note.path = QByteArray::fromHex(first.mid(2));
    const QList<QByteArray> id = lines.value(1).split(' ');
    bool devOk = false;
    bool inoOk = false;
    if (id.size() == 2) {
        note.dev = dev_t(id[0].toULongLong(&devOk));
        note.ino = ino_t(id[1].toULongLong(&inoOk));
    }
    note.identified = devOk && inoOk;
    return note;
}

// Removes what a note of a stopped program names; false when it is there and stays.
bool removeNoted(const Note& note) {
    if (note.path.isEmpty())
        return true;
    const QString shown = QFile::decodeName(note.path);
    const auto cannot = [&shown](const QString& why) {
        Warn(QStringLiteral("Cannot remove \"%1\", left behind by a run of Varozidi that was "
                            "stopped: %2; the next run tries again.")
                 .arg(shown, why));
        return false;
    };
    // Only a name of the kind TemporaryBeside gives (".target.XXXXXX") is ever removed: a note
    // written by anything else, or one naming a user's file, leaves it alone.
    static const QRegularExpression made(QStringLiteral("^\\..+\\.[A-Za-z0-9]{6}$"));
    if (!made.match(QFileInfo(shown).fileName()).hasMatch())
        return true;
    struct stat found {};
    if (::lstat(note.path.constData(), &found) != 0)
        return errno == ENOENT || errno == ENOTDIR ? true : cannot(systemError(errno));
    // Something else at that name now, or the very same made anew, is not what was noted.
    const bool folder = note.kind == TemporaryBeside::Folder;
    if ((folder ? !S_ISDIR(found.st_mode) : !S_ISREG(found.st_mode)) ||
        (note.identified && (found.st_dev != note.dev || found.st_ino != note.ino)))
        return true;
    // Its maker holds a lock on it too, from the moment it made it.
    const int held = ::open(note.path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK |
                                                       (folder ? O_DIRECTORY : 0));
    if (held < 0)
        return cannot(systemError(errno));
    const bool free = ::flock(held, LOCK_EX | LOCK_NB) == 0;
    const int err = free ? removePath(note.path, note.kind) : 0;
    ::close(held);
    return err == 0 ? true : cannot(systemError(err));
}

} // namespace

void SetWarningHandler(std::function<void(const QString&)> handler) {
    warningHandler() = std::move(handler);
}

void Warn(const QString& message) {
    if (warningHandler()) {
        warningHandler()(message);
        return;
    }
    const QByteArray bytes = message.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, std::size_t(bytes.size()), stderr);
}

bool SyncFolder(const QString& path) {
    const int fd =
        ::open(QFile::encodeName(path.isEmpty() ? QStringLiteral(".") : path).constData(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    errno = err;
    return synced;
}

TemporaryBeside::TemporaryBeside(const QString& target, Kind kind, const QString& what)
    : target_(target), what_(what), kind_(kind) {
    const QFileInfo info(target);
    const QString stem = info.path() + QStringLiteral("/.") + info.fileName() + u'.';
    note_ = newNote(notePath_);
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    QByteArray line;
    for (int attempt = 0;; ++attempt) {
        QString suffix;
        for (int i = 0; i < 6; ++i)
            suffix += QLatin1Char(kLetters[QRandomGenerator::global()->bounded(62)]);
        path_ = stem + suffix;
        native_ = QFile::encodeName(path_);
        line = (kind == File ? "f " : "d ") + native_.toHex() + '\n';
        // Noted before it exists: a kill in between leaves a note of nothing, not a file that
        // no note names.
        if (note_ >= 0 && (::ftruncate(note_, 0) != 0 || !writeAt(note_, line, 0))) {
            ::unlink(notePath_.constData());
            ::close(note_);
            note_ = -1;
        }
        const bool made =
            kind == File
                ? (fd_ = ::open(native_.constData(),
                                O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600)) >= 0
                : ::mkdir(native_.constData(), 0700) == 0;
        if (made)
            break;
        if (errno != EEXIST || attempt >= 100) {
            const int err = errno;
            done_ = true;
            if (note_ >= 0) {
                ::unlink(notePath_.constData());
                ::close(note_);
            }
            throw Error(QStringLiteral("Cannot %1: %2 failed (%3).")
                            .arg(what,
                                 kind == File ? QStringLiteral("creating a file in the folder")
                                              : QStringLiteral("creating a folder beside it"),
                                 systemError(err)));
        }
    }
    if (kind == Folder)
        fd_ = ::open(native_.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd_ < 0) {
        const int err = errno;
        Remove();
        throw Error(QStringLiteral("Cannot %1: opening the folder made beside it failed (%2).")
                        .arg(what, systemError(err)));
    }
    // Held so that a run clearing leftovers knows it from one whose maker is gone, whatever
    // its note says.
    ::flock(fd_, LOCK_EX | LOCK_NB);
    struct stat made {};
    if (note_ >= 0 && ::fstat(fd_, &made) == 0)
        writeAt(note_,
                QByteArray::number(quint64(made.st_dev)) + ' ' +
                    QByteArray::number(quint64(made.st_ino)) + '\n',
                off_t(line.size()));
}

TemporaryBeside::~TemporaryBeside() {
    if (!done_)
        if (const QString why = Remove(); !why.isEmpty())
            Warn(QStringLiteral("Cannot remove the temporary %1 \"%2\" (%3); the next run tries "
                                "again.")
                     .arg(kindName(kind_), path_, why));
    if (fd_ >= 0)
        ::close(fd_);
    if (note_ >= 0)
        ::close(note_);
}

QString TemporaryBeside::Remove() {
    if (done_)
        return {};
    done_ = true;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    const int err = removePath(native_, kind_);
    // The note stays where the removal failed, for the next run to try again.
    if (err == 0 && note_ >= 0)
        ::unlink(notePath_.constData());
    if (note_ >= 0)
        ::close(note_);
    note_ = -1;
    return err == 0 ? QString() : systemError(err);
}

bool TemporaryBeside::PutInPlace(bool replace) {
    const auto fail = [this](const QString& step, int err) {
        throw Error(
            QStringLiteral("Cannot %1: %2 failed (%3).").arg(what_, step, systemError(err)));
    };
    if (::fsync(fd_) != 0)
        fail(QStringLiteral("writing it to disk"), errno);
    if (kind_ == File) {
        // A file system that writes late may only say so here.
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            fail(QStringLiteral("writing it"), errno);
    }
    const QByteArray to = QFile::encodeName(target_);
    int rc = replace ? ::rename(native_.constData(), to.constData())
                     : ::renameat2(AT_FDCWD, native_.constData(), AT_FDCWD, to.constData(),
                                   RENAME_NOREPLACE);
    bool linked = false;
    if (rc != 0 && !replace && errno == EINVAL) {
        // File systems without that rename: a link, too, fails where something is; a folder
        // takes the name only where nothing is a moment before.
        struct stat there {};
        if (kind_ == File)
            linked = (rc = ::link(native_.constData(), to.constData())) == 0;
        else if (::lstat(to.constData(), &there) == 0)
            errno = EEXIST;
        else
            rc = ::rename(native_.constData(), to.constData());
    }
    if (rc != 0) {
        if (errno == EEXIST || errno == ENOTEMPTY)
            return false;
        fail(QStringLiteral("putting it in place"), errno);
    }
    done_ = true;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (linked && ::unlink(native_.constData()) != 0) {
        // Its note stays: the next run removes the second name.
        Warn(QStringLiteral("\"%1\" is in place, but its temporary name \"%2\" could not be "
                            "removed (%3); the next run removes it.")
                 .arg(target_, path_, systemError(errno)));
    } else if (note_ >= 0) {
        ::unlink(notePath_.constData());
    }
    if (note_ >= 0)
        ::close(note_);
    note_ = -1;
    // The rename itself reaches the disk with the folder; it is done either way.
    SyncFolder(QFileInfo(target_).path());
    return true;
}

void RemoveLeftovers() {
    const QString folder = varozidi::paths::StateFolder();
    // Only names newNote gives ("PID-N.temp"): anything else in the folder is not ours.
    static const QRegularExpression noteName(QStringLiteral("^[0-9]+-[0-9]+\\.temp$"));
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*") + kNoteSuffix}, QDir::Files);
    for (const QString& name : names) {
        if (!noteName.match(name).hasMatch())
            continue;
        const QByteArray path = QFile::encodeName(folder + name);
        const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0)
            continue;
        // Held: its maker still runs. Removed and made anew in between: another note.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !sameFile(fd, path, Link::NotFollowed)) {
            ::close(fd);
            continue;
        }
        if (removeNoted(readNote(fd)))
            ::unlink(path.constData());
        ::close(fd);
    }
}
