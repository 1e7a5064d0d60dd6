// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/files/DataPath.h"

#include "data/files/Files.h"

#include <QDir>
#include <QFileInfo>
#include <pwd.h>
#include <unistd.h>

namespace {

// An XDG base folder: the variable's value, else below the home folder. A relative value is
// invalid and is ignored, as the XDG rules say.
QString xdgFolder(const char* variable, const QString& belowHome) {
    QString folder = qEnvironmentVariable(variable);
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder)) {
        QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty()) {
            if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
                home = QString::fromLocal8Bit(pw->pw_dir);
        }
        folder = home + belowHome;
    }
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

} // namespace

QString GetAppDataFolder() {
    return xdgFolder("XDG_DATA_HOME", QStringLiteral("/.local/share"));
}

QString DataDirFor(const QString& appDataFolder) {
    return appDataFolder + QStringLiteral("KZQ/Varozidi/");
}

QString FileInTheWay(const QString& folder) {
    QString sofar;
    for (const QString& part : QDir::cleanPath(folder).split(u'/', Qt::SkipEmptyParts)) {
        sofar += u'/' + part;
        const QFileInfo info(sofar);
        if (!info.exists())
            return {};
        if (!info.isDir())
            return sofar;
    }
    return {};
}

namespace varozidi::paths {

QString Database(const QString& dataDir) {
    return dataDir + QStringLiteral("varozidi.mdb");
}

QString Settings(const QString& dataDir) {
    return dataDir + QStringLiteral("Tessel.ini");
}

QString VersionFile(const QString& dataDir) {
    return dataDir + QStringLiteral("LVersion.ini");
}

QString WelcomeText(const QString& dataDir) {
    return dataDir + QStringLiteral("kzq.txt");
}

QString LockFileOf(const QString& databasePath) {
    const QFileInfo info(databasePath);
    QString lock = info.path() + u'/' + info.completeBaseName() + QStringLiteral(".ldb");
    // Never let the lock file be the database itself, whatever the letter case.
    if (QFileInfo(lock).absoluteFilePath().compare(info.absoluteFilePath(), Qt::CaseInsensitive) ==
        0)
        lock = databasePath + QStringLiteral(".ldb");
    return ResolveFileName(lock);
}

QString BackupFolder() {
    return GetAppDataFolder() + QStringLiteral("KZQBackups/Varozidi/");
}

QString BackupCopy() {
    return ResolveFileName(BackupFolder() + QStringLiteral("Varozidi.mdb"));
}

QString StateFolder() {
    return xdgFolder("XDG_STATE_HOME", QStringLiteral("/.local/state")) +
           QStringLiteral("KZQ/Varozidi/");
}

} // namespace varozidi::paths
