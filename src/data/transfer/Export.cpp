// SPDX-License-Identifier: GPL-3.0-or-later
// Every snippet of a collection file out into a new JSON file or folder tree, with its history
// where asked.

#include "data/core/SysUtils.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteHistory.h"
#include "data/files/Files.h"
#include "data/transfer/FolderTree.h"
#include "data/transfer/JsonFiles.h"
#include "data/transfer/Transfer.h"

#include <QFileInfo>
#include <sqlite3.h>

namespace varozidi::transfer {

namespace {

using ado::Statement;

// Bytes another program stored that are not UTF-8 would be written out changed: refused,
// naming the snippet.
Text textOf(const QVariant& value, qint64 id, const char* field) {
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() != QMetaType::QByteArray)
        return value.toString();
    if (auto text = ExactUtf8(value.toByteArray()))
        return text;
    throw Error(QStringLiteral("Snippet %1 has a %2 that is not UTF-8 text (another program "
                               "stored it as bytes), which an export cannot keep unchanged; "
                               "'varozidi-cli show %1' writes a body as stored.")
                    .arg(id)
                    .arg(QLatin1String(field)));
}

const QString kReadAll =
    QStringLiteral("SELECT ID, Language, Title, Body FROM varozidi ORDER BY ID");

Snippet snippetAt(const Statement& s) {
    const QVariant id = s.value(0);
    const qint64 n = s.int64(0);
    return {id.isValid() ? std::optional<qint64>(n) : std::nullopt,
            textOf(s.value(1), n, "language"), textOf(s.value(2), n, "title"),
            textOf(s.value(3), n, "body")};
}

// The file is written under the name it has in any letter case, so that is the one looked for.
void checkNewFile(const QString& path) {
    const QFileInfo info(ResolveFileName(path));
    if (!QFileInfo(info.absolutePath()).isDir())
        throw BadInput(
            QStringLiteral("There is no folder \"%1\" to export into.").arg(info.absolutePath()));
    if (info.exists() || info.isSymLink())
        throw BadInput(QStringLiteral("\"%1\" exists already; export writes only into a new "
                                      "file, never over one.")
                           .arg(info.filePath()));
}

QList<Version> versionsOf(sqlite3* db, const QString& path, qint64 id) {
    QList<Version> versions;
    sqlite::ForEachVersion(db, path, id, [&versions](history::StoredVersion&& v) {
        versions.append(ExportedVersion(v));
    });
    return versions;
}

// The removed snippets the file keeps, each with its versions: the most recently removed last.
QList<Snippet> removedIn(sqlite3* db, const QString& path) {
    QList<Snippet> removed;
    for (const history::KeptVersion& last : sqlite::Removed(db, path))
        removed.append(
            {last.id, std::nullopt, std::nullopt, std::nullopt, versionsOf(db, path, last.id)});
    return removed;
}

// What a JSON export with the history adds after a snippet's fields: its versions, written
// out one at a time so that no more than one is held.
bool appendVersions(QByteArray& out, sqlite3* db, const QString& path, const Snippet& snippet,
                    bool first, bool removed, const std::function<bool()>& flush) {
    constexpr qsizetype kPiece = 1 << 20;
    AppendHistoryRecordHead(out, snippet, first, removed);
    bool written = true;
    bool any = false;
    sqlite::ForEachVersion(db, path, *snippet.id, [&](history::StoredVersion&& stored) {
        if (!written)
            return;
        const Version v = ExportedVersion(stored);
        if (v.body && v.body->size() >= kPiece)
            written = flush();
        AppendJsonVersion(out, v, !any);
        any = true;
        if (written && out.size() >= kPiece)
            written = flush();
    });
    AppendHistoryRecordTail(out);
    return written;
}

} // namespace

Version ExportedVersion(const history::StoredVersion& stored) {
    const auto text = [&stored](const std::optional<QByteArray>& bytes, const char* field) {
        if (!bytes)
            return Text();
        if (auto exact = ExactUtf8(*bytes))
            return Text(std::move(exact));
        throw Error(QStringLiteral("Version %1 of snippet %2 has a %3 that is not UTF-8 text "
                                   "(another program stored it as bytes), which an export "
                                   "cannot keep unchanged; 'varozidi-cli show --version %1 %2' "
                                   "writes a body as stored.")
                        .arg(stored.version)
                        .arg(stored.id)
                        .arg(QLatin1String(field)));
    };
    return {stored.kind, stored.changedMs, text(stored.language, "language"),
            text(stored.title, "title"), text(stored.body, "body")};
}

