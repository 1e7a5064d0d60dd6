// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The sync folder kept in step while a window runs: a pass soon after the folder or the
// collection changed, on a thread of its own with a connection of its own, so that neither a
// slow disk nor a large pass holds up the window.

#include "data/sync/Sync.h"

#include <QObject>
#include <QThread>

namespace varozidi::sync {

class SyncKeeper : public QObject {
    Q_OBJECT
public:
    SyncKeeper(const QString& connectionString, const QString& folder, QObject* parent = nullptr);
    ~SyncKeeper() override;

Q_SIGNALS:
    // A pass carried something (on the owner's thread).
    void Synced(const varozidi::sync::Report& report);
    // A pass failed; said once until one goes through again, which says an empty message.
    void Failed(const QString& message);

private:
    class Worker;
    QThread thread_;
    Worker* worker_;
};

} // namespace varozidi::sync

Q_DECLARE_METATYPE(varozidi::sync::Report)
