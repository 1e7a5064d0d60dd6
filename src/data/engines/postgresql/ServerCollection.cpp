// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/postgresql/ServerCollection.h"

#include "data/core/SysUtils.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/postgresql/PgSearch.h"
#include "data/engines/postgresql/ServerCompaction.h"
#include "data/engines/postgresql/ServerHistory.h"
#include "data/engines/postgresql/ServerTransfer.h"
#include "data/files/Files.h"
#include "data/store/AdoFilter.h"
#include "data/store/LanguageIndex.h"
#include "data/transfer/Transfer.h"

#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <libpq-fe.h>

namespace varozidi::postgresql {

namespace {

// The channel the server's trigger notifies on.
constexpr char kChannel[] = "varozidi_changed";
// A server that went away is tried again this often, without ever waiting on it.
constexpr int kReconnectMs = 2000;

// The server says itself which rows each statement wrote (LISTEN/NOTIFY), on a connection of
// its own that is made step by step as its socket becomes ready, so that a server that does
// not answer never holds up the window. An idle window does no work at all.
class NotifyFeed : public ChangeFeed {
public:
    NotifyFeed(QString uri, const ado::PgBackend& own)
        : uri_(std::move(uri)), own_(own), retry_(new QTimer(this)) {
        retry_->setSingleShot(true);
        QObject::connect(retry_, &QTimer::timeout, this, [this] { connectToServer(); });
        connectToServer();
    }
    ~NotifyFeed() override { drop(false); }
    bool listening() const override { return listening_; }
    void setPollInterval(int) override {}

private:
    void connectToServer() {
        drop(false);
        const QByteArray address = uri_.toUtf8();
        const char* keys[] = {
            "connect_timeout",     "application_name", "keepalives", "keepalives_idle",
            "keepalives_interval", "keepalives_count", "dbname",     nullptr};
        const char* values[] = {"10", "varozidi",          "1",    "30", "10",
                                "3",  address.constData(), nullptr};
        listener_ = PQconnectStartParams(keys, values, 1);
        if (!listener_ || PQstatus(listener_) == CONNECTION_BAD) {
            drop(true);
            return;
        }
        watchSocket(true);
    }

    void watchSocket(bool forWriting) {
        releaseSocket();
        const int fd = PQsocket(listener_);
        if (fd < 0) {
            drop(true);
            return;
        }
        socket_ = new QSocketNotifier(
            fd, forWriting ? QSocketNotifier::Write : QSocketNotifier::Read, this);
        QObject::connect(socket_, &QSocketNotifier::activated, this, [this] {
            if (listening_)
                readServer();
            else
                stepConnect();
        });
    }

    void stepConnect() {
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
                drop(true);
                return;
            }
            listening_ = true;
            watchSocket(false);
            // Whatever changed while no one listened (since the window read the collection,
            // or while the server was away) is looked at once.
            Q_EMIT Changed({});
            return;
        }
        default:
            drop(true);
        }
    }

    void readServer() {
        if (!PQconsumeInput(listener_) || PQstatus(listener_) != CONNECTION_OK) {
            drop(true);
            return;
        }
        // The answer to LISTEN, once.
        while (!PQisBusy(listener_)) {
            PGresult* result = PQgetResult(listener_);
            if (!result)
                break;
            PQclear(result);
        }
        const int ownPid = own_.backendPid();
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
    void releaseSocket() {
        if (!socket_)
            return;
        socket_->setEnabled(false);
        socket_->deleteLater();
        socket_ = nullptr;
    }

    void drop(bool retry) {
        releaseSocket();
        if (listener_)
            PQfinish(listener_);
        listener_ = nullptr;
        listening_ = false;
        if (retry)
            retry_->start(kReconnectMs);
    }

    QString uri_;
    const ado::PgBackend& own_;
    QTimer* retry_;
    pg_conn* listener_ = nullptr;
    QSocketNotifier* socket_ = nullptr;
    bool listening_ = false;
};

// What a server import added: the IDs given, beside the snippets read.
class AddedList : public transfer::ImportedSnippets {
public:
    AddedList(const QList<qint64>& ids, const QList<transfer::Snippet>& snippets)
        : ids_(ids), snippets_(snippets) {}
    qint64 size() const override { return ids_.size(); }
    void forEach(const std::function<void(qint64, const transfer::Text&, const transfer::Text&)>&
                     each) const override {
        for (qsizetype i = 0; i < ids_.size(); ++i)
            each(ids_[i], snippets_[i].language, snippets_[i].title);
    }

private:
    const QList<qint64>& ids_;
    const QList<transfer::Snippet>& snippets_;
};

