// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the benchmark programs share: their options, the main window over a cached
// collection, bare SQLite, and the lines that report a target.

#include "Collection.h"

#include <QString>
#include <QTemporaryDir>
#include <memory>
#include <string>

struct sqlite3;
class TForm1;

namespace bench {

struct Options {
    CollectionShape shape;
    QString cache = CacheDir();
    QString collection; // the database file, once made
};
// Takes --snippets=N, --seed=N, --no-long and --cache=DIR out of argv.
Options TakeOptions(int& argc, char** argv);

// A per-user data folder in a temporary folder whose database is the collection; points
// XDG_DATA_HOME at it.
class Home {
public:
    explicit Home(const QString& collection);
    QString dataDir() const { return dataDir_; }

private:
    QTemporaryDir dir_;
    QString dataDir_;
};

// Any message box would wait for a click that never comes.
void RefuseMessageBoxes();

// Selects language and then the row id in the main window's lists; false if not listed.
bool SelectSnippet(TForm1& form, const QString& language, qint64 id);

sqlite3* OpenBare(const QString& path);

// Prints "TARGET|name|ratio|limit|PASS or FAIL|detail"; returns whether it passed.
bool Target(const std::string& name, double ratio, double limit, const std::string& detail);
// Prints "INFO|name|value|unit".
void Info(const std::string& name, double value, const std::string& unit);

} // namespace bench
