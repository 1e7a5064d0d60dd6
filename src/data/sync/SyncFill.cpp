// SPDX-License-Identifier: GPL-3.0-or-later
// An empty folder receives the whole collection at once: every file is written straight into
// a hidden folder inside it, which no sync engine takes for the collection, and then its
// folders are moved into place, each whole.
#include "data/sync/SyncPass.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/files/Files.h"
#include "data/files/Temporary.h"

#include <QDir>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varozidi::sync::detail {

namespace {

// Snippets read at a time: a writer waits for no more than one batch.
constexpr int kBatch = 500;
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

class Descriptors {
public:
    ~Descriptors() {
        for (const int fd : std::as_const(fds_))
            ::close(fd);
    }
    int keep(int fd) {
        if (fd >= 0)
            fds_.append(fd);
        return fd;
    }

private:
    QList<int> fds_;
};

bool emptyFolder(const QString& path) {
    return QDir(path)
        .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
        .isEmpty();
}

} // namespace

bool Pass::fillable() const {
    if (!base_.entries.isEmpty() || rows_.isEmpty() || !scan_.records.isEmpty() ||
        !scan_.removed.isEmpty() || !scan_.merged.isEmpty() || !scan_.unreadableRecords.isEmpty() ||
        !scan_.files.isEmpty() || !scan_.conflictCopies.isEmpty() || !scan_.linked.isEmpty() ||
        !scan_.skipped.isEmpty())
        return false;
    // Folders in the way would have to be merged into, not moved in.
    for (auto it = scan_.folders.cbegin(); it != scan_.folders.cend(); ++it)
        if (!it.key().isEmpty() && !emptyFolder(folder_ + u'/' + it.key()))
            return false;
    const QString records = folder_ + u'/' + QLatin1String(kRecordFolder);
    return !QFileInfo::exists(records) || (QFileInfo(records).isDir() && emptyFolder(records));
}

bool Pass::fill() {
    const auto failed = [this](const QString& step, int err) {
        throw Error(QStringLiteral("Cannot sync with the folder \"%1\": %2 failed (%3).")
                        .arg(folder_, step, posix::systemError(err)));
    };
    TemporaryBeside temp(folder_ + QStringLiteral("/.varozidi-fill"), TemporaryBeside::Folder,
                         QStringLiteral("fill the sync folder \"%1\"").arg(folder_));
    Descriptors open;
    const int tree = temp.fd();
    const int root =
        open.keep(::open(posix::native(folder_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root < 0 || ::mkdirat(tree, kRecordFolder, kFolderMode) != 0)
        failed(QStringLiteral("making its folders"), errno);
    const int records = open.keep(::openat(tree, kRecordFolder, O_RDONLY | O_DIRECTORY));
    const auto write = [&](int dir, const QByteArray& name, const QByteArray& bytes) {
        const int fd = ::openat(dir, name.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode);
        struct stat st {};
        const bool written = fd >= 0 &&
                             WriteAll(fd, bytes.constData(), std::size_t(bytes.size())) &&
                             ::fstat(fd, &st) == 0;
        const int err = errno;
        if (fd < 0 || ::close(fd) != 0 || !written)
            failed(QStringLiteral("writing \"%1\"").arg(QString::fromUtf8(name)), err);
        return StampOf(st);
    };
    QHash<QString, int> dirs;     // language folder -> its descriptor in the tree
    QHash<QString, Place> places; // by language (see keyOf)
    for (qint64 after = 0;;) {
        const auto batch = connection_.collection()->readFrom(after, kBatch);
        if (batch.isEmpty())
            break;
        for (const auto& [id, stored] : batch) {
            after = id;
            const auto row = rows_.constFind(id);
            if (row == rows_.constEnd())
                continue; // added meanwhile: the next pass carries it
            const QString key = keyOf(row->language);
            auto where = places.constFind(key);
            if (where == places.constEnd())
                where = places.insert(key, PlaceFor(row->language));
            const QString file = FileIn(*where, row->title, taken_);
            taken_.insert(file.toLower());
            const QString dir = file.section(u'/', 0, 0);
            int at = dirs.value(dir, -1);
            if (at < 0) {
                if (::mkdirat(tree, posix::native(dir).constData(), kFolderMode) != 0)
                    failed(QStringLiteral("making the folder \"%1\"").arg(dir), errno);
                at = open.keep(::openat(tree, posix::native(dir).constData(),
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                dirs.insert(dir, at);
            }
            const Stamp body = write(at, posix::native(file.mid(dir.size() + 1)), stored.bytes);
            const Record r{NewUid(), row->language, row->title, file, BodyHash(stored.bytes), false,
                           {}};
            const Stamp record = write(records, RecordName(r.uid), RecordBytes(r));
            next_.entries.insert(r.uid, {id, row->version, r, body, record, {}, {}, {}});
            ++report_.intoFolder.added;
        }
    }
    if (::syncfs(tree) != 0)
        failed(QStringLiteral("writing it to the disk"), errno);
    // The bodies first, the records last: a pass cut short in between finds bodies that are
    // the snippets' own (see twinFile), not files made by hand.
    QStringList moved;
    QStringList names = dirs.keys();
    names.append(QLatin1String(kRecordFolder));
    for (const QString& name : std::as_const(names)) {
        const QByteArray native = posix::native(name);
        if (::renameat(tree, native.constData(), root, native.constData()) == 0) {
            moved.append(name);
            continue;
        }
        // Something came into the folder meanwhile: all goes back, and a pass of each
        // snippet merges with what came.
        for (const QString& back : std::as_const(moved))
            if (::renameat(root, posix::native(back).constData(), tree,
                           posix::native(back).constData()) != 0)
                failed(QStringLiteral("taking \"%1\" back out").arg(back), errno);
        next_.entries.clear();
        taken_.clear(); // it held none before
        report_.intoFolder.added = 0;
        return false;
    }
    ::fsync(root);
    wrote_ = true;
    return true;
}

} // namespace varozidi::sync::detail
