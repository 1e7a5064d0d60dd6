// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// "varozidi --search [TEXT]": the search window comes forward in the program already running
// on the same collection, through a local socket only this user can reach; without one the
// program starts as usual and opens its search window.

#include <QString>
#include <QStringList>
#include <optional>

class TForm1;

struct SearchOption {
    bool given = false;
    // The text to type into the query; none keeps the query the window had.
    std::optional<QString> text;
};
// "--search", "--search TEXT" or "--search=TEXT" among a program's arguments.
SearchOption SearchOptionOf(const QStringList& arguments);

// The socket of the programs on the collection the connection string names.
QString SearchSocketName(const QString& connectionString);

// True once the program listening on socketName has shown its search window; false when none
// answers.
bool ForwardSearch(const QString& socketName, const SearchOption& option);

// Takes the requests of later "--search" starts on socketName, unless another running program
// on the same collection already does.
void ListenForSearches(const QString& socketName, TForm1* form);

// Opens form's search window with the option's text typed in, over the main window.
void ShowSearch(TForm1* form, const SearchOption& option);
