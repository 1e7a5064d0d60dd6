// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The snippet collection, whichever engine keeps it: the SQLite file in the data folder, or a
// PostgreSQL server. Everything outside the data layer reaches the collection through this
// interface (the window's table cursor through TADOConnection, which holds one), and never
// names an engine, a file of it or its library.

#include "data/collection/StoredBody.h"
#include "data/history/History.h"
#include "data/search/SearchIndex.h"
#include "data/transfer/Snippet.h"

#include <QByteArrayView>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace varozidi::ado {
class Backend;
enum class WriteAside;
} // namespace varozidi::ado
namespace varozidi::transfer {
struct JetConversion;
} // namespace varozidi::transfer

namespace varozidi {

// Which collection: a value, cheap to copy and to hand to another thread, which opens it
// there on a connection of its own.
class CollectionAddress {
public:
    CollectionAddress() = default;
    // The collection the programs open: the file in dataDir, unless "--database URI" or the
    // URI entry of the settings' [DATABASE] section names a server.
    static CollectionAddress Chosen(const QString& dataDir, const QString& databaseArgument = {});
    // What a connection string names ("Provider=...;Data Source=...", or a server's bare
    // address). Throws varozidi::Error saying what is wrong with it.
    static CollectionAddress Of(const QString& connectionString);

    QString connectionString() const;
    bool empty() const { return source_.isEmpty(); }
    // Others reach it through a server: a change made elsewhere may come from anywhere.
    bool shared() const { return server_; }
    // For messages: the file as named, or the server as "user@host:port/database", never with
    // its password.
    QString name() const;
    // One key for one collection however its address is spelled.
    QString identity() const;
    // The file or the server's address, for the engines alone.
    const QString& source() const { return source_; }

private:
    QString source_;
    bool server_ = false;
};

// message with the password of address (as typed, percent-encoded or not) put as "***": for
// any message that may quote what the user gave as --database.
QString HidePassword(QString message, const QString& address);

// Told while a collection opens or writes; each may be left empty. The functions stay owned by
// the caller and must outlive the collection.
struct CollectionHooks {
    // True once opening takes more than a moment (the search index is being made), false
    // when it is over; meanwhile how far it has come, in percent.
    const std::function<void(bool)>* slowOpen = nullptr;
    const std::function<void(int)>* slowProgress = nullptr;
    // True, again and again while it lasts, when a write takes more than a moment (it runs
    // aside meanwhile), and false when it is over; and every few milliseconds while a write
    // runs aside. Neither may use the collection, other than stopWrite.
    const std::function<void(bool)>* slowWrite = nullptr;
    const std::function<void()>* writeWaiting = nullptr;
    // The file was still the old program's Jet database, and was converted as it opened.
    const std::function<void(const transfer::JetConversion&)>* converted = nullptr;
    const std::function<void(bool)>* converting = nullptr;
};

// Tells when someone else changed the collection: another window, the companion, a script,
// another machine on the server. Made by the collection and ended with it.
class ChangeFeed : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // True while changes made elsewhere reach this feed.
    virtual bool listening() const = 0;
    // How often a collection that must be asked is asked.
    virtual void setPollInterval(int ms) = 0;

Q_SIGNALS:
    // ids: the rows written, where the engine names them; empty when anything may have
    // changed.
    void Changed(const QList<qint64>& ids);
    // The file was replaced by another of its name (a restore elsewhere): what this
    // connection reads is no longer the collection, which must be opened again.
    void Replaced();
};

// What check found: the database's own verdict ("ok" or the damage), and the search index's
// ("ok", "missing", the damage, or why it was not checked: nothing may be written now).
struct CheckReport {
    QString database;
    QString searchIndex;
    bool indexUnchecked = false;
};

