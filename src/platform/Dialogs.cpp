#include "platform/Dialogs.h"

#include "platform/Errors.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

MessageDlgAnswerer& answerer() {
    static MessageDlgAnswerer instance;
    return instance;
}

struct ButtonSpec {
    TMsgDlgBtn button;
    QMessageBox::StandardButton standard;
    int result;
};

constexpr ButtonSpec kButtons[] = {
    {mbYes, QMessageBox::Yes, mrYes},
    {mbNo, QMessageBox::No, mrNo},
    {mbOK, QMessageBox::Ok, mrOk},
    {mbCancel, QMessageBox::Cancel, mrCancel},
};

QMessageBox::Icon iconOf(TMsgDlgType kind) {
    switch (kind) {
    case TMsgDlgType::mtWarning:
        return QMessageBox::Warning;
    case TMsgDlgType::mtError:
        return QMessageBox::Critical;
    case TMsgDlgType::mtInformation:
        return QMessageBox::Information;
    case TMsgDlgType::mtConfirmation:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QString titleOf(TMsgDlgType kind) {
    switch (kind) {
    case TMsgDlgType::mtWarning:
        return QObject::tr("Warning");
    case TMsgDlgType::mtError:
        return QObject::tr("Error");
    case TMsgDlgType::mtInformation:
        return QObject::tr("Information");
    case TMsgDlgType::mtConfirmation:
        return QObject::tr("Confirm");
    }
    return QString();
}

} // namespace

void SetMessageDlgAnswerer(MessageDlgAnswerer a) {
    answerer() = std::move(a);
}

int MessageDlg(const QString& text, TMsgDlgType kind, TMsgDlgButtons buttons, int helpContext) {
    if (answerer())
        return answerer()(MessageDlgRequest{text, kind, buttons, helpContext});

    QMessageBox box(iconOf(kind), titleOf(kind), text, QMessageBox::NoButton,
                    QApplication::activeWindow());
    for (const auto& choice : kButtons)
        if (buttons & choice.button)
            box.addButton(choice.standard);
    // Closing the box with the window's close button counts as the safe answer: Cancel,
    // where a box offers it, decides nothing.
    if (buttons & mbCancel)
        box.setEscapeButton(QMessageBox::Cancel);
    else if (buttons & mbNo)
        box.setEscapeButton(QMessageBox::No);
    else if (buttons & mbOK)
        box.setEscapeButton(QMessageBox::Ok);
    const auto pressed = static_cast<QMessageBox::StandardButton>(box.exec());
    for (const auto& choice : kButtons)
        if (choice.standard == pressed)
            return choice.result;
    return mrCancel;
}

void ShowException(const std::exception& e) {
    MessageDlg(varozidi::messageOf(e), TMsgDlgType::mtError, mbOK, 0);
}
