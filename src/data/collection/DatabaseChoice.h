// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Which collection the program and its companion open: the file in the data folder, unless
// "--database URI" or the URI entry of Tessel.ini's [DATABASE] section names a server.

#include <QString>
#include <QStringList>

// The value of "--database URI" or "--database=URI" among a program's arguments; empty when
// none is given.
QString DatabaseArgument(const QStringList& arguments);

// The connection string for the collection: the server named by databaseArgument, else by
// the settings in dataDir's Tessel.ini, else dataDir's "varozidi.mdb".
QString CollectionConnectionString(const QString& dataDir, const QString& databaseArgument = {});
