// Browsing and editing: the list clicks, the new-snippet panel, saving and removing, and
// the questions asked before unsaved changes would be lost.

#include "Unit1.h"

#include "platform/Dialogs.h"

#include <QLineEdit>

namespace {

const QString kSaveBeforeSwitching = QStringLiteral(
    "Changes have been made to the open snippit. Would you like to save the snippit before "
    "switching?");
const QString kSaveBeforeClosing = QStringLiteral(
    "Changes have been made to the open snippit. Would you like to save the snippit before "
    "closing?");

} // namespace

void TForm1::askToSaveBeforeSwitching() {
    if (SnippitChanged != 1)
        return;
    if (MessageDlg(kSaveBeforeSwitching, TMsgDlgType::mtConfirmation, mbYes | mbNo, 0) == mrYes)
        EditSnippitExecute();
    SnippitChanged = 0;
}

void TForm1::ListBox1Click(QObject*) {
    if (ListBox1->ItemIndex() < 0)
        ListBox1->setItemIndex(ListBox1->Count() - 1);
    askToSaveBeforeSwitching();
    listTitlesOfSelectedLanguage();
}

void TForm1::ListBox2Click(QObject*) {
    if (ListBox2->ItemIndex() < 0)
        ListBox2->setItemIndex(ListBox2->Count() - 1);
    askToSaveBeforeSwitching();
    ShowSnippitExecute();
}

void TForm1::Button1Click(QObject*) {
    if (Edit1->text().isEmpty()) {
        Edit1->setFocus();
        return;
    }
    if (Edit2->text().isEmpty()) {
        Edit2->setFocus();
        return;
    }
    NewSnippitExecute();
    Panel3->setVisible(false);
}

void TForm1::Button2Click(QObject*) {
    Panel3->setVisible(false);
}

void TForm1::ToolButton2Click(QObject*) {
    if (ListBox2->ItemIndex() < 0) {
        MessageDlg(QStringLiteral("No Varozidi selected!"), TMsgDlgType::mtError, mbOK, 0);
        return;
    }
    if (MessageDlg(QStringLiteral("This will delete the selected snippit!  Are you sure?"),
                   TMsgDlgType::mtConfirmation, mbYes | mbNo, 0) == mrYes)
        DeleteSnippitExecute();
}

void TForm1::ToolButton5Click(QObject*) {
    EditSnippitExecute();
    SnippitChanged = 0;
}

void TForm1::SynEdit1Change(QObject*) {
    SnippitChanged = 1;
}

// Never refuses by itself; a failed save throws, and the close is then abandoned.
void TForm1::FormCloseQuery(QObject*, bool& CanClose) {
    CanClose = true;
    if (SnippitChanged == 1 &&
        MessageDlg(kSaveBeforeClosing, TMsgDlgType::mtConfirmation, mbYes | mbNo, 0) == mrYes)
        EditSnippitExecute();
}
