// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/collection/StoredBody.h"

#include "data/core/Errors.h"
#include "data/engines/postgresql/PgBackend.h"

#include <QFile>
#include <QObject>
#include <QScopeGuard>
#include <libpq-fe.h>
#include <sqlite3.h>

namespace varozidi {

namespace {

// Another program's write holds the file for a moment at most; a copy may wait that long.
constexpr int kBusyTimeoutMs = 2000;

QString cannotRead(const QString& why) {
    return QObject::tr("Cannot read the snippet: %1").arg(why);
}

std::optional<StoredBody> readFromFile(const QString& path, qint64 id) {
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    // Closed on every way out, the open's own failure included.
    const auto closeDb = qScopeGuard([db] { sqlite3_close_v2(db); });
    if (rc != SQLITE_OK)
        throw Error(cannotRead(QString::fromUtf8(sqlite3_errstr(rc))));
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT Language, Title, Body FROM varozidi WHERE ID = ?", -1,
                           &statement, nullptr) != SQLITE_OK)
        throw Error(cannotRead(QString::fromUtf8(sqlite3_errmsg(db))));
    const auto finish = qScopeGuard([statement] { sqlite3_finalize(statement); });
    sqlite3_bind_int64(statement, 1, id);
    const int step = sqlite3_step(statement);
    if (step == SQLITE_DONE)
        return std::nullopt;
    if (step != SQLITE_ROW)
        throw Error(cannotRead(QString::fromUtf8(sqlite3_errmsg(db))));
    const auto column = [statement](int i) {
        // Blob access keeps the bytes as they are, whatever the column's type.
        const auto* data = static_cast<const char*>(sqlite3_column_blob(statement, i));
        return QByteArray(data, sqlite3_column_bytes(statement, i));
    };
    return StoredBody{QString::fromUtf8(column(0)), QString::fromUtf8(column(1)), column(2)};
}

std::optional<StoredBody> readFromServer(const QString& uri, qint64 id) {
    ado::PgBackend server(uri);
    const auto result = server.exec(
        QStringLiteral("SELECT \"Language\", \"Title\", \"Body\" FROM varozidi WHERE \"ID\" = $1"),
        {id}, QObject::tr("read the snippet"));
    if (result->rows() == 0)
        return std::nullopt;
    pg_result* raw = result->get();
    const auto column = [raw](int i) {
        return QByteArray(PQgetvalue(raw, 0, i), PQgetlength(raw, 0, i));
    };
    return StoredBody{QString::fromUtf8(column(0)), QString::fromUtf8(column(1)), column(2)};
}

} // namespace

std::optional<StoredBody> ReadStoredBody(const QString& database, qint64 id) {
    return ado::IsServerUri(database) ? readFromServer(database, id) : readFromFile(database, id);
}

} // namespace varozidi
