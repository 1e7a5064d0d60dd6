#include "platform/DatabaseFile.h"

#include "platform/AdoStatement.h"

#include <QFile>
#include <QFileInfo>
#include <memory>
#include <sqlite3.h>

void SettleDatabaseFile(const QString& path) {
    // Without a journal beside it the file is whole as it is; nothing is opened then. SQLite
    // keeps the journal beside the file a link points to.
    const QString real = QFileInfo(path).canonicalFilePath();
    if (real.isEmpty() || !QFileInfo::exists(real + QStringLiteral("-journal")))
        return;
    const QString doing = QStringLiteral("finish the database's interrupted write");
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(db, sqlite3_close_v2);
    if (rc != SQLITE_OK)
        varozidi::ado::throwSqliteError(db, rc, path, doing);
    sqlite3_busy_timeout(db, 3000);
    // The first read of a connection is what rolls a hot journal back.
    varozidi::ado::Statement read(db, path, QStringLiteral("SELECT count(*) FROM sqlite_master"),
                                  doing);
    read.step();
}
