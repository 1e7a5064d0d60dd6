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
#include <future>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace varozidi::sync::detail {

namespace {

// Snippets read at a time: a writer waits for no more than one batch.
constexpr int kBatch = 500;
constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

[[noreturn]] void failed(const QString& folder, const QString& step, int err) {
    throw Error(QStringLiteral("Cannot sync with the folder \"%1\": %2 failed (%3).")
                    .arg(folder, step, posix::systemError(err)));
}

// The hidden folder inside the sync folder that the files are written into, by a thread of its
// own while the next batch is read.
class Tree {
public:
    explicit Tree(const QString& folder)
        : folder_(folder), temp_(folder + QStringLiteral("/varozidi-fill"), TemporaryBeside::Folder,
                                 QStringLiteral("fill the sync folder \"%1\"").arg(folder)) {
        root_ = keep(::open(posix::native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (root_ < 0 || ::mkdirat(temp_.fd(), kRecordFolder, kFolderMode) != 0)
            failed(folder_, QStringLiteral("making its folders"), errno);
        records_ = keep(::openat(temp_.fd(), kRecordFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    ~Tree() {
        if (writing_.valid())
            writing_.wait(); // before the descriptors it writes through close
        for (const int fd : std::as_const(fds_))
            ::close(fd);
    }
    Tree(const Tree&) = delete;
    Tree& operator=(const Tree&) = delete;

    // The snippet's body as file (relative) and its record, once the batch is written.
    void add(const QString& file, const QByteArray& body, Entry entry) {
        const QString dir = file.section(u'/', 0, 0);
        int at = dirs_.value(dir, -1);
        if (at < 0) {
            const QByteArray name = posix::native(dir);
            if (::mkdirat(temp_.fd(), name.constData(), kFolderMode) != 0)
                failed(folder_, QStringLiteral("making the folder \"%1\"").arg(dir), errno);
            at = keep(::openat(temp_.fd(), name.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            dirs_.insert(dir, at);
        }
        batch_.push_back({at, posix::native(file.mid(dir.size() + 1)), body, {}});
        batch_.push_back({records_, RecordName(entry.record.uid), RecordBytes(entry.record), {}});
        entries_.append(std::move(entry));
    }
    // The batch added so far is written while the next is added; the one before it is done.
    void next(QHash<QString, Entry>& into) {
        done(into);
        writingJobs_ = std::move(batch_);
        writingEntries_ = std::move(entries_);
        batch_.clear();
        entries_.clear();
        writing_ = std::async(std::launch::async, [this] {
            for (Job& job : writingJobs_)
                job.stamp = write(job);
        });
    }
    void finish(QHash<QString, Entry>& into) {
        next(into);
        done(into);
        if (::syncfs(temp_.fd()) != 0)
            failed(folder_, QStringLiteral("writing it to the disk"), errno);
    }
    // The language folders first, the records last: a pass cut short in between finds bodies
    // that are the snippets' own (see twinFile), not files made by hand. False, with all taken
    // back out, where something came into the folder meanwhile.
    bool putInPlace() {
        QStringList names = dirs_.keys();
        names.append(QLatin1String(kRecordFolder));
        QStringList moved;
        for (const QString& name : std::as_const(names)) {
            const QByteArray native = posix::native(name);
            if (::renameat(temp_.fd(), native.constData(), root_, native.constData()) == 0) {
                moved.append(name);
                continue;
            }
            for (const QString& back : std::as_const(moved))
                if (::renameat(root_, posix::native(back).constData(), temp_.fd(),
                               posix::native(back).constData()) != 0)
                    failed(folder_, QStringLiteral("taking \"%1\" back out").arg(back), errno);
            return false;
        }
        ::fsync(root_);
        return true;
    }

private:
    struct Job {
        int dir;
        QByteArray name;
        QByteArray bytes;
        Stamp stamp;
    };
    int keep(int fd) {
        if (fd >= 0)
            fds_.append(fd);
        return fd;
    }
    Stamp write(const Job& job) const {
        const int fd = ::openat(job.dir, job.name.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kFileMode);
        struct stat st {};
        const bool written = fd >= 0 &&
                             WriteAll(fd, job.bytes.constData(), std::size_t(job.bytes.size())) &&
                             ::fstat(fd, &st) == 0;
        const int err = errno;
        if (fd < 0 || ::close(fd) != 0 || !written)
            failed(folder_, QStringLiteral("writing \"%1\"").arg(QString::fromUtf8(job.name)), err);
        return StampOf(st);
    }
    void done(QHash<QString, Entry>& into) {
        if (!writing_.valid())
            return;
        writing_.get(); // what it threw, thrown here
        for (qsizetype i = 0; i < writingEntries_.size(); ++i) {
            Entry& e = writingEntries_[i];
            e.body = writingJobs_[std::size_t(2 * i)].stamp;
            e.recordStamp = writingJobs_[std::size_t(2 * i + 1)].stamp;
            into.insert(e.record.uid, e);
        }
    }

    const QString folder_;
    TemporaryBeside temp_;
    QList<int> fds_;
    int root_ = -1;
    int records_ = -1;
    QHash<QString, int> dirs_; // language folder -> its descriptor in the tree
    std::vector<Job> batch_;
    QList<Entry> entries_;
    std::vector<Job> writingJobs_;
    QList<Entry> writingEntries_;
    std::future<void> writing_;
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
    Tree tree(folder_);
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
            const Record r{NewUid(), row->language, row->title, file, BodyHash(stored.bytes), false,
                           {}};
            tree.add(file, stored.bytes, {id, row->version, r, {}, {}, {}, {}, {}});
        }
        tree.next(next_.entries);
    }
    tree.finish(next_.entries);
    if (!tree.putInPlace()) {
        // Something came into the folder meanwhile: a pass of each snippet merges with it.
        next_.entries.clear();
        taken_.clear(); // it held none before
        return false;
    }
    report_.intoFolder.added = int(next_.entries.size());
    wrote_ = true;
    return true;
}

} // namespace varozidi::sync::detail
