// SPDX-License-Identifier: GPL-3.0-or-later
// Browsing and editing as the user does it: clicks, typing, questions and answers.

#include "TestSupport.h"
#include "window/Forms.h"
#include "window/SearchRequest.h"
#include "window/SearchWindow.h"
#include "window/Unit1.h"
#include "window/Unit2.h"
#include "window/platform/SynHighlighters.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QProxyStyle>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyleFactory>
#include <QToolButton>
#include <QtTest>

using namespace testsupport;

namespace {

const QString kSwitching = "Changes have been made to the open snippit. Would you like to save "
                           "the snippit before switching?";
const QString kClosing = "Changes have been made to the open snippit. Would you like to save the "
                         "snippit before closing?";
const QString kDelete = "This will delete the selected snippit!  Are you sure?";

const QList<Row> kRows{{"PHP", "A", "alpha"}, {"SQL", "B", "beta"}, {"PHP", "C", "gamma"}};

void expectQuestion(const Dialogs& dialogs, const QString& text) {
    QCOMPARE(dialogs.asked().size(), 1);
    QCOMPARE(dialogs.asked().first().text, text);
    QCOMPARE(dialogs.asked().first().kind, TMsgDlgType::mtConfirmation);
    QCOMPARE(dialogs.asked().first().buttons, TMsgDlgButtons(mbYes | mbNo));
    QCOMPARE(dialogs.asked().first().helpContext, 0);
}

} // namespace

class WorkflowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { VAROZIDI_REQUIRE_ENGINE(); }
    void loadingAsksNothing();
    void switchingTitlesAsksFirst_data();
    void switchingTitlesAsksFirst();
    void switchingLanguagesAsksFirst_data();
    void switchingLanguagesAsksFirst();
    void saveEditsClearsTheFlag_data();
    void saveEditsClearsTheFlag();
    void newSnippetPanelChecksItsFields_data();
    void newSnippetPanelChecksItsFields();
    void removeSnippit_data();
    void removeSnippit();
    void deletingTheShownSnippetForgetsIt();
    void closing_data();
    void closing();
    void realBoxesDestroyNothing_data();
    void realBoxesDestroyNothing();
    void enterPressesTheSafeButton_data();
    void enterPressesTheSafeButton();
    void saveAfterAnotherProgramsWrite_data();
    void saveAfterAnotherProgramsWrite();
    void keysTypedDuringASlowSaveArrive();
};

void WorkflowTest::loadingAsksNothing() {
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    QCOMPARE(entries(s->ListBox2), (QStringList{"A", "C"}));
    clickRow(s->ListBox2, 0);
    QCOMPARE(s->SynEdit1->Text(), QString("alpha"));
    clickRow(s->ListBox2, 1);
    QCOMPARE(s->SynEdit1->Text(), QString("gamma"));
    clickRow(s->ListBox1, 1);
    QCOMPARE(s->SynEdit1->Text(), QString("gamma"));
    // Ctrl or Shift makes a click no other: it chooses the entry under the pointer, also the
    // one already chosen.
    TListBox* const lists[] = {s->ListBox1, s->ListBox1, s->ListBox2, s->ListBox2};
    for (int i = 0; i < 4; ++i) {
        QTest::mouseClick(lists[i]->viewport(), Qt::LeftButton,
                          i == 2 ? Qt::ShiftModifier : Qt::ControlModifier,
                          lists[i]->visualItemRect(lists[i]->item(0)).center());
        QCOMPARE(lists[i]->ItemIndex(), 0);
    }
    QCOMPARE(entries(s->ListBox2), (QStringList{"A", "C"}));
    QCOMPARE(s->SynEdit1->Text(), QString("alpha"));
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(s->SnippitChanged, 0);
}

void WorkflowTest::switchingTitlesAsksFirst_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("storedA");
    QTest::newRow("yes saves first") << mrYes << "alpha!";
    QTest::newRow("no discards") << mrNo << "alpha";
}

