// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>
#include <memory>
#include <vector>

class QKeyEvent;
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

protected:
    bool event(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void passTypedOn();
    std::vector<std::unique_ptr<QKeyEvent>> typed_;

    Ui::TForm2* ui;
};
