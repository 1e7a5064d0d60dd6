// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/sync/Sync.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/core/Posix.h"
#include "data/files/DataPath.h"
#include "data/files/Files.h"
#include "data/files/IniFile.h"
#include "data/store/ADODB.h"
#include "data/store/AdoBackend.h"
#include "data/store/AdoFilter.h"
#include "data/store/SnippetQueries.h"
#include "data/sync/SyncPass.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace varozidi::sync {

using detail::Pass;

namespace {

// One pass at a time for a folder and a collection: the window's and the companion's would
// each add what the other is adding.
class PassLock {
public:
    PassLock(const QString& statePath, int waitMs) {
        MakeFolders(paths::StateFolder());
        fd_ = ::open(posix::native(statePath + QStringLiteral(".lock")).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw Error(QStringLiteral("Cannot sync: the lock beside \"%1\" cannot be made (%2).")
                            .arg(statePath, posix::systemError(errno)));
        QElapsedTimer waited;
        waited.start();
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (waited.elapsed() >= waitMs) {
                ::close(fd_);
                throw SyncBusy(QStringLiteral("Another sync of this folder is still running; try "
                                              "again once it is over."));
            }
            QThread::msleep(50);
        }
    }
    ~PassLock() { ::close(fd_); }
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

private:
    int fd_ = -1;
};

} // namespace

Report SyncOnce(TADOConnection& connection, const QString& folder, int waitMs) {
    connection.Open();
    const PassLock lock(StatePath(QDir::cleanPath(QFileInfo(folder).absoluteFilePath()),
                                  connection.collection()->address().identity()),
                        waitMs);
    return Pass(connection, folder).run();
}

QString ChosenFolder(const QString& dataDir) {
    return TIniFile(paths::Settings(dataDir))
        .ReadString(QStringLiteral("SYNC"), QStringLiteral("Folder"), {})
        .trimmed();
}

void ChooseFolder(const QString& dataDir, const QString& folder) {
    TIniFile ini(paths::Settings(dataDir));
    ini.WriteString(QStringLiteral("SYNC"), QStringLiteral("Folder"), folder);
    ini.UpdateFile();
}

} // namespace varozidi::sync
