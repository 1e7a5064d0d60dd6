// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The help window and its browser live in a module of their own, loaded while the program
// runs: Qt WebEngine is large, the main window does not wait for it, and everything but the
// help works without it. This is what the program and the module agree on.

#include "data/Version.h"
#include "data/modules/Table.h"

#include <QByteArray>
#include <QFont>
#include <QString>
#include <QtGlobal>

class QWidget;

struct HelpWindowRequest {
    QString appDir;      // the program's folder, ending in '/', where the local page lies
    QString startPage;   // the online start page, an absolute http address
    QFont font;          // the windows' own font
    QWidget* mainWindow; // the help window first opens centred over it
};

// Creates the help window; it has no parent, and the caller owns it.
using CreateHelpWindowFunction = QWidget* (*)(const HelpWindowRequest& request);

// What the module's entry function kHelpEntry (C linkage, no arguments) returns.
struct HelpFunctions {
    varozidi::modules::TableHeader header;
    CreateHelpWindowFunction createHelpWindow;
};

inline constexpr char kHelpModule[] = "libvarozidi_help.so";
inline constexpr char kHelpEntry[] = "varozidi_help_functions";

// The table's names, and with them what the request's layout depends on: its members, its
// size, the Qt it was built with and the program's version. A module of another build has
// other names and is refused rather than called with a layout it was not built for.
inline const char* HelpFunctionNames() {
    static const QByteArray names =
        QByteArrayLiteral("createHelpWindow; request appDir startPage font mainWindow, ") +
        QByteArray::number(qulonglong(sizeof(HelpWindowRequest))) +
        QByteArrayLiteral(" bytes; Qt " QT_VERSION_STR "; Varozidi " VAROZIDI_VERSION);
    return names.constData();
}
