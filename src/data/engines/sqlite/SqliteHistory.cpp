// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/SqliteHistory.h"

#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteCompaction.h"
#include "data/engines/sqlite/SqliteHandle.h"
#include "data/store/AdoBackend.h"
#include "data/store/AdoSchema.h"

#include <QDateTime>
#include <QHash>
#include <optional>
#include <sqlite3.h>

namespace varozidi::sqlite {

using ado::Statement;
using namespace history;

namespace {

const QString kIndex = QStringLiteral("varozidi_history_id");
const QString kAgeIndex = QStringLiteral("varozidi_history_age");
const QString kOnUpdate = QStringLiteral("varozidi_history_update");
const QString kOnDelete = QStringLiteral("varozidi_history_delete");

// Ms since 1970, in SQL any version of SQLite reads: the shell of an older system may write.
const QString kNow = QStringLiteral("CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER)");

QString keeping() {
    return QStringLiteral("keep the history of the database");
}

QString reading() {
    return QStringLiteral("read the history of the database");
}

// Untyped columns keep a value as stored, text or bytes. Delta, Size and Base hold a compacted
// version (see data/history/Compaction.h); older files gain them.
const QString kCreateTable =
    QStringLiteral("CREATE TABLE IF NOT EXISTS varozidi_history (Version INTEGER PRIMARY KEY, "
                   "ID INTEGER NOT NULL, Language, Title, Body, Changed INTEGER NOT NULL, "
                   "Kind TEXT NOT NULL, Delta, Size INTEGER, Base INTEGER)");
const QString kCreateState = QStringLiteral(
    "CREATE TABLE IF NOT EXISTS varozidi_history_state (Name TEXT PRIMARY KEY, Value)");

// The snippet's versions past the last keep.versions and older than keep.days go. Found by
// the index on ID and Changed alone (the unary + keeps the other index out): a look at a row's
// Changed would read its whole body first, for every version kept.
const QString kPruneMark = QStringLiteral("/* pruned by age, sized */");
QString prune(const Retention& keep) {
    return QStringLiteral("DELETE FROM varozidi_history WHERE ID = old.ID AND Changed < %1 - "
                          "%2 * 86400000 AND +Version <= (SELECT Version FROM varozidi_history "
                          "WHERE ID = old.ID ORDER BY Version DESC LIMIT 1 OFFSET %3); %4")
        .arg(kNow)
        .arg(keep.days)
        .arg(keep.versions)
        .arg(kPruneMark);
}

// The size too, so that listing versions reads none of their bodies.
QString keepOld(const QString& kind) {
    return QStringLiteral("INSERT INTO varozidi_history (ID, Language, Title, Body, Changed, "
                          "Kind, Size) VALUES (old.ID, old.Language, old.Title, old.Body, %1, %2, "
                          "length(CAST(old.Body AS BLOB)));")
        .arg(kNow, kind);
}

void createTriggers(sqlite3* db, const QString& path, const Retention& keep) {
    // Inside the body: SQLite keeps a trigger's text up to its END.
    const QString mark = RetentionMark(keep);
    const auto differs = [](const char* field) {
        return QStringLiteral("old.%1 IS NOT new.%1 COLLATE BINARY").arg(QLatin1String(field));
    };
    // An ID changed takes the text away from the old one.
    const QString kind = QStringLiteral("CASE WHEN old.ID IS NOT new.ID THEN 'removed' WHEN %1 "
                                        "THEN 'body' WHEN %2 THEN 'title' ELSE 'language' END")
                             .arg(differs("Body"), differs("Title"));
    Statement::exec(db, path,
                    QStringLiteral("CREATE TRIGGER %1 AFTER UPDATE ON varozidi WHEN %2 OR %3 OR "
                                   "%4 OR old.ID IS NOT new.ID BEGIN %7 %5 %6 END")
                        .arg(kOnUpdate, differs("Language"), differs("Title"), differs("Body"),
                             keepOld(kind), prune(keep), mark),
                    keeping());
    Statement::exec(db, path,
                    QStringLiteral("CREATE TRIGGER %1 AFTER DELETE ON varozidi BEGIN %4 %2 %3 END")
                        .arg(kOnDelete, keepOld(QStringLiteral("'removed'")), prune(keep), mark),
                    keeping());
}

// Unsettled limits keep whatever triggers there are.
bool present(sqlite3* db, const QString& path, const Retention& keep) {
    Statement s(db, path,
                QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name IN (?, ?, ?, ?) AND "
                               "(type <> 'trigger' OR (instr(sql, ?) > 0 AND instr(sql, ?) > 0))"),
                keeping());
    s.bind({kTable, kIndex, kOnUpdate, kOnDelete, keep.settled ? RetentionMark(keep) : QString(),
            keep.settled ? kPruneMark : QString()});
    s.step();
    return s.int64(0) == 4;
}

// What compaction needs beside the history: its columns and its state.
// The SQL the file keeps of the table, index or trigger named; none where it has no such.
std::optional<QString> schemaOf(sqlite3* db, const QString& path, const QString& name) {
    Statement s(db, path, QStringLiteral("SELECT sql FROM sqlite_master WHERE name = ?"),
                keeping());
    s.bind({name});
    if (!s.step())
        return std::nullopt;
    return s.value(0).toString();
}

bool packingPresent(sqlite3* db, const QString& path) {
    return schemaOf(db, path, QStringLiteral("varozidi_history_state")) && HoldsPacked(db, path);
}

// A table made by an older program gains the columns of compacted versions.
void addPackedColumns(sqlite3* db, const QString& path) {
    for (const char* column : {"Delta", "Size INTEGER", "Base INTEGER"}) {
        const QString name = QString::fromLatin1(column).section(u' ', 0, 0);
        Statement has(db, path,
                      QStringLiteral("SELECT count(*) FROM pragma_table_info('varozidi_history') "
                                     "WHERE name = ? COLLATE NOCASE"),
                      keeping());
        has.bind(1, name);
        has.step();
        if (has.int64(0) == 0)
            Statement::exec(db, path,
                            QStringLiteral("ALTER TABLE varozidi_history ADD COLUMN ") +
                                QLatin1String(column),
                            keeping());
    }
}

bool hasTable(sqlite3* db, const QString& path, const QString& schema = QStringLiteral("main")) {
    Statement s(db, path,
                QStringLiteral("SELECT count(*) FROM %1.sqlite_master WHERE name = ?").arg(schema),
                reading());
    s.bind(1, kTable);
    s.step();
    return s.int64(0) > 0;
}

void checkFields(sqlite3* db, const QString& path) {
    const ado::TableShape shape = ado::describeTable(db, path, QStringLiteral("varozidi"));
    int found = 0;
    for (const ado::Column& c : shape.columns)
        for (const char* name : {"ID", "Language", "Title", "Body"})
            if (c.name.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                ++found;
    if (found != 4)
        throw Error(QStringLiteral("The table 'varozidi' of \"%1\" lacks the fields ID, "
                                   "Language, Title and Body; it keeps no history.")
                        .arg(path));
}

template <class F> void inTransaction(sqlite3* db, const QString& path, const char* begin, F&& f) {
    Statement::exec(db, path, QLatin1String(begin), keeping());
    try {
        f();
        Statement::exec(db, path, QStringLiteral("COMMIT"), keeping());
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::optional<QString> textOf(const Statement& row, int column) {
    if (!row.value(column).isValid())
        return std::nullopt;
    const QByteArray stored = row.bytes(column).value_or(QByteArrayView()).toByteArray();
    return ExactUtf8(stored).value_or(QString::fromUtf8(stored));
}

// A compacted version's size is kept beside it, and so is a plain one's since the triggers
// keep it; older rows are measured.
QString columns(sqlite3* db, const QString& path) {
    return QStringLiteral("h.ID, h.Version, h.Changed, h.Kind, h.Language, h.Title, %1")
        .arg(HoldsPacked(db, path)
                 ? QStringLiteral("COALESCE(h.Size, length(CAST(h.Body AS BLOB)))")
                 : QStringLiteral("length(CAST(h.Body AS BLOB))"));
}

KeptVersion versionOf(const Statement& row) {
    return {row.int64(0),   row.int64(1),   row.int64(2), row.value(3).toString(),
            textOf(row, 4), textOf(row, 5), row.int64(6)};
}

// The snippet's last version is its removal, and no row holds that text again; or a restore
// took it away.
const QString kRemovedRows = QStringLiteral(
    "h.Version = (SELECT max(Version) FROM varozidi_history WHERE ID = h.ID) AND ((h.Kind = "
    "'removed' AND NOT EXISTS (SELECT 1 FROM varozidi AS v WHERE v.ID = h.ID AND v.Language IS "
    "h.Language COLLATE BINARY AND v.Title IS h.Title COLLATE BINARY AND v.Body IS h.Body "
    "COLLATE BINARY)) OR (h.Kind = 'restore' AND NOT EXISTS (SELECT 1 FROM varozidi AS v WHERE "
    "v.ID = h.ID)))");

} // namespace

bool EnsureHistory(sqlite3* db, const QString& path, const Retention& settings) {
    const Retention keep =
        AtLeastAsKept(settings, schemaOf(db, path, kOnUpdate).value_or(QString()));
    const bool triggers = present(db, path, keep);
    if (triggers && packingPresent(db, path) && schemaOf(db, path, kAgeIndex))
        return false;
    checkFields(db, path);
    inTransaction(db, path, "BEGIN IMMEDIATE", [&] {
        Statement::exec(db, path, kCreateTable, keeping());
        Statement::exec(db, path, kCreateState, keeping());
        addPackedColumns(db, path);
        const std::pair<const QString&, const char*> indexes[] = {{kIndex, "Version"},
                                                                  {kAgeIndex, "Changed"}};
        for (const auto& [name, column] : indexes)
            Statement::exec(db, path,
                            QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON varozidi_history "
                                           "(ID, %2)")
                                .arg(name, QLatin1String(column)),
                            keeping());
        // The triggers in place are left as they are.
        if (triggers)
            return;
        for (const QString& trigger : {kOnUpdate, kOnDelete})
            Statement::exec(db, path, QStringLiteral("DROP TRIGGER IF EXISTS ") + trigger,
                            keeping());
        createTriggers(db, path, keep.settled ? keep : KeepingMost());
    });
    return true;
}

QList<KeptVersion> Versions(sqlite3* db, const QString& path, qint64 id) {
    QList<KeptVersion> versions;
    if (!hasTable(db, path))
        return versions;
    Statement s(db, path,
                QStringLiteral("SELECT %1 FROM varozidi_history AS h WHERE h.ID = ? ORDER BY "
                               "h.Version")
                    .arg(columns(db, path)),
                reading());
    s.bind(1, id);
    while (s.step())
        versions.append(versionOf(s));
    return versions;
}

std::optional<QByteArray> VersionBody(sqlite3* db, const QString& path, qint64 id, qint64 version) {
    if (!hasTable(db, path))
        return std::nullopt;
    Statement s(
        db, path,
        QStringLiteral("SELECT count(*) FROM varozidi_history WHERE ID = ? AND Version = ?"),
        reading());
    s.bind({id, version});
    s.step();
    if (s.int64(0) == 0)
        return std::nullopt;
    // A version whose body is NULL reads as empty, as the snippet's own body does.
    return VersionText(db, path, version).value_or(QByteArray());
}

QList<KeptVersion> Removed(sqlite3* db, const QString& path) {
    QList<KeptVersion> removed;
    if (!hasTable(db, path))
        return removed;
    Statement s(db, path,
                QStringLiteral("SELECT %1 FROM varozidi_history AS h WHERE %2 ORDER BY h.Version")
                    .arg(columns(db, path), kRemovedRows),
                reading());
    while (s.step())
        removed.append(versionOf(s));
    return removed;
}

bool KeepsHistory(sqlite3* db, const QString& path) {
    return hasTable(db, path);
}

void ForEachVersion(sqlite3* db, const QString& path, qint64 id,
                    const std::function<void(StoredVersion&&)>& each) {
    if (!hasTable(db, path))
        return;
    Statement s(db, path,
                QStringLiteral("SELECT Version, ID, Language, Title, Body, Changed, Kind, %1 FROM "
                               "varozidi_history WHERE ID = ? ORDER BY Version DESC")
                    .arg(HoldsPacked(db, path) ? QStringLiteral("Delta, Size, Base")
                                               : QStringLiteral("NULL, NULL, NULL")),
                reading());
    s.bind(1, id);
    const auto bytes = [&s](int column) -> std::optional<QByteArray> {
        if (s.isNull(column))
            return std::nullopt;
        return s.bytes(column).value_or(QByteArrayView()).toByteArray();
    };
    // The latest first: each is most often packed against the one just read.
    qint64 lastVersion = 0;
    QByteArray last;
    while (s.step()) {
        StoredVersion v{s.int64(0), s.int64(1),           bytes(2), bytes(3), bytes(4),
                        s.int64(5), s.value(6).toString()};
        if (!s.isNull(7))
            v.body = s.int64(9) == lastVersion
                         ? history::Unpack(bytes(7).value_or(QByteArray()), last, s.int64(8))
                         : VersionText(db, path, v.version);
        lastVersion = v.version;
        last = v.body.value_or(QByteArray());
        each(std::move(v));
    }
}

qint64 Undelete(sqlite3* db, const QString& path, qint64 id) {
    qint64 now = 0;
    inTransaction(db, path, "BEGIN IMMEDIATE", [&] {
        if (!hasTable(db, path))
            throw Error(
                QStringLiteral("Snippet %1 is not among the removed snippets kept.").arg(id));
        Statement last(db, path,
                       QStringLiteral("SELECT h.Version, (SELECT count(*) FROM varozidi WHERE ID "
                                      "= h.ID) FROM varozidi_history AS h WHERE h.ID = ? AND %1")
                           .arg(kRemovedRows),
                       keeping());
        last.bind(1, id);
        if (!last.step())
            throw Error(
                QStringLiteral("Snippet %1 is not among the removed snippets kept.").arg(id));
        const qint64 version = last.int64(0);
        const bool free = last.int64(1) == 0;
        // The removal's body goes from the history: a version packed against it is stored
        // plain first.
        UnpackDependents(db, path, id, version);
        // The stored values themselves, bytes or text.
        Statement add(db, path,
                      QStringLiteral("INSERT INTO varozidi (ID, Language, Title, Body) SELECT ?, "
                                     "Language, Title, Body FROM varozidi_history WHERE Version "
                                     "= ?"),
                      keeping());
        add.bind({free ? QVariant(id) : QVariant(), version});
        add.step();
        now = sqlite3_last_insert_rowid(db);
        // Back in the table, the removal's copy is no longer the only one; the earlier versions
        // follow the snippet.
        Statement drop(db, path, QStringLiteral("DELETE FROM varozidi_history WHERE Version = ?"),
                       keeping());
        drop.bind(1, version);
        drop.step();
        Statement move(db, path,
                       QStringLiteral("UPDATE varozidi_history SET ID = ? WHERE ID = ? AND "
                                      "Version < ?"),
                       keeping());
        move.bind({now, id, version});
        move.step();
    });
    return now;
}

namespace {

void copyDatabase(const QString& from, sqlite3* to, const QString& name) {
    const QString doing = QStringLiteral("read the backup");
    const Handle source = Handle::Open(from, Handle::Mode::ReadOnly, doing);
    sqlite3_backup* copy = sqlite3_backup_init(to, "main", source.get(), "main");
    if (!copy)
        ado::throwSqliteError(to, sqlite3_extended_errcode(to), name, doing);
    const int rc = sqlite3_backup_step(copy, -1);
    sqlite3_backup_finish(copy);
    if (rc != SQLITE_DONE)
        ado::throwSqliteError(to, rc, name, doing);
}

// The live file's versions the backup lacks (the versions it was made with are the same rows
// in both), after the backup's own and in their order, each value as stored. A packed one
// keeps its frame where the version it was stored against comes along, and is stored plain
// otherwise.
void copyLiveHistory(sqlite3* db, const QString& merged) {
    const bool packs = HoldsPacked(db, merged, QStringLiteral("live"));
    const QString packed = packs ? QStringLiteral("Delta, Size") : QStringLiteral("NULL, NULL");
    Statement rows(db, merged,
                   QStringLiteral("SELECT l.Version, %1 FROM live.varozidi_history AS l WHERE "
                                  "NOT EXISTS (SELECT 1 FROM main.varozidi_history AS m WHERE "
                                  "m.Version = l.Version AND m.ID = l.ID AND m.Changed = "
                                  "l.Changed AND m.Kind = l.Kind) ORDER BY l.Version")
                       .arg(packs ? QStringLiteral("l.Base") : QStringLiteral("NULL")),
                   keeping());
    Statement add(db, merged,
                  QStringLiteral("INSERT INTO main.varozidi_history (ID, Language, Title, Body, "
                                 "Changed, Kind, Delta, Size) SELECT ID, Language, Title, Body, "
                                 "Changed, Kind, %1 FROM live.varozidi_history WHERE Version = ?")
                      .arg(packed),
                  keeping());
    // Listed whole first: the rows added are not to be looked at as the backup's.
    QList<std::pair<qint64, std::optional<qint64>>> copied;
    while (rows.step())
        copied.append(
            {rows.int64(0), rows.isNull(1) ? std::nullopt : std::optional(rows.int64(1))});
    QHash<qint64, qint64> moved;
    struct Packed {
        qint64 now, base, was;
    };
    QList<Packed> bases;
    for (const auto& [was, base] : copied) {
        add.bind(1, was);
        add.step();
        add.reset();
        const qint64 now = sqlite3_last_insert_rowid(db);
        moved.insert(was, now);
        if (base)
            bases.append({now, *base, was});
    }
    Statement rebase(db, merged,
                     QStringLiteral("UPDATE main.varozidi_history SET Base = ? WHERE Version = ?"),
                     keeping());
    Statement plain(db, merged,
                    QStringLiteral("UPDATE main.varozidi_history SET Body = ?, Delta = NULL, "
                                   "Size = NULL WHERE Version = ?"),
                    keeping());
    for (const Packed& p : bases) {
        Statement& update = moved.contains(p.base) ? rebase : plain;
        update.bind({moved.contains(p.base)
                         ? QVariant(moved.value(p.base))
                         : ado::Utf8Value(VersionText(db, merged, p.was, QStringLiteral("live"))
                                              .value_or(QByteArray())),
                     p.now});
        update.step();
        update.reset();
    }
}

void mergeLive(sqlite3* db, const QString& merged, const QString& live) {
    Statement attach(db, merged, QStringLiteral("ATTACH DATABASE ? AS live"), keeping());
    attach.bind(1, live);
    attach.step();
    const bool liveHistory = hasTable(db, merged, QStringLiteral("live"));
    inTransaction(db, merged, "BEGIN", [&] {
        if (liveHistory)
            copyLiveHistory(db, merged);
        Statement replaced(
            db, merged,
            QStringLiteral("INSERT INTO main.varozidi_history (ID, Language, Title, Body, "
                           "Changed, Kind) SELECT l.ID, l.Language, l.Title, l.Body, ?, 'restore' "
                           "FROM live.varozidi AS l WHERE NOT EXISTS (SELECT 1 FROM "
                           "main.varozidi AS m WHERE m.ID = l.ID AND m.Language IS l.Language "
                           "COLLATE BINARY AND m.Title IS l.Title COLLATE BINARY AND m.Body IS "
                           "l.Body COLLATE BINARY) ORDER BY l.ID"),
            keeping());
        replaced.bind(1, QDateTime::currentMSecsSinceEpoch());
        replaced.step();
    });
}

} // namespace

Handle MergedForRestore(const QString& live, const QString& file, const Retention& keep) {
    const QString merged = QStringLiteral(":memory:");
    Handle handle =
        Handle::Open(merged, Handle::Mode::Create, QStringLiteral("prepare the restore"));
    sqlite3* db = handle.get();
    copyDatabase(file, db, file);
    try {
        EnsureHistory(db, file, keep);
        mergeLive(db, file, live);
    } catch (const DiskError&) {
        throw;
    } catch (const Error&) {
        // A backup of another shape, or a damaged collection: restored as it is.
    }
    return handle;
}

} // namespace varozidi::sqlite
