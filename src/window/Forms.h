// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QString;
class QWidget;

class TForm1;
class TForm2;

// The program's three windows, each created once at start-up and kept until it ends. The
// help window (Form4) comes from the help module (HelpModule.h).
extern TForm1* Form1;
extern QWidget* Form4;
extern TForm2* Form2;

// Creates the windows in their fixed order: the main window, the help browser, the busy
// notice. Only the main window is shown. The help window opens the configured online help,
// or helpStartPage; where its module does not load, there is none (Form4 stays null).
void CreateForms();
void CreateForms(const QString& helpStartPage);

// As CreateForms, but the help browser only once the main window is on the screen: starting
// the browser's engine would hold the main window back by about 70 ms.
void CreateFormsHelpLast(const QString& helpStartPage);

// The help window, created now if CreateFormsHelpLast has not yet done so (a click on help
// can come before the first paint is over); null where no forms were created. Throws
// varozidi::Error where the help module does not load.
QWidget* HelpWindow();
