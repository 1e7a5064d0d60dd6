// The six snippet store operations of the main window.

#include "Unit1.h"

#include "platform/ADODB.h"
#include "platform/Errors.h"
#include "platform/SysUtils.h"

#include <QLineEdit>
#include <QSet>

using varozidi::Error;

namespace {

QString idFilter(qint64 id) {
    return QStringLiteral("ID = ") + QuotedStr(IntToStr(id));
}

} // namespace

void TForm1::ListLangsExecute(QObject*) {
    ListBox1->Clear();
    ADOTable1->Open();
    ADOTable1->setFiltered(false);
    ADOTable1->First();
    // Names that differ only in letter case are one language; the first spelling met is
    // listed. A set keeps this linear on large collections.
    QSet<QString> listed;
    while (!ADOTable1->Eof()) {
        const QString language = ADOTable1->FieldByName(QStringLiteral("Language")).AsString();
        if (!listed.contains(language.toCaseFolded())) {
            listed.insert(language.toCaseFolded());
            ListBox1->Add(language);
        }
        ADOTable1->Next();
    }
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
    const QString language = ListBox1->Text(ListBox1->ItemIndex());
    ADOTable1->Open();
    ADOTable1->setFilter(QStringLiteral("Language = ") + QuotedStr(language));
    ADOTable1->setFiltered(true);
    ListBox2->Clear();
    ADOTable1->First();
    while (!ADOTable1->Eof()) {
        ListBox2->Add(ADOTable1->FieldByName(QStringLiteral("Title")).AsString(),
                      ADOTable1->FieldByName(QStringLiteral("ID")).AsInteger());
        ADOTable1->Next();
    }
}

qint64 TForm1::selectedSnippetId() const {
    return ListBox2->Value(ListBox2->ItemIndex());
}

void TForm1::ShowSnippitExecute(QObject*) {
    if (ListBox2->ItemIndex() < 0)
        return;
    const qint64 id = selectedSnippetId();
    SynEdit1->ClearLines();
    ADOTable1->Open();
    ADOTable1->setFilter(idFilter(id));
    ADOTable1->setFiltered(true);
    SynEdit1->SetLinesText(ADOTable1->FieldByName(QStringLiteral("Body")).AsString());
    CurrentSnippitID = ADOTable1->FieldByName(QStringLiteral("ID")).AsInteger();
    // After a backup or restore no language is selected; the row knows its own.
    const QString language = ListBox1->ItemIndex() >= 0
                                 ? ListBox1->Text(ListBox1->ItemIndex())
                                 : ADOTable1->FieldByName(QStringLiteral("Language")).AsString();
    SynEdit1->setHighlighter(HighlighterFor(language));
}

void TForm1::NewSnippitExecute(QObject*) {
    const QString language = Edit1->text();
    const QString title = Edit2->text();
    ADOTable1->Open();
    ADOTable1->Insert();
    ADOTable1->FieldByName(QStringLiteral("Language")).setAsString(language);
    ADOTable1->FieldByName(QStringLiteral("Title")).setAsString(title);
    ADOTable1->Post();
    ADOTable1->Close();
    ListLangsExecute();
    // Show the titles of the language just used, not of whichever is last.
    ListBox1->setItemIndex(ListBox1->IndexOf(language));
    ListVarozidiExecute();
}

void TForm1::EditSnippitExecute(QObject*) {
    ADOTable1->Open();
    ADOTable1->setFilter(idFilter(CurrentSnippitID));
    ADOTable1->setFiltered(true);
    if (ADOTable1->Eof()) {
        // The welcome text, or a snippet deleted since it was shown: nothing to save into,
        // and no other row may take the text.
        ADOTable1->setFiltered(false);
        ADOTable1->Close();
        throw Error(tr("The text was not saved: no snippet is open to save it into.\n\n"
                       "Open a snippet, or add one with \"Add Varozidi\", and save the text "
                       "there."));
    }
    ADOTable1->Edit();
    ADOTable1->FieldByName(QStringLiteral("Body")).setAsWideString(SynEdit1->Text());
    ADOTable1->Post();
    ADOTable1->setFiltered(false);
    ADOTable1->Close();
}

void TForm1::DeleteSnippitExecute(QObject*) {
    const qint64 id = selectedSnippetId();
    ADOTable1->Open();
    ADOTable1->setFilter(idFilter(id));
    ADOTable1->setFiltered(true);
    if (!ADOTable1->Eof())
        ADOTable1->Delete();
    ADOTable1->Close();
    ListLangsExecute();
    ListVarozidiExecute();
    SynEdit1->Clear();
}
