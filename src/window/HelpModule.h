// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>
#include <QString>

class QWidget;

// The help window and its browser live in a module of their own, loaded while the program
// runs: Qt WebEngine is large, the main window does not wait for it, and everything but the
// help works without it. This is what the program and the module agree on.

struct HelpWindowRequest {
    QString appDir;      // the program's folder, ending in '/', where the local page lies
    QString startPage;   // the online start page, an absolute http address
    QFont font;          // the windows' own font
    QWidget* mainWindow; // the help window first opens centred over it
};

// The module exports this function under kCreateHelpWindowName, with C linkage. The window
// it returns has no parent; the caller owns it.
using CreateHelpWindowFunction = QWidget* (*)(const HelpWindowRequest& request);
inline constexpr char kCreateHelpWindowName[] = "VarozidiCreateHelpWindow";

// The start page on the help server this build was configured with.
QString OnlineHelpStartPage();

// The module's file: libvarozidi_help.so in the program's folder, unless another is set.
QString HelpModulePath(const QString& appDir);
void SetHelpModulePath(const QString& path);

// Loads the module where it is not yet loaded and creates the help window. Throws
// varozidi::Error, saying what is wrong, where the module is missing or does not load.
QWidget* CreateHelpWindow(const HelpWindowRequest& request);
