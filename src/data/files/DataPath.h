// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

// The per-user data folder ($XDG_DATA_HOME, else ~/.local/share), ending in '/'.
QString GetAppDataFolder();

// The program's own data folder below it, ending in '/'.
QString DataDirFor(const QString& appDataFolder);

// The first part of folder's path that exists but is no folder (a file where a folder should
// be), or empty when there is none.
QString FileInTheWay(const QString& folder);
