// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The collection kept in an SQLite file: the data folder's varozidi.mdb, or any file a
// connection string names.

#include "data/collection/Collection.h"
#include "data/engines/sqlite/SqliteHandle.h"

#include <memory>

namespace varozidi::history {
class Compactor;
}

class LockFile;
class TADOConnection;

namespace varozidi::ado {
class SqliteBackend;
}

namespace varozidi::sqlite {

class SqliteCollection : public Collection {
public:
    // Opens the file the address names, in the steps Collection::Open lists.
    SqliteCollection(const CollectionAddress& address, const CollectionHooks& hooks, Access access,
                     Upkeep upkeep = Upkeep::Whole);
    ~SqliteCollection() override;

    QString location() const override { return path_; }
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
    void repairSearchIndex(const search::SlowWork& slow, const search::Progress& progress) override;
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
    std::optional<QString> changeMark() override;
    bool isItself(const QString& file) const override;
    bool readOnly() const override;
    ChangeFeed* changes() override;
    void setWaitLimit(int ms) override;
    bool writingAside() const override;
    ado::WriteAside stopWrite(int waitMs) override;
    QString close() override;

    sqlite3* handle() const { return db_.get(); }

private:
    // The steps of opening: the file found, an old Jet file converted, the connection made,
    // the lock file taken, the indexes and the history kept.
    QString findFile() const;
    void convertJet(const CollectionHooks& hooks) const;
    void connect(Access access);
    void keepIndexes(const CollectionHooks& hooks, Upkeep upkeep);
    void keepHistory();
    // After a write: the history compacted in the background once that is due.
    void compactWhenDue();
    // The search index left for later by Upkeep::SearchWhenNeeded, made before a search.
    void keepSearchIndex();

    QString path_;
    Handle db_;
    std::unique_ptr<ado::SqliteBackend> backend_;
    std::unique_ptr<LockFile> lock_;
    std::unique_ptr<ChangeFeed> feed_;
    std::unique_ptr<history::Compactor> compactor_;
    CollectionHooks hooks_;
    bool searchLater_ = false;
};

// The file connection under a table cursor's connection, for the tests and benchmarks that
// look beneath it; null on a server or while closed.
sqlite3* HandleOf(const TADOConnection& connection);

// The usual backup of the database file at live: a copy of it as one consistent state, even
// while others use it, into a temporary file beside file, which then replaces file whole.
// db, a connection to it, keeps writers off while the bytes are copied; without one the caller
// keeps them off. Throws varozidi::Error naming file and the cause.
void BackupDatabase(sqlite3* db, const QString& live, const QString& file);

} // namespace varozidi::sqlite
