#pragma once

// The SQLite file as a connection's engine.

#include "platform/AdoBackend.h"

struct sqlite3;

namespace varozidi::ado {

class SqliteBackend : public Backend {
public:
    // db stays owned by the connection.
    SqliteBackend(sqlite3* db, const QString& path) : db_(db), path_(path) {}

    QString location() const override { return path_; }
    TableShape describe(const QString& table) override;
    std::unique_ptr<Rows> query(const QString& sql, const std::vector<QVariant>& params,
                                const QString& doing) override;
    qint64 change(const QString& sql, const std::vector<QVariant>& params,
                  const QString& doing) override;
    qint64 insert(const QString& sql, const std::vector<QVariant>& params, const QString& rowidSql,
                  const QString& doing) override;
    // One program and its companion share the file under its lock: no versions kept.
    QString version(const QString&, const QString&, qint64, const QString&) override { return {}; }
    // True for UTF-8 files; UTF-16 ones compare text in another order.
    bool textInCodePointOrder() override;

private:
    sqlite3* db_;
    QString path_;
};

} // namespace varozidi::ado
