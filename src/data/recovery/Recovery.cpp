// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/recovery/Recovery.h"

#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"
#include "data/files/Temporary.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varozidi::recovery {

namespace {

using posix::Link;
using posix::native;
using posix::sameFile;

constexpr int kFormat = 1;
const QString kRecordSuffix = QStringLiteral(".record");
const QString kLockSuffix = QStringLiteral(".lock");

// An exclusive hold on path's lock, creating the file where missing; -1 when another
// process holds it (it runs) or the file cannot be had.
int holdLock(const QString& path) {
    const int fd =
        ::open(native(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    // A lock file removed and made anew in between would be a different lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !sameFile(fd, path, Link::NotFollowed)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::atomic<int> nextKeeper{0};

} // namespace

QString Folder() {
    return paths::StateFolder();
}

QByteArray Digest(const QByteArray& bytes) {
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

// One line of JSON with everything but the text, then the text's bytes as they are.
QByteArray Encode(const Record& record) {
    const QJsonObject heading{
        {QStringLiteral("format"), kFormat},
        {QStringLiteral("collection"), record.collection},
        {QStringLiteral("id"), QString::number(record.id)},
        {QStringLiteral("language"), record.language},
        {QStringLiteral("title"), record.title},
        {QStringLiteral("loaded"), QString::fromLatin1(record.loadedDigest)},
        {QStringLiteral("length"), QString::number(record.text.size())},
        {QStringLiteral("digest"), QString::fromLatin1(Digest(record.text))},
        {QStringLiteral("pid"), QString::number(record.pid)},
        {QStringLiteral("written"), record.written.toUTC().toString(Qt::ISODateWithMs)}};
    return QJsonDocument(heading).toJson(QJsonDocument::Compact) + '\n' + record.text;
}

Record Decode(const QByteArray& bytes) {
    const qsizetype end = bytes.indexOf('\n');
    QJsonParseError parse{};
    const QJsonDocument document =
        QJsonDocument::fromJson(end < 0 ? bytes : bytes.left(end), &parse);
    if (end < 0 || parse.error != QJsonParseError::NoError || !document.isObject())
        throw Error(QStringLiteral("its heading cannot be read"));
    const QJsonObject heading = document.object();
    if (heading.value(QStringLiteral("format")).toInt() != kFormat)
        throw Error(QStringLiteral("it is of an unknown format"));
    const auto number = [&heading](const char* key) {
        bool ok = false;
        const qint64 value = heading.value(QLatin1String(key)).toString().toLongLong(&ok);
        if (!ok)
            throw Error(QStringLiteral("its heading lacks \"%1\"").arg(QLatin1String(key)));
        return value;
    };
    const auto text = [&heading](const char* key) {
        return heading.value(QLatin1String(key)).toString();
    };
    Record record;
    record.text = bytes.mid(end + 1);
    if (number("length") != record.text.size())
        throw Error(QStringLiteral("its text is cut short"));
    if (Digest(record.text) != text("digest").toLatin1())
        throw Error(QStringLiteral("its text is damaged"));
    record.collection = text("collection");
    record.id = number("id");
    record.language = text("language");
    record.title = text("title");
    record.loadedDigest = text("loaded").toLatin1();
    record.pid = number("pid");
    record.written = QDateTime::fromString(text("written"), Qt::ISODateWithMs);
    return record;
}

Keeper::Keeper(const QString& folder, std::function<Record()> snapshot, QObject* parent)
    : QObject(parent), folder_(folder), snapshot_(std::move(snapshot)), worker_(new QThread(this)),
      inWorker_(new QObject), timer_(new QTimer(this)) {
    base_ = folder_ + QStringLiteral("%1-%2").arg(::getpid()).arg(nextKeeper++);
    try {
        MakeFolders(folder_);
        // Made by someone else, it may be open to others; the text in it is private.
        ::chmod(native(folder_).constData(), 0700);
    } catch (const std::exception&) {
        // Told with the first write that fails.
    }
    lockFd_ = holdLock(base_ + kLockSuffix);
    timer_->setSingleShot(true);
    connect(timer_, &QTimer::timeout, this, &Keeper::writeSoon);
    inWorker_->moveToThread(worker_);
    worker_->setObjectName(QStringLiteral("recovery"));
    worker_->start(QThread::LowPriority);
}

Keeper::~Keeper() {
    timer_->stop();
    Flush();
    worker_->quit();
    worker_->wait();
    delete inWorker_;
    if (lockFd_ >= 0) {
        ::unlink(native(base_ + kLockSuffix).constData());
        ::close(lockFd_);
    }
}

void Keeper::post(std::function<void()> job) {
    QMetaObject::invokeMethod(inWorker_, std::move(job), Qt::QueuedConnection);
}

void Keeper::Loaded(const QByteArray& body) {
    // Digested only when a record is written: most texts shown are never typed in, and a
    // large one would take the worker a processor's while for each showing.
    post([this, body] {
        loadedBody_ = body;
        loadedDigest_.clear();
    });
}

void Keeper::LoadedDigest(const QByteArray& digest) {
    post([this, digest] {
        loadedBody_.reset();
        loadedDigest_ = digest;
    });
}

void Keeper::Changed() {
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (firstUnwritten_ < 0)
        firstUnwritten_ = now;
    const qint64 left = kLongestMs - (now - firstUnwritten_);
    timer_->start(int(std::clamp<qint64>(std::min<qint64>(kQuietMs, left), 0, kQuietMs)));
}

void Keeper::writeSoon() {
    firstUnwritten_ = -1;
    Record record = snapshot_();
    post([this, record = std::move(record)]() mutable {
        if (loadedBody_) {
            loadedDigest_ = Digest(*loadedBody_);
            loadedBody_.reset();
        }
        record.loadedDigest = loadedDigest_;
        try {
            WriteFileSafely(RecordPath(), Encode(record));
            failed_ = false;
        } catch (const std::exception& e) {
            if (failed_)
                return;
            failed_ = true;
            QMetaObject::invokeMethod(this, [this, message = messageOf(e)] {
                if (OnFailure)
                    OnFailure(message);
            });
        }
    });
}

void Keeper::Discard() {
    timer_->stop();
    firstUnwritten_ = -1;
    post([this] { ::unlink(native(RecordPath()).constData()); });
}

void Keeper::WriteNow() {
    timer_->stop();
    writeSoon();
    Flush();
}

void Keeper::Flush() {
    QMetaObject::invokeMethod(
        inWorker_, [] {}, Qt::BlockingQueuedConnection);
}

LeftRecord::~LeftRecord() {
    if (lockFd_ >= 0)
        ::close(lockFd_);
}

void LeftRecord::Remove() {
    ::unlink(native(path_).constData());
    ::unlink(native(lockPath_).constData());
}

QString LeftRecord::SetAside() {
    QString aside = path_.chopped(kRecordSuffix.size()) + QStringLiteral(".damaged");
    for (int i = 2; QFileInfo::exists(aside); ++i)
        aside = path_.chopped(kRecordSuffix.size()) + QStringLiteral(".damaged-%1").arg(i);
    if (::rename(native(path_).constData(), native(aside).constData()) != 0)
        return {};
    ::unlink(native(lockPath_).constData());
    return aside;
}

std::unique_ptr<LeftRecord> FindLeftRecord(const QString& folder, const QString& collection) {
    // The window's start is the next run for files its own stopped runs were writing, too.
    RemoveLeftovers();
    const QDir dir(folder);
    std::unique_ptr<LeftRecord> best;
    for (const QString& name : dir.entryList({QStringLiteral("*") + kRecordSuffix}, QDir::Files)) {
        const QString base = folder + name.chopped(kRecordSuffix.size());
        std::unique_ptr<LeftRecord> left(new LeftRecord);
        left->path_ = base + kRecordSuffix;
        left->lockPath_ = base + kLockSuffix;
        left->lockFd_ = holdLock(left->lockPath_);
        if (left->lockFd_ < 0)
            continue; // its program still runs, or another start is asking about it
        InputFile file(left->path_);
        try {
            if (!file.isOpen())
                throw Error(file.openError());
            left->record_ = Decode(file.readAll());
        } catch (const std::exception& e) {
            left->error_ = messageOf(e);
            return left; // said at once, whatever it names
        }
        if (left->record_->collection != collection)
            continue;
        if (!best || left->record_->written > best->record_->written)
            best = std::move(left);
    }
    // Records a program was writing when it was killed: the one before stays whole, and
    // the unfinished copy of someone's text goes.
    for (const QString& name :
         dir.entryList({QStringLiteral(".*") + kRecordSuffix + QStringLiteral(".*")},
                       QDir::Files | QDir::Hidden)) {
        const QString lock =
            folder + name.mid(1, name.indexOf(kRecordSuffix + u'.') - 1) + kLockSuffix;
        if (const int fd = holdLock(lock); fd >= 0) {
            ::unlink(native(folder + name).constData());
            ::close(fd);
        }
    }
    // Lock files whose programs have ended and left no record behind.
    for (const QString& name : dir.entryList({QStringLiteral("*") + kLockSuffix}, QDir::Files)) {
        const QString lock = folder + name;
        if (QFileInfo::exists(lock.chopped(kLockSuffix.size()) + kRecordSuffix))
            continue;
        if (const int fd = holdLock(lock); fd >= 0) {
            ::unlink(native(lock).constData());
            ::close(fd);
        }
    }
    return best;
}

namespace {

int signalPipe[2] = {-1, -1};
// The handler last set up, for a signal heard outside the event loop.
std::function<void(int)> termination;

void deliverTermination() {
    char byte = 0;
    if (::read(signalPipe[0], &byte, 1) == 1 && termination)
        termination(int(byte));
}

void onSignal(int signal) {
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

void OnTermination(QObject* context, std::function<void(int)> handler) {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    termination = std::move(handler);
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, deliverTermination);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(signal, &action, nullptr);
}

void HearTermination() {
    if (signalPipe[0] >= 0)
        deliverTermination();
}

void EndBySignal(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

} // namespace varozidi::recovery