// A folder, or a file whose head cannot be read, is none; the import then says what it is.
bool isCollectionFile(const QString& path) {
    try {
        InputFile file(path);
        return QFileInfo(path).isFile() && file.isOpen() &&
               file.read(16) == QByteArrayView("SQLite format 3\0", 16);
    } catch (const DiskError&) {
        return false;
    }
}

} // namespace

ServerCollection::ServerCollection(const CollectionAddress& address, Access access)
    : Collection(address), server_(std::make_unique<ado::PgBackend>(address.source())) {
    // As on the file: whoever may, gives the table what lets windows list languages and
    // follow changes; one who may not still works, reading every row and learning of changes
    // at the next click.
    if (access == Access::ReadWrite) {
        try {
            language::EnsureServerSupport(*server_, server_->location());
        } catch (const std::exception&) {
        }
        try {
            EnsureServerHistory(*server_, history::RetentionOfUser());
        } catch (const std::exception&) {
        }
        const QString uri = server_->uri();
        compactor_ =
            std::make_unique<history::Compactor>([uri] { return ServerCompactionOf(uri); });
        server_->setAfterWrite([this] { compactWhenDue(); });
    }
}

// The compaction stops after its batch before the connection goes.
ServerCollection::~ServerCollection() {
    compactor_.reset();
}

// One question of the server a write, once it is known to keep compacted versions.
void ServerCollection::compactWhenDue() {
    if (compactor_->running())
        return;
    try {
        packs_ = packs_ || ServerKeepsPacked(*server_);
        if (packs_ && ServerCompactionDue(*server_))
            compactor_->start();
    } catch (const std::exception&) {
    }
}

QString ServerCollection::location() const {
    return server_->location();
}

ado::Backend& ServerCollection::rows() {
    return *server_;
}

std::optional<QStringList> ServerCollection::languages(const QString& table) {
    // Twice: a connection lost meanwhile is made again by the second.
    for (int attempt = 0;; ++attempt) {
        try {
            return language::DistinctLanguagesOnServer(*server_, table);
        } catch (const Error&) {
            if (attempt > 0)
                return std::nullopt;
        }
    }
}

namespace {

StoredBody storedAt(pg_result* raw, int row) {
    const auto bytes = [raw, row](int i) {
        return QByteArray(PQgetvalue(raw, row, i), PQgetlength(raw, row, i));
    };
    const auto text = [&bytes](int i) {
        const QByteArray stored = bytes(i);
        return ExactUtf8(stored).value_or(QString::fromUtf8(stored));
    };
    return StoredBody{text(0), text(1), bytes(2)};
}

} // namespace

std::optional<StoredBody> ServerCollection::read(qint64 id) {
    const auto result = server_->exec(
        QStringLiteral("SELECT \"Language\", \"Title\", \"Body\" FROM varozidi WHERE \"ID\" = $1"),
        {id}, QStringLiteral("read the snippet"));
    if (result->rows() == 0)
        return std::nullopt;
    return storedAt(result->get(), 0);
}

QList<std::pair<qint64, StoredBody>> ServerCollection::readFrom(qint64 after, int count) {
    const auto result = server_->exec(
        QStringLiteral("SELECT \"Language\", \"Title\", \"Body\", \"ID\" FROM varozidi WHERE "
                       "\"ID\" > $1 ORDER BY \"ID\" LIMIT $2"),
        {after, count}, QStringLiteral("read the snippets"));
    QList<std::pair<qint64, StoredBody>> out;
    for (int row = 0; row < result->rows(); ++row)
        out.append({QByteArray(PQgetvalue(result->get(), row, 3)).toLongLong(),
                    storedAt(result->get(), row)});
    return out;
}

