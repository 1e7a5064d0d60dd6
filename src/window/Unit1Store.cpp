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
#include <QScopedValueRollback>

using varozidi::Error;

namespace {

QString idFilter(qint64 id) {
    return QStringLiteral("ID = ") + QuotedStr(IntToStr(id));
}

QString field(TADOTable* table, const char* name) {
    return table->FieldByName(QLatin1String(name)).AsString();
}

} // namespace

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
    openFiltered(QStringLiteral("Language = ") + QuotedStr(language));
    ADOTable1->First();
    QList<std::pair<QString, qint64>> titles;
    while (!ADOTable1->Eof()) {
        titles.append(
            {field(ADOTable1, "Title"), ADOTable1->FieldByName(QStringLiteral("ID")).AsLargeInt()});
        ADOTable1->Next();
    }
    return titles;
}

// The filter is set before the cursor opens, so that a closed cursor never reads every row
// first only to read the filtered ones next.
void TForm1::openFiltered(const QString& filter) {
    ADOTable1->setFilter(filter);
    ADOTable1->setFiltered(true);
    ADOTable1->Open();
}

// Closed first: unfiltering an open cursor would read every row's number.
void TForm1::closeUnfiltered() {
    ADOTable1->Close();
    ADOTable1->setFiltered(false);
}

qint64 TForm1::selectedSnippetId() const {
    return ListBox2->Value(ListBox2->ItemIndex());
}

void TForm1::ShowSnippitExecute(QObject*) {
    if (ListBox2->ItemIndex() < 0)
        return;
    const qint64 id = selectedSnippetId();
    openFiltered(idFilter(id));
    if (ADOTable1->Eof())
        throw Error(tr("The snippet \"%1\" is no longer in the database; another program may "
                       "have deleted it.")
                        .arg(ListBox2->Text(ListBox2->ItemIndex())));
    // Read before the text: a write in between then asks once too often, never too seldom.
    const QString version = ADOTable1->RowVersion();
    // As stored: decoded into a Qt string and encoded back, a body of megabytes would cost
    // more than the editor takes to show it.
    const QByteArray body = ADOTable1->FieldByName(QStringLiteral("Body")).AsBytes();
    const QString language = field(ADOTable1, "Language");
    const QString title = field(ADOTable1, "Title");
    const qint64 shownId = ADOTable1->FieldByName(QStringLiteral("ID")).AsLargeInt();
    // After a backup or restore no language is selected; the row knows its own.
    const QString listed =
        ListBox1->ItemIndex() >= 0 ? ListBox1->Text(ListBox1->ItemIndex()) : language;

    SynEdit1->SetLinesBytes(body, HighlighterFor(listed));
    recoveryLoaded(body);
    CurrentSnippitID = shownId;
    shownVersion_ = version;
    loadedBody_ = body;
    shownLanguage_ = language;
    shownTitle_ = title;
    saveTextAsNew_ = false;
    LiveNote->hide();
}

