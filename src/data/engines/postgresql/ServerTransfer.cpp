// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/engines/postgresql/ServerTransfer.h"

#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/postgresql/ServerHistory.h"
#include "data/engines/sqlite/DatabaseFile.h"
#include "data/engines/sqlite/SqliteHandle.h"
#include "data/files/Files.h"
#include "data/files/Temporary.h"
#include "data/setup/Setup.h"
#include "data/transfer/Transfer.h"

#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <cstdio>
#include <limits>
#include <sqlite3.h>

namespace varozidi::transfer {

namespace {

const QString kSelect = QStringLiteral(
    "SELECT \"ID\", \"Language\", \"Title\", \"Body\" FROM varozidi ORDER BY \"ID\"");

// The last ID the table's numbering gave, NULL when it gave none yet.
const QString kLastGiven = QStringLiteral(
    "SELECT last_value FROM pg_sequences WHERE (quote_ident(schemaname) || '.' || "
    "quote_ident(sequencename))::regclass = pg_get_serial_sequence('varozidi', 'ID')::regclass");

Text textAt(const ado::PgResult& result, int row, int column) {
    if (result.isNull(row, column))
        return std::nullopt;
    return result.text(row, column);
}

QVariant bound(const Text& text) {
    return text ? QVariant(*text) : QVariant();
}

QList<Snippet> snippetsOf(const ado::PgResult& result) {
    QList<Snippet> snippets;
    for (int row = 0; row < result.rows(); ++row)
        snippets.append({result.int64(row, 0), textAt(result, row, 1), textAt(result, row, 2),
                         textAt(result, row, 3)});
    return snippets;
}

// Runs work inside BEGIN ... COMMIT (or ROLLBACK when asked, or when work fails).
template <class F>
void inTransaction(ado::PgBackend& server, const QString& begin, const QString& doing,
                   bool rollBack, F&& work) {
    server.script(begin, doing);
    try {
        work();
    } catch (...) {
        try {
            server.script(QStringLiteral("ROLLBACK"), doing);
        } catch (const std::exception&) {
        }
        throw;
    }
    server.script(rollBack ? QStringLiteral("ROLLBACK") : QStringLiteral("COMMIT"), doing);
}

// Puts rows with the IDs given into the table and moves the numbering past them.
void insertAll(ado::PgBackend& server, const QList<Snippet>& snippets, const QList<qint64>& ids,
               const QString& doing) {
    for (qsizetype i = 0; i < snippets.size(); ++i) {
        const Snippet& s = snippets[i];
        server.exec(QStringLiteral("INSERT INTO varozidi (\"ID\", \"Language\", \"Title\", "
                                   "\"Body\") VALUES (?, ?, ?, ?)"),
                    {ids[i], bound(s.language), bound(s.title), bound(s.body)}, doing);
    }
    server.exec(QStringLiteral("SELECT setval(pg_get_serial_sequence('varozidi', 'ID'), "
                               "GREATEST((SELECT max(\"ID\") FROM varozidi), (%1), 0) + 1, "
                               "false)")
                    .arg(kLastGiven),
                {}, doing);
}

// The removed snippets into the history: under their own IDs where the snippets kept theirs
// and no snippet or version has one of them, otherwise after every ID in use; the numbering
// then goes on after them.
void addRemoved(ado::PgBackend& server, const QList<Snippet>& removed,
                const QList<Snippet>& snippets, const QList<qint64>& ids, bool empty,
                const QString& doing) {
    if (removed.isEmpty())
        return;
    QSet<qint64> taken(ids.cbegin(), ids.cend());
    bool own = empty;
    for (qsizetype i = 0; own && i < snippets.size(); ++i)
        own = snippets[i].id == ids[i];
    QList<qint64> wanted;
    QStringList listed;
    for (const Snippet& s : removed) {
        own = own && s.id && !taken.contains(*s.id);
        if (own)
            taken.insert(*s.id);
        wanted.append(s.id.value_or(0));
        listed.append(QString::number(wanted.last()));
    }
    const auto top = server.exec(
        QStringLiteral("SELECT GREATEST((SELECT max(\"ID\") FROM varozidi), (SELECT "
                       "max(\"ID\") FROM varozidi_history), (%1), 0), EXISTS (SELECT 1 FROM "
                       "varozidi_history WHERE \"ID\" = ANY (string_to_array(?, ',')::bigint[]))")
            .arg(kLastGiven),
        {listed.join(u',')}, doing);
    own = own && top->text(0, 1) != u"t";
    const qint64 base = top->int64(0, 0);
    if (!own && base > std::numeric_limits<qint64>::max() - removed.size())
        throw Error(QStringLiteral("Cannot add the snippets to \"%1\": it has no IDs left.")
                        .arg(server.location()));
    for (qsizetype i = 0; i < removed.size(); ++i)
        postgresql::AddServerVersions(server, own ? wanted[i] : base + i + 1, removed[i].versions,
                                      doing);
    server.exec(QStringLiteral("SELECT setval(pg_get_serial_sequence('varozidi', 'ID'), "
                               "GREATEST((SELECT max(\"ID\") FROM varozidi_history), (SELECT "
                               "max(\"ID\") FROM varozidi), (%1), 0) + 1, false)")
                    .arg(kLastGiven),
                {}, doing);
}

} // namespace

QList<Snippet> ReadServerCollection(ado::PgBackend& server) {
    return snippetsOf(*server.exec(kSelect, {}, QStringLiteral("read the snippets")));
}

Source ReadServerExport(ado::PgBackend& server, bool withHistory) {
    Source read;
    if (!withHistory) {
        read.snippets = ReadServerCollection(server);
        return read;
    }
    const QString doing = QStringLiteral("read the snippets");
    inTransaction(server, QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"), doing,
                  false, [&] {
                      read.snippets = ReadServerCollection(server);
                      QHash<qint64, QList<Version>> kept;
                      postgresql::ForEachServerVersion(server, [&kept](history::StoredVersion&& v) {
                          kept[v.id].append(ExportedVersion(v));
                      });
                      for (Snippet& s : read.snippets)
                          s.versions = kept.take(*s.id);
                      for (const history::KeptVersion& last : postgresql::ServerRemoved(server))
                          read.removed.append({last.id, std::nullopt, std::nullopt, std::nullopt,
                                               kept.value(last.id)});
                  });
    return read;
}

QList<qint64> AddSnippetsToServer(ado::PgBackend& server, const QList<Snippet>& snippets,
                                  bool dryRun, const QList<Snippet>& removed) {
    const QString doing = QStringLiteral("add the snippets");
    QList<qint64> ids;
    inTransaction(server, QStringLiteral("BEGIN"), doing, dryRun, [&] {
        // No one else numbers a row meanwhile.
        server.script(QStringLiteral("LOCK TABLE varozidi IN EXCLUSIVE MODE"), doing);
        const auto last = server.exec(
            QStringLiteral("SELECT (SELECT max(\"ID\") FROM varozidi), COALESCE((%1), 0)")
                .arg(kLastGiven),
            {}, doing);
        const bool empty = last->isNull(0, 0);
        const qint64 used = std::max(empty ? 0 : last->int64(0, 0), last->int64(0, 1));
        ids = IdsFor(snippets, empty, used, server.location());
        insertAll(server, snippets, ids, doing);
        for (qsizetype i = 0; i < snippets.size(); ++i)
            postgresql::AddServerVersions(server, ids[i], snippets[i].versions, doing);
        addRemoved(server, removed, snippets, ids, empty, doing);
    });
    return ids;
}

void BackupServer(ado::PgBackend& server, const QString& path) {
    QList<Snippet> snippets;
    QList<postgresql::StoredVersion> history;
    inTransaction(server, QStringLiteral("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY"),
                  QStringLiteral("back up the snippets"), false, [&] {
                      snippets = snippetsOf(
                          *server.exec(kSelect, {}, QStringLiteral("back up the snippets")));
                      history = postgresql::ReadServerHistory(server);
                  });
    // A path that is a link stays one: the copy replaces the file it points to.
    const QFileInfo target(
        ReplacementTarget(path, QStringLiteral("write the backup \"%1\"").arg(path)));
    TemporaryBeside temp(target.absoluteFilePath(), TemporaryBeside::File,
                         QStringLiteral("write the backup \"%1\"").arg(path));
    try {
        setup::MakeEmptyDatabase(temp.path(), path);
        const sqlite::Handle db = sqlite::Handle::Open(temp.path(), sqlite::Handle::Mode::ReadWrite,
                                                       QStringLiteral("write the backup"));
        // A backup that fails is thrown away whole: its journal stays in memory.
        sqlite3_exec(db.get(), "PRAGMA journal_mode = MEMORY", nullptr, nullptr, nullptr);
        AddSnippets(db.get(), path, snippets);
        postgresql::WriteHistoryFile(db.get(), path, history);
    } catch (const Error& e) {
        // The temporary file is no name the user knows: a failure names the backup instead.
        const QRegularExpression named(QRegularExpression::escape(temp.path()) +
                                       QStringLiteral("[^\"]*"));
        throw Error(QString(e.message()).replace(named, path));
    }
    temp.PutInPlace(true);
}

QList<Snippet> ReadCollectionFile(const QString& path) {
    try {
        VerifyDatabaseFile(path, QStringLiteral("varozidi"));
    } catch (const Error& e) {
        throw BadInput(e.message());
    }
    const sqlite::Handle db =
        sqlite::Handle::Open(path, sqlite::Handle::Mode::ReadOnly, QStringLiteral("read"));
    return ReadCollection(db.get(), path);
}

void RestoreServer(ado::PgBackend& server, const QString& path) {
    const QList<Snippet> snippets = ReadCollectionFile(path);
    const QList<postgresql::StoredVersion> older = postgresql::ReadHistoryFile(path);
    QList<qint64> ids;
    for (const Snippet& s : snippets)
        ids.append(s.id.value_or(0));
    const QString doing = QStringLiteral("restore the snippets");
    inTransaction(server, QStringLiteral("BEGIN"), doing, false, [&] {
        server.script(QStringLiteral("LOCK TABLE varozidi IN EXCLUSIVE MODE"), doing);
        postgresql::KeepReplaced(server, snippets, older, path, doing);
        server.script(QStringLiteral("DELETE FROM varozidi"), doing);
        insertAll(server, snippets, ids, doing);
    });
}

} // namespace varozidi::transfer