QList<Snippet> ReadCollection(sqlite3* db, const QString& path) {
    Statement s(db, path, kReadAll, QStringLiteral("read the snippets of"));
    QList<Snippet> snippets;
    while (s.step())
        snippets.append(snippetAt(s));
    return snippets;
}

void ExportSnippets(const QList<Snippet>& snippets, ExportFormat format, const QString& path) {
    if (format == ExportFormat::Folder) {
        WriteSnippetFolder(snippets, path);
        return;
    }
    checkNewFile(path);
    WriteFileSafely(path, SnippetsToJson(snippets), false);
}

void ExportSnippets(const QList<Snippet>& snippets, const QList<Snippet>& removed,
                    ExportFormat format, const QString& path) {
    if (format == ExportFormat::Folder) {
        WriteSnippetFolder(snippets, path, &removed);
        return;
    }
    checkNewFile(path);
    WriteFileSafely(path, SnippetsToJson(snippets, removed, true), false);
}

// A tree is written from the snippets read whole, with their history when asked: one read
// transaction, so that they are of the same moment.
qint64 exportFolder(sqlite3* db, const QString& dbPath, const QString& path, bool withHistory) {
    Statement::exec(db, dbPath, QStringLiteral("BEGIN"), QStringLiteral("read the snippets of"));
    QList<Snippet> snippets;
    QList<Snippet> removed;
    try {
        snippets = ReadCollection(db, dbPath);
        if (withHistory) {
            for (Snippet& s : snippets)
                s.versions = versionsOf(db, dbPath, *s.id);
            removed = removedIn(db, dbPath);
        }
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (withHistory)
        ExportSnippets(snippets, removed, ExportFormat::Folder, path);
    else
        ExportSnippets(snippets, ExportFormat::Folder, path);
    return snippets.size();
}

qint64 ExportCollection(sqlite3* db, const QString& dbPath, ExportFormat format,
                        const QString& path, const Progress& progress, bool withHistory) {
    const QString doing = QStringLiteral("read the snippets of");
    if (format == ExportFormat::Folder)
        return exportFolder(db, dbPath, path, withHistory);
    checkNewFile(path);
    // One read transaction: the count and the rows are of the same moment.
    Statement::exec(db, dbPath, QStringLiteral("BEGIN"), doing);
    qint64 done = 0;
    try {
        Statement count(db, dbPath, QStringLiteral("SELECT count(*) FROM varozidi"), doing);
        count.step();
        const qint64 total = count.int64(0);
        Statement rows(db, dbPath, kReadAll, doing);
        // Written in pieces of about this size.
        constexpr qsizetype kPiece = 1 << 20;
        WriteFileSafely(
            path,
            [&](int fd) {
                QByteArray out = JsonExportHead();
                const std::function<bool()> flush = [&] {
                    const bool written = WriteAll(fd, out.constData(), std::size_t(out.size()));
                    out.clear();
                    return written;
                };
                for (; rows.step(); ++done) {
                    const Snippet snippet = snippetAt(rows);
                    // A long one goes out on its own, not on top of what waits.
                    if (snippet.body && snippet.body->size() >= kPiece && !flush())
                        return false;
                    if (!withHistory)
                        AppendJsonRecord(out, snippet, done == 0);
                    else if (!appendVersions(out, db, dbPath, snippet, done == 0, false, flush))
                        return false;
                    if (out.size() >= kPiece && !flush())
                        return false;
                    if (progress)
                        progress(done + 1, total);
                }
                if (withHistory) {
                    out += JsonRemovedHead(done == 0);
                    const QList<history::KeptVersion> removed = sqlite::Removed(db, dbPath);
                    for (qsizetype i = 0; i < removed.size(); ++i) {
                        const Snippet gone{removed[i].id, std::nullopt, std::nullopt, std::nullopt};
                        if (!appendVersions(out, db, dbPath, gone, i == 0, true, flush))
                            return false;
                    }
                    out += JsonExportTail(removed.isEmpty());
                    return flush();
                }
                out += JsonExportTail(done == 0);
                return flush();
            },
            false);
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return done;
}

} // namespace varozidi::transfer
