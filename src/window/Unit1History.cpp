// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's side of the history: opening the history window, taking a version back
// into the editor, and showing a snippet brought back.

#include "window/Unit1.h"

#include "data/collection/Collection.h"
#include "data/store/ADODB.h"
#include "window/HistoryWindow.h"
#include "window/platform/Dialogs.h"

#include <QAction>
#include <QLabel>

void TForm1::createHistoryAction() {
    // A window-wide key only: the window's buttons and menus stay as they are.
    ShowHistory = new QAction(tr("History"), this);
    ShowHistory->setObjectName(QStringLiteral("ShowHistory"));
    ShowHistory->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    ShowHistory->setShortcutContext(Qt::WindowShortcut);
    addAction(ShowHistory);
    connect(ShowHistory, &QAction::triggered, this,
            [this] { asHandler([this] { OpenHistory(); }); });
}

void TForm1::asHandler(const std::function<void()>& handler) {
    ++handlerDepth_;
    Guarded(handler);
    --handlerDepth_;
    syncRecovery();
}

HistoryWindow* TForm1::historyWindow() {
    if (History)
        return History;
    History = new HistoryWindow(
        this, {[this]() -> varozidi::Collection& {
                   // A backup, a restore or a long save has the collection now.
                   if (busy_)
                       throw varozidi::Error(tr("The collection is busy with a backup, a "
                                                "restore or a save; try again in a moment."));
                   ADOConnection1->Open();
                   return *ADOConnection1->collection();
               },
               [this](const QString& language) { return HighlighterFor(language); }});
    connect(History, &HistoryWindow::UseVersion, this,
            [this](qint64 id, const QByteArray& body, const QString& what) {
                asHandler([&] { UseVersion(id, body, what); });
            });
    connect(History, &HistoryWindow::BroughtBack, this,
            [this](qint64 id) { asHandler([&] { showBroughtBack(id); }); });
    return History;
}

void TForm1::OpenHistory() {
    if (CurrentSnippitID == 0) {
        MessageDlg(tr("No snippet is shown. Choose one in the list of titles; Ctrl+H then "
                      "shows the versions kept of it."),
                   TMsgDlgType::mtInformation, mbOK, 0);
        return;
    }
    OpenHistoryOf(CurrentSnippitID);
}

namespace {

void present(QWidget* window) {
    window->show();
    window->raise();
    window->activateWindow();
    window->setFocus();
}

} // namespace

void TForm1::OpenHistoryOf(qint64 id) {
    if (HistoryWindow* history = historyWindow(); history->ShowSnippet(id))
        present(history);
}

void TForm1::OpenRemoved() {
    if (HistoryWindow* history = historyWindow(); history->ShowRemoved())
        present(history);
}

// Another snippet is chosen as a click would choose it, asking first about unsaved changes;
// text typed into the shown one is replaced only once the user said so. The replacement
// is one edit, so Undo brings them back too.
void TForm1::UseVersion(qint64 id, const QByteArray& body, const QString& what) {
    if (id != CurrentSnippitID) {
        ShowSearchHit(id, languageOf(id));
        if (CurrentSnippitID != id)
            return; // called off, or it failed and said why
    } else if (SynEdit1->TextBytes() != shown_.loaded() && SynEdit1->TextBytes() != body &&
               MessageDlg(tr("The editor holds changes to this snippet that are not saved. "
                             "Replace them with the text of %1?\n\nUndo brings them back.")
                              .arg(what),
                          TMsgDlgType::mtConfirmation, mbYes | mbNo, 0, mbNo) != mrYes) {
        return;
    }
    raise();
    activateWindow();
    SynEdit1->setFocus();
    if (SynEdit1->TextBytes() == body) {
        showLiveNote(tr("The editor holds the text of %1 already.").arg(what));
        return;
    }
    // The bytes go in as they are, as ShowSnippitExecute loads a stored body: a text that is
    // not UTF-8 stays byte for byte, never decoded with replacement characters, so that Save
    // Edits stores exactly what the version held.
    SynEdit1->ReplaceTextAsEdit(body);
    SnippitChanged = 1;
    showLiveNote(tr("The text of %1 is in the editor, not saved yet: \"Save Edits\" stores it, "
                    "Undo takes it back.")
                     .arg(what));
}

void TForm1::showBroughtBack(qint64 id) {
    // Listed whatever the question below is answered; its failure is no reason to try again.
    GuardedAfterChange([this] { RefreshFromElsewhere(); });
    ShowSearchHit(id, languageOf(id));
}

// What the window writes reaches the history window at once; the collection's feed tells of
// others' writes only.
void TForm1::historyFollows() {
    if (History && History->isVisible())
        History->Reload();
}
