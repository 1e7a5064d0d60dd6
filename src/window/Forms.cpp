// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/Forms.h"

#include "data/core/Errors.h"
#include "window/HelpModule.h"
#include "window/Unit1.h"
#include "window/Unit2.h"
#include "window/platform/Fonts.h"

#include <QEvent>
#include <QTimer>

TForm1* Form1 = nullptr;
QWidget* Form4 = nullptr;
TForm2* Form2 = nullptr;

namespace {

QString helpStartPageLater;

// Creates the help window where nobody asked for it yet: a failure waits for a click on help,
// which says why.
void tryHelpWindow() {
    try {
        HelpWindow();
    } catch (const varozidi::Error&) {
    }
}

// Creates the help window after the main window's first paint.
class AfterFirstPaint : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, watched, [] { tryHelpWindow(); });
            deleteLater();
        }
        return false;
    }
};

} // namespace

void CreateForms() {
    CreateForms(OnlineHelpStartPage());
}

void CreateForms(const QString& helpStartPage) {
    Form1 = new TForm1;
    helpStartPageLater = helpStartPage;
    tryHelpWindow();
    Form2 = new TForm2(Form1);
    Form2->setAttribute(Qt::WA_QuitOnClose, false);
}

void CreateFormsHelpLast(const QString& helpStartPage) {
    Form1 = new TForm1;
    Form2 = new TForm2(Form1);
    Form2->setAttribute(Qt::WA_QuitOnClose, false);
    helpStartPageLater = helpStartPage;
    Form1->installEventFilter(new AfterFirstPaint(Form1));
}

QWidget* HelpWindow() {
    if (!Form4 && Form1 && !helpStartPageLater.isEmpty())
        Form4 = CreateHelpWindow({Form1->AppDir, helpStartPageLater, FormFont(), Form1});
    return Form4;
}
