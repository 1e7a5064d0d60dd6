// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/SearchIndex.h"
#include "platform/SearchIndexInternal.h"

#include "platform/AdoSchema.h"
#include "platform/AdoStatement.h"
#include "platform/Errors.h"

#include <QElapsedTimer>
#include <algorithm>
#include <sqlite3.h>

namespace varozidi::search {

using ado::Statement;
using namespace internal;

namespace internal {

QString searching() {
    return QStringLiteral("search the database");
}

Fields fieldsOf(sqlite3* db, const QString& path) {
    const ado::TableShape shape = ado::describeTable(db, path, kTable);
    const auto named = [&shape](const char* name) {
        for (const ado::Column& c : shape.columns)
            if (c.name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                return ado::quoteIdentifier(c.name);
        return QString();
    };
    if (named("Language").isEmpty() || named("Title").isEmpty() || named("Body").isEmpty())
        throw Error(QStringLiteral("The table '%1' of \"%2\" lacks the fields Language, Title "
                                   "and Body.")
                        .arg(kTable, path));
    const QString id = named("ID");
    return {shape.rowidSql, id.isEmpty() ? shape.rowidSql : id};
}

int presentObjects(sqlite3* db, const QString& path) {
    Statement s(
        db, path,
        QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name IN (?, ?, ?, ?, ?, ?)"),
        searching());
    s.bind({kTitleIndex, kTextIndex, kTriggers[0], kTriggers[1], kTriggers[2], kNulIndex});
    s.step();
    return int(s.int64(0));
}

} // namespace internal

namespace {

constexpr qint64 kSlowMs = 400;

QString keeping() {
    return QStringLiteral("keep the search index of the database");
}

// Rows the statements on db have read by whole-table scans so far. Filling an index reads
// the snippet table once through a statement of its own, so this tells how far it has come.
qint64 rowsScanned(sqlite3* db) {
    qint64 rows = 0;
    for (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr); s; s = sqlite3_next_stmt(db, s))
        rows += sqlite3_stmt_status(s, SQLITE_STMTSTATUS_FULLSCAN_STEP, 0);
    return rows;
}

// Tells slow once the work has run for more than a moment, and again when it is over; in
// between, how far it has come when that is known, reading rows scans of the table.
class SlowWatch {
public:
    SlowWatch(sqlite3* db, const SlowWork& slow, const Progress& progress = {}, qint64 rows = 0)
        : db_(db), slow_(slow), progress_(progress), rows_(rows) {
        timer_.start();
        scannedBefore_ = rowsScanned(db_);
        // Filling an index is mostly the tokenizer's own work, between few instructions of
        // the scan: to tell how far it has come the handler must look in often.
        if (slow_)
            sqlite3_progress_handler(db_, progress_ ? 1000 : 100000, &SlowWatch::tick, this);
    }
    ~SlowWatch() {
        sqlite3_progress_handler(db_, 0, nullptr, nullptr);
        if (told_)
            slow_(false);
    }
    SlowWatch(const SlowWatch&) = delete;
    SlowWatch& operator=(const SlowWatch&) = delete;

private:
    static int tick(void* self) {
        auto* watch = static_cast<SlowWatch*>(self);
        if (!watch->told_ && watch->timer_.elapsed() > kSlowMs) {
            watch->told_ = true;
            watch->slow_(true);
        }
        if (watch->told_ && watch->progress_ && watch->rows_ > 0) {
            // The titles' index comes first and is quick; the bodies' takes the time.
            const qint64 read = rowsScanned(watch->db_) - watch->scannedBefore_;
            const qint64 each = std::max<qint64>(1, watch->rows_ / 2);
            const qint64 done = read <= each ? 10 * read / each : 10 + 90 * (read - each) / each;
            const int percent = int(std::clamp<qint64>(done, 0, 99));
            if (percent != watch->percent_) {
                watch->percent_ = percent;
                watch->progress_(percent);
            }
        }
        return 0;
    }
    sqlite3* db_;
    const SlowWork& slow_;
    const Progress& progress_;
    qint64 rows_;
    qint64 scannedBefore_ = 0;
    int percent_ = -1;
    QElapsedTimer timer_;
    bool told_ = false;
};

qint64 rowsOf(sqlite3* db, const QString& path) {
    Statement s(db, path, QStringLiteral("SELECT count(*) FROM ") + kTable, keeping());
    s.step();
    return s.int64(0);
}

void build(sqlite3* db, const QString& path, const SlowWork& slow, const Progress& progress) {
    const Fields fields = fieldsOf(db, path);
    // The index names the rowid in its own definition, where only a plain name will do.
    if (fields.rowid.startsWith(u'"'))
        throw Error(QStringLiteral("The table '%1' of \"%2\" hides the rowid; it is searched "
                                   "without an index.")
                        .arg(kTable, path));
    const QString r = fields.rowid;
    const QString options = QStringLiteral("content='%1', content_rowid='%2', "
                                           "tokenize='trigram', detail='none', columnsize=0")
                                .arg(kTable, r);
    const auto exec = [&](const QString& sql) { Statement::exec(db, path, sql, keeping()); };
    // Both indexes read every row once.
    const SlowWatch watch(db, slow, progress, progress ? 2 * rowsOf(db, path) : 0);
    exec(QStringLiteral("BEGIN IMMEDIATE"));
    try {
        for (const QString& trigger : kTriggers)
            exec(QStringLiteral("DROP TRIGGER IF EXISTS ") + trigger);
        for (const QString& index : {kTitleIndex, kTextIndex})
            exec(QStringLiteral("DROP TABLE IF EXISTS ") + index);
        exec(QStringLiteral("DROP INDEX IF EXISTS ") + kNulIndex);
        exec(QStringLiteral("CREATE INDEX %1 ON %2 (Language) WHERE %3")
                 .arg(kNulIndex, kTable, kNulRows));
        exec(QStringLiteral("CREATE VIRTUAL TABLE %1 USING fts5(Title, %2)")
                 .arg(kTitleIndex, options));
        exec(QStringLiteral("CREATE VIRTUAL TABLE %1 USING fts5(Language, Body, %2)")
                 .arg(kTextIndex, options));
        const QString add =
            QStringLiteral("INSERT INTO %1 (rowid, Title) VALUES (new.%3, new.Title); "
                           "INSERT INTO %2 (rowid, Language, Body) "
                           "VALUES (new.%3, new.Language, new.Body);")
                .arg(kTitleIndex, kTextIndex, r);
        const QString remove =
            QStringLiteral("INSERT INTO %1 (%1, rowid, Title) VALUES ('delete', old.%3, "
                           "old.Title); INSERT INTO %2 (%2, rowid, Language, Body) "
                           "VALUES ('delete', old.%3, old.Language, old.Body);")
                .arg(kTitleIndex, kTextIndex, r);
        exec(QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 BEGIN %3 END")
                 .arg(kTriggers[0], kTable, add));
        exec(QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON %2 BEGIN %3 END")
                 .arg(kTriggers[1], kTable, remove));
        exec(QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON %2 BEGIN %3 %4 END")
                 .arg(kTriggers[2], kTable, remove, add));
        for (const QString& index : {kTitleIndex, kTextIndex})
            exec(QStringLiteral("INSERT INTO %1 (%1) VALUES ('rebuild')").arg(index));
        exec(QStringLiteral("COMMIT"));
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

} // namespace

bool EnsureIndex(sqlite3* db, const QString& path, const SlowWork& slow, const Progress& progress) {
    const int present = presentObjects(db, path);
    if (present == kObjects)
        return false;
    // An index made before rows with a NUL were read apart lacks only their list.
    const bool nulListed = [&] {
        Statement nul(db, path, QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = ?"),
                      searching());
        nul.bind(1, kNulIndex);
        nul.step();
        return nul.int64(0) > 0;
    }();
    if (present == kObjects - 1 && !nulListed) {
        const SlowWatch watch(db, slow);
        Statement::exec(db, path,
                        QStringLiteral("CREATE INDEX %1 ON %2 (Language) WHERE %3")
                            .arg(kNulIndex, kTable, kNulRows),
                        keeping());
        return true;
    }
    build(db, path, slow, progress);
    return true;
}

void RebuildIndex(sqlite3* db, const QString& path, const SlowWork& slow,
                  const Progress& progress) {
    build(db, path, slow, progress);
}

QString CheckIndex(sqlite3* db, const QString& path) {
    if (presentObjects(db, path) != kObjects)
        return QStringLiteral("missing");
    try {
        for (const QString& index : {kTitleIndex, kTextIndex})
            Statement::exec(
                db, path,
                QStringLiteral("INSERT INTO %1 (%1, rank) VALUES ('integrity-check', 1)")
                    .arg(index),
                QStringLiteral("check the search index of the database"));
    } catch (const Error& e) {
        return e.message();
    }
    return QStringLiteral("ok");
}

} // namespace varozidi::search