void WorkflowTest::switchingTitlesAsksFirst() {
    QFETCH(int, answer);
    QFETCH(QString, storedA);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "!");
    QCOMPARE(s->SnippitChanged, 1);
    s.dialogs.answer(answer);
    clickRow(s->ListBox2, 1);
    expectQuestion(s.dialogs, kSwitching);
    QCOMPARE(s->SynEdit1->Text(), QString("gamma"));
    QCOMPARE(s->SnippitChanged, 0);
    QCOMPARE(s.rows().at(0).body, storedA);
    QCOMPARE(s.rows().at(2).body, QString("gamma"));
    // Clicking the shown title again after an edit reloads it, asking first.
    typeText(s.form(), "?");
    s.dialogs.clear();
    s.dialogs.answer(mrNo);
    clickRow(s->ListBox2, 1);
    expectQuestion(s.dialogs, kSwitching);
    QCOMPARE(s->SynEdit1->Text(), QString("gamma"));
}

void WorkflowTest::switchingLanguagesAsksFirst_data() {
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("storedA");
    QTest::newRow("yes saves") << mrYes << "alpha!";
    QTest::newRow("no keeps the text unsaved") << mrNo << "alpha";
}

void WorkflowTest::switchingLanguagesAsksFirst() {
    QFETCH(int, answer);
    QFETCH(QString, storedA);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "!");
    s.dialogs.answer(answer);
    clickRow(s->ListBox1, 1);
    expectQuestion(s.dialogs, kSwitching);
    QCOMPARE(entries(s->ListBox2), QStringList{"B"});
    QCOMPARE(s->SynEdit1->Text(), QString("alpha!")); // the editor is not touched
    QCOMPARE(s.rows().at(0).body, storedA);
    // Text left unsaved on screen stays marked so: the next title click asks again.
    QCOMPARE(s->SnippitChanged, answer == mrNo ? 1 : 0);
    s.dialogs.clear();
    s.dialogs.answer(mrNo);
    clickRow(s->ListBox2, 0);
    QCOMPARE(s.dialogs.asked().size(), answer == mrNo ? 1 : 0);
    QCOMPARE(s->SynEdit1->Text(), QString("beta"));
    QCOMPARE(s->SnippitChanged, 0);
}

void WorkflowTest::saveEditsClearsTheFlag_data() {
    QTest::addColumn<bool>("edit");
    QTest::addColumn<bool>("switchLanguageFirst");
    QTest::newRow("after typing") << true << false;
    QTest::newRow("without a change") << false << false;
    QTest::newRow("after a language click answered no") << true << true;
}

void WorkflowTest::saveEditsClearsTheFlag() {
    QFETCH(bool, edit);
    QFETCH(bool, switchLanguageFirst);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 1);
    if (edit)
        typeText(s.form(), " edited");
    if (switchLanguageFirst) {
        s.dialogs.answer(mrNo);
        clickRow(s->ListBox1, 1);
        s.dialogs.clear();
    }
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(s->SnippitChanged, 0);
    // The text goes to the snippet shown, also when another language is listed now.
    QCOMPARE(s.rows().at(2).body, edit ? QString("gamma edited") : QString("gamma"));
    QCOMPARE(s.rows().at(0).body, QString("alpha"));
}

void WorkflowTest::newSnippetPanelChecksItsFields_data() {
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("focused"); // empty: stored
    QTest::newRow("both empty") << ""
                                << ""
                                << "Edit1";
    QTest::newRow("no language") << ""
                                 << "T"
                                 << "Edit1";
    QTest::newRow("no title") << "Go"
                              << ""
                              << "Edit2";
    QTest::newRow("both filled") << "Go"
                                 << "T"
                                 << "";
    QTest::newRow("blanks are text") << " "
                                     << " "
                                     << "";
}

void WorkflowTest::newSnippetPanelChecksItsFields() {
    QFETCH(QString, language);
    QFETCH(QString, title);
    QFETCH(QString, focused);
    Started s(kRows);
    QApplication::setActiveWindow(&s.form());
    QTest::mouseClick(s->ToolButton1, Qt::LeftButton);
    s->Edit1->setText(language);
    s->Edit2->setText(title);
    s->ListBox1->setFocus();
    QTest::mouseClick(s->Button1, Qt::LeftButton);
    if (!focused.isEmpty()) {
        QTRY_COMPARE(QApplication::focusWidget()->objectName(), focused);
        QVERIFY(s->Panel3->isVisible());
        QCOMPARE(s.rows().size(), kRows.size());
        return;
    }
    QVERIFY(!s->Panel3->isVisible());
    QCOMPARE(s.rows().size(), kRows.size() + 1);
    QCOMPARE(s.rows().last().language, language);
    QCOMPARE(s.rows().last().title, title);
    QCOMPARE(entries(s->ListBox2), QStringList{title});
    // The fields keep what was typed for the next time.
    QTest::mouseClick(s->ToolButton1, Qt::LeftButton);
    QCOMPARE(s->Edit1->text(), language);
    QCOMPARE(s->Edit2->text(), title);
    QVERIFY(s.dialogs.asked().isEmpty());
}

