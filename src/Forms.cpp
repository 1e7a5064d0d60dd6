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

// Creates the help window after the main window's first paint.
class AfterFirstPaint : public QObject {
public:
    AfterFirstPaint(QObject* parent, const QString& startPage)
        : QObject(parent), startPage_(startPage) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, watched, [startPage = startPage_] {
                if (!Form4) {
                    Form4 = new TForm4(Form1->AppDir, startPage);
                    Form4->setAttribute(Qt::WA_QuitOnClose, false);
                }
            });
            deleteLater();
        }
        return false;
    }

private:
    QString startPage_;
};

} // namespace

void CreateFormsHelpLast(const QString& helpStartPage) {
    Form1 = new TForm1;
    Form2 = new TForm2(Form1);
    Form2->setAttribute(Qt::WA_QuitOnClose, false);
    Form1->installEventFilter(new AfterFirstPaint(Form1, helpStartPage));
}
