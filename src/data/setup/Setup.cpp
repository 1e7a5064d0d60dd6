// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/setup/Setup.h"

#include "data/Version.h"
#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/engines/sqlite/AdoStatement.h"
#include "data/engines/sqlite/SqliteHandle.h"
#include "data/engines/sqlite/SqliteHistory.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"
#include "data/files/Temporary.h"
#include "data/search/SearchIndex.h"
#include "data/store/LanguageIndex.h"

#include <QDir>
#include <QFileInfo>
#include <sqlite3.h>

namespace varozidi::setup {

namespace {

using posix::native;

const char* const kSchema = "CREATE TABLE varozidi ("
                            "ID INTEGER PRIMARY KEY AUTOINCREMENT, "
                            "Language TEXT, Title TEXT, Body TEXT)";

// A file name counts as present whatever the letter case of its name.
bool present(const QString& path) {
    return QFileInfo::exists(ResolveFileName(path));
}

} // namespace

QString WelcomeText() {
    return QStringLiteral(
        "Welcome to KZQ Varozidi!\n"
        "\n"
        "Varozidi keeps your code snippets, each filed under a language.\n"
        "\n"
        "To add your first snippet:\n"
        "  1. Press \"Add Varozidi\", the sheet of paper above the title list.\n"
        "  2. Type a language (for example C++) and a title, then press Ok.\n"
        "  3. Click the new title, type or paste your code here, and press\n"
        "     \"Save Edits\", the floppy disk below the editor.\n"
        "\n"
        "Click a language on the left to list its snippets, and a title to open one.\n");
}

void MakeEmptyDatabase(const QString& file, const QString& path) {
    int rc = SQLITE_OK;
    sqlite::Handle handle = sqlite::Handle::TryOpen(file, sqlite::Handle::Mode::ReadWrite, rc);
    sqlite3* db = handle.get();
    // The file is thrown away unless it is made whole, so it needs no journal on disk.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, "PRAGMA journal_mode = MEMORY", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    QString why;
    try {
        // A full disk or a size limit is said in plain words, not as SQLite's "disk I/O error".
        if (rc != SQLITE_OK)
            ado::throwSqliteError(db, sqlite3_extended_errcode(db), path,
                                  QStringLiteral("create the database"));
        search::EnsureIndex(db, file);
        language::EnsureIndex(db, file);
        sqlite::EnsureHistory(db, file, history::RetentionBeside(path));
    } catch (const Error& e) {
        why = QString(e.message()).replace(file, path);
    }
    handle.reset();
    if (!why.isEmpty())
        throw Error(why);
}

void CreateEmptyDatabase(const QString& path) {
    if (present(path))
        throw Error(QStringLiteral("\"%1\" exists already.").arg(path));
    // Built under a name of its own, then put in place only where nothing appeared meanwhile.
    TemporaryBeside temp(path, TemporaryBeside::File,
                         QStringLiteral("create the database \"%1\"").arg(path));
    MakeEmptyDatabase(temp.path(), path);
    if (!temp.PutInPlace(false))
        throw Error(QStringLiteral("\"%1\" exists already.").arg(path));
}

Outcome InstallUserData(const QString& dataDir) {
    Outcome outcome;
    outcome.created = MakeFolders(dataDir);
    const QString dir = QDir::cleanPath(dataDir) + u'/';

    const QString database = paths::Database(dir);
    if (present(database)) {
        outcome.kept.append(ResolveFileName(database));
    } else {
        CreateEmptyDatabase(database);
        outcome.created.append(database);
    }

    const struct {
        QString path;
        QByteArray content;
    } textFiles[] = {
        {paths::VersionFile(dir), QByteArrayLiteral("[VAROZIDI]\nVERSION=" VAROZIDI_VERSION "\n")},
        {paths::WelcomeText(dir), WelcomeText().toUtf8()},
    };
    for (const auto& file : textFiles) {
        const QString& path = file.path;
        // An empty one is what a write cut short leaves: it holds nothing to keep.
        const QFileInfo found(ResolveFileName(path));
        if (found.exists() && (found.size() > 0 || !found.isFile())) {
            outcome.kept.append(found.filePath());
            continue;
        }
        WriteFileSafely(found.filePath(), file.content, found.exists());
        outcome.created.append(found.filePath());
    }
    return outcome;
}

} // namespace varozidi::setup
