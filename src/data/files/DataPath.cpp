// SPDX-License-Identifier: GPL-3.0-or-later
#include "data/files/DataPath.h"

#include <QDir>
#include <QFileInfo>
#include <pwd.h>
#include <unistd.h>

QString GetAppDataFolder() {
    // A relative XDG_DATA_HOME is invalid and is ignored, as the XDG rules say.
    QString folder = qEnvironmentVariable("XDG_DATA_HOME");
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder)) {
        QString home = qEnvironmentVariable("HOME");
        if (home.isEmpty()) {
            if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
                home = QString::fromLocal8Bit(pw->pw_dir);
        }
        folder = home + QStringLiteral("/.local/share");
    }
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder;
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
