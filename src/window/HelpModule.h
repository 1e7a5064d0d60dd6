// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Loading the help module (see help/HelpContract.h) and creating the help window from it.

#include "help/HelpContract.h"

#include <QString>

class QWidget;

// The start page on the help server this build was configured with.
QString OnlineHelpStartPage();

// The module's file: libvarozidi_help.so in the program's folder, unless another is set.
QString HelpModulePath(const QString& appDir);
void SetHelpModulePath(const QString& path);

// Loads the module where it is not yet loaded and creates the help window. Throws
// varozidi::Error, saying what is wrong, where the module is missing, does not load or is of
// another build.
QWidget* CreateHelpWindow(const HelpWindowRequest& request);
