// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Tells when someone else changed the collection a connection has open: another window, the
// companion, a script, another machine on the server. Follows the connection through every
// close and open; the collection itself says how it learns of changes (see ChangeFeed).

#include <QList>
#include <QObject>
#include <QPointer>

class TADOConnection;

namespace varozidi {
class ChangeFeed;
}

class CollectionWatcher : public QObject {
    Q_OBJECT
public:
    explicit CollectionWatcher(TADOConnection* connection, QObject* parent = nullptr);
    ~CollectionWatcher() override;

    // Watches what the connection has open now, and whatever it opens later, from its present
    // state on. Does nothing more while it is closed.
    void Watch();
    void Stop();
    // True while changes made elsewhere reach this watcher.
    bool Listening() const;
    // How often a collection that must be asked (the local file) is asked.
    int PollIntervalMs = 500;

Q_SIGNALS:
    // ids: the rows written, when the engine names them; empty when anything may have changed.
    void Changed(const QList<qint64>& ids);
    // The local file was replaced by another one of that name (a restore elsewhere): the
    // connection still reads the old one and must be opened again.
    void Replaced();

private:
    void follow();
    void drop();

    TADOConnection* connection_;
    bool watching_ = false;
    QPointer<varozidi::ChangeFeed> feed_;
    QList<QMetaObject::Connection> links_;
};
