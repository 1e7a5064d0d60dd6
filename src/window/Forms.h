#pragma once

class QString;

class TForm1;
class TForm2;
class TForm4;

// The program's three windows, each created once at start-up and kept until it ends.
extern TForm1* Form1;
extern TForm4* Form4;
extern TForm2* Form2;

// Creates the windows in their fixed order: the main window, the help browser, the busy
// notice. Only the main window is shown. The help window opens the configured online help,
// or helpStartPage.
void CreateForms();
void CreateForms(const QString& helpStartPage);

// As CreateForms, but the help browser only once the main window is on the screen: starting
// the browser's engine would hold the main window back by about 70 ms.
void CreateFormsHelpLast(const QString& helpStartPage);

// The help window, created now if CreateFormsHelpLast has not yet done so (a click on help
// can come before the first paint is over); null where no forms were created.
TForm4* HelpWindow();
