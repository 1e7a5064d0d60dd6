// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The SQLite file as a connection's engine.

#include "data/store/AdoBackend.h"

#include <functional>
#include <map>

struct sqlite3;

namespace varozidi::ado {

class Statement;

class SqliteBackend : public Backend {
public:
    // db stays owned by the connection.
    SqliteBackend(sqlite3* db, const QString& path);

    QString location() const override { return path_; }
    TableShape describe(const QString& table) override;
    std::unique_ptr<Rows> query(const QString& sql, const std::vector<QVariant>& params,
                                const QString& doing) override;
    qint64 change(const QString& sql, const std::vector<QVariant>& params,
                  const QString& doing) override;
    qint64 changeReturning(const QString& sql, const QString& returning,
                           const std::vector<QVariant>& params, QString& returned,
                           const QString& doing) override;
    qint64 insert(const QString& sql, const std::vector<QVariant>& params, const QString& rowidSql,
                  const QString& doing) override;
    // SQLite keeps no row versions: a digest of the row's fields stands in, so that a save
    // notices what another program wrote since the row was read.
    QString version(const QString& table, const QString& rowidSql, qint64 rowid,
                    const QString& doing) override;
    QString versionSql(const QString& table) override;
    // Told true, again and again while it lasts, when a write takes more than a moment, and
    // false once it is over; the write runs aside meanwhile so that the caller's thread may
    // paint. The function stays owned by the caller.
    void setSlowWrite(const std::function<void(bool)>* slow) { slowWrite_ = slow; }
    // Told every few milliseconds while a write runs aside, slow or not yet; it may end the
    // program (see stopWrite), and must not use the connection otherwise.
    void setWriteWaiting(const std::function<void()>* waiting) { waiting_ = waiting; }
    // A write runs aside now: the caller's thread, painting meanwhile, must leave the
    // connection alone (a change of its busy timeout would cut the write's wait short).
    bool writing() const { return aside_ != nullptr; }
    // From within the wait for a write aside: stops it, as far as it has not landed yet, and
    // returns once it is over, or once waitMs have passed.
    WriteAside stopWrite(int waitMs);
    // True for UTF-8 files; UTF-16 ones compare text in another order.
    bool textInCodePointOrder() override;

private:
    sqlite3* db_;
    QString path_;
    void step(Statement& statement);
    void aside(const std::function<void()>& work);

    struct Aside;
    const std::function<void(bool)>* slowWrite_ = nullptr;
    const std::function<void()>* waiting_ = nullptr;
    Aside* aside_ = nullptr;
    bool digests_ = false;
    std::map<QString, QString> versionSql_; // by table
};

} // namespace varozidi::ado