// One snippet as a listing gives it, without its body: language and title as their UTF-8
// bytes (a number as its text), valid while the listing's row function runs; nothing where a
// field has no value. notText names the first field ("Language", "Title") stored as bytes that
// are not UTF-8, which cannot be shown unchanged. Bytes, not QString: decoding and encoding
// again would be most of the work of listing a million rows.
struct ListedSnippet {
    qint64 id = 0;
    std::optional<QByteArrayView> language;
    std::optional<QByteArrayView> title;
    const char* notText = nullptr;
};

// What lays a listing out, known before its first row: its lowest and highest ID (both 0 for
// none), and each spelling of the languages among its rows once, as a field reads.
struct ListingOutline {
    qint64 lowestId = 0;
    qint64 highestId = 0;
    QStringList languages;
};

struct ImportHooks {
    std::function<void(qint64 done, qint64 total)> reading; // bytes of the program's own export
    std::function<void(qint64 done, qint64 total)> adding;  // snippets
};

class Collection {
public:
    enum class Access { ReadWrite, ReadOnly };
    // What opening for writing keeps up: everything, or all but a search index the collection
    // has none of, which the first search then makes (listing and reading do without it).
    enum class Upkeep { Whole, SearchWhenNeeded };

    virtual ~Collection();
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;

    // Opens the collection (never creates one). ReadWrite keeps the collection's upkeep: a
    // Jet file of the old program converted, the lock file beside the file, missing indexes
    // made. Throws varozidi::Error saying what is wrong, naming the file or the server.
    static std::unique_ptr<Collection> Open(const CollectionAddress& address,
                                            const CollectionHooks& hooks = {},
                                            Access access = Access::ReadWrite,
                                            Upkeep upkeep = Upkeep::Whole);

    const CollectionAddress& address() const { return address_; }
    // The file actually opened, or the server's name, for messages.
    virtual QString location() const = 0;
    // The table cursor's way in: SQL with every value bound.
    virtual ado::Backend& rows() = 0;

    // Each language once, in the order of its first row, through the language index; nothing
    // where the collection has none (the cursor then reads every row).
    virtual std::optional<QStringList> languages(const QString& table) = 0;
    // One snippet exactly as stored; nothing when no row has the ID.
    virtual std::optional<StoredBody> read(qint64 id) = 0;
    // Up to count snippets exactly as stored, those with the lowest IDs above after, in ID
    // order: a whole collection read a batch at a time, no writer kept waiting between them.
    virtual QList<std::pair<qint64, StoredBody>> readFrom(qint64 after, int count) = 0;
    // The snippets in ID order, or those of one language (letter case ignored, as the table's
    // filter ignores it), without their bodies, each told to row as it is read: none are
    // gathered, and while row runs (a slow reader) no writer is kept waiting. outline, where
    // given, is told first. Throws varozidi::Error; what row or outline throws ends it.
    virtual void list(const std::optional<QString>& language,
                      const std::function<void(const ListingOutline&)>& outline,
                      const std::function<void(const ListedSnippet&)>& row) = 0;
    // The snippets holding text, as search::Find describes.
    virtual search::Outcome find(const QString& text, int limit,
                                 const std::function<bool()>& stopped = {}) = 0;
    // As find without a limit, each hit told to hit as soon as its place in the order is
    // sure, with memory that does not grow with the hits, and no writer kept waiting while
    // hit runs. True where the index failed and every row was read instead.
    virtual bool findEach(const QString& text,
                          const std::function<void(const search::Hit&)>& hit) = 0;
    // Makes the search index anew, as when it was found damaged.
    virtual void repairSearchIndex(const search::SlowWork& slow = {},
                                   const search::Progress& progress = {}) = 0;
    virtual CheckReport check() = 0;

