// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The snippets kept on a PostgreSQL server (15 or later), reached through libpq. Every value
// is sent as a parameter, never pasted into the SQL. A connection that was lost is made
// again at the next statement, so one failed action does not spoil the next.

#include "data/store/AdoBackend.h"

#include <QStringList>
#include <functional>

struct pg_conn;
struct pg_result;

namespace varozidi::ado {

// True for a libpq connection URI: "postgresql://..." or "postgres://...".
bool IsServerUri(const QString& text);
// The server as messages name it: "user@host:port/database", never with the password.
// Throws varozidi::Error for a URI libpq cannot read.
QString ServerName(const QString& uri);
// message with the password of uri (as written, or percent-encoded either way) put as "***",
// for any message that may quote what was typed.
QString HidePassword(QString message, const QString& uri);

// One result, freed with it.
class PgResult {
public:
    explicit PgResult(pg_result* result) : result_(result) {}
    ~PgResult();
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;
    int rows() const;
    bool isNull(int row, int column) const;
    QString text(int row, int column) const;
    qint64 int64(int row, int column) const;
    QVariant value(int row, int column) const;
    // The value as the server sent it: text as its UTF-8 bytes.
    QByteArray bytes(int row, int column) const;
    pg_result* get() const { return result_; }

private:
    pg_result* result_;
};

class PgBackend : public Backend {
public:
    // Connects at once; throws varozidi::Error naming the server and libpq's reason.
    explicit PgBackend(const QString& uri);
    ~PgBackend() override;

    QString location() const override { return name_; }
    QString uri() const { return uri_; }
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
    QString version(const QString& table, const QString& rowidSql, qint64 rowid,
                    const QString& doing) override;
    QString versionSql(const QString&) override { return QStringLiteral("xmin::text"); }

    // Runs sql ("?" or "$n" for the values) and returns its result; throws varozidi::Error
    // saying "Cannot <doing> on the database server ...".
    std::unique_ptr<PgResult> exec(const QString& sql, const std::vector<QVariant>& params,
                                   const QString& doing);
    // Runs a query through a cursor, in one transaction that sees one state of the collection,
    // and hands its rows on a batch (a result) at a time, until batch returns false: no more
    // than a batch is held at once. before runs first within the same transaction.
    void fetchEach(const QString& sql, const std::vector<QVariant>& params, const QString& doing,
                   const std::function<bool(const PgResult&)>& batch,
                   const std::function<void()>& before = {});
    // The server process serving this connection (0 while there is none), which names the
    // sender of a notification.
    int backendPid() const;

    // Runs several statements with no values, as one text.
    void script(const QString& sql, const QString& doing);

private:
    void ensureConnected(const QString& doing);
    [[noreturn]] void fail(const QString& doing, const QString& reason) const;

    QString uri_;
    QString name_;
    pg_conn* conn_ = nullptr;
};

} // namespace varozidi::ado
