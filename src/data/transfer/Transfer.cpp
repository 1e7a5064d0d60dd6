// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/transfer/Transfer.h"

#include "data/core/SysUtils.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/files/Files.h"
#include "data/search/SearchIndex.h"
#include "data/transfer/FolderTree.h"
#include "data/transfer/Jet.h"
#include "data/transfer/JsonFiles.h"
#include "data/transfer/JsonStream.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <algorithm>
#include <limits>
#include <sqlite3.h>
#include <tuple>
#include <unistd.h>

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

const QString kAdding = QStringLiteral("add the snippets to");

// Whether the collection is empty, and the last ID it ever gave.
std::pair<bool, qint64> lastId(sqlite3* db, const QString& path) {
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

// Where SQLite keeps a temporary table: the first of these folders that can be written to.
QString temporaryFolder() {
    for (const QString& folder :
         {qEnvironmentVariable("SQLITE_TMPDIR"), qEnvironmentVariable("TMPDIR"),
          QStringLiteral("/var/tmp"), QStringLiteral("/usr/tmp"), QStringLiteral("/tmp")})
        if (!folder.isEmpty() && ::access(QFile::encodeName(folder).constData(), W_OK | X_OK) == 0)
            return folder;
    return QStringLiteral(".");
}

// Snippets on their way into the collection, a record at a time, all in one transaction:
// first into a temporary table on the disk, in the order read, then into the collection by
// one statement for many rows, once their IDs can be decided. The search index's triggers
// then gather many rows before writing, where a statement a row makes the index write each
// row on its own, several times slower. The temporary table stays after the commit as the
// list of what was added, until this is destroyed.
class Staging {
public:
    Staging(sqlite3* db, const QString& path, bool dryRun) : db_(db), path_(path), dryRun_(dryRun) {
        // IMMEDIATE: the write lock is taken now, not halfway through. A dry run only reads,
        // so a read-only or busy file will do for it.
        exec(dryRun_ ? "BEGIN" : "BEGIN IMMEDIATE");
        try {
            // A dry run looks at the collection only once the file is read, holding no lock
            // on it meanwhile.
            if (!dryRun_)
                std::tie(empty_, used_) = lastId(db_, path_);
            exec("DROP TABLE IF EXISTS temp.varozidi_import");
            exec("CREATE TEMP TABLE varozidi_import (Seq INTEGER PRIMARY KEY, Own INTEGER, "
                 "Language, Title, Body)");
            const char* sql = "INSERT INTO temp.varozidi_import VALUES (?, ?, ?, ?, ?)";
            const int rc = sqlite3_prepare_v2(db_, sql, -1, &insert_, nullptr);
            if (rc != SQLITE_OK)
                ado::throwSqliteError(db_, rc, path_, kAdding);
        } catch (...) {
            close();
            throw;
        }
    }
    ~Staging() { close(); }
    Staging(const Staging&) = delete;
    Staging& operator=(const Staging&) = delete;

    void add(const Utf8Snippet& s) {
        ++count_;
        ownIds_ = ownIds_ && s.id.has_value();
        sqlite3_bind_int64(insert_, 1, count_);
        if (s.id)
            sqlite3_bind_int64(insert_, 2, *s.id);
        else
            sqlite3_bind_null(insert_, 2);
        bindText(3, s.language);
        bindText(4, s.title);
        // A dry run lists what would be added; the bodies are not needed for that.
        bindText(5, dryRun_ ? Utf8() : s.body);
        const int rc = sqlite3_step(insert_);
        sqlite3_reset(insert_);
        sqlite3_clear_bindings(insert_);
        // Only the temporary table is written so far: a full disk is that of its folder.
        if (rc == SQLITE_FULL)
            throw Error(QStringLiteral("Cannot add the snippets to \"%1\": the disk of the "
                                       "temporary folder %2 is full; nothing was added.")
                            .arg(path_, temporaryFolder()));
        if (rc != SQLITE_DONE)
            ado::throwSqliteError(db_, rc, path_, kAdding);
    }
    void add(const Snippet& s) {
        const auto utf8 = [](const Text& t) { return t ? Utf8(t->toUtf8()) : Utf8(); };
        add(Utf8Snippet{s.id, utf8(s.language), utf8(s.title), utf8(s.body)});
    }

    // Decides the IDs, adds the rows to the collection (a dry run does not) and commits.
    void finish(const Progress& progress = {}) {
        if (dryRun_)
            std::tie(empty_, used_) = lastId(db_, path_);
        // Their own IDs, when the collection is empty and no two share one.
        if (ownIds_ && empty_ && count_ > 0) {
            Statement distinct(db_, path_,
                               QStringLiteral("SELECT count(DISTINCT Own) FROM "
                                              "temp.varozidi_import"),
                               kAdding);
            distinct.step();
            ownIds_ = distinct.int64(0) == count_;
        }
        ownIds_ = ownIds_ && empty_;
        if (!ownIds_ && used_ > std::numeric_limits<qint64>::max() - count_)
            throw Error(QStringLiteral("Cannot add the snippets to \"%1\": it has no IDs left.")
                            .arg(path_));
        bool compact = false;
        if (!dryRun_) {
            const qint64 before = [this] {
                Statement counted(db_, path_, QStringLiteral("SELECT count(*) FROM varozidi"),
                                  kAdding);
                counted.step();
                return counted.int64(0);
            }();
            // Most of the collection coming in now: the search index is made anew after the
            // rows, not kept one row at a time, which is what takes the time.
            compact = count_ > 0 && count_ >= before;
            // The index's triggers go first: a file that takes no writes is told as such here,
            // not as an index that cannot be kept.
            if (sqlite3_db_readonly(db_, "main") == 1)
                ado::throwSqliteError(db_, SQLITE_READONLY, path_, kAdding);
            const bool refill = compact && search::PauseIndex(db_, path_);
            Statement add(db_, path_,
                          QStringLiteral("INSERT INTO varozidi (ID, Language, Title, Body) "
                                         "SELECT CASE WHEN ?1 THEN Own ELSE ?2 + Seq END, "
                                         "Language, Title, Body FROM temp.varozidi_import "
                                         "WHERE Seq BETWEEN ?3 AND ?4 ORDER BY Seq"),
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
        exec("COMMIT");
        committed_ = true;
        // Most of the collection came in now: its search index is put in one piece, as a build
        // leaves it, not left in the many that adding so many rows made. Apart from the rows,
        // which are in: a merge that finds no room or no lock leaves the index as it is, sound
        // and only slower.
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

    ImportList list() const { return ImportList(db_, path_, count_, ownIds_, used_); }

private:
    void exec(const char* sql) { Statement::exec(db_, path_, QLatin1String(sql), kAdding); }
    // Whatever is not committed is rolled back, and the list goes with it.
    void close() {
        sqlite3_finalize(insert_);
        insert_ = nullptr;
        if (!committed_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_exec(db_, "DROP TABLE IF EXISTS temp.varozidi_import", nullptr, nullptr, nullptr);
    }
    void bindText(int index, const Utf8& text) {
        if (text)
            sqlite3_bind_text64(insert_, index, text->constData(), sqlite3_uint64(text->size()),
                                SQLITE_STATIC, SQLITE_UTF8);
        else
            sqlite3_bind_null(insert_, index);
    }

    sqlite3* db_;
    QString path_;
    bool dryRun_;
    bool committed_ = false;
    bool empty_ = false;
    qint64 used_ = 0;
    qint64 count_ = 0;
    bool ownIds_ = true;
    sqlite3_stmt* insert_ = nullptr;
};

} // namespace

ImportList::ImportList(sqlite3* db, const QString& path, qint64 size, bool ownIds, qint64 used)
    : db_(db), path_(path), size_(size), ownIds_(ownIds), used_(used) {}

void ImportList::forEach(
    const std::function<void(qint64 id, const Text& language, const Text& title)>& each) const {
    Statement rows(db_, path_,
                   QStringLiteral("SELECT CASE WHEN ?1 THEN Own ELSE ?2 + Seq END, Language, "
                                  "Title FROM temp.varozidi_import ORDER BY Seq"),
                   kAdding);
    rows.bind({ownIds_, used_});
    const auto text = [](const QVariant& v) { return v.isValid() ? Text(v.toString()) : Text(); };
    while (rows.step())
        each(rows.int64(0), text(rows.value(1)), text(rows.value(2)));
}

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

namespace {

enum class FileKind { Folder, Jet, Json };

// What is at path, told by its content: the head of a file is enough. Throws BadInput for
// anything import does not read.
FileKind kindOf(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        throw BadInput(QStringLiteral("There is no file or folder \"%1\".").arg(path));
    if (info.isDir())
        return FileKind::Folder;
    if (!info.isFile())
        throw BadInput(QStringLiteral("\"%1\" is not a file.").arg(path));
    if (IsJetFile(path))
        return FileKind::Jet;
    InputFile file(path);
    if (!file.isOpen())
        CannotOpen(path, file);
    constexpr qint64 kHead = 1 << 16;
    const QByteArray head = file.read(kHead);
    if (head.isEmpty())
        throw BadInput(QStringLiteral("\"%1\" is empty.").arg(path));
    if (head.startsWith(QByteArrayView("SQLite format 3\0", 16)))
        throw BadInput(QStringLiteral("\"%1\" is an SQLite database, not one of the files import "
                                      "reads (%2).")
                           .arg(path, kKinds));
    // A head of nothing but comments is left to the JSON reader to judge whole.
    if (!looksLikeJson(head) &&
        !(head.size() == kHead && StripJsonComments(head).trimmed().isEmpty()))
        throw BadInput(
            QStringLiteral("\"%1\" is not one of the files import reads (%2).").arg(path, kKinds));
    return FileKind::Json;
}

// A folder tree made by export carries its index; a plain tree of language folders does not.
QString folderKind(const QString& path) {
    return QFileInfo::exists(path + u'/' + QLatin1String(kFolderIndex))
               ? QStringLiteral("a Varozidi folder export")
               : QStringLiteral("a folder of snippets");
}

} // namespace

Source ReadSnippetsFrom(const QString& path) {
    switch (kindOf(path)) {
    case FileKind::Folder:
        return {ReadSnippetFolder(path), folderKind(path)};
    case FileKind::Jet:
        return {ReadJetSnippets(path), QStringLiteral("a Jet 4.0 database")};
    case FileKind::Json:
        break;
    }
    QList<Snippet> snippets;
    if (StreamJsonExport(path, [&snippets](Utf8Snippet&& s) { snippets.append(SnippetOf(s)); }))
        return {std::move(snippets), QStringLiteral("a Varozidi export")};
    return {ReadVsCodeSnippets(path, ReadInputFile(path)),
            QStringLiteral("Visual Studio Code snippets")};
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
    Staging staging(db, path, dryRun);
    for (qsizetype i = 0; i < snippets.size(); ++i) {
        staging.add(snippets[i]);
        if (progress)
            progress(i + 1, snippets.size());
    }
    staging.finish();
    QList<qint64> ids;
    staging.list().forEach([&ids](qint64 id, const Text&, const Text&) { ids.append(id); });
    return ids;
}

void ImportSnippets(sqlite3* db, const QString& path, const QString& source, bool dryRun,
                    const ImportProgress& progress,
                    const std::function<void(const ImportList&)>& listed) {
    const FileKind kind = kindOf(source);
    Staging staging(db, path, dryRun);
    QString what;
    // Other kinds are read whole before they are staged, which then takes no time to tell.
    const auto stageAll = [&](const QList<Snippet>& snippets) {
        for (const Snippet& s : snippets)
            staging.add(s);
    };
    switch (kind) {
    case FileKind::Folder:
        stageAll(ReadSnippetFolder(source));
        what = folderKind(source);
        break;
    case FileKind::Jet:
        stageAll(ReadJetSnippets(source));
        what = QStringLiteral("a Jet 4.0 database");
        break;
    case FileKind::Json:
        if (StreamJsonExport(
                source, [&staging](Utf8Snippet&& s) { staging.add(s); }, progress.reading)) {
            what = QStringLiteral("a Varozidi export");
        } else {
            // Visual Studio Code keeps a language's snippets in a small file, read whole.
            stageAll(ReadVsCodeSnippets(source, ReadInputFile(source)));
            what = QStringLiteral("Visual Studio Code snippets");
        }
        break;
    }
    staging.finish(progress.adding);
    ImportList list = staging.list();
    list.kind = what;
    if (listed)
        listed(list);
}

} // namespace varozidi::transfer
