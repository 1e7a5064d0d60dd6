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
// each add what the other is adding. The folder itself is held too, so that two collections
// of this machine sharing one folder take turns.
class PassLock {
public:
    PassLock(const QString& statePath, const QString& folder, int waitMs) {
        MakeFolders(paths::StateFolder());
        state_ = ::open(posix::native(statePath + QStringLiteral(".lock")).constData(),
                        O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (state_ < 0)
            throw Error(QStringLiteral("Cannot sync: the lock beside \"%1\" cannot be made (%2).")
                            .arg(statePath, posix::systemError(errno)));
        // A folder that is not there has no lock: the pass says what is wrong with it.
        folder_ = ::open(posix::native(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QElapsedTimer waited;
        waited.start();
        for (const int fd : {state_, folder_})
            while (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                if (waited.elapsed() >= waitMs) {
                    close();
                    throw SyncBusy(QStringLiteral("Another sync of this folder is still "
                                                  "running; try again once it is over."));
                }
                QThread::msleep(50);
            }
    }
    ~PassLock() { close(); }
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

private:
    void close() {
        for (const int fd : {folder_, state_})
            if (fd >= 0)
                ::close(fd);
    }
    int state_ = -1;
    int folder_ = -1;
};

} // namespace

Report SyncOnce(TADOConnection& connection, const QString& folder, int waitMs) {
    connection.Open();
    const QString state = StateFor(folder, connection.collection()->address().identity());
    const PassLock lock(state, folder, waitMs);
    return Pass(connection, folder, state).run();
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
