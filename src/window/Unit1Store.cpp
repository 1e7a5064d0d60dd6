// SPDX-License-Identifier: GPL-3.0-or-later
// The six snippet store operations of the main window. Each reads everything it needs before
// it changes what the window shows, so that one that fails leaves the window as it was.

#include "window/Unit1.h"

#include "data/collection/Collection.h"
#include "data/core/Errors.h"
#include "data/core/SysUtils.h"
#include "data/store/ADODB.h"
#include "data/store/SnippetQueries.h"
#include "window/platform/Dialogs.h"

#include <QLabel>
#include <QLineEdit>

using varozidi::Error;

void TForm1::ListLangsExecute(QObject*) {
    const QStringList languages = DistinctLanguages(*ADOTable1);
    ListBox1->Clear();
    for (const QString& language : languages)
        ListBox1->Add(language);
}

void TForm1::ListVarozidiExecute(QObject*) {
    if (ListBox1->ItemIndex() < 0)
        ListBox1->setItemIndex(ListBox1->Count() - 1);
    listTitlesOfSelectedLanguage();
}

// Each title entry carries its row's ID, so that two snippets of one title stay apart.
void TForm1::listTitlesOfSelectedLanguage() {
    if (ListBox1->ItemIndex() < 0) {
        ListBox2->Clear();
        return;
    }
    ListBox2->SetEntries(titlesOf(ListBox1->Text(ListBox1->ItemIndex())));
}

QList<std::pair<QString, qint64>> TForm1::titlesOf(const QString& language) {
    OpenFiltered(*ADOTable1, QStringLiteral("Language = ") + QuotedStr(language));
    ADOTable1->First();
    const TField title = ADOTable1->FieldByName(QStringLiteral("Title"));
    const TField id = ADOTable1->FieldByName(QStringLiteral("ID"));
    QList<std::pair<QString, qint64>> titles;
    titles.reserve(ADOTable1->RecordCount());
    while (!ADOTable1->Eof()) {
        titles.append({title.AsString(), id.AsLargeInt()});
        ADOTable1->Next();
    }
    return titles;
}

qint64 TForm1::selectedSnippetId() const {
    return ListBox2->Value(ListBox2->ItemIndex());
}

void TForm1::ShowSnippitExecute(QObject*) {
    if (ListBox2->ItemIndex() < 0)
        return;
    const auto row = shown_.read(selectedSnippetId());
    if (!row)
        throw Error(tr("The snippet \"%1\" is no longer in the database; another program may "
                       "have deleted it.")
                        .arg(ListBox2->Text(ListBox2->ItemIndex())));
    // After a backup or restore no language is selected; the row knows its own.
    const QString listed =
        ListBox1->ItemIndex() >= 0 ? ListBox1->Text(ListBox1->ItemIndex()) : row->language;

    SynEdit1->SetLinesBytes(row->body, HighlighterFor(listed));
    recoveryLoaded(row->body);
    shown_.show(*row);
    saveTextAsNew_ = false;
    LiveNote->hide();
}

void TForm1::NewSnippitExecute(QObject*) {
    const QString language = Edit1->text();
    const bool keepText = saveTextAsNew_;
    shown_.add(language, Edit2->text(),
               keepText ? std::optional(SynEdit1->TextBytes()) : std::nullopt);
    // The row is stored: a failure from here on is reported, never a reason to add it again.
    std::optional<qint64> added;
    GuardedAfterChange([&] {
        if (!added) {
            added = shown_.takeAdded();
            if (keepText) {
                recoveryLoaded(shown_.loaded());
                LiveNote->hide();
                saveTextAsNew_ = false;
            }
        }
        const qint64 id = *added;
        ListLangsExecute();
        // Show the titles of the language just used, not of whichever is last.
        ListBox1->setItemIndex(ListBox1->IndexOf(language));
        ListVarozidiExecute();
        if (keepText)
            for (int i = 0; i < ListBox2->Count(); ++i)
                if (ListBox2->Value(i) == id)
                    ListBox2->setItemIndex(i);
    });
}

void TForm1::EditSnippitExecute(QObject*) {
    using Check = varozidi::ShownSnippet::Check;
    try {
        shown_.save(SynEdit1->TextBytes(), overwriteChanges_ ? Check::None : Check::Version);
    } catch (const varozidi::AfterChangeError&) {
        // Stored all the same: the editor holds what the snippet does.
        SnippitChanged = 0;
        LiveNote->hide();
        historyFollows();
        throw;
    }
    LiveNote->hide();
    historyFollows();
}

void TForm1::DeleteSnippitExecute(QObject*) {
    const qint64 id = selectedSnippetId();
    OpenFiltered(*ADOTable1, IdFilter(id));
    if (!ADOTable1->Eof())
        ADOTable1->Delete();
    ADOTable1->Close();
    if (id != 0 && id == CurrentSnippitID)
        forgetShownSnippet();
    // The row is gone: a failure to list what is left is reported on its own.
    GuardedAfterChange([this] {
        ListLangsExecute();
        ListVarozidiExecute();
    });
    historyFollows();
}

// A restore may have put another snippet, or none, under the shown one's ID; then the text
// has no snippet, and saving it offers a new one. A row that is it but holds other text than
// the editor loaded leaves the text unsaved, and the save asks before it overwrites.
void TForm1::findShownSnippetAgain() {
    shown_.findAgain();
}

void TForm1::forgetShownSnippet() {
    SynEdit1->Clear();
    shown_.forget();
    LiveNote->hide();
}
