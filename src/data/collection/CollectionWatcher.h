// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Tells when someone else changed the collection a connection has open: another window, the
// companion, a script, another machine on the server. The local file is asked for its data
// version a few times a second, which costs a few system calls and reads nothing; a server
// says so itself (LISTEN/NOTIFY), so an idle window does no work at all there.

#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;
class TADOConnection;
struct pg_conn;

class CollectionWatcher : public QObject {
    Q_OBJECT
public:
    // The channel the server's trigger notifies on.
    static constexpr char kChannel[] = "varozidi_changed";

    explicit CollectionWatcher(TADOConnection* connection, QObject* parent = nullptr);
    ~CollectionWatcher() override;

    // Watches what the connection has open now, from its present state on; called again after
    // the connection was reopened. Does nothing while it is closed.
    void Watch();
    void Stop();
    // True while changes made elsewhere reach this watcher: the file is being asked, or the
    // server heard.
    bool Listening() const;
    // How often the local file is asked; a server needs no asking.
    int PollIntervalMs = 500;

Q_SIGNALS:
    // ids: the rows written, when the engine names them; empty when anything may have changed
    // (the local file, many rows at once, or a connection to the server made again).
    void Changed(const QList<qint64>& ids);
    // The local file was replaced by another one of that name (a restore elsewhere): the
    // connection still reads the old one and must be opened again.
    void Replaced();

private:
    void poll();
    void connectToServer();
    void stepConnect();
    void readServer();
    void dropServer(bool retry);
    void watchSocket(bool forWriting);
    void releaseSocket();

    TADOConnection* connection_;
    QTimer* timer_;
    // The local file: the connection it was read on, its data version and the file's identity.
    void* db_ = nullptr;
    qint64 dataVersion_ = -1;
    quint64 inode_ = 0;
    quint64 device_ = 0;
    // The server: a connection of its own that listens.
    QString uri_;
    pg_conn* listener_ = nullptr;
    QSocketNotifier* socket_ = nullptr;
    bool listening_ = false;
};
