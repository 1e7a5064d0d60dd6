// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

class QLabel;

namespace Ui {
class TForm2;
}

// The small notice shown while a long file operation blocks the program.
class TForm2 : public QWidget {
    Q_OBJECT
public:
    explicit TForm2(QWidget* owner = nullptr);
    ~TForm2() override;

    QLabel* Panel1;

private:
    Ui::TForm2* ui;
};
