// SPDX-License-Identifier: GPL-3.0-or-later
// Browsing and editing: the list clicks, the new-snippet panel, saving and removing, and
// the questions asked before unsaved changes would be lost.

#include "window/Unit1.h"

#include "data/files/DataPath.h"
#include "data/files/Files.h"
#include "data/files/IniFile.h"
#include "data/files/Temporary.h"
#include "window/platform/Dialogs.h"

#include <Tessel.h>

#include <QFileInfo>
#include <QLineEdit>
#include <QToolButton>

namespace {

const QString kSaveBeforeSwitching = QStringLiteral(
    "Changes have been made to the open snippit. Would you like to save the snippit before "
    "switching?");
const QString kSaveBeforeClosing = QStringLiteral(
    "Changes have been made to the open snippit. Would you like to save the snippit before "
    "closing?");

} // namespace

// A click in either list: the fallback selection, the question, then the switch itself. A
// switch that is called off or fails takes the click back, so that the list keeps showing
// what the window holds.
template <class F> void TForm1::switchTo(TListBox* list, F&& open) {
    if (list->ItemIndex() < 0)
        list->setItemIndex(list->Count() - 1);
    const int before = list->PreviousItemIndex();
    try {
        if (!settleUnsavedChanges(kSaveBeforeSwitching)) {
            list->setItemIndex(before);
            return;
        }
        open();
    } catch (...) {
        list->setItemIndex(before);
        throw;
    }
}

// Asks before unsaved changes would be lost. True when the caller may go ahead: the text was
// saved, or the user chose not to keep it; false when the question was closed unanswered or
// the text could not be saved. A save that fails throws.
bool TForm1::settleUnsavedChanges(const QString& question) {
    if (SnippitChanged != 1)
        return true;
    // No throws the text away: Enter saves it.
    switch (MessageDlg(question, TMsgDlgType::mtConfirmation, mbYes | mbNo, 0, mbYes)) {
    case mrYes:
        return saveOrOfferNew();
    case mrNo:
        return true;
    default:
        return false;
    }
}

// Saves the editor's text into its snippet; when there is none to go into, offers to make
// one. True when the text was saved.
bool TForm1::saveOrOfferNew() {
    try {
        EditSnippitExecute();
    } catch (const NoSnippitToSave& e) {
        offerToSaveAsNew(e.message());
        return false;
    } catch (const SnippitChangedElsewhere& e) {
        return settleConcurrentSave(e.message());
    } catch (const varozidi::AfterChangeError& e) {
        // Saved, then the read after it failed: said, and the text is stored.
        ShowException(e);
    }
    SnippitChanged = 0;
    return true;
}

void TForm1::offerToSaveAsNew(const QString& why) {
    if (MessageDlg(why + tr("\n\nWould you like to save it as a new snippet?"),
                   TMsgDlgType::mtConfirmation, mbYes | mbNo, 0, mbYes) != mrYes)
        return;
    openNewSnippetPanel();
}

// The new-snippet panel, filled in with the shown snippet's language and title, to give the
// editor's text a snippet of its own.
void TForm1::openNewSnippetPanel() {
    if (CurrentSnippitID != 0 || !shown_.language().isEmpty()) {
        Edit1->setText(shown_.language());
        Edit2->setText(shown_.title());
    }
    saveTextAsNew_ = true;
    Panel3->setVisible(true);
    // The first field still empty; the title where both are filled in.
    (Edit1->text().isEmpty() ? Edit1 : Edit2)->setFocus();
}

// The editor keeps its text, so changes not saved stay marked as such.
void TForm1::ListBox1Click(QObject*) {
    switchTo(ListBox1, [this] { listTitlesOfSelectedLanguage(); });
}

void TForm1::ListBox2Click(QObject*) {
    switchTo(ListBox2, [this] {
        ShowSnippitExecute();
        SnippitChanged = 0;
    });
}

void TForm1::Button1Click(QObject*) {
    // Nothing is added without both; the user hears why, then types where it is missing.
    const auto missing = [](QLineEdit* field, const QString& why) {
        MessageDlg(why, TMsgDlgType::mtError, mbOK, 0);
        field->setFocus();
    };
    if (Edit1->text().isEmpty()) {
        missing(Edit1, tr("The new snippet needs a language. Nothing was added."));
        return;
    }
    if (Edit2->text().isEmpty()) {
        missing(Edit2, tr("The new snippet needs a title. Nothing was added."));
        return;
    }
    NewSnippitExecute();
    Panel3->setVisible(false);
    saveTextAsNew_ = false;
}

void TForm1::Button2Click(QObject*) {
    Panel3->setVisible(false);
    saveTextAsNew_ = false;
    // Back where the panel was opened from, not on whatever button comes next.
    ToolButton1->setFocus();
}

void TForm1::ToolButton2Click(QObject*) {
    if (ListBox2->ItemIndex() < 0) {
        MessageDlg(QStringLiteral("No Varozidi selected!"), TMsgDlgType::mtError, mbOK, 0);
        return;
    }
    if (MessageDlg(QStringLiteral("This will delete the selected snippit!  Are you sure?"),
                   TMsgDlgType::mtConfirmation, mbYes | mbNo, 0, mbNo) == mrYes)
        DeleteSnippitExecute();
}

void TForm1::ToolButton5Click(QObject*) {
    saveOrOfferNew();
}

void TForm1::SynEdit1Change(QObject*) {
    SnippitChanged = 1;
}

// Closes after No, or once the text is saved. A failed save throws and the close is
// abandoned; so it is when the text has no snippet yet and the user is offered one, and when
// the question is closed unanswered. Then the
// placement and the word wrap are stored: they are settings, not the user's text, so a
// failure there is reported once and the program closes all the same.
void TForm1::FormCloseQuery(QObject*, bool& CanClose) {
    CanClose = true;
    if (!settleUnsavedChanges(kSaveBeforeClosing)) {
        CanClose = false;
        return;
    }
    const QString settingsFile = varozidi::paths::Settings(DataDir);
    QString failure;
    const auto attempt = [&failure](auto&& step) {
        try {
            step();
        } catch (const std::exception& e) {
            if (failure.isEmpty())
                failure = varozidi::messageOf(e);
        }
    };
    // Both settings go into a private draft first and reach the file in one replacement, so
    // a stop between the two can never leave the one without the other.
    // The draft's folder sits beside the file and is noted, so that one whose removal fails
    // is said and removed by the next run.
    attempt([&] {
        const TemporaryBeside scratch(settingsFile, TemporaryBeside::Folder,
                                      tr("store the window's settings"));
        const QString draft = scratch.path() + u'/' + QFileInfo(settingsFile).fileName();
        if (QFileInfo::exists(settingsFile))
            CopyFileSafely(settingsFile, draft);
        SaveTessel(this, draft.toStdU16String().c_str());
        TIniFile settings(draft);
        settings.WriteBool(QStringLiteral("EDIT"), QStringLiteral("WORDWRAP"),
                           SynEdit1->WordWrap());
        settings.UpdateFile();
        InputFile written(draft);
        if (!written.isOpen())
            throw varozidi::Error(tr("Cannot read \"%1\": %2.").arg(draft, written.openError()));
        WriteFileSafely(settingsFile, written.readAll());
    });
    if (!failure.isEmpty())
        MessageDlg(tr("The window's placement and the word-wrap setting could not be stored.\n\n%1")
                       .arg(failure),
                   TMsgDlgType::mtError, mbOK, 0);
}