void ServerCollection::list(const std::optional<QString>& language,
                            const std::function<void(const ListingOutline&)>& outline,
                            const std::function<void(const ListedSnippet&)>& row) {
    const QString doing = QStringLiteral("list the snippets");
    const ado::TableShape shape = server_->describe(QStringLiteral("varozidi"));
    // The condition the table cursor's filter has, so that both list the same rows.
    const ado::Condition c =
        language ? ado::translateFilter(QStringLiteral("Language = ") + QuotedStr(*language),
                                        shape.columns, QStringLiteral("varozidi"),
                                        server_->textInCodePointOrder())
                 : ado::Condition();
    const QString where = c.empty() ? QString() : QStringLiteral(" WHERE ") + c.sql;
    const auto outlined = [&] {
        if (!outline)
            return;
        ListingOutline o;
        const auto range =
            server_->exec(QStringLiteral("SELECT min(\"ID\"), max(\"ID\") FROM varozidi") + where,
                          c.params, doing);
        if (range->rows() > 0 && !range->isNull(0, 0)) {
            o.lowestId = range->int64(0, 0);
            o.highestId = range->int64(0, 1);
        }
        const auto spellings = server_->exec(
            QStringLiteral("SELECT DISTINCT \"Language\" FROM varozidi") + where, c.params, doing);
        for (int i = 0; i < spellings->rows(); ++i)
            if (!spellings->isNull(i, 0))
                o.languages.append(spellings->text(i, 0));
        outline(o);
    };
    // The server's text is UTF-8 as it comes.
    const auto text = [](const ado::PgResult& r, int i, int column) {
        return r.isNull(i, column)
                   ? std::nullopt
                   : std::optional<QByteArrayView>(QByteArrayView(PQgetvalue(r.get(), i, column),
                                                                  PQgetlength(r.get(), i, column)));
    };
    server_->fetchEach(
        QStringLiteral("SELECT \"ID\", \"Language\", \"Title\" FROM varozidi%1 ORDER BY %2")
            .arg(where, shape.rowidSql),
        c.params, doing,
        [&](const ado::PgResult& r) {
            for (int i = 0; i < r.rows(); ++i)
                row({r.int64(i, 0), text(r, i, 1), text(r, i, 2), nullptr});
            return true;
        },
        outlined);
}

search::Outcome ServerCollection::find(const QString& text, int limit,
                                       const std::function<bool()>& stopped) {
    return search::FindOnServer(*server_, text, limit, stopped);
}

CheckReport ServerCollection::check() {
    // The server keeps its own data sound; a table it can read whole is what counts here.
    server_->exec(QStringLiteral("SELECT count(\"Body\") FROM varozidi"), {},
                  QStringLiteral("check the database"));
    return {QStringLiteral("ok"), search::CheckServerIndex(*server_), false};
}

bool ServerCollection::findEach(const QString& text,
                                const std::function<void(const search::Hit&)>& hit) {
    search::FindEachOnServer(*server_, text, hit);
    return false;
}

void ServerCollection::backupTo(const QString& file) {
    transfer::BackupServer(*server_, file);
}

qint64 ServerCollection::exportTo(transfer::ExportFormat format, const QString& path,
                                  const std::function<void(qint64, qint64)>&, bool withHistory) {
    const transfer::Source read = transfer::ReadServerExport(*server_, withHistory);
    if (withHistory)
        transfer::ExportSnippets(read.snippets, read.removed, format, path);
    else
        transfer::ExportSnippets(read.snippets, format, path);
    return read.snippets.size();
}

void ServerCollection::importFrom(
    const QString& source, bool dryRun, const ImportHooks&,
    const std::function<void(const transfer::ImportedSnippets&)>& listed) {
    // A server is filled from the local collection file too, when it moves there. All of it
    // is read and checked before the server is touched.
    const transfer::Source read = isCollectionFile(source)
                                      ? transfer::Source{transfer::ReadCollectionFile(source),
                                                         QStringLiteral("a Varozidi collection")}
                                      : transfer::ReadSnippetsFrom(source);
    const QList<qint64> ids =
        transfer::AddSnippetsToServer(*server_, read.snippets, dryRun, read.removed);
    AddedList added(ids, read.snippets);
    added.kind = read.kind;
    for (const transfer::Snippet& s : read.snippets)
        added.versions += s.versions.size();
    for (const transfer::Snippet& s : read.removed)
        added.versions += s.versions.size();
    added.removed = read.removed.size();
    listed(added);
}

QList<history::KeptVersion> ServerCollection::versions(qint64 id) {
    return ServerVersions(*server_, id);
}

std::optional<QByteArray> ServerCollection::versionBody(qint64 id, qint64 version) {
    return ServerVersionBody(*server_, id, version);
}

QList<history::KeptVersion> ServerCollection::removed() {
    return ServerRemoved(*server_);
}

qint64 ServerCollection::undelete(qint64 id) {
    return ServerUndelete(*server_, id);
}

qint64 ServerCollection::compactHistory() {
    if (compactor_)
        compactor_->stop();
    qint64 packed = 0;
    if (HoldsPackedOnServer(*server_))
        while (CompactServerBatch(*server_, &packed)) {
        }
    return packed;
}

bool ServerCollection::compactingHistory() const {
    return compactor_ && compactor_->running();
}

ChangeFeed* ServerCollection::changes() {
    if (!feed_)
        feed_ = std::make_unique<NotifyFeed>(server_->uri(), *server_);
    return feed_.get();
}

void RestoreInto(const CollectionAddress& address, const QString& path) {
    ado::PgBackend server(address.source());
    transfer::RestoreServer(server, path);
}

} // namespace varozidi::postgresql
