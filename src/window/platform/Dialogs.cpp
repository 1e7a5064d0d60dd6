// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/Dialogs.h"

#include "data/core/Errors.h"
#include "window/Resources.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace {

QPointer<QWidget>& owner() {
    static QPointer<QWidget> instance;
    return instance;
}

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

// Escape and the box's close button leave a question unanswered, whatever its buttons.
class Unanswered : public QObject {
public:
    explicit Unanswered(QMessageBox* box) : QObject(box), box_(box) {}
    bool eventFilter(QObject*, QEvent* event) override {
        const bool escape = event->type() == QEvent::KeyPress &&
                            static_cast<QKeyEvent*>(event)->matches(QKeySequence::Cancel);
        // A box closing after a button was pressed keeps that answer.
        if ((!escape && event->type() != QEvent::Close) || box_->clickedButton())
            return false;
        box_->done(kUnanswered);
        return true;
    }
    static constexpr int kUnanswered = -1;

private:
    QMessageBox* box_;
};

} // namespace

void SetMessageDlgOwner(QWidget* window) {
    owner() = window;
}

void SetMessageDlgAnswerer(MessageDlgAnswerer a) {
    answerer() = std::move(a);
}

int MessageDlg(const QString& text, TMsgDlgType kind, TMsgDlgButtons buttons, int helpContext,
               TMsgDlgButtons defaultButton) {
    if (answerer())
        return answerer()(MessageDlgRequest{text, kind, buttons, helpContext, defaultButton});

    // Over the main window, not over whatever happens to be active (the borderless busy
    // notice, or nothing at all during a long wait).
    QWidget* over = owner() && owner()->isVisible() ? owner().data() : QApplication::activeWindow();
    QMessageBox box(iconOf(kind), titleOf(kind), text, QMessageBox::NoButton, over);
    if (owner())
        box.setWindowIcon(ProgramIcon());
    // Enter presses the button asked for, else the first of Yes, OK, by role: a theme that
    // puts No first would otherwise make it the default and throw the edits away.
    if (!(defaultButton & buttons))
        defaultButton = (buttons & mbYes) ? mbYes : (buttons & mbOK) ? mbOK : 0u;
    for (const auto& choice : kButtons)
        if (buttons & choice.button) {
            QPushButton* button = box.addButton(choice.standard);
            if (defaultButton & choice.button)
                box.setDefaultButton(button);
        }
    // A question closed without an answer does nothing: No may throw text away, and Cancel
    // means something of its own where it is offered. A box that only tells closes as OK.
    if (buttons & (mbYes | mbNo))
        box.installEventFilter(new Unanswered(&box));
    else if (buttons & mbOK)
        box.setEscapeButton(QMessageBox::Ok);
    const int result = box.exec();
    if (result == Unanswered::kUnanswered)
        return mrNone;
    const auto pressed = static_cast<QMessageBox::StandardButton>(result);
    for (const auto& choice : kButtons)
        if (choice.standard == pressed)
            return choice.result;
    return mrCancel;
}

void ShowException(const std::exception& e) {
    if (dynamic_cast<const varozidi::AfterChangeError*>(&e)) {
        ShowExceptionAfterChange(e);
        return;
    }
    MessageDlg(varozidi::messageOf(e), TMsgDlgType::mtError, mbOK, 0);
}

void ShowExceptionAfterChange(const std::exception& e) {
    MessageDlg(varozidi::messageOf(e) + QStringLiteral("\n\n") +
                   QCoreApplication::translate("Dialogs", "The change itself was made."),
               TMsgDlgType::mtWarning, mbOK, 0);
}
