// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <exception>
#include <functional>

class QWidget;

// The one way the program asks the user anything. Results follow the old toolkit's numbers.
enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };
enum TMsgDlgBtn : unsigned { mbYes = 1u << 0, mbNo = 1u << 1, mbOK = 1u << 2, mbCancel = 1u << 3 };
using TMsgDlgButtons = unsigned;

// A question closed without an answer (Escape, the box's close button): do nothing.
inline constexpr int mrNone = 0;
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;

struct MessageDlgRequest {
    QString text;
    TMsgDlgType kind;
    TMsgDlgButtons buttons;
    int helpContext;
    // The button Enter presses, whatever order the theme puts the buttons in; 0 takes the
    // first of Yes, OK.
    TMsgDlgButtons defaultButton = 0;
};

int MessageDlg(const QString& text, TMsgDlgType kind, TMsgDlgButtons buttons, int helpContext,
               TMsgDlgButtons defaultButton = 0);

// Message boxes are centred on owner while it is shown, and carry the program's icon; the
// program's main window names itself here.
void SetMessageDlgOwner(QWidget* owner);

// Tests answer dialogs through this seam; an empty function restores the real dialog.
using MessageDlgAnswerer = std::function<int(const MessageDlgRequest&)>;
void SetMessageDlgAnswerer(MessageDlgAnswerer answerer);

// The standard error box: the failure's own message, one OK button.
void ShowException(const std::exception& e);

// The same box after a change that was made, saying so, so that nobody makes it twice.
void ShowExceptionAfterChange(const std::exception& e);

// Runs a handler; a failure ends it there and is shown, and the program goes on.
template <class F> void Guarded(F&& handler) noexcept {
    try {
        std::forward<F>(handler)();
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

// As Guarded, for what follows a change already made (showing its outcome). After the
// message it is tried once more, quietly: a disk that failed one read may serve the next, and
// a list that shows the change keeps the user from making it again.
template <class F> void GuardedAfterChange(F&& handler) noexcept {
    try {
        handler();
    } catch (const std::exception& e) {
        ShowExceptionAfterChange(e);
        try {
            handler();
        } catch (const std::exception&) {
        }
    }
}
