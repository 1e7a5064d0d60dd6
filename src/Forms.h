#pragma once

class TForm1;
class TForm2;
class TForm4;

// The program's three windows, each created once at start-up and kept until it ends.
extern TForm1* Form1;
extern TForm4* Form4;
extern TForm2* Form2;

// Creates the windows in their fixed order: the main window, the help browser, the busy
// notice. Only the main window is shown.
void CreateForms();
