// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/sync/SyncKeeper.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/store/ADODB.h"
#include "data/sync/SyncFolder.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>
#include <sys/inotify.h>
#include <unistd.h>

namespace varozidi::sync {

namespace {

// The collection's changes land whole, in one transaction each: asked for often, taken at once.
constexpr int kFeedPollMs = 150;
constexpr int kRowsQuietMs = 50;
// A burst of changes in the folder (a checkout, a sync engine's transfer) is taken together...
constexpr int kQuietMs = 300;
// ...but never waits longer than this after its first change.
constexpr int kLongestWaitMs = 1200;
// After a pass that carried something, one more, which finds its own writes in step.
constexpr int kSettleMs = 800;
// A pass that left files for later (see Report::again) is followed by one this soon.
constexpr int kAgainMs = 3500;
// Another pass of the folder running: tried again this soon.
constexpr int kBusyMs = 1000;
// While the folder cannot be reached (a disk not mounted), tried again this often.
constexpr int kRetryMs = 30000;

constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                             IN_DELETE_SELF | IN_MOVE_SELF | IN_ATTRIB;

} // namespace

class SyncKeeper::Worker : public QObject {
    Q_OBJECT
public:
    Worker(QString connectionString, QString folder)
        : connectionString_(std::move(connectionString)), folder_(std::move(folder)) {}
    ~Worker() override {
        if (fd_ >= 0)
            ::close(fd_);
    }

    void start() {
        quiet_ = new QTimer(this);
        quiet_->setSingleShot(true);
        connect(quiet_, &QTimer::timeout, this, &Worker::pass);
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) {
            auto* notifier = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, this, [this] {
                drain();
                soon(kQuietMs);
            });
        }
        connection_.setConnectionString(connectionString_);
        soon(0);
    }

Q_SIGNALS:
    void synced(const varozidi::sync::Report& report);
    void failed(const QString& message);

private:
    void soon(int ms) {
        if (!burst_.isValid())
            burst_.start();
        const qint64 left = kLongestWaitMs - burst_.elapsed();
        quiet_->start(int(std::max<qint64>(0, std::min<qint64>(ms, left))));
    }

    void drain() {
        alignas(inotify_event) char buffer[4096];
        while (fd_ >= 0 && ::read(fd_, buffer, sizeof buffer) > 0) {
        }
    }

    // Every folder of the tree, new language folders included.
    void watch() {
        if (fd_ < 0)
            return;
        QStringList folders{folder_, folder_ + u'/' + QLatin1String(kRecordFolder)};
        for (const QString& name : QDir(folder_).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            folders.append(folder_ + u'/' + name);
        for (const QString& f : std::as_const(folders))
            ::inotify_add_watch(fd_, posix::native(f).constData(), kEvents);
    }

    void pass() {
        burst_.invalidate();
        // What came before the pass reads the folder is in it; what comes while it runs (its
        // own writes, or another program's) calls for one more.
        drain();
        try {
            connection_.Open();
            if (!feed_) {
                feed_ = connection_.collection()->changes();
                feed_->setPollInterval(kFeedPollMs);
                connect(feed_, &ChangeFeed::Changed, this, [this] { soon(kRowsQuietMs); });
                connect(feed_, &ChangeFeed::Replaced, this, [this] {
                    feed_ = nullptr;
                    connection_.Close();
                    soon(kQuietMs);
                });
            }
            // The companion's pass holds the folder: the window's waits its turn, never its close.
            const Report report = SyncOnce(connection_, folder_, 0);
            watch();
            if (!failing_.isEmpty())
                Q_EMIT failed(QString()); // over
            failing_.clear();
            if (report.changedAnything()) {
                Q_EMIT synced(report);
                soon(kSettleMs);
            } else if (report.again) {
                quiet_->start(kAgainMs);
            }
        } catch (const SyncBusy&) {
            soon(kBusyMs);
        } catch (const std::exception& e) {
            watch();
            const QString message = messageOf(e);
            if (message != failing_)
                Q_EMIT failed(message);
            failing_ = message;
            quiet_->start(kRetryMs);
        }
    }

    const QString connectionString_;
    const QString folder_;
    TADOConnection connection_;
    ChangeFeed* feed_ = nullptr;
    QTimer* quiet_ = nullptr;
    QElapsedTimer burst_;
    QString failing_;
    int fd_ = -1;
};

SyncKeeper::SyncKeeper(const QString& connectionString, const QString& folder, QObject* parent)
    : QObject(parent), worker_(new Worker(connectionString, folder)) {
    qRegisterMetaType<Report>();
    worker_->moveToThread(&thread_);
    connect(&thread_, &QThread::started, worker_, &Worker::start);
    connect(&thread_, &QThread::finished, worker_, &QObject::deleteLater);
    connect(worker_, &Worker::synced, this, &SyncKeeper::Synced);
    connect(worker_, &Worker::failed, this, &SyncKeeper::Failed);
    thread_.setObjectName(QStringLiteral("sync"));
    thread_.start(QThread::LowPriority);
}

SyncKeeper::~SyncKeeper() {
    // A pass under way finishes: a folder left half in step is finished by the next one, but
    // a write cut short is not.
    thread_.quit();
    thread_.wait();
}

} // namespace varozidi::sync

#include "SyncKeeper.moc"
