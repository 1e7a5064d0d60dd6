// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

namespace varozidi::setup {

struct Outcome {
    QStringList created; // files and folders made now
    QStringList kept;    // files that were there already and were left alone
};

// Puts the per-user data in place: dataDir itself and, only where missing, the empty
// database, LVersion.ini and kzq.txt. Never overwrites or alters an existing file, but for
// an empty LVersion.ini or kzq.txt, which is what a write cut short leaves. Files it
// makes are readable by their owner only. Throws varozidi::Error on failure.
Outcome InstallUserData(const QString& dataDir);

// Makes a new, empty snippet database at path. Fails when any file is there already.
void CreateEmptyDatabase(const QString& path);
// Makes the empty snippet table in file, an empty file made for it; messages name path.
void MakeEmptyDatabase(const QString& file, const QString& path);

// The welcome text a new user first sees in the editor.
QString WelcomeText();

} // namespace varozidi::setup
