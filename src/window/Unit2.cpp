// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/Unit2.h"
#include "ui_Unit2.h"

#include "window/platform/Fonts.h"
#include "window/platform/WindowAccess.h"

#include <QApplication>
#include <QHideEvent>
#include <QKeyEvent>
#include <QLabel>

TForm2::TForm2(QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                         Qt::WindowDoesNotAcceptFocus),
      ui(new Ui::TForm2) {
    ui->setupUi(this);
    // The keys typed while it shows belong to the window behind it, which takes them once the
    // work is done; a notice holding the focus would swallow them.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);
    Panel1 = ui->Panel1;
    // The window manager names it in its lists and switchers: by the program, not the form.
    setWindowTitle(QApplication::applicationDisplayName());
    // Its caption is never seen; a screen reader names the notice by what it says.
    ExposeWindow(this, QAccessible::Dialog, [this] { return Panel1->text(); });
    setFont(FormFont());
    Panel1->setFont(FormFont(11, true));
    Panel1->setBackgroundRole(QPalette::Base);
    setBackgroundRole(QPalette::Mid);
    setAutoFillBackground(true);
    setFixedSize(354, 65);
}

TForm2::~TForm2() {
    delete ui;
}

// A window manager that gives it the focus all the same: what is typed goes on to the window
// it stands for, once the work it tells of is over and the notice has gone.
bool TForm2::event(QEvent* event) {
    const auto type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease)
        return QWidget::event(event);
    typed_.emplace_back(static_cast<QKeyEvent*>(event->clone()));
    if (!isVisible())
        passTypedOn();
    return true;
}

void TForm2::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    passTypedOn();
}

void TForm2::passTypedOn() {
    QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
    QWidget* target = owner ? owner->focusWidget() : nullptr;
    for (auto& key : typed_)
        if (target)
            QCoreApplication::postEvent(target, key.release());
    typed_.clear();
}
