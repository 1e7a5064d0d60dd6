// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/store/ADODB.h"

#include "data/core/Errors.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteBackend.h"
#include "data/search/SearchIndex.h"
#include "data/store/AdoConnectionString.h"
#include "data/store/LanguageIndex.h"
#include "data/transfer/Migration.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <csignal>
#include <sqlite3.h>

using varozidi::Error;
using varozidi::ado::Statement;

namespace {

constexpr char kProvider[] = "Microsoft.Jet.OLEDB.4.0";
constexpr char kServerProvider[] = "PostgreSQL";

// Unicode-aware and case-blind, where SQLite's own NOCASE only folds ASCII.
int compareNoCase(void*, int size1, const void* text1, int size2, const void* text2) {
    const QStringView a(static_cast<const char16_t*>(text1), size1 / 2);
    const QStringView b(static_cast<const char16_t*>(text2), size2 / 2);
    return a.compare(b, Qt::CaseInsensitive);
}

} // namespace

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
    return backend_ ? backend_->location() : databasePath_;
}

void TADOConnection::Open() {
    if (backend_)
        return;
    // A server: no file, no lock file; the server keeps its own search support.
    if (varozidi::ado::IsServerUri(connectionString_.trimmed())) {
        openServer(connectionString_.trimmed());
        return;
    }
    // A write past the file-size limit must come back as an error to report, not end the
    // program with SIGXFSZ and take unsaved text with it.
    static const bool ignoringSizeSignal = std::signal(SIGXFSZ, SIG_IGN) != SIG_ERR;
    Q_UNUSED(ignoringSizeSignal);
    const auto pairs = varozidi::ado::parseConnectionString(connectionString_);
    const auto value = [&pairs](const char* key) {
        const auto it = pairs.find(QLatin1String(key));
        return it == pairs.end() ? QString() : it->second;
    };
    const QString provider = value("provider");
    if (provider.compare(QLatin1String(kServerProvider), Qt::CaseInsensitive) == 0) {
        if (!varozidi::ado::IsServerUri(value("data source")))
            throw Error(
                QStringLiteral("\"%1\" is not the address of a database server; such an "
                               "address begins with \"postgresql://\".")
                    .arg(varozidi::ado::HidePassword(value("data source"), value("data source"))));
        openServer(value("data source"));
        return;
    }
    if (provider.isEmpty())
        throw Error(QStringLiteral("The connection string names no Provider; use %1.")
                        .arg(QLatin1String(kProvider)));
    if (provider.compare(QLatin1String(kProvider), Qt::CaseInsensitive) != 0)
        throw Error(QStringLiteral("Provider cannot be found. It may not be properly installed: "
                                   "\"%1\" is unknown; only %2 and %3 are available.")
                        .arg(provider, QLatin1String(kProvider), QLatin1String(kServerProvider)));
    const QString source = value("data source");
    if (source.isEmpty())
        throw Error(QStringLiteral("The connection string names no Data Source (database file)."));

    const QFileInfo info(ResolveFileName(source));
    if (!info.exists())
        throw Error(QStringLiteral("Could not find file '%1'.").arg(source));
    if (!info.isFile())
        throw Error(QStringLiteral("'%1' is not a database file.").arg(source));
    const QString path = info.absoluteFilePath();
    // A collection copied over from the old program is still a Jet database: it becomes one of
    // ours first, the original kept beside it.
    if (const auto converted = varozidi::transfer::ConvertJetCollection(path, OnConverting))
        if (OnConverted)
            OnConverted(*converted);

    sqlite3* db = nullptr;
    // Never create: a missing file is an error, reported above.
    int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    try {
        if (rc != SQLITE_OK)
            varozidi::ado::throwSqliteError(db, rc, path, QStringLiteral("open the database"));
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, TADOConnection::kBusyTimeoutMs);
        // A commit is on the disk before it is reported done, whatever the library's build
        // chose (see docs/reliability.md).
        sqlite3_exec(db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
        rc = sqlite3_create_collation_v2(db, varozidi::ado::kCollation, SQLITE_UTF16_ALIGNED,
                                         nullptr, compareNoCase, nullptr);
        if (rc != SQLITE_OK)
            varozidi::ado::throwSqliteError(db, rc, path, QStringLiteral("open the database"));
        // SQLite reads the file lazily; make it show now whether this is a database at all.
        Statement check(db, path, QStringLiteral("SELECT count(*) FROM sqlite_master"),
                        QStringLiteral("open the database"));
        check.step();
    } catch (...) {
        sqlite3_close_v2(db);
        throw;
    }
    db_ = db;
    databasePath_ = path;
    auto backend = std::make_unique<varozidi::ado::SqliteBackend>(db_, path);
    backend->setSlowWrite(&OnSlowWrite);
    backend->setWriteWaiting(&OnWriteWaiting);
    backend_ = std::move(backend);
    lock_ = std::make_unique<LockFile>(path);
    // Whoever opens the snippets first gives them their search index. Lacking it is no reason
    // to refuse the collection (a read-only file, an odd table): search then reads every row.
    try {
        varozidi::search::EnsureIndex(db_, path, OnSlowOpen, OnSlowProgress);
    } catch (const std::exception&) {
    }
    try {
        varozidi::language::EnsureIndex(db_, path);
    } catch (const std::exception&) {
    }
}

