#include "platform/SqliteBackend.h"

#include "platform/AdoStatement.h"

#include <sqlite3.h>

namespace varozidi::ado {

namespace {

class SqliteRows : public Rows {
public:
    SqliteRows(sqlite3* db, const QString& path, const QString& sql, const QString& doing)
        : statement_(db, path, sql, doing) {}
    Statement& statement() { return statement_; }
    bool step() override { return statement_.step(); }
    qint64 int64(int column) const override { return statement_.int64(column); }
    QVariant cell(int column) const override { return statement_.cell(column); }

private:
    Statement statement_;
};

} // namespace

TableShape SqliteBackend::describe(const QString& table) {
    return describeTable(db_, path_, table);
}

bool SqliteBackend::textInCodePointOrder() {
    Statement encoding(db_, path_, QStringLiteral("PRAGMA encoding"),
                       QStringLiteral("read the database's text encoding"));
    return encoding.step() && encoding.value(0).toString() == u"UTF-8";
}

std::unique_ptr<Rows> SqliteBackend::query(const QString& sql, const std::vector<QVariant>& params,
                                           const QString& doing) {
    auto rows = std::make_unique<SqliteRows>(db_, path_, sql, doing);
    rows->statement().bind(params);
    return rows;
}

qint64 SqliteBackend::change(const QString& sql, const std::vector<QVariant>& params,
                             const QString& doing) {
    Statement s(db_, path_, sql, doing);
    s.bind(params);
    s.step();
    return sqlite3_changes(db_);
}

qint64 SqliteBackend::insert(const QString& sql, const std::vector<QVariant>& params,
                             const QString&, const QString& doing) {
    Statement s(db_, path_, sql, doing);
    s.bind(params);
    s.step();
    return sqlite3_last_insert_rowid(db_);
}

} // namespace varozidi::ado
