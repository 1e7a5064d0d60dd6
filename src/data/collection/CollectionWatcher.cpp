// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/collection/CollectionWatcher.h"

#include "data/collection/Collection.h"
#include "data/store/ADODB.h"

CollectionWatcher::CollectionWatcher(TADOConnection* connection, QObject* parent)
    : QObject(parent), connection_(connection) {
    connect(connection_, &TADOConnection::Opened, this, [this] {
        if (watching_)
            follow();
    });
    connect(connection_, &TADOConnection::Closing, this, &CollectionWatcher::drop);
}

CollectionWatcher::~CollectionWatcher() = default;

void CollectionWatcher::Watch() {
    watching_ = true;
    follow();
}

void CollectionWatcher::Stop() {
    watching_ = false;
    drop();
}

bool CollectionWatcher::Listening() const {
    return feed_ && feed_->listening();
}

void CollectionWatcher::follow() {
    drop();
    varozidi::Collection* collection = connection_->collection();
    if (!collection)
        return;
    feed_ = collection->changes();
    feed_->setPollInterval(PollIntervalMs);
    links_ = {connect(feed_, &varozidi::ChangeFeed::Changed, this, &CollectionWatcher::Changed),
              connect(feed_, &varozidi::ChangeFeed::Replaced, this, &CollectionWatcher::Replaced)};
}

void CollectionWatcher::drop() {
    for (const auto& link : links_)
        disconnect(link);
    links_.clear();
    feed_ = nullptr;
}