void TForm1::NewSnippitExecute(QObject*) {
    const QString language = Edit1->text();
    const QString title = Edit2->text();
    const bool keepText = saveTextAsNew_;
    const QByteArray text = keepText ? SynEdit1->TextBytes() : QByteArray();
    // Adding a row needs none of the others: hardly any row has the number 0.
    openFiltered(idFilter(0));
    ADOTable1->Insert();
    ADOTable1->FieldByName(QStringLiteral("Language")).setAsString(language);
    ADOTable1->FieldByName(QStringLiteral("Title")).setAsString(title);
    if (keepText)
        ADOTable1->FieldByName(QStringLiteral("Body")).setAsBytes(text);
    {
        const QScopedValueRollback saving(savingText_, keepText);
        ADOTable1->Post();
    }
    // The row is stored: a failure from here on is reported, never a reason to add it again.
    Guarded([&] {
        const qint64 id = ADOTable1->FieldByName(QStringLiteral("ID")).AsLargeInt();
        const QString version = keepText ? ADOTable1->RowVersion() : QString();
        ADOTable1->Close();
        if (keepText) {
            recoveryLoaded(text);
            CurrentSnippitID = id;
            shownVersion_ = version;
            loadedBody_ = text;
            LiveNote->hide();
            shownLanguage_ = language;
            shownTitle_ = title;
            SnippitChanged = 0;
            saveTextAsNew_ = false;
        }
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
    // No row may take text that belongs to none: the welcome text, or a snippet deleted here.
    const auto gone = [this] {
        return NoSnippitToSave(tr("The snippet \"%1\" is no longer in the database (another "
                                  "program may have deleted it), so the text was not saved.")
                                   .arg(shownTitle_));
    };
    if (CurrentSnippitID == 0 && !shownLanguage_.isEmpty())
        throw gone();
    if (CurrentSnippitID == 0)
        throw NoSnippitToSave(
            tr("The text in the editor is not part of any snippet yet, so it was not saved."));
    openFiltered(idFilter(CurrentSnippitID));
    if (ADOTable1->Eof()) {
        closeUnfiltered();
        throw gone();
    }
    const auto changedElsewhere = [this] {
        closeUnfiltered();
        return SnippitChangedElsewhere(
            (!ADOConnection1->collection()->address().shared()
                 ? tr("The snippet \"%1\" was changed by another program since it was shown.")
                 : tr("The snippet \"%1\" was changed on the server by someone else since it "
                      "was shown."))
                .arg(shownTitle_));
    };
    const QString expected = overwriteChanges_ ? QString() : shownVersion_;
    if (!expected.isEmpty() && ADOTable1->RowVersion() != expected)
        throw changedElsewhere();
    ADOTable1->Edit();
    // Checked again by the write itself: someone may save in between.
    ADOTable1->setExpectedVersion(expected);
    const QByteArray text = SynEdit1->TextBytes();
    ADOTable1->FieldByName(QStringLiteral("Body")).setAsBytes(text);
    try {
        const QScopedValueRollback saving(savingText_, true);
        ADOTable1->Post();
    } catch (const RowChangedError&) {
        throw changedElsewhere();
    }
    shownVersion_ = ADOTable1->RowVersion();
    loadedBody_ = text;
    closeUnfiltered();
    LiveNote->hide();
}

void TForm1::DeleteSnippitExecute(QObject*) {
    const qint64 id = selectedSnippetId();
    openFiltered(idFilter(id));
    if (!ADOTable1->Eof())
        ADOTable1->Delete();
    ADOTable1->Close();
    if (id != 0 && id == CurrentSnippitID)
        forgetShownSnippet();
    // The row is gone: a failure to list what is left is reported on its own.
    Guarded([this] {
        ListLangsExecute();
        ListVarozidiExecute();
    });
}

// A restore may have put another snippet, or none, under the shown one's ID. Only the row
// with its ID, language and title is still it; otherwise the text has no snippet, and saving
// it offers a new one. A row that is it but holds other text than the editor loaded leaves
// the text unsaved, and the save asks before it overwrites.
void TForm1::findShownSnippetAgain() {
    if (CurrentSnippitID == 0)
        return;
    openFiltered(idFilter(CurrentSnippitID));
    const bool found = !ADOTable1->Eof() && field(ADOTable1, "Language") == shownLanguage_ &&
                       field(ADOTable1, "Title") == shownTitle_;
    const QString version = found ? ADOTable1->RowVersion() : QString();
    closeUnfiltered();
    if (!found) {
        CurrentSnippitID = 0;
        shownVersion_.clear();
        SnippitChanged = 1;
    } else if (version != shownVersion_) {
        SnippitChanged = 1;
    }
}

void TForm1::forgetShownSnippet() {
    SynEdit1->Clear();
    CurrentSnippitID = 0;
    SnippitChanged = 0;
    shownVersion_.clear();
    loadedBody_.clear();
    LiveNote->hide();
    shownLanguage_.clear();
    shownTitle_.clear();
}
