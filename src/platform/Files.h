#pragma once

#include <QString>

// Resolves the last component of path without regard to letter case within its folder,
// as the old platform's file system did. Returns path unchanged when nothing matches.
QString ResolveFileName(const QString& path);