varozidi::ado::WriteAside TADOConnection::StopWrite(int waitMs) {
    auto* file = dynamic_cast<varozidi::ado::SqliteBackend*>(backend_.get());
    return file ? file->stopWrite(waitMs) : varozidi::ado::WriteAside::None;
}

void TADOConnection::openServer(const QString& uri) {
    auto server = std::make_unique<varozidi::ado::PgBackend>(uri);
    // As on the file: whoever may, gives the table what lets windows list languages and
    // follow changes; one who may not still works, reading every row and learning of changes
    // at the next click.
    try {
        varozidi::language::EnsureServerSupport(*server, server->location());
    } catch (const std::exception&) {
    }
    backend_ = std::move(server);
}

void TADOConnection::VerifyDatabaseFile(const QString& path, const QString& tableName) {
    const QString doing = QStringLiteral("use the file");
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close_v2);
    if (rc != SQLITE_OK)
        varozidi::ado::throwSqliteError(db, rc, path, doing);
    varozidi::ado::ClearReadFailure();
    Statement check(db, path, QStringLiteral("PRAGMA quick_check"), doing);
    const QString verdict = check.step() ? check.value(0).toString() : QString();
    // A page the disk would not give is no damage of the file.
    if (varozidi::ado::ReadFailure() != 0)
        varozidi::ado::throwSqliteError(db, SQLITE_IOERR_READ, path, doing);
    if (verdict != u"ok")
        throw Error(QStringLiteral("The database \"%1\" is damaged (%2).").arg(path, verdict));
    Statement table(db, path,
                    QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                                   "name = ? COLLATE NOCASE"),
                    doing);
    table.bind(1, tableName);
    if (!table.step() || table.int64(0) == 0)
        throw Error(QStringLiteral("\"%1\" holds no table '%2' of snippets.").arg(path, tableName));
}

void TADOConnection::Close() {
    const auto tables = tables_;
    for (TADOTable* table : tables)
        table->connectionClosing();
    backend_.reset();
    if (db_) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    if (lock_) {
        const QString left = lock_->release();
        lock_.reset();
        if (!left.isEmpty() && OnLockFileLeft)
            OnLockFileLeft(left);
    }
}

void TADOConnection::attach(TADOTable* table) {
    if (std::find(tables_.begin(), tables_.end(), table) == tables_.end())
        tables_.push_back(table);
}

void TADOConnection::detach(TADOTable* table) {
    std::erase(tables_, table);
}
