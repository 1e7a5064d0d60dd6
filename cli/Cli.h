// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// varozidi-cli: the snippet collection from a terminal or a script, on the program's own data
// folder and lock file. Each command is an entry in one table; see Commands.cpp.

#include "data/core/Errors.h"

#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class TADOConnection;
class TADOTable;
namespace varozidi {
class Collection;
}

namespace cli {

// Exit status: 0 done, 1 the user asked for something wrong or absent, 2 a failure.
enum Status { kDone = 0, kUserError = 1, kFailure = 2 };

// A mistake in what the user asked for (unknown ID, bad arguments): exit status 1.
class UserError : public varozidi::Error {
public:
    using Error::Error;
};

class Context {
public:
    // database: the server given by --database, if any.
    Context(const QString& dataDir, const QString& database);
    ~Context();

    QStringList args;               // after the command's name
    QMap<QString, QString> options; // "--language" -> its value; flags map to ""
    bool json = false;
    // Set by a command that needs no search: a collection without the search index is not made
    // to wait for one.
    bool searchIndexWhenNeeded = false;

    QString dataDir() const { return dataDir_; }
    // The program's own connection and cursor, opened on first use.
    TADOConnection& connection();
    // The collection the connection has open, opened on first use.
    varozidi::Collection& collection();
    TADOTable& table();
    // The same cursor, not opened: opening reads every row's number, which a question the
    // language index answers does without.
    TADOTable& unopenedTable();

    // Everything standard input holds, as bytes.
    QByteArray input();
    // The command's change is stored: a failure to print after it says so.
    void changed();
    // Standard output: text, JSON (one document and a line break), or bytes as they are.
    void print(const QString& text);
    void printJson(const QJsonValue& value);
    void write(const QByteArray& bytes);

private:
    QString dataDir_;
    QString database_;
    std::unique_ptr<TADOConnection> connection_;
    std::unique_ptr<TADOTable> table_;
};

struct Command {
    QString name;
    QString usage;                    // the arguments, e.g. "ID"
    QString summary;                  // one line, for the list of commands
    QString help;                     // what --help on the command says beyond the summary
    QStringList options;              // the options it takes besides the common ones
    int arguments;                    // how many positional arguments
    std::function<int(Context&)> run; // returns the exit status
};

const QList<Command>& Commands();

// list and search, written out row by row; see Listing.cpp.
int List(Context& c);
int Search(Context& c);
// Throws the Error that says snippet id has a field ("Language", ...) stored as bytes that are
// not UTF-8; CheckStoredText throws it where any field of the snippet is.
[[noreturn]] void RefuseNotText(qint64 id, const QString& field);
void CheckStoredText(Context& c, qint64 id);

// The commands that carry snippets out and in; see Transfer.cpp.
int Export(Context& c);
int Import(Context& c);
// The collection and a sync folder brought in step; see Sync.cpp.
int Sync(Context& c);

// The commands over the versions kept; see History.cpp. ShowVersion is show with --version.
int History(Context& c);
int ShowVersion(Context& c, qint64 id);
int Removed(Context& c);
int Undelete(Context& c);

// text with control characters (a line break in a title) written as escapes ("\\n"), for
// text output of one line a snippet.
QString OneLine(const QString& text);

// Columns padded to their widest entry, the last one left as it is.
QString Aligned(const QList<QStringList>& rows);

// Standard input, output or error the shell left closed are marked so, before anything is
// opened; reading or writing them is then an error.
void GuardStandardStreams();

// The body or text argument as UTF-8, or a UserError naming what is not: the collection keeps
// text only, never bytes changed on the way in. what: "Standard input", "The argument ...".
QString Utf8Text(const QByteArray& bytes, const QString& what);

// Runs the tool; returns the exit status. raw: the arguments as the shell passed them.
int Main(const QStringList& arguments, const QByteArrayList& raw = {});

} // namespace cli
