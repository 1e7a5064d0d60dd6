#include "transfer/Transfer.h"

#include "platform/AdoStatement.h"
#include "platform/Files.h"
#include "transfer/FolderTree.h"
#include "transfer/Jet.h"
#include "transfer/JsonFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
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

Text textOf(const QVariant& value) {
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() == QMetaType::QByteArray)
        return QString::fromUtf8(value.toByteArray());
    return value.toString();
}

} // namespace

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
        throw Error(QStringLiteral("Cannot read \"%1\": %2.").arg(path, file.errorString()));
    const QByteArray bytes = file.readAll();
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

QList<Snippet> ReadCollection(sqlite3* db, const QString& path) {
    Statement s(db, path,
                QStringLiteral("SELECT ID, Language, Title, Body FROM varozidi ORDER BY ID"),
                QStringLiteral("read the snippets of"));
    QList<Snippet> snippets;
    while (s.step()) {
        const QVariant id = s.value(0);
        snippets.append(Snippet{id.isValid() ? std::optional<qint64>(s.int64(0)) : std::nullopt,
                                textOf(s.value(1)), textOf(s.value(2)), textOf(s.value(3))});
    }
    return snippets;
}

void ExportSnippets(const QList<Snippet>& snippets, ExportFormat format, const QString& path) {
    if (format == ExportFormat::Folder) {
        WriteSnippetFolder(snippets, path);
        return;
    }
    const QFileInfo info(path);
    if (!QFileInfo(info.absolutePath()).isDir())
        throw BadInput(
            QStringLiteral("There is no folder \"%1\" to export into.").arg(info.absolutePath()));
    if (info.exists() || info.isSymLink())
        throw BadInput(QStringLiteral("\"%1\" exists already; export writes only into a new "
                                      "file, never over one.")
                           .arg(path));
    WriteFileSafely(path, SnippetsToJson(snippets), false);
}

QList<qint64> AddSnippets(sqlite3* db, const QString& path, const QList<Snippet>& snippets,
                          bool dryRun) {
    const QString doing = QStringLiteral("add the snippets to");
    // IMMEDIATE: the write lock is taken now, not halfway through.
    Statement::exec(db, path, QStringLiteral("BEGIN IMMEDIATE"), doing);
    QList<qint64> ids;
    try {
        Statement empty(db, path, QStringLiteral("SELECT NOT EXISTS (SELECT 1 FROM varozidi)"),
                        doing);
        bool keep = empty.step() && empty.int64(0) == 1;
        QSet<qint64> seen;
        for (const Snippet& s : snippets) {
            keep = keep && s.id && !seen.contains(*s.id);
            if (s.id)
                seen.insert(*s.id);
        }
        Statement insert(db, path,
                         keep ? QStringLiteral("INSERT INTO varozidi (ID, Language, Title, Body) "
                                               "VALUES (?, ?, ?, ?)")
                              : QStringLiteral("INSERT INTO varozidi (Language, Title, Body) "
                                               "VALUES (?, ?, ?)"),
                         doing);
        for (const Snippet& s : snippets) {
            if (keep)
                insert.bind(1, *s.id);
            insert.bind({bound(s.language), bound(s.title), bound(s.body)}, keep ? 2 : 1);
            insert.step();
            insert.reset();
            ids.append(keep ? *s.id : sqlite3_last_insert_rowid(db));
        }
        Statement::exec(db, path, dryRun ? QStringLiteral("ROLLBACK") : QStringLiteral("COMMIT"),
                        doing);
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    return ids;
}

} // namespace varozidi::transfer
