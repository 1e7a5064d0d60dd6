// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/collection/Collection.h"

#include "data/core/Errors.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/postgresql/ServerCollection.h"
#include "data/engines/postgresql/ServerSetup.h"
#include "data/engines/postgresql/ServerTransfer.h"
#include "data/engines/sqlite/DatabaseFile.h"
#include "data/engines/sqlite/SqliteCollection.h"
#include "data/engines/sqlite/SqliteHistory.h"
#include "data/files/Files.h"
#include "data/setup/Setup.h"
#include "data/store/AdoBackend.h"
#include "data/store/AdoConnectionString.h"

#include <QFileInfo>
#include <csignal>

namespace varozidi {

namespace {

constexpr char kProvider[] = "Microsoft.Jet.OLEDB.4.0";
constexpr char kServerProvider[] = "PostgreSQL";

} // namespace

CollectionAddress CollectionAddress::Of(const QString& connectionString) {
    CollectionAddress address;
    const QString trimmed = connectionString.trimmed();
    if (ado::IsServerUri(trimmed)) {
        address.source_ = trimmed;
        address.server_ = true;
        return address;
    }
    const auto pairs = ado::parseConnectionString(connectionString);
    const auto value = [&pairs](const char* key) {
        const auto it = pairs.find(QLatin1String(key));
        return it == pairs.end() ? QString() : it->second;
    };
    const QString provider = value("provider");
    const QString source = value("data source");
    if (provider.compare(QLatin1String(kServerProvider), Qt::CaseInsensitive) == 0) {
        if (!ado::IsServerUri(source))
            throw Error(QStringLiteral("\"%1\" is not the address of a database server; such an "
                                       "address begins with \"postgresql://\".")
                            .arg(HidePassword(source, source)));
        address.source_ = source;
        address.server_ = true;
        return address;
    }
    if (provider.isEmpty())
        throw Error(QStringLiteral("The connection string names no Provider; use %1.")
                        .arg(QLatin1String(kProvider)));
    if (provider.compare(QLatin1String(kProvider), Qt::CaseInsensitive) != 0)
        throw Error(QStringLiteral("Provider cannot be found. It may not be properly installed: "
                                   "\"%1\" is unknown; only %2 and %3 are available.")
                        .arg(provider, QLatin1String(kProvider), QLatin1String(kServerProvider)));
    if (source.isEmpty())
        throw Error(QStringLiteral("The connection string names no Data Source (database file)."));
    address.source_ = source;
    return address;
}

QString CollectionAddress::connectionString() const {
    return server_ ? ado::serverConnectionString(source_) : ado::jetConnectionString(source_);
}

QString CollectionAddress::name() const {
    if (!server_)
        return source_;
    try {
        return ado::ServerName(source_);
    } catch (const std::exception&) {
        return HidePassword(source_, source_);
    }
}

QString CollectionAddress::identity() const {
    if (server_)
        return QStringLiteral("server:") + name();
    const QFileInfo file(ResolveFileName(source_));
    return QStringLiteral("file:") +
           (file.exists() ? file.canonicalFilePath() : file.absoluteFilePath());
}

QString HidePassword(QString message, const QString& address) {
    return ado::HidePassword(std::move(message), address);
}

Collection::~Collection() = default;

ado::WriteAside Collection::stopWrite(int) {
    return ado::WriteAside::None;
}

std::unique_ptr<Collection> Collection::Open(const CollectionAddress& address,
                                             const CollectionHooks& hooks, Access access,
                                             Upkeep upkeep) {
    if (address.empty())
        throw Error(QStringLiteral("No collection is named."));
    if (address.shared())
        return std::make_unique<postgresql::ServerCollection>(address, access);
    // A write past the file-size limit must come back as an error to report, not end the
    // program with SIGXFSZ and take unsaved text with it.
    static const bool ignoringSizeSignal = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    Q_UNUSED(ignoringSizeSignal);
    return std::make_unique<sqlite::SqliteCollection>(address, hooks, access, upkeep);
}

namespace whole {

namespace {

QString liveFile(const CollectionAddress& address) {
    return ResolveFileName(address.source());
}

class FileHold : public CollectionHold {
public:
    explicit FileHold(std::unique_ptr<DatabaseHold> hold) : hold_(std::move(hold)) {}

private:
    std::unique_ptr<DatabaseHold> hold_;
};

} // namespace

std::unique_ptr<CollectionHold> Hold(const CollectionAddress& address, CollectionHold::Keep keep,
                                     bool& busy) {
    busy = false;
    if (address.shared())
        return nullptr;
    auto hold =
        DatabaseHold::Take(liveFile(address),
                           keep == CollectionHold::Keep::Everyone ? DatabaseHold::Keep::Everyone
                                                                  : DatabaseHold::Keep::Writers,
                           busy);
    return hold ? std::make_unique<FileHold>(std::move(hold)) : nullptr;
}

void Backup(const CollectionAddress& address, const QString& file, bool held) {
    if (address.shared()) {
        ado::PgBackend server(address.source());
        transfer::BackupServer(server, file);
        return;
    }
    const QString live = liveFile(address);
    if (held) {
        // The caller's hold keeps writers off.
        sqlite::BackupDatabase(nullptr, live, file);
        return;
    }
    // Nothing to hold (a damaged file takes no lock): copied as it is, after any half-done
    // write is rolled back.
    SettleDatabaseFile(live);
    sqlite::BackupDatabase(nullptr, live, file);
}

void Restore(const CollectionAddress& address, const QString& file, bool held) {
    if (address.shared()) {
        postgresql::RestoreInto(address, file);
        return;
    }
    const QString live = liveFile(address);
    // Written into the file, so that another program that has it open goes on with it: the
    // backup with the history kept meanwhile and what the restore replaces.
    if (held) {
        const sqlite::Handle merged =
            sqlite::MergedForRestore(live, file, history::RetentionBeside(live));
        if (RestoreDatabaseInto(live, merged.get()))
            return;
    }
    // A file SQLite cannot write into (damaged, read-only) is replaced whole, by the backup as
    // it is. An old journal left beside it would otherwise be played into the restored one.
    SettleDatabaseFile(live);
    CopyFileSafely(file, live);
}

bool Prepare(const CollectionAddress& address) {
    if (address.shared())
        return setup::PrepareServer(address.source());
    const QString file = liveFile(address);
    if (QFileInfo::exists(file))
        return true;
    setup::CreateEmptyDatabase(file);
    return false;
}

void VerifyBackup(const QString& file, const QString& table) {
    VerifyDatabaseFile(file, table);
}

} // namespace whole

} // namespace varozidi
