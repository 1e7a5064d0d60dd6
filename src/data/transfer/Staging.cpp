// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/Staging.h"

#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteHistory.h"
#include "data/search/SearchIndex.h"

#include <QFile>
#include <limits>
#include <sqlite3.h>
#include <tuple>
#include <unistd.h>

namespace varozidi::transfer {

using ado::Statement;

const QString kAdding = QStringLiteral("add the snippets to");

namespace {

// Where SQLite keeps a temporary table: the first of these folders that can be written to.
QString temporaryFolder() {
    for (const QString& folder :
         {qEnvironmentVariable("SQLITE_TMPDIR"), qEnvironmentVariable("TMPDIR"),
          QStringLiteral("/var/tmp"), QStringLiteral("/usr/tmp"), QStringLiteral("/tmp")})
        if (!folder.isEmpty() && ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0)
            return folder;
    return QStringLiteral(".");
}

[[noreturn]] void noIdsLeft(const QString& path) {
    throw Error(QStringLiteral("Cannot add the snippets to \"%1\": it has no IDs left.").arg(path));
}

} // namespace

std::pair<bool, qint64> LastId(sqlite3* db, const QString& path) {
    const QString& doing = kAdding;
    Statement last(db, path,
                   QStringLiteral("SELECT (SELECT max(ID) FROM varozidi), EXISTS (SELECT 1 FROM "
                                  "sqlite_master WHERE name = 'sqlite_sequence')"),
                   doing);
    last.step();
    const bool empty = !last.value(0).isValid();
    qint64 used = last.int64(0);
    if (last.int64(1) == 1) {
        Statement sequence(
            db, path, QStringLiteral("SELECT seq FROM sqlite_sequence WHERE name = 'varozidi'"),
            doing);
        if (sequence.step())
            used = std::max(used, sequence.int64(0));
    }
    return {empty, used};
}

Staging::Staging(sqlite3* db, const QString& path, bool dryRun)
    : db_(db), path_(path), dryRun_(dryRun) {
    // IMMEDIATE: the write lock is taken now, not halfway through. A dry run only reads, so a
    // read-only or busy file will do for it.
    exec(dryRun_ ? "BEGIN" : "BEGIN IMMEDIATE");
    try {
        // A dry run looks at the collection only once the file is read, holding no lock on it
        // meanwhile.
        if (!dryRun_)
            std::tie(empty_, used_) = LastId(db_, path_);
        exec("DROP TABLE IF EXISTS temp.varozidi_import");
        exec("DROP TABLE IF EXISTS temp.varozidi_import_removed");
        exec("DROP TABLE IF EXISTS temp.varozidi_import_versions");
        exec("CREATE TEMP TABLE varozidi_import (Seq INTEGER PRIMARY KEY, Own INTEGER, "
             "Language, Title, Body)");
        exec("CREATE TEMP TABLE varozidi_import_removed (Seq INTEGER PRIMARY KEY, Own INTEGER)");
        // Ord: 0 for the latest version of a snippet, -1 for the one before, ...
        exec("CREATE TEMP TABLE varozidi_import_versions (Removed INTEGER, Seq INTEGER, Ord "
             "INTEGER, Kind, Changed, Language, Title, Body)");
        exec("CREATE INDEX temp.varozidi_import_versions_order ON varozidi_import_versions "
             "(Removed, Seq, Ord)");
        prepare("INSERT INTO temp.varozidi_import VALUES (?, ?, ?, ?, ?)", &insert_);
        prepare("INSERT INTO temp.varozidi_import_removed VALUES (?, ?)", &insertRemoved_);
        prepare("INSERT INTO temp.varozidi_import_versions VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                &insertVersion_);
    } catch (...) {
        close();
        throw;
    }
}

Staging::~Staging() {
    close();
}

void Staging::add(const Utf8Snippet& s) {
    if (s.removed) {
        ++removed_;
        sqlite3_bind_int64(insertRemoved_, 1, removed_);
        if (s.id)
            sqlite3_bind_int64(insertRemoved_, 2, *s.id);
        else
            sqlite3_bind_null(insertRemoved_, 2);
        step(insertRemoved_);
        stageVersions(s.versions, removed_, true);
        return;
    }
    ++count_;
    ownIds_ = ownIds_ && s.id.has_value();
    sqlite3_bind_int64(insert_, 1, count_);
    if (s.id)
        sqlite3_bind_int64(insert_, 2, *s.id);
    else
        sqlite3_bind_null(insert_, 2);
    bindText(insert_, 3, s.language);
    bindText(insert_, 4, s.title);
    // A dry run lists what would be added; the bodies are not needed for that.
    bindText(insert_, 5, dryRun_ ? Utf8() : s.body);
    step(insert_);
    stageVersions(s.versions, count_, false);
}

void Staging::add(const Snippet& s, bool removed) {
    const auto utf8 = [](const Text& t) { return t ? Utf8(t->toUtf8()) : Utf8(); };
    Utf8Snippet staged{s.id, utf8(s.language), utf8(s.title), utf8(s.body)};
    for (const Version& v : s.versions)
        staged.versions.append(
            {v.kind, v.changedMs, utf8(v.language), utf8(v.title), utf8(v.body)});
    staged.removed = removed;
    add(staged);
}

void Staging::stageVersions(const QList<Utf8Version>& versions, qint64 seq, bool removed) {
    versions_ += versions.size();
    // A dry run only counts them.
    if (dryRun_)
        return;
    for (qsizetype i = 0; i < versions.size(); ++i) {
        const Utf8Version& v = versions[i];
        sqlite3_bind_int(insertVersion_, 1, removed ? 1 : 0);
        sqlite3_bind_int64(insertVersion_, 2, seq);
        sqlite3_bind_int64(insertVersion_, 3, -i);
        const QByteArray kind = v.kind.toUtf8();
        sqlite3_bind_text(insertVersion_, 4, kind.constData(), int(kind.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insertVersion_, 5, v.changedMs);
        bindText(insertVersion_, 6, v.language);
        bindText(insertVersion_, 7, v.title);
        bindText(insertVersion_, 8, v.body);
        step(insertVersion_);
    }
}

void Staging::finish(const Progress& progress) {
    if (dryRun_)
        std::tie(empty_, used_) = LastId(db_, path_);
    // Their own IDs, when the collection is empty and no two share one.
    if (ownIds_ && empty_ && count_ > 0) {
        Statement distinct(db_, path_,
                           QStringLiteral("SELECT count(DISTINCT Own) FROM temp.varozidi_import"),
                           kAdding);
        distinct.step();
        ownIds_ = distinct.int64(0) == count_;
    }
    ownIds_ = ownIds_ && empty_;
    if (!ownIds_ && used_ > std::numeric_limits<qint64>::max() - count_)
        noIdsLeft(path_);
    // Versions with nowhere to go would be lost without a word; a dry run refuses as the
    // import does.
    if ((versions_ > 0 || removed_ > 0) && !sqlite::KeepsHistory(db_, path_))
        throw Error(QStringLiteral("Cannot add the snippets to \"%1\": it keeps no history, so "
                                   "the earlier versions the file holds cannot be added; "
                                   "nothing was added.")
                        .arg(path_));
    // Most of the collection coming in now: the search index is made anew after the rows, not
    // kept one row at a time, which is what takes the time.
    bool compact = false;
    if (!dryRun_) {
        const qint64 before = [this] {
            Statement counted(db_, path_, QStringLiteral("SELECT count(*) FROM varozidi"), kAdding);
            counted.step();
            return counted.int64(0);
        }();
        compact = count_ > 0 && count_ >= before;
        addRows(progress, compact);
        addHistory();
    }
    exec("COMMIT");
    committed_ = true;
    // Most of the collection came in now: its search index is put in one piece, as a build
    // leaves it, not left in the many that adding so many rows made. Apart from the rows, which
    // are in: a merge that finds no room or no lock leaves the index as it is, sound and only
    // slower.
    if (compact) {
        try {
            exec("BEGIN IMMEDIATE");
            search::CompactIndex(db_, path_);
            exec("COMMIT");
        } catch (const Error&) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
}

void Staging::addRows(const Progress& progress, bool compact) {
    // The index's triggers go first: a file that takes no writes is told as such here, not as
    // an index that cannot be kept.
    if (sqlite3_db_readonly(db_, "main") == 1)
        ado::throwSqliteError(db_, SQLITE_READONLY, path_, kAdding);
    const bool refill = compact && search::PauseIndex(db_, path_);
    Statement add(db_, path_,
                  QStringLiteral("INSERT INTO varozidi (ID, Language, Title, Body) SELECT CASE "
                                 "WHEN ?1 THEN Own ELSE ?2 + Seq END, Language, Title, Body FROM "
                                 "temp.varozidi_import WHERE Seq BETWEEN ?3 AND ?4 ORDER BY Seq"),
                  kAdding);
    // In pieces, so that progress can be told between them.
    constexpr qint64 kPiece = 4096;
    if (progress)
        progress(0, count_);
    // Told as the index's share when it is made afterwards, which is nearly all.
    const qint64 shown = refill ? count_ / 20 : count_;
    for (qint64 first = 1; first <= count_; first += kPiece) {
        const qint64 last = std::min(count_, first + kPiece - 1);
        add.bind({ownIds_, used_, first, last});
        add.step();
        add.reset();
        if (progress)
            progress(last * shown / count_, count_);
    }
    if (refill)
        search::RefillIndex(db_, path_,
                            progress ? search::Progress([&](int percent) {
                                progress(shown + (count_ - shown) * percent / 100, count_);
                            })
                                     : search::Progress());
    if (progress)
        progress(count_, count_);
}

// Each version goes in under the ID its snippet got, the oldest first, as the triggers would
// have kept it.
void Staging::addHistory() {
    if (versions_ == 0 && removed_ == 0)
        return;
    bool own = false;
    const qint64 base = removedBase(own);
    Statement add(
        db_, path_,
        QStringLiteral(
            "INSERT INTO main.varozidi_history (ID, Language, Title, Body, Changed, Kind) SELECT "
            "CASE WHEN v.Removed THEN CASE WHEN ?1 THEN r.Own ELSE ?2 + r.Seq END ELSE CASE WHEN "
            "?3 THEN s.Own ELSE ?4 + s.Seq END END, v.Language, v.Title, v.Body, v.Changed, "
            "v.Kind FROM temp.varozidi_import_versions AS v LEFT JOIN temp.varozidi_import AS s "
            "ON NOT v.Removed AND s.Seq = v.Seq LEFT JOIN temp.varozidi_import_removed AS r ON "
            "v.Removed AND r.Seq = v.Seq ORDER BY v.Removed, v.Seq, v.Ord"),
        kAdding);
    add.bind({own, base, ownIds_, used_});
    add.step();
    if (removed_ == 0)
        return;
    // The IDs of removed snippets are never given again, as the collection's own numbering
    // never gives an ID twice.
    Statement sequence(db_, path_,
                       QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = "
                                      "'sqlite_sequence'"),
                       kAdding);
    sequence.step();
    if (sequence.int64(0) == 0)
        return;
    const QString top = QStringLiteral("(SELECT max(ID) FROM main.varozidi_history)");
    Statement::exec(db_, path_,
                    QStringLiteral("UPDATE sqlite_sequence SET seq = max(seq, %1) WHERE name = "
                                   "'varozidi'")
                        .arg(top),
                    kAdding);
    Statement::exec(db_, path_,
                    QStringLiteral("INSERT INTO sqlite_sequence (name, seq) SELECT 'varozidi', %1 "
                                   "WHERE NOT EXISTS (SELECT 1 FROM sqlite_sequence WHERE name = "
                                   "'varozidi')")
                        .arg(top),
                    kAdding);
}

// The removed snippets keep their own IDs along with the snippets, where no snippet and no
// version has one of them; otherwise they are numbered after every ID in use. The number
// before the first one's; own tells which.
qint64 Staging::removedBase(bool& own) {
    own = false;
    if (removed_ == 0)
        return 0;
    if (ownIds_) {
        Statement free(db_, path_,
                       QStringLiteral("SELECT count(Own) = count(*) AND count(DISTINCT Own) = "
                                      "count(*) AND NOT EXISTS (SELECT 1 FROM "
                                      "temp.varozidi_import_removed AS r JOIN main.varozidi AS v "
                                      "ON v.ID = r.Own) AND NOT EXISTS (SELECT 1 FROM "
                                      "temp.varozidi_import_removed AS r JOIN "
                                      "main.varozidi_history AS h ON h.ID = r.Own) FROM "
                                      "temp.varozidi_import_removed"),
                       kAdding);
        free.step();
        own = free.int64(0) == 1;
        if (own)
            return 0;
    }
    Statement top(db_, path_,
                  QStringLiteral("SELECT max(coalesce((SELECT max(ID) FROM main.varozidi), 0), "
                                 "coalesce((SELECT max(ID) FROM main.varozidi_history), 0))"),
                  kAdding);
    top.step();
    const qint64 base = std::max(top.int64(0), used_);
    if (base > std::numeric_limits<qint64>::max() - removed_)
        noIdsLeft(path_);
    return base;
}

ImportList Staging::list() const {
    ImportList list(db_, path_, count_, ownIds_, used_);
    list.versions = versions_;
    list.removed = removed_;
    return list;
}

void Staging::exec(const char* sql) {
    Statement::exec(db_, path_, QLatin1String(sql), kAdding);
}

void Staging::prepare(const char* sql, sqlite3_stmt** statement) {
    const int rc = sqlite3_prepare_v2(db_, sql, -1, statement, nullptr);
    if (rc != SQLITE_OK)
        ado::throwSqliteError(db_, rc, path_, kAdding);
}

void Staging::step(sqlite3_stmt* statement) {
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    // Only the temporary tables are written so far: a full disk is that of their folder.
    if (rc == SQLITE_FULL)
        throw Error(QStringLiteral("Cannot add the snippets to \"%1\": the disk of the "
                                   "temporary folder %2 is full; nothing was added.")
                        .arg(path_, temporaryFolder()));
    if (rc != SQLITE_DONE)
        ado::throwSqliteError(db_, rc, path_, kAdding);
}

void Staging::close() {
    for (sqlite3_stmt** statement : {&insert_, &insertRemoved_, &insertVersion_}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    if (!committed_)
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_exec(db_,
                 "DROP TABLE IF EXISTS temp.varozidi_import_versions; DROP TABLE IF EXISTS "
                 "temp.varozidi_import_removed",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db_, "DROP TABLE IF EXISTS temp.varozidi_import", nullptr, nullptr, nullptr);
}

void Staging::bindText(sqlite3_stmt* statement, int index, const Utf8& text) {
    if (text)
        sqlite3_bind_text64(statement, index, text->constData(), sqlite3_uint64(text->size()),
                            SQLITE_STATIC, SQLITE_UTF8);
    else
        sqlite3_bind_null(statement, index);
}

} // namespace varozidi::transfer
