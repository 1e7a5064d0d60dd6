// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/sqlite/SqliteHistory.h"

#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteHandle.h"
#include "data/store/AdoSchema.h"

#include <QDateTime>
#include <sqlite3.h>

namespace varozidi::sqlite {

using ado::Statement;
using namespace history;

namespace {

const QString kIndex = QStringLiteral("varozidi_history_id");
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

// Untyped columns keep a value as stored, text or bytes.
const QString kCreateTable =
    QStringLiteral("CREATE TABLE IF NOT EXISTS varozidi_history (Version INTEGER PRIMARY KEY, "
                   "ID INTEGER NOT NULL, Language, Title, Body, Changed INTEGER NOT NULL, "
                   "Kind TEXT NOT NULL)");

// The snippet's versions past the last keep.versions and older than keep.days go: one look up
// the snippet's own entries of the index.
QString prune(const Retention& keep) {
    return QStringLiteral("DELETE FROM varozidi_history WHERE ID = old.ID AND Changed < %1 - "
                          "%2 * 86400000 AND Version <= (SELECT Version FROM varozidi_history "
                          "WHERE ID = old.ID ORDER BY Version DESC LIMIT 1 OFFSET %3);")
        .arg(kNow)
        .arg(keep.days)
        .arg(keep.versions);
}

QString keepOld(const QString& kind) {
    return QStringLiteral("INSERT INTO varozidi_history (ID, Language, Title, Body, Changed, "
                          "Kind) VALUES (old.ID, old.Language, old.Title, old.Body, %1, %2);")
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
                               "(type <> 'trigger' OR instr(sql, ?) > 0)"),
                keeping());
    s.bind({kTable, kIndex, kOnUpdate, kOnDelete, keep.settled ? RetentionMark(keep) : QString()});
    s.step();
    return s.int64(0) == 4;
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

const QString kColumns = QStringLiteral(
    "h.ID, h.Version, h.Changed, h.Kind, h.Language, h.Title, length(CAST(h.Body AS BLOB))");

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

bool EnsureHistory(sqlite3* db, const QString& path, const Retention& keep) {
    if (present(db, path, keep))
        return false;
    checkFields(db, path);
    inTransaction(db, path, "BEGIN IMMEDIATE", [&] {
        Statement::exec(db, path, kCreateTable, keeping());
        Statement::exec(db, path,
                        QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON varozidi_history (ID, "
                                       "Version)")
                            .arg(kIndex),
                        keeping());
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
                    .arg(kColumns),
                reading());
    s.bind(1, id);
    while (s.step())
        versions.append(versionOf(s));
    return versions;
}

std::optional<QByteArray> VersionBody(sqlite3* db, const QString& path, qint64 id, qint64 version) {
    if (!hasTable(db, path))
        return std::nullopt;
    Statement s(db, path,
                QStringLiteral("SELECT Body FROM varozidi_history WHERE ID = ? AND Version = ?"),
                reading());
    s.bind({id, version});
    if (!s.step())
        return std::nullopt;
    return s.bytes(0).value_or(QByteArrayView()).toByteArray();
}

QList<KeptVersion> Removed(sqlite3* db, const QString& path) {
    QList<KeptVersion> removed;
    if (!hasTable(db, path))
        return removed;
    Statement s(db, path,
                QStringLiteral("SELECT %1 FROM varozidi_history AS h WHERE %2 ORDER BY h.Version")
                    .arg(kColumns, kRemovedRows),
                reading());
    while (s.step())
        removed.append(versionOf(s));
    return removed;
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

void mergeLive(sqlite3* db, const QString& merged, const QString& live) {
    Statement attach(db, merged, QStringLiteral("ATTACH DATABASE ? AS live"), keeping());
    attach.bind(1, live);
    attach.step();
    const bool liveHistory = hasTable(db, merged, QStringLiteral("live"));
    inTransaction(db, merged, "BEGIN", [&] {
        // The versions the backup was made with are the same rows in both.
        if (liveHistory)
            Statement::exec(
                db, merged,
                QStringLiteral(
                    "INSERT INTO main.varozidi_history (ID, Language, Title, Body, Changed, "
                    "Kind) SELECT l.ID, l.Language, l.Title, l.Body, l.Changed, l.Kind FROM "
                    "live.varozidi_history AS l WHERE NOT EXISTS (SELECT 1 FROM "
                    "main.varozidi_history AS m WHERE m.Version = l.Version AND m.ID = l.ID AND "
                    "m.Changed = l.Changed AND m.Kind = l.Kind) ORDER BY l.Version"),
                keeping());
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
