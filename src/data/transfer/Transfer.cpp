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
#include "data/transfer/Staging.h"

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
    case FileKind::Folder: {
        FolderSnippets read = ReadSnippetFolder(path);
        return {std::move(read.snippets), folderKind(path), std::move(read.removed)};
    }
    case FileKind::Jet:
        return {ReadJetSnippets(path), QStringLiteral("a Jet 4.0 database")};
    case FileKind::Json:
        break;
    }
    QList<Snippet> snippets;
    QList<Snippet> removed;
    if (StreamJsonExport(
            path, [&](Utf8Snippet&& s) { (s.removed ? removed : snippets).append(SnippetOf(s)); }))
        return {std::move(snippets), QStringLiteral("a Varozidi export"), std::move(removed)};
    return {ReadVsCodeSnippets(path, ReadInputFile(path)),
            QStringLiteral("Visual Studio Code snippets")};
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
    case FileKind::Folder: {
        const FolderSnippets read = ReadSnippetFolder(source);
        stageAll(read.snippets);
        for (const Snippet& s : read.removed)
            staging.add(s, true);
        what = folderKind(source);
        break;
    }
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
