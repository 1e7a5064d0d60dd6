// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/Transfer.h"

#include "platform/AdoStatement.h"
#include "platform/Files.h"
#include "platform/SysUtils.h"
#include "transfer/FolderTree.h"
#include "transfer/Jet.h"
#include "transfer/JsonFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <limits>
#include <sqlite3.h>

namespace varozidi::transfer {

namespace {

using ado::Statement;

const QString kKinds = QStringLiteral("a Varozidi JSON or folder export, Visual Studio Code "
                                      "snippets, or a Jet 4.0 database");

// Whether text, past a byte order mark, blanks and comments, starts as JSON does.
bool looksLikeJson(const QByteArray& bytes) {
    const QByteArray text =
        StripJsonComments(bytes.startsWith("\xef\xbb\xbf") ? bytes.mid(3) : bytes);
    for (const char c : text) {
        if (c == '{' || c == '[')
            return true;
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
            return false;
    }
    return false;
}

QVariant bound(const Text& text) {
    return text ? QVariant(*text) : QVariant();
}

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

// The ID each snippet gets: its own, when the collection is empty and no two share one;
// otherwise the next ones the collection would give, after every ID it ever gave.
QList<qint64> idsFor(sqlite3* db, const QString& path, const QList<Snippet>& snippets) {
    const QString doing = QStringLiteral("add the snippets to");
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
    return IdsFor(snippets, empty, used, path);
}

} // namespace

QList<qint64> IdsFor(const QList<Snippet>& snippets, bool empty, qint64 used,
                     const QString& where) {
    QList<qint64> ids;
    QSet<qint64> seen;
    for (const Snippet& s : snippets) {
        if (!empty || !s.id || seen.contains(*s.id))
            break;
        seen.insert(*s.id);
        ids.append(*s.id);
    }
    if (ids.size() == snippets.size())
        return ids;
    if (used > std::numeric_limits<qint64>::max() - snippets.size())
        throw Error(
            QStringLiteral("Cannot add the snippets to \"%1\": it has no IDs left.").arg(where));
    ids.clear();
    for (qsizetype i = 1; i <= snippets.size(); ++i)
        ids.append(used + i);
    return ids;
}

Source ReadSnippetsFrom(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        throw BadInput(QStringLiteral("There is no file or folder \"%1\".").arg(path));
    if (info.isDir())
        return {ReadSnippetFolder(path), QStringLiteral("a Varozidi folder export")};
    if (!info.isFile())
        throw BadInput(QStringLiteral("\"%1\" is not a file.").arg(path));
    if (IsJetFile(path))
        return {ReadJetSnippets(path), QStringLiteral("a Jet 4.0 database")};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw BadInput(QStringLiteral("Cannot read \"%1\": %2.").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw BadInput(QStringLiteral("Cannot read \"%1\": %2.").arg(path, file.errorString()));
    if (bytes.isEmpty())
        throw BadInput(QStringLiteral("\"%1\" is empty.").arg(path));
    if (bytes.startsWith(QByteArrayView("SQLite format 3\0", 16)))
        throw BadInput(QStringLiteral("\"%1\" is an SQLite database, not one of the files import "
                                      "reads (%2).")
                           .arg(path, kKinds));
    if (!looksLikeJson(bytes))
        throw BadInput(
            QStringLiteral("\"%1\" is not one of the files import reads (%2).").arg(path, kKinds));
    JsonSnippets json = ReadJsonSnippets(path, bytes);
    return {std::move(json.snippets), json.kind};
}

namespace {

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

} // namespace

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

qint64 ExportCollection(sqlite3* db, const QString& dbPath, ExportFormat format,
                        const QString& path, const Progress& progress) {
    if (format == ExportFormat::Folder) {
        const QList<Snippet> snippets = ReadCollection(db, dbPath);
        ExportSnippets(snippets, format, path);
        return snippets.size();
    }
    checkNewFile(path);
    const QString doing = QStringLiteral("read the snippets of");
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
                const auto flush = [&] {
                    const bool written = WriteAll(fd, out.constData(), std::size_t(out.size()));
                    out.clear();
                    return written;
                };
                for (; rows.step(); ++done) {
                    const Snippet snippet = snippetAt(rows);
                    // A long one goes out on its own, not on top of what waits.
                    if (snippet.body && snippet.body->size() >= kPiece && !flush())
                        return false;
                    AppendJsonRecord(out, snippet, done == 0);
                    if (out.size() >= kPiece && !flush())
                        return false;
                    if (progress)
                        progress(done + 1, total);
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

QList<qint64> AddSnippets(sqlite3* db, const QString& path, const QList<Snippet>& snippets,
                          bool dryRun, const Progress& progress) {
    const QString doing = QStringLiteral("add the snippets to");
    const auto exec = [&](const QString& sql) { Statement::exec(db, path, sql, doing); };
    if (dryRun) {
        // The IDs they would get, read in one consistent state; nothing written, so a
        // read-only file will do.
        exec(QStringLiteral("BEGIN"));
        try {
            const QList<qint64> ids = idsFor(db, path, snippets);
            exec(QStringLiteral("ROLLBACK"));
            return ids;
        } catch (...) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }
    // IMMEDIATE: the write lock is taken now, not halfway through.
    exec(QStringLiteral("BEGIN IMMEDIATE"));
    QList<qint64> ids;
    try {
        ids = idsFor(db, path, snippets);
        // The rows reach the table through one statement: the search index's triggers then
        // gather them all before writing, where a statement a row makes the index write each
        // row on its own, several times slower.
        exec(QStringLiteral("DROP TABLE IF EXISTS temp.varozidi_import"));
        exec(QStringLiteral("CREATE TEMP TABLE varozidi_import (ID INTEGER, Language, Title, "
                            "Body)"));
        Statement stage(db, path,
                        QStringLiteral("INSERT INTO temp.varozidi_import VALUES (?, ?, ?, ?)"),
                        doing);
        for (qsizetype i = 0; i < snippets.size(); ++i) {
            const Snippet& s = snippets[i];
            stage.bind({ids[i], bound(s.language), bound(s.title), bound(s.body)});
            stage.step();
            stage.reset();
            if (progress)
                progress(i + 1, snippets.size());
        }
        exec(QStringLiteral("INSERT INTO varozidi (ID, Language, Title, Body) SELECT ID, "
                            "Language, Title, Body FROM temp.varozidi_import ORDER BY rowid"));
        exec(QStringLiteral("DROP TABLE temp.varozidi_import"));
        exec(dryRun ? QStringLiteral("ROLLBACK") : QStringLiteral("COMMIT"));
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return ids;
}

} // namespace varozidi::transfer