void WorkflowTest::removeSnippit_data() {
    QTest::addColumn<bool>("selectTitle");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("rowsLeft");
    QTest::newRow("no title selected") << false << mrOk << 3;
    QTest::newRow("confirmed") << true << mrYes << 2;
    QTest::newRow("declined") << true << mrNo << 3;
}

void WorkflowTest::removeSnippit() {
    QFETCH(bool, selectTitle);
    QFETCH(int, answer);
    QFETCH(int, rowsLeft);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    if (selectTitle)
        clickRow(s->ListBox2, 1);
    const QString shown = s->SynEdit1->Text();
    s.dialogs.answer(answer);
    QTest::mouseClick(s->ToolButton2, Qt::LeftButton);
    QCOMPARE(s.dialogs.asked().size(), 1);
    const MessageDlgRequest& asked = s.dialogs.asked().first();
    if (!selectTitle) {
        QCOMPARE(asked.text, QString("No Varozidi selected!"));
        QCOMPARE(asked.kind, TMsgDlgType::mtError);
        QCOMPARE(asked.buttons, TMsgDlgButtons(mbOK));
    } else {
        expectQuestion(s.dialogs, kDelete);
    }
    QCOMPARE(s.rows().size(), rowsLeft);
    if (answer == mrYes) {
        QCOMPARE(s.rows().last().title, QString("B"));
        QCOMPARE(s->SynEdit1->Text(), QString());
        QCOMPARE(s->CurrentSnippitID, 0);
    } else {
        QCOMPARE(s->SynEdit1->Text(), shown);
    }
}

void WorkflowTest::deletingTheShownSnippetForgetsIt() {
    Started s({{"SQL", "Q", "select 1"}, {"SQL", "R", "select 2"}});
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "x");
    s.dialogs.answer(mrYes);
    QTest::mouseClick(s->ToolButton2, Qt::LeftButton);
    expectQuestion(s.dialogs, kDelete); // no save question before a delete
    QCOMPARE(s->SynEdit1->Text(), QString());
    QCOMPARE(s->SynEdit1->Highlighter(), s->SynSQLSyn1);
    QCOMPARE(s->CurrentSnippitID, 0);
    QCOMPARE(s->SnippitChanged, 0);
    // Nothing is left to ask about.
    s.dialogs.clear();
    clickRow(s->ListBox1, 0);
    QVERIFY(s.dialogs.asked().isEmpty());
}

void WorkflowTest::closing_data() {
    QTest::addColumn<bool>("edit");
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("deleteShown"); // the save then has nowhere to go
    QTest::addColumn<bool>("closed");
    QTest::addColumn<QString>("storedA");
    QTest::newRow("no changes") << false << mrOk << false << true << "alpha";
    QTest::newRow("yes saves and closes") << true << mrYes << false << true << "alpha!";
    QTest::newRow("no closes without saving") << true << mrNo << false << true << "alpha";
    QTest::newRow("no row to save into keeps the window") << true << mrYes << true << false << "";
}

void WorkflowTest::closing() {
    QFETCH(bool, edit);
    QFETCH(int, answer);
    QFETCH(bool, deleteShown);
    QFETCH(bool, closed);
    QFETCH(QString, storedA);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    if (edit)
        typeText(s.form(), "!");
    if (deleteShown)
        execSql(s.database(), "DELETE FROM varozidi WHERE \"ID\" = 1");
    s.dialogs.answer(answer);
    QCOMPARE(s->close(), closed);
    if (edit) {
        QCOMPARE(s.dialogs.asked().first().text, kClosing);
        QCOMPARE(s.dialogs.asked().first().kind, TMsgDlgType::mtConfirmation);
    } else {
        QVERIFY(s.dialogs.asked().isEmpty());
    }
    if (deleteShown) {
        QCOMPARE(s.dialogs.asked().size(), 2); // the question, then the offer of a new snippet
        QVERIFY(s.dialogs.asked().last().text.contains("new snippet"));
        QCOMPARE(s->SnippitChanged, 1);
        QCOMPARE(s.rows().size(), kRows.size() - 1);
    } else {
        QCOMPARE(s.rows().at(0).body, storedA);
    }
}

