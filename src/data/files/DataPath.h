// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Where everything of the program lies: the one place that knows the names of its files.

#include <QString>

// The per-user data folder ($XDG_DATA_HOME, else ~/.local/share), ending in '/'.
QString GetAppDataFolder();

// The program's own data folder below it, ending in '/'.
QString DataDirFor(const QString& appDataFolder);

// The first part of folder's path that exists but is no folder (a file where a folder should
// be), or empty when there is none.
QString FileInTheWay(const QString& folder);

namespace varozidi::paths {

// The files of the data folder dataDir (ending in '/'), as named; each is found without
// regard to letter case when it is opened.
QString Database(const QString& dataDir);
QString Settings(const QString& dataDir);
QString VersionFile(const QString& dataDir);
QString WelcomeText(const QString& dataDir);
// The lock file kept beside the database at databasePath while it is open: "<base name>.ldb",
// never the database itself.
QString LockFileOf(const QString& databasePath);

// The backup's folder and the backup itself (found without regard to letter case), below the
// application data folder of the moment.
QString BackupFolder();
QString BackupCopy();

// $XDG_STATE_HOME/KZQ/Varozidi/ (~/.local/state when unset or relative), ending in '/': the
// unsaved text and the notes of temporary files.
QString StateFolder();

} // namespace varozidi::paths
