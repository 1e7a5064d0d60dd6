#include "Unit4.h"
#include "ui_Unit4.h"

#include "Resources.h"
#include "platform/Fonts.h"

#include <QFont>
#include <QIcon>

TForm4::TForm4(QWidget* parent) : QWidget(parent), ui(new Ui::TForm4) {
    InitResources();
    ui->setupUi(this);
    setFont(FormFont());
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 72, 80, 96, 128})
        icon.addFile(QStringLiteral(":/images/help-%1.png").arg(size));
    setWindowIcon(icon);
}

TForm4::~TForm4() {
    delete ui;
}