void WorkflowTest::realBoxesDestroyNothing_data() {
    QTest::addColumn<QString>("at"); // what the question stands in the way of
    QTest::addColumn<int>("key");    // 0: the box's close button
    QTest::newRow("title, Escape") << "title" << int(Qt::Key_Escape);
    QTest::newRow("language, close button") << "language" << 0;
    QTest::newRow("close, Escape") << "close" << int(Qt::Key_Escape);
    QTest::newRow("remove, Enter") << "remove" << int(Qt::Key_Return);
    QTest::newRow("restore, Enter") << "restore" << int(Qt::Key_Return);
}

void WorkflowTest::realBoxesDestroyNothing() {
    QFETCH(QString, at);
    QFETCH(int, key);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    if (at == "restore")
        QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    typeText(s.form(), "!");
    const QList<StoredRow> before = s.rows();
    SetMessageDlgAnswerer({});
    bool searchBehindTheQuestion = false;
    atNextBox([&, key](QMessageBox* box) {
        // "varozidi --search" started meanwhile: it waits for the answer.
        ShowSearch(&s.form(), SearchOption{true, QString("beta")});
        searchBehindTheQuestion = !s->Search;
        key ? QTest::keyClick(box->focusWidget(), Qt::Key(key)) : void(box->close());
    });
    if (at == "close")
        QVERIFY(!s->close());
    else if (at == "title" || at == "language")
        clickRow(at == "title" ? s->ListBox2 : s->ListBox1, 1);
    else
        QTest::mouseClick(at == "remove" ? s->ToolButton2 : s->ToolButton8, Qt::LeftButton);
    QVERIFY(s->isVisible());
    QCOMPARE(s.rows(), before);
    QCOMPARE(s->SynEdit1->Text(), QString("alpha!"));
    QCOMPARE(s->SnippitChanged, 1);
    QCOMPARE(entries(s->ListBox2), (QStringList{"A", "C"}));
    QCOMPARE(s->ListBox2->ItemIndex(), 0);
    QVERIFY(searchBehindTheQuestion);
    QTRY_VERIFY(s->Search && s->Search->isVisible());
    QCOMPARE(s->Search->Query->text(), QString("beta"));
}

namespace {

// Dialog buttons in the order a desktop's theme puts them (GNOME's: No before Yes).
class ButtonOrder : public QProxyStyle {
public:
    explicit ButtonOrder(int layout) : layout_(layout) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returned) const override {
        return hint == SH_DialogButtonLayout
                   ? layout_
                   : QProxyStyle::styleHint(hint, option, widget, returned);
    }

private:
    int layout_;
};

} // namespace

void WorkflowTest::enterPressesTheSafeButton_data() {
    QTest::addColumn<int>("layout");
    QTest::addColumn<QString>("at");
    const std::pair<const char*, int> layouts[] = {{"GNOME", QDialogButtonBox::GnomeLayout},
                                                   {"Windows", QDialogButtonBox::WinLayout},
                                                   {"KDE", QDialogButtonBox::KdeLayout}};
    for (auto [name, layout] : layouts)
        for (const char* at : {"switch", "close", "remove", "restore"})
            QTest::addRow("%s, %s", at, name) << layout << QString(at);
}

