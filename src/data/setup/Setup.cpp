// SPDX-License-Identifier: GPL-3.0-or-later
#include "setup/Setup.h"

#include "Version.h"
#include "platform/ADODB.h"
#include "platform/AdoStatement.h"
#include "platform/Errors.h"
#include "platform/LanguageIndex.h"
#include "platform/SearchIndex.h"

#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

namespace varozidi::setup {

namespace {

constexpr mode_t kFileMode = 0600;

const char* const kSchema = "CREATE TABLE varozidi ("
                            "ID INTEGER PRIMARY KEY AUTOINCREMENT, "
                            "Language TEXT, Title TEXT, Body TEXT)";

QString systemError(int err) {
    return QString::fromLocal8Bit(std::strerror(err));
}

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

// A file name counts as present whatever the letter case of its name.
bool present(const QString& path) {
    return QFileInfo::exists(ResolveFileName(path));
}

// Creates a file that must not exist yet, with owner-only access, and writes bytes into it.
void writeNewFile(const QString& path, const QByteArray& bytes) {
    const int fd =
        ::open(native(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd < 0)
        throw Error(QStringLiteral("Cannot create \"%1\": %2.").arg(path, systemError(errno)));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(native(path).constData());
            throw Error(QStringLiteral("Cannot write \"%1\": %2.").arg(path, systemError(err)));
        }
        done += n;
    }
    const bool synced = ::fsync(fd) == 0;
    const int err = errno;
    ::close(fd);
    if (!synced) {
        ::unlink(native(path).constData());
        throw Error(QStringLiteral("Cannot write \"%1\": %2.").arg(path, systemError(err)));
    }
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

void CreateEmptyDatabase(const QString& path) {
    if (present(path))
        throw Error(QStringLiteral("\"%1\" exists already.").arg(path));
    // Build the database under a private name, then link it into place: the link fails
    // rather than replace a file that appeared meanwhile.
    const QString temp = path + QStringLiteral(".new-%1").arg(::getpid());
    ::unlink(native(temp).constData());
    writeNewFile(temp, QByteArray());
    auto discard = [&] {
        ::unlink(native(temp).constData());
        ::unlink(native(temp + QStringLiteral("-journal")).constData());
    };
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(native(temp).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
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
        search::EnsureIndex(db, temp);
        language::EnsureIndex(db, temp);
    } catch (const Error& e) {
        why = QString(e.message()).replace(temp, path);
    }
    sqlite3_close(db);
    if (!why.isEmpty()) {
        discard();
        throw Error(why);
    }
    if (::link(native(temp).constData(), native(path).constData()) != 0) {
        const int err = errno;
        discard();
        throw Error(
            QStringLiteral("Cannot create the database \"%1\": %2.").arg(path, systemError(err)));
    }
    discard();
}

Outcome InstallUserData(const QString& dataDir) {
    Outcome outcome;
    outcome.created = MakeFolders(dataDir);
    const QString dir = QDir::cleanPath(dataDir) + u'/';

    const QString database = dir + QStringLiteral("varozidi.mdb");
    if (present(database)) {
        outcome.kept.append(ResolveFileName(database));
    } else {
        CreateEmptyDatabase(database);
        outcome.created.append(database);
    }

    const struct {
        const char* name;
        QByteArray content;
    } textFiles[] = {
        {"LVersion.ini", QByteArrayLiteral("[VAROZIDI]\nVERSION=" VAROZIDI_VERSION "\n")},
        {"kzq.txt", WelcomeText().toUtf8()},
    };
    for (const auto& file : textFiles) {
        const QString path = dir + QLatin1String(file.name);
        if (present(path)) {
            outcome.kept.append(ResolveFileName(path));
            continue;
        }
        writeNewFile(path, file.content);
        outcome.created.append(path);
    }
    return outcome;
}

} // namespace varozidi::setup
