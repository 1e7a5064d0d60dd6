// SPDX-License-Identifier: GPL-3.0-or-later
#include "Unit2.h"
#include "ui_Unit2.h"

#include "platform/Fonts.h"
#include "platform/WindowAccess.h"

#include <QGuiApplication>
#include <QLabel>

TForm2::TForm2(QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      ui(new Ui::TForm2) {
    ui->setupUi(this);
    Panel1 = ui->Panel1;
    // The window manager names it in its lists and switchers: by the program, not the form.
    setWindowTitle(QGuiApplication::applicationDisplayName());
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
