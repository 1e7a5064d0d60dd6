// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/store/ADODB.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/store/AdoBackend.h"

#include <algorithm>

using varozidi::Error;

// ---------------------------------------------------------------------------------------
// TADOConnection

TADOConnection::TADOConnection(QObject* parent) : QObject(parent) {}

TADOConnection::~TADOConnection() {
    Close();
    for (TADOTable* table : tables_)
        table->connection_ = nullptr;
}

void TADOConnection::setConnectionString(const QString& s) {
    connectionString_ = s;
}

QString TADOConnection::Location() const {
    return collection_ ? collection_->location() : lastLocation_;
}

void TADOConnection::Open() {
    if (collection_)
        return;
    varozidi::CollectionHooks hooks;
    hooks.slowOpen = &OnSlowOpen;
    hooks.slowProgress = &OnSlowProgress;
    hooks.slowWrite = &OnSlowWrite;
    hooks.writeWaiting = &OnWriteWaiting;
    hooks.converted = &OnConverted;
    hooks.converting = &OnConverting;
    collection_ = varozidi::Collection::Open(varozidi::CollectionAddress::Of(connectionString_),
                                             hooks, varozidi::Collection::Access::ReadWrite,
                                             SearchIndexWhenNeeded
                                                 ? varozidi::Collection::Upkeep::SearchWhenNeeded
                                                 : varozidi::Collection::Upkeep::Whole);
    lastLocation_ = collection_->location();
    Q_EMIT Opened();
}

varozidi::ado::WriteAside TADOConnection::StopWrite(int waitMs) {
    return collection_ ? collection_->stopWrite(waitMs) : varozidi::ado::WriteAside::None;
}

varozidi::ado::Backend& TADOConnection::backend() const {
    return collection_->rows();
}

void TADOConnection::Close() {
    if (collection_)
        Q_EMIT Closing();
    const auto tables = tables_;
    for (TADOTable* table : tables)
        table->connectionClosing();
    if (!collection_)
        return;
    const QString left = collection_->close();
    collection_.reset();
    if (!left.isEmpty() && OnLockFileLeft)
        OnLockFileLeft(left);
}

void TADOConnection::attach(TADOTable* table) {
    if (std::find(tables_.begin(), tables_.end(), table) == tables_.end())
        tables_.push_back(table);
}

void TADOConnection::detach(TADOTable* table) {
    std::erase(tables_, table);
}
