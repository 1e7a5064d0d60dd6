// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/files/Files.h"

#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/files/Temporary.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using varozidi::Error;

namespace {

using varozidi::posix::native;
using varozidi::posix::systemError;

constexpr mode_t kDirMode = 0700;
constexpr std::size_t kCopyBuffer = 1 << 20;

// Closes a descriptor when the step that opened it ends, also when it fails.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now and tells whether the system saw every write through.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

} // namespace

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

QString DiskErrorText(int err, bool writing) {
    switch (err) {
    case EIO:
        return writing ? QStringLiteral("the disk could not be written (input/output error)")
                       : QStringLiteral("the disk could not be read (input/output error)");
    case ENOSPC:
        return QStringLiteral("the disk is full");
    case EDQUOT:
        return QStringLiteral("the disk quota is used up");
    default:
        return systemError(err);
    }
}

InputFile::InputFile(const QString& path) : path_(path) {
    fd_ = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    openErrno_ = fd_ < 0 ? errno : 0;
}

InputFile::~InputFile() {
    if (fd_ >= 0)
        ::close(fd_);
}

QString InputFile::openError() const {
    return DiskErrorText(openErrno_, false);
}

qint64 InputFile::read(char* buffer, qint64 size) {
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd_, buffer + done, std::size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw varozidi::DiskError(
                QStringLiteral("Cannot read \"%1\": %2.").arg(path_, DiskErrorText(errno, false)));
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

QByteArray InputFile::read(qint64 size) {
    QByteArray bytes(size, Qt::Uninitialized);
    bytes.resize(read(bytes.data(), size));
    return bytes;
}

QByteArray InputFile::readAll() {
    QByteArray bytes;
    struct stat info {};
    const qint64 expected = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode) ? info.st_size : 0;
    // One read past the expected size tells that the end has come.
    qint64 room = std::max<qint64>(expected + 1, 1 << 16);
    for (;;) {
        const qsizetype at = bytes.size();
        bytes.resize(at + room);
        const qint64 n = read(bytes.data() + at, room);
        bytes.resize(at + n);
        if (n < room)
            return bytes;
        room = 1 << 20;
    }
}

bool InputFile::seek(qint64 offset) {
    return ::lseek(fd_, off_t(offset), SEEK_SET) == off_t(offset);
}

QString ResolveFileName(const QString& path) {
    const QFileInfo info(path);
    const QString name = info.fileName();
    if (name.isEmpty() || info.exists() || info.isSymLink())
        return path;
    const QStringList matches = FilesNamedLike(info.path(), name);
    return matches.isEmpty() ? path : path.left(path.size() - name.size()) + matches.first();
}

QStringList FilesNamedLike(const QString& folder, const QString& name) {
    QStringList matches;
    const QStringList entries = QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& entry : entries)
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            matches.append(entry);
    return matches;
}

QStringList MakeFolders(const QString& path) {
    QStringList created;
    QString sofar;
    for (const QString& part : QDir::cleanPath(path).split(u'/')) {
        sofar += part + u'/';
        if (part.isEmpty() || QFileInfo(sofar).isDir())
            continue;
        if (::mkdir(native(sofar).constData(), kDirMode) != 0) {
            if (errno == EEXIST)
                continue;
            throw Error(QStringLiteral("Cannot create the folder \"%1\": %2.")
                            .arg(sofar, systemError(errno)));
        }
        // The new folder's entry survives a power cut with its parent's.
        SyncFolder(QFileInfo(QDir::cleanPath(sofar)).path());
        created.append(sofar);
    }
    return created;
}

QString ReplacementTarget(const QString& path, const QString& what) {
    // A rename over the link would put a plain file in its place and leave the file it points
    // to behind, unchanged.
    const QFileInfo info(path);
    if (!info.isSymLink())
        return path;
    // realpath, not canonicalFilePath: that one hands a link in a loop back as it is, and the
    // rename would then replace the link.
    const std::unique_ptr<char, void (*)(void*)> target(
        ::realpath(QFile::encodeName(path).constData(), nullptr), std::free);
    if (!target) {
        const QString why = systemError(errno);
        throw Error(QStringLiteral("Cannot %1: following the link \"%2\" to \"%3\" failed (%4).")
                        .arg(what, path, info.symLinkTarget(), why));
    }
    // Names travel as text: one that is not UTF-8 would come back as another name, and the
    // replacement would land beside the file meant.
    const QString resolved = QFile::decodeName(target.get());
    if (QFile::encodeName(resolved) != QByteArrayView(target.get()))
        throw Error(QStringLiteral("Cannot %1: the link \"%2\" leads to \"%3\", a name that is "
                                   "not UTF-8 text; rename that file or folder.")
                        .arg(what, path, resolved));
    return resolved;
}

namespace {

// Replaces target with what fill writes into a fresh file beside it: the bytes reach the
// disk before a rename puts them in place, so target is never seen half-written. fill
// returns an empty step name, or the step that failed with errno set.
template <class Fill>
void replaceFile(const QString& named, const QString& what, bool replace, Fill&& fill) {
    const QString target = replace ? ReplacementTarget(named, what) : named;
    TemporaryBeside temp(target, TemporaryBeside::File, what);
    if (const QString step = fill(temp.fd()); !step.isEmpty())
        throw Error(
            QStringLiteral("Cannot %1: %2 failed (%3).").arg(what, step, systemError(errno)));
    if (!temp.PutInPlace(replace))
        throw Error(QStringLiteral("Cannot %1: putting it in place failed (%2).")
                        .arg(what, systemError(EEXIST)));
}

} // namespace

void CopyFileSafely(const QString& source, const QString& dest, bool replace) {
    const QString target = ResolveFileName(dest);
    const QString what = QStringLiteral("copy \"%1\" to \"%2\"").arg(source, target);
    Descriptor in(::open(native(ResolveFileName(source)).constData(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        throw Error(QStringLiteral("Cannot %1: reading the file failed (%2).")
                        .arg(what, systemError(errno)));
    replaceFile(target, what, replace, [&in](int out) {
        std::vector<char> buffer(kCopyBuffer);
        while (true) {
            const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return QStringLiteral("reading the file");
            if (n == 0)
                return QString();
            if (!WriteAll(out, buffer.data(), std::size_t(n)))
                return QStringLiteral("writing the copy");
        }
    });
}

void WriteFileSafely(const QString& path, const std::function<bool(int fd)>& fill, bool replace) {
    const QString target = ResolveFileName(path);
    replaceFile(target, QStringLiteral("save \"%1\"").arg(target), replace,
                [&fill](int out) { return fill(out) ? QString() : QStringLiteral("writing it"); });
}

void WriteFileSafely(const QString& path, const QByteArray& bytes, bool replace) {
    const QString target = ResolveFileName(path);
    replaceFile(target, QStringLiteral("save \"%1\"").arg(target), replace, [&bytes](int out) {
        return WriteAll(out, bytes.constData(), std::size_t(bytes.size()))
                   ? QString()
                   : QStringLiteral("writing it");
    });
}
