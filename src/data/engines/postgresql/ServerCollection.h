// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The collection kept on a PostgreSQL server (15 or later), shared by every machine that
// reaches it.

#include "data/collection/Collection.h"

#include <memory>

namespace varozidi::history {
class Compactor;
}

namespace varozidi::ado {
class PgBackend;
}

namespace varozidi::postgresql {

class ServerCollection : public Collection {
public:
    // Connects at once; throws varozidi::Error naming the server and libpq's reason.
    ServerCollection(const CollectionAddress& address, Access access);
    ~ServerCollection() override;

    QString location() const override;
    ado::Backend& rows() override;
    std::optional<QStringList> languages(const QString& table) override;
    std::optional<StoredBody> read(qint64 id) override;
    QList<std::pair<qint64, StoredBody>> readFrom(qint64 after, int count) override;
    void list(const std::optional<QString>& language,
              const std::function<void(const ListingOutline&)>& outline,
              const std::function<void(const ListedSnippet&)>& row) override;
    search::Outcome find(const QString& text, int limit,
                         const std::function<bool()>& stopped) override;
    bool findEach(const QString& text, const std::function<void(const search::Hit&)>& hit) override;
    // The server keeps its trigram index itself.
    void repairSearchIndex(const search::SlowWork&, const search::Progress&) override {}
    CheckReport check() override;
    void backupTo(const QString& file) override;
    qint64 exportTo(transfer::ExportFormat format, const QString& path,
                    const std::function<void(qint64, qint64)>& progress, bool withHistory) override;
    void importFrom(const QString& source, bool dryRun, const ImportHooks& hooks,
                    const std::function<void(const transfer::ImportedSnippets&)>& listed) override;
    QList<history::KeptVersion> versions(qint64 id) override;
    std::optional<QByteArray> versionBody(qint64 id, qint64 version) override;
    QList<history::KeptVersion> removed() override;
    qint64 undelete(qint64 id) override;
    qint64 compactHistory() override;
    bool compactingHistory() const override;
    // A server counts no changes any client can read back, beside the rows themselves.
    std::optional<QString> changeMark() override { return std::nullopt; }
    bool isItself(const QString&) const override { return false; }
    // The server refuses a write, if at all, statement by statement.
    bool readOnly() const override { return false; }
    ChangeFeed* changes() override;
    // A statement on the server is not held up by another writer the way a file is.
    void setWaitLimit(int) override {}

    ado::PgBackend& server() { return *server_; }

private:
    // After a write: the history compacted in the background once that is due.
    void compactWhenDue();

    std::unique_ptr<ado::PgBackend> server_;
    std::unique_ptr<ChangeFeed> feed_;
    std::unique_ptr<history::Compactor> compactor_;
    bool packs_ = false;
};

// The snippets on the server replaced by those of the backup file at path, in one
// transaction.
void RestoreInto(const CollectionAddress& address, const QString& path);

} // namespace varozidi::postgresql
