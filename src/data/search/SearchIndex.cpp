// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/search/SearchIndex.h"
#include "data/search/SearchIndexInternal.h"

#include "data/core/Errors.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/store/AdoSchema.h"

#include <QElapsedTimer>
#include <algorithm>
#include <functional>
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

QString pieced(const QString& row, const QString& rowid, bool utf8) {
    if (!utf8)
        return QStringLiteral("0");
    const QString size = QStringLiteral("length(CAST(%1Body AS BLOB))").arg(row);
    return QStringLiteral("(%1 > %2 AND %1 <= %3 AND %4%5 BETWEEN %6 AND %7)")
        .arg(size)
        .arg(kPieceFrom)
        .arg(kPieceSlots * kPieceBytes)
        .arg(row, rowid)
        .arg(-kPieceRowidLimit)
        .arg(kPieceRowidLimit - 1);
}

QString layout() {
    return QStringLiteral("/* pieces of %1 bytes and %2 more, of bodies over %3; kept when "
                          "unchanged */")
        .arg(kPieceBytes)
        .arg(kPieceOverlap)
        .arg(kPieceFrom);
}

int presentObjects(sqlite3* db, const QString& path) {
    // The main index of an older layout held long bodies whole, and pieces were not kept.
    Statement s(db, path,
                QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name IN (?, ?, ?, ?, ?, "
                               "?, ?, ?, ?) AND (name <> ? OR instr(sql, ?) > 0) AND "
                               "(name <> ? OR instr(sql, ?) > 0)"),
                searching());
    s.bind({kTitleIndex, kTextIndex, kTriggers[0], kTriggers[1], kTriggers[2], kNulIndex,
            kPieceIndex, kWholeView, kCounting, kTextIndex, kWholeView, kWholeView, layout()});
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

// What filling the index has before it: the rows, each read once by each of its three
// parts, and the percent at which the bodies' index ends and the pieces of long bodies begin,
// by their bytes (a piece holds a quarter more than it starts with).
struct Work {
    qint64 rows = 0;
    qint64 bodiesEnd = 99;
};

// Tells slow once the work has run for more than a moment, and again when it is over; in
// between, how far it has come when that is known, reading rows scans of the table.
class SlowWatch {
public:
    SlowWatch(sqlite3* db, const SlowWork& slow, const Progress& progress = {}, Work work = {})
        : db_(db), slow_(slow), progress_(progress), work_(work) {
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
        if (watch->told_ && watch->progress_ && watch->work_.rows > 0) {
            const qint64 read = rowsScanned(watch->db_) - watch->scannedBefore_;
            const qint64 each = watch->work_.rows;
            const qint64 end = watch->work_.bodiesEnd;
            const qint64 done = read <= each       ? 2 * read / each
                                : read <= 2 * each ? 2 + (end - 2) * (read - each) / each
                                                   : end + (99 - end) * (read - 2 * each) / each;
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
    Work work_;
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

bool keepsUtf8(sqlite3* db, const QString& path) {
    Statement s(db, path, QStringLiteral("PRAGMA encoding"), keeping());
    return s.step() && s.value(0).toString() == u"UTF-8";
}

Work workOf(sqlite3* db, const QString& path) {
    Work work{rowsOf(db, path)};
    if (work.rows == 0 || !keepsUtf8(db, path))
        return work;
    try {
        Statement s(db, path,
                    QStringLiteral("SELECT total(n), total(CASE WHEN n > %1 THEN n END) FROM "
                                   "(SELECT length(CAST(Body AS BLOB)) AS n FROM %2)")
                        .arg(kPieceFrom)
                        .arg(kTable),
                    keeping());
        s.step();
        const double all = s.value(0).toDouble();
        const double pieced = s.value(1).toDouble();
        const double pieces = pieced * double(kPieceBytes + kPieceOverlap) / double(kPieceBytes);
        if (all - pieced + pieces > 0)
            work.bodiesEnd = 2 + qint64(97 * (all - pieced) / (all - pieced + pieces));
    } catch (const Error&) {
        // A table without the fields: the build says so.
    }
    return work;
}

// Adds to the piece index (or takes from it, where command is 'delete') the pieces of the
// body named body, of the row whose rowid is rowid: none where pieced is false.
QString pieceList(const QString& command, const QString& rowid, const QString& body,
                  const QString& pieced) {
    return QStringLiteral("INSERT INTO %1 (%2rowid, Body) SELECT %3%4 * %5 + n, "
                          "CAST(substr(CAST(%6 AS BLOB), n * %7 + 1, %8) AS TEXT) FROM %9 "
                          "LIMIT CASE WHEN %10 THEN (length(CAST(%6 AS BLOB)) + %7 - 1) / %7 "
                          "ELSE 0 END;")
        .arg(kPieceIndex, command.isEmpty() ? QString() : kPieceIndex + QStringLiteral(", "),
             command.isEmpty() ? QString() : command + QStringLiteral(", "), rowid)
        .arg(kPieceSlots)
        .arg(body)
        .arg(kPieceBytes)
        .arg(kPieceBytes + kPieceOverlap)
        .arg(kCounting, pieced);
}

// What an index gathers in memory before writing it out, while it is made: with FTS5's 1 MB
// it writes and merges its trigram lists several times over; 4 MB roughly halves the time.
// Only while it is made, rows only added. Afterwards FTS5's own settings are put back: when
// many long bodies are replaced and deleted at once, the system's FTS5 leaves an entry of one
// behind now and then, and with the larger size several times as often.
constexpr int kMakingHashBytes = 4 << 20;
constexpr int kHashBytes = 1 << 20;
constexpr int kAutomerge = 4;

using Exec = std::function<void(const QString&)>;

// What a row's body is in the main index: nothing where the row is kept in pieces.
const QString kWholeBody = QStringLiteral("CASE WHEN %1 THEN NULL ELSE %2Body END");
const QString kIndexOptions = QStringLiteral("tokenize='trigram', detail='none', columnsize=0");

void dropObjects(const Exec& exec) {
    for (const QString& trigger : kTriggers)
        exec(QStringLiteral("DROP TRIGGER IF EXISTS ") + trigger);
    for (const QString& index : {kTitleIndex, kTextIndex, kPieceIndex})
        exec(QStringLiteral("DROP TABLE IF EXISTS ") + index);
    for (const QString& view : {kWholeView, kCounting})
        exec(QStringLiteral("DROP VIEW IF EXISTS ") + view);
    exec(QStringLiteral("DROP INDEX IF EXISTS ") + kNulIndex);
}

// The index's tables and views, r naming the rowid.
void createObjects(const Exec& exec, const QString& r, bool utf8) {
    const QString& whole = kWholeBody;
    const QString& options = kIndexOptions;
    exec(QStringLiteral("CREATE INDEX %1 ON %2 (Language) WHERE %3")
             .arg(kNulIndex, kTable, kNulRows));
    exec(QStringLiteral("CREATE VIEW %1 AS WITH RECURSIVE c(n) AS (SELECT 0 UNION ALL "
                        "SELECT n + 1 FROM c) SELECT n FROM c")
             .arg(kCounting));
    exec(QStringLiteral("CREATE VIEW %1 AS SELECT v.%2 AS Row, v.Language AS Language, %3 "
                        "AS Body FROM %4 AS v %5")
             .arg(kWholeView, r,
                  whole.arg(pieced(QStringLiteral("v."), r, utf8), QStringLiteral("v.")), kTable,
                  layout()));
    exec(QStringLiteral("CREATE VIRTUAL TABLE %1 USING fts5(Title, content='%2', "
                        "content_rowid='%3', %4)")
             .arg(kTitleIndex, kTable, r, options));
    exec(QStringLiteral("CREATE VIRTUAL TABLE %1 USING fts5(Language, Body, content='%2', "
                        "content_rowid='Row', %3)")
             .arg(kTextIndex, kWholeView, options));
    exec(QStringLiteral("CREATE VIRTUAL TABLE %1 USING fts5(Body, content='', %2)")
             .arg(kPieceIndex, options));
}

void createTriggers(const Exec& exec, const QString& r, bool utf8) {
    const QString& whole = kWholeBody;
    // An update that leaves the language and body as they were (a new title) leaves the
    // bodies' index alone: a long body's pieces take a while to make.
    const QString changed =
        QStringLiteral("(old.Language IS NOT new.Language COLLATE BINARY OR old.Body IS NOT "
                       "new.Body COLLATE BINARY OR old.%1 IS NOT new.%1)")
            .arg(r);
    const auto rowOf = [&](const QString& row, const QString& command, const QString& when) {
        const QString prefix = command.isEmpty() ? QString() : command + QStringLiteral(", ");
        const QString isPieced = pieced(row, r, utf8);
        return QStringLiteral("INSERT INTO %1 (%2rowid, Title) VALUES (%3%4%5, %4Title); "
                              "INSERT INTO %6 (%7rowid, Language, Body) SELECT %3%4%5, "
                              "%4Language, %8 WHERE %9; ")
                   .arg(kTitleIndex,
                        command.isEmpty() ? QString() : kTitleIndex + QStringLiteral(", "), prefix,
                        row, r, kTextIndex,
                        command.isEmpty() ? QString() : kTextIndex + QStringLiteral(", "),
                        whole.arg(isPieced, row), when) +
               pieceList(command, row + r, row + QStringLiteral("Body"),
                         QStringLiteral("%1 AND %2").arg(when, isPieced));
    };
    const QString add = rowOf(QStringLiteral("new."), {}, QStringLiteral("1"));
    const QString remove =
        rowOf(QStringLiteral("old."), QStringLiteral("'delete'"), QStringLiteral("1"));
    const QString replace = rowOf(QStringLiteral("old."), QStringLiteral("'delete'"), changed) +
                            rowOf(QStringLiteral("new."), {}, changed);
    exec(QStringLiteral("CREATE TRIGGER %1 AFTER INSERT ON %2 BEGIN %3 END")
             .arg(kTriggers[0], kTable, add));
    exec(QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON %2 BEGIN %3 END")
             .arg(kTriggers[1], kTable, remove));
    exec(QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON %2 BEGIN %3 END")
             .arg(kTriggers[2], kTable, replace));
}

// Adds the pieces of the long bodies longRows reads. It stays open after: the rows it read
// are how far the work has come, until the work is over.
void addPieces(sqlite3* db, const QString& path, Statement& longRows) {
    Statement addPiece(db, path,
                       QStringLiteral("INSERT INTO %1 (rowid, Body) VALUES (?1, CAST(?2 AS "
                                      "TEXT))")
                           .arg(kPieceIndex),
                       keeping());
    while (longRows.step()) {
        const qint64 row = longRows.int64(0);
        const QByteArrayView body = longRows.bytes(1).value_or(QByteArrayView());
        for (qint64 n = 0; n * kPieceBytes < body.size(); ++n) {
            addPiece.bind(
                {row * kPieceSlots + n, body.sliced(n * kPieceBytes)
                                            .first(std::min<qint64>(kPieceBytes + kPieceOverlap,
                                                                    body.size() - n * kPieceBytes))
                                            .toByteArray()});
            addPiece.step();
            addPiece.reset();
        }
    }
}

// Makes the index anew within the caller's transaction. It is left in the pieces its making
// wrote unless compact is true: CompactIndex merges them.
void fill(sqlite3* db, const QString& path, bool compact) {
    const Fields fields = fieldsOf(db, path);
    // The index names the rowid in its own definition, where only a plain name will do.
    if (fields.rowid.startsWith(u'"'))
        throw Error(QStringLiteral("The table '%1' of \"%2\" hides the rowid; it is searched "
                                   "without an index.")
                        .arg(kTable, path));
    const QString r = fields.rowid;
    const bool utf8 = keepsUtf8(db, path);
    const Exec exec = [&](const QString& sql) { Statement::exec(db, path, sql, keeping()); };
    dropObjects(exec);
    createObjects(exec, r, utf8);
    createTriggers(exec, r, utf8);
    const auto setting = [&](const char* name, int value) {
        for (const QString& index : {kTitleIndex, kTextIndex, kPieceIndex})
            exec(QStringLiteral("INSERT INTO %1 (%1, rank) VALUES ('%2', %3)")
                     .arg(index, QLatin1String(name))
                     .arg(value));
    };
    setting("hashsize", kMakingHashBytes);
    // Merged once at the end rather than level by level as it grows, which would write most
    // of it twice more.
    setting("automerge", 0);
    for (const QString& index : {kTitleIndex, kTextIndex})
        exec(QStringLiteral("INSERT INTO %1 (%1) VALUES ('rebuild')").arg(index));
    // Each long body is read once and cut into pieces from memory, as the triggers cut
    // them. One piece a statement: a statement adding several rows makes the index write
    // what it gathered so far, which for thousands of long bodies is most of the work.
    // "+v.": read in turn, not by a range of rowids, so that the rows read tell the progress.
    Statement longRows(db, path,
                       QStringLiteral("SELECT v.%1, CAST(v.Body AS BLOB) FROM %2 AS v WHERE %3")
                           .arg(r, kTable, pieced(QStringLiteral("+v."), r, utf8)),
                       keeping());
    addPieces(db, path, longRows);
    setting("hashsize", kHashBytes);
    setting("automerge", kAutomerge);
    if (compact)
        CompactIndex(db, path);
}

void build(sqlite3* db, const QString& path, const SlowWork& slow, const Progress& progress) {
    // The titles' index, the main one and the pieces each read every row once.
    const SlowWatch watch(db, slow, progress, progress ? workOf(db, path) : Work());
    Statement::exec(db, path, QStringLiteral("BEGIN IMMEDIATE"), keeping());
    try {
        fill(db, path, true);
        Statement::exec(db, path, QStringLiteral("COMMIT"), keeping());
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

bool IndexAbsent(sqlite3* db, const QString& path) {
    Statement s(db, path,
                QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name IN (?, ?, ?, ?, ?, "
                               "?, ?, ?, ?)"),
                searching());
    s.bind({kTitleIndex, kTextIndex, kTriggers[0], kTriggers[1], kTriggers[2], kNulIndex,
            kPieceIndex, kWholeView, kCounting});
    s.step();
    return s.int64(0) == 0;
}

void RebuildIndex(sqlite3* db, const QString& path, const SlowWork& slow,
                  const Progress& progress) {
    build(db, path, slow, progress);
}

bool PauseIndex(sqlite3* db, const QString& path) {
    if (presentObjects(db, path) != kObjects)
        return false;
    for (const QString& trigger : kTriggers)
        Statement::exec(db, path, QStringLiteral("DROP TRIGGER ") + trigger, keeping());
    return true;
}

void RefillIndex(sqlite3* db, const QString& path, const Progress& progress) {
    const SlowWork quiet = progress ? SlowWork([](bool) {}) : SlowWork();
    const SlowWatch watch(db, quiet, progress, progress ? workOf(db, path) : Work());
    fill(db, path, false);
}

void CompactIndex(sqlite3* db, const QString& path) {
    if (presentObjects(db, path) != kObjects)
        return;
    // One segment each: a query then looks each trigram up once, not once a segment.
    for (const QString& index : {kTitleIndex, kTextIndex, kPieceIndex})
        Statement::exec(db, path,
                        QStringLiteral("INSERT INTO %1 (%1) VALUES ('optimize')").arg(index),
                        keeping());
}

QString CheckIndex(sqlite3* db, const QString& path) {
    if (presentObjects(db, path) != kObjects)
        return QStringLiteral("missing");
    try {
        for (const QString& index : {kTitleIndex, kTextIndex, kPieceIndex})
            Statement::exec(
                db, path,
                QStringLiteral("INSERT INTO %1 (%1, rank) VALUES ('integrity-check', 1)")
                    .arg(index),
                QStringLiteral("check the search index of the database"));
    } catch (const DiskError&) {
        throw;
    } catch (const Error& e) {
        return e.message();
    }
    return QStringLiteral("ok");
}

} // namespace varozidi::search