    // A consistent copy of the whole collection, as the usual backup file (a collection file
    // of its own); it replaces file whole or not at all.
    virtual void backupTo(const QString& file) = 0;
    // Every snippet exported to path (see transfer::ExportSnippets); how many. withHistory:
    // each snippet's versions kept too, and the removed snippets kept, all of one moment.
    virtual qint64 exportTo(transfer::ExportFormat format, const QString& path,
                            const std::function<void(qint64, qint64)>& progress = {},
                            bool withHistory = false) = 0;
    // The snippets of the file or folder at source added in one step (see
    // transfer::ImportSnippets), with the versions and removed snippets an export with its
    // history carries; listed is told what was added.
    virtual void
    importFrom(const QString& source, bool dryRun, const ImportHooks& hooks,
               const std::function<void(const transfer::ImportedSnippets&)>& listed) = 0;
    // The versions the collection keeps of the snippet id (see data/history/History.h), oldest
    // first; one version's body as stored, nothing where the snippet has no such version.
    virtual QList<history::KeptVersion> versions(qint64 id) = 0;
    virtual std::optional<QByteArray> versionBody(qint64 id, qint64 version) = 0;
    // The removed snippets still kept, each as its last version, the latest removed last.
    virtual QList<history::KeptVersion> removed() = 0;
    // Brings the removed snippet id back, under that ID where no snippet has it now; returns
    // its ID. Throws varozidi::Error where id is not among removed().
    virtual qint64 undelete(qint64 id) = 0;
    // The history compacted now, on the caller's thread, as a write starts it in the
    // background once history::kCompactAfter versions have been kept since it last was (see
    // data/history/Compaction.h); how many versions were packed.
    virtual qint64 compactHistory() = 0;
    // A compaction runs in the background now.
    virtual bool compactingHistory() const { return false; }

    // A mark of everything written to the collection so far, by this program or another:
    // where two marks are equal, nothing changed between them. Nothing where the engine
    // cannot tell.
    virtual std::optional<QString> changeMark() = 0;
    // Whether file is the collection itself, which a backup may never replace.
    virtual bool isItself(const QString& file) const = 0;
    // Whether it was opened for reading only (a read-only file, folder or disk).
    virtual bool readOnly() const = 0;

    // Changes made elsewhere from now on; the feed ends with the collection.
    virtual ChangeFeed* changes() = 0;
    // How long a statement waits for another program's write before it fails.
    virtual void setWaitLimit(int ms) = 0;
    static constexpr int kWaitLimitMs = 3000;
    // A write runs aside now (see CollectionHooks): leave the collection alone meanwhile.
    virtual bool writingAside() const { return false; }
    // From the hooks of a write aside: stops it as far as it has not landed yet.
    virtual ado::WriteAside stopWrite(int waitMs);
    // Lets go of the collection; what could not be cleaned up (the lock file), as a message.
    virtual QString close() { return {}; }

protected:
    explicit Collection(CollectionAddress address) : address_(std::move(address)) {}

private:
    CollectionAddress address_;
};

// While held, no other program writes to the collection (Writers) or uses it at all
// (Everyone), for a copy of the whole of it.
class CollectionHold {
public:
    enum class Keep { Writers, Everyone };
    virtual ~CollectionHold() = default;
};

// The whole collection, while no connection of this program has it open (the window lets go
// of its own for a backup or a restore).
namespace whole {
// One attempt, without waiting: null with busy set while another program holds a lock in the
// way; null without busy where nothing needs holding (a server orders its writers itself, a
// damaged file takes no lock).
std::unique_ptr<CollectionHold> Hold(const CollectionAddress& address, CollectionHold::Keep keep,
                                     bool& busy);
// As Collection::backupTo; held says the caller holds the collection (see Hold).
void Backup(const CollectionAddress& address, const QString& file, bool held);
// The collection's snippets replaced by those of the backup file, all at once: programs that
// have the collection open go on with the restored snippets.
void Restore(const CollectionAddress& address, const QString& file, bool held);
// Gives the collection its snippet table, with the indexes, search support and the trigger
// that tells windows of changes, where it has none; true when one was there already. Another
// table of that name is refused and left alone. Throws varozidi::Error.
bool Prepare(const CollectionAddress& address);
// Checks that file is a sound backup holding the table, changing nothing; throws
// varozidi::Error saying what is wrong.
void VerifyBackup(const QString& file, const QString& table);
} // namespace whole

} // namespace varozidi
