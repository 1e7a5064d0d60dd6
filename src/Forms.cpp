#include "Forms.h"

#include "Unit1.h"
#include "Unit2.h"
#include "Unit4.h"

TForm1* Form1 = nullptr;
TForm4* Form4 = nullptr;
TForm2* Form2 = nullptr;

void CreateForms() {
    CreateForms(TForm4::OnlineStartPage());
}

void CreateForms(const QString& helpStartPage) {
    Form1 = new TForm1;
    Form4 = new TForm4(Form1->AppDir, helpStartPage);
    Form4->setAttribute(Qt::WA_QuitOnClose, false);
    Form2 = new TForm2(Form1);
    Form2->setAttribute(Qt::WA_QuitOnClose, false);
}
