// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/collection/CollectionWatcher.h"

#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/sqlite/SqliteBackend.h"
#include "data/store/ADODB.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <sys/stat.h>

namespace {

// A server that went away is tried again this often, without ever waiting on it.
constexpr int kReconnectMs = 2000;

bool identity(const QString& path, quint64& inode, quint64& device) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    inode = quint64(st.st_ino);
    device = quint64(st.st_dev);
    return true;
}

// The file's data version on db, or -1 while it cannot be read (someone is writing).
qint64 dataVersion(sqlite3* db) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA data_version", -1, &statement, nullptr) != SQLITE_OK)
        return -1;
    const qint64 version =
        sqlite3_step(statement) == SQLITE_ROW ? sqlite3_column_int64(statement, 0) : -1;
    sqlite3_finalize(statement);
    return version;
}

} // namespace

CollectionWatcher::CollectionWatcher(TADOConnection* connection, QObject* parent)
    : QObject(parent), connection_(connection), timer_(new QTimer(this)) {
    connect(timer_, &QTimer::timeout, this, &CollectionWatcher::poll);
}

CollectionWatcher::~CollectionWatcher() {
    dropServer(false);
}

void CollectionWatcher::Watch() {
    Stop();
    timer_->start(PollIntervalMs);
    poll();
}

void CollectionWatcher::Stop() {
    timer_->stop();
    db_ = nullptr;
    dataVersion_ = -1;
    uri_.clear();
    dropServer(false);
}

bool CollectionWatcher::Listening() const {
    return listening_ || (db_ && db_ == connection_->handle());
}

void CollectionWatcher::poll() {
    // A server that went away: try again.
    if (!uri_.isEmpty()) {
        connectToServer();
        return;
    }
    // Closed (a failed start, a backup or restore): asked again once it is open.
    if (!connection_->Connected())
        return;
    if (auto* server = dynamic_cast<varozidi::ado::PgBackend*>(connection_->backend())) {
        uri_ = server->uri();
        connectToServer();
        return;
    }
    sqlite3* db = connection_->handle();
    if (!db)
        return;
    // The window's own write runs aside: asked again next time.
    if (const auto* local =
            dynamic_cast<const varozidi::ado::SqliteBackend*>(connection_->backend());
        local && local->writing())
        return;
    // Asked without waiting: a writer holding the file is simply asked again next time.
    sqlite3_busy_timeout(db, 0);
    const qint64 version = dataVersion(db);
    sqlite3_busy_timeout(db, TADOConnection::kBusyTimeoutMs);
    // Opened anew (by this window, which read it then): from here on.
    if (db != db_) {
        db_ = db;
        dataVersion_ = version;
        identity(connection_->DatabasePath(), inode_, device_);
        return;
    }
    quint64 inode = 0, device = 0;
    if (identity(connection_->DatabasePath(), inode, device) &&
        (inode != inode_ || device != device_)) {
        inode_ = inode;
        device_ = device;
        Q_EMIT Replaced();
        return;
    }
    if (version < 0)
        return;
    if (dataVersion_ < 0) {
        dataVersion_ = version;
        return;
    }
    if (version == dataVersion_)
        return;
    dataVersion_ = version;
    Q_EMIT Changed({});
}

// The listening connection is made step by step as its socket becomes ready, so that a
// server that does not answer never holds up the window.
void CollectionWatcher::connectToServer() {
    timer_->stop();
    dropServer(false);
    const QByteArray address = uri_.toUtf8();
    const char* keys[] = {
        "connect_timeout",     "application_name", "keepalives", "keepalives_idle",
        "keepalives_interval", "keepalives_count", "dbname",     nullptr};
    const char* values[] = {"10", "varozidi", "1", "30", "10", "3", address.constData(), nullptr};
    listener_ = PQconnectStartParams(keys, values, 1);
    if (!listener_ || PQstatus(listener_) == CONNECTION_BAD) {
        dropServer(true);
        return;
    }
    watchSocket(true);
}

void CollectionWatcher::watchSocket(bool forWriting) {
    releaseSocket();
    const int fd = PQsocket(listener_);
    if (fd < 0) {
        dropServer(true);
        return;
    }
    socket_ =
        new QSocketNotifier(fd, forWriting ? QSocketNotifier::Write : QSocketNotifier::Read, this);
    connect(socket_, &QSocketNotifier::activated, this, [this] {
        if (listening_)
            readServer();
        else
            stepConnect();
    });
}

void CollectionWatcher::stepConnect() {
    switch (PQconnectPoll(listener_)) {
    case PGRES_POLLING_READING:
        watchSocket(false);
        return;
    case PGRES_POLLING_WRITING:
        watchSocket(true);
        return;
    case PGRES_POLLING_OK: {
        PQsetNoticeProcessor(
            listener_, [](void*, const char*) {}, nullptr);
        const QByteArray listen = QByteArrayLiteral("LISTEN ") + kChannel;
        if (!PQsendQuery(listener_, listen.constData())) {
            dropServer(true);
            return;
        }
        listening_ = true;
        watchSocket(false);
        // Whatever changed while no one listened (since the window read the collection, or
        // while the server was away) is looked at once.
        Q_EMIT Changed({});
        return;
    }
    default:
        dropServer(true);
    }
}

void CollectionWatcher::readServer() {
    if (!PQconsumeInput(listener_) || PQstatus(listener_) != CONNECTION_OK) {
        dropServer(true);
        return;
    }
    // The answer to LISTEN, once.
    while (!PQisBusy(listener_)) {
        PGresult* result = PQgetResult(listener_);
        if (!result)
            break;
        PQclear(result);
    }
    const auto* own = dynamic_cast<varozidi::ado::PgBackend*>(connection_->backend());
    const int ownPid = own ? own->backendPid() : 0;
    QList<qint64> ids;
    bool any = false, all = false;
    while (PGnotify* note = PQnotifies(listener_)) {
        // The window's own writes are no news to it.
        if (note->be_pid != ownPid || ownPid == 0) {
            any = true;
            const QByteArray payload(note->extra);
            if (payload.isEmpty())
                all = true;
            for (const QByteArray& id : payload.split(',')) {
                bool ok = false;
                const qint64 value = id.toLongLong(&ok);
                if (ok)
                    ids.append(value);
            }
        }
        PQfreemem(note);
    }
    if (any)
        Q_EMIT Changed(all ? QList<qint64>{} : ids);
}

// Let go of later: this may run inside the notifier's own signal.
void CollectionWatcher::releaseSocket() {
    if (!socket_)
        return;
    socket_->setEnabled(false);
    socket_->deleteLater();
    socket_ = nullptr;
}

void CollectionWatcher::dropServer(bool retry) {
    releaseSocket();
    if (listener_)
        PQfinish(listener_);
    listener_ = nullptr;
    listening_ = false;
    if (retry && !uri_.isEmpty())
        timer_->start(kReconnectMs);
}
