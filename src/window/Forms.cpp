#include "Forms.h"

#include "Unit1.h"
#include "Unit2.h"
#include "Unit4.h"

#include <QEvent>
#include <QTimer>

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

namespace {

QString laterHelpStartPage;

// Creates the help window after the main window's first paint.
class AfterFirstPaint : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, watched, [] { HelpWindow(); });
            deleteLater();
        }
        return false;
    }
};

} // namespace

void CreateFormsHelpLast(const QString& helpStartPage) {
    Form1 = new TForm1;
    Form2 = new TForm2(Form1);
    Form2->setAttribute(Qt::WA_QuitOnClose, false);
    laterHelpStartPage = helpStartPage;
    Form1->installEventFilter(new AfterFirstPaint(Form1));
}

TForm4* HelpWindow() {
    if (!Form4 && Form1 && !laterHelpStartPage.isEmpty()) {
        Form4 = new TForm4(Form1->AppDir, laterHelpStartPage);
        Form4->setAttribute(Qt::WA_QuitOnClose, false);
    }
    return Form4;
}