// Yes where No would lose the text, No where Yes would destroy something.
void WorkflowTest::enterPressesTheSafeButton() {
    QFETCH(int, layout);
    QFETCH(QString, at);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    if (at == "restore") {
        QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
        execSql(s.database(), "UPDATE varozidi SET \"Body\" = 'since' WHERE \"ID\" = 3");
    }
    typeText(s.form(), "!");
    const QList<StoredRow> stored = s.rows();
    const QString style = QApplication::style()->name();
    QApplication::setStyle(new ButtonOrder(layout));
    const auto restoreStyle =
        qScopeGuard([style] { QApplication::setStyle(QStyleFactory::create(style)); });
    SetMessageDlgAnswerer({});
    atNextBox([](QMessageBox* box) { QTest::keyClick(box->focusWidget(), Qt::Key_Return); });
    if (at == "close")
        QVERIFY(s->close());
    else if (at == "switch")
        clickRow(s->ListBox2, 1);
    else
        QTest::mouseClick(at == "remove" ? s->ToolButton2 : s->ToolButton8, Qt::LeftButton);
    const bool saved = at == "switch" || at == "close";
    QList<StoredRow> expected = stored;
    if (saved)
        expected[0].body = "alpha!";
    QCOMPARE(s.rows(), expected);
    QCOMPARE(s->SnippitChanged, saved ? 0 : 1);
}

void WorkflowTest::saveAfterAnotherProgramsWrite_data() {
    QTest::addColumn<QString>("via");
    QTest::addColumn<bool>("whileSaving"); // the other program holds the file, then writes
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<QString>("stored");
    QTest::newRow("save, overwrite") << "save" << false << QList<int>{mrYes} << "alpha!";
    QTest::newRow("save, keep theirs") << "save" << false << QList<int>{mrNo} << "theirs";
    QTest::newRow("save, as new") << "save" << true << QList<int>{mrCancel} << "theirs";
    QTest::newRow("switch, unanswered")
        << "switch" << false << QList<int>{mrYes, mrNone} << "theirs";
    QTest::newRow("close, overwrite") << "close" << true << QList<int>{mrYes, mrYes} << "alpha!";
}

void WorkflowTest::saveAfterAnotherProgramsWrite() {
    QFETCH(QString, via);
    QFETCH(bool, whileSaving);
    QFETCH(QList<int>, answers);
    QFETCH(QString, stored);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "!");
    const QString theirs = "UPDATE varozidi SET \"Body\" = 'theirs' WHERE \"Title\" = 'A'";
    const auto other = whileSaving && !onServer()
                           ? otherProgram(s.database(), "BEGIN IMMEDIATE; " + theirs)
                           : nullptr;
    if (other)
        QTimer::singleShot(1500, other.get(), [&] { other->write("COMMIT;\n"); });
    else
        execSql(s.database(), theirs);
    bool noticed = false; // the window went on while it waited
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] { noticed = noticed || Form2->isVisible(); });
    watch.start(50);
    for (int answer : answers)
        s.dialogs.answer(answer);
    if (via == "save")
        QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    else if (via == "switch")
        clickRow(s->ListBox2, 1);
    else
        QVERIFY(s->close());
    QCOMPARE(noticed, other != nullptr);
    QCOMPARE(s.dialogs.asked().size(), answers.size());
    QVERIFY(s.dialogs.asked().last().text.contains("\"A\" was changed"));
    QCOMPARE(s.rows().at(0).body, stored);
    QCOMPARE(s->SnippitChanged, stored == "theirs" ? 1 : 0);
    QCOMPARE(s->ListBox2->ItemIndex(), 0);
    QCOMPARE(s->Panel3->isVisible(), answers.last() == mrCancel);
}

// Typed while the notice shows, into whichever window has the focus then, as a keyboard does.
void WorkflowTest::keysTypedDuringASlowSaveArrive() {
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "!");
    const auto other = onServer() ? nullptr : otherProgram(s.database(), "BEGIN IMMEDIATE");
    if (!other)
        QSKIP("Needs sqlite3 holding the file.");
    QTimer::singleShot(1500, other.get(), [&] { other->write("COMMIT;\n"); });
    bool typedBehindTheNotice = false;
    QTimer::singleShot(800, Form2, [&] {
        typedBehindTheNotice = Form2->isVisible();
        for (const char c : {'x', 'y', 'z'})
            QTest::keyClick(QGuiApplication::focusWindow(), c);
    });
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QVERIFY(typedBehindTheNotice);
    QCOMPARE(s.rows().at(0).body, QString("alpha!"));
    QTRY_COMPARE(s->SynEdit1->Text(), QString("alpha!xyz"));
    QCOMPARE(s->SnippitChanged, 1);
}

QTEST_MAIN(WorkflowTest)
#include "tst_workflow.moc"
