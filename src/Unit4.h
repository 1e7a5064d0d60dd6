#pragma once

#include <QWidget>

namespace Ui {
class TForm4;
}

// The help browser window; hidden until the user asks for help.
class TForm4 : public QWidget {
    Q_OBJECT
public:
    explicit TForm4(QWidget* parent = nullptr);
    ~TForm4() override;

private:
    Ui::TForm4* ui;
};
