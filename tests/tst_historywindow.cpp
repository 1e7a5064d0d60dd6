// SPDX-License-Identifier: GPL-3.0-or-later
// The history window over the real main window and collection: versions listed newest first,
// one taken back into the editor and saved, removed snippets brought back, odd bytes, the
// keyboard, and the diff beside it.

#include "TestSupport.h"
#include "data/collection/CollectionWatcher.h"
#include "data/core/SysUtils.h"
#include "window/HistoryWindow.h"
#include "window/SearchWindow.h"
#include "window/UnifiedDiff.h"
#include "window/Unit1.h"

#include <QAccessible>
#include <QClipboard>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

using namespace testsupport;

namespace {

const QList<Row> kRows{{"SQL", "Users", "one"}, {"C++", "Hello", "int main"}};

void save(Started& s) {
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
}

// Ctrl+H in the main window, its editor holding the focus.
HistoryWindow* ctrlH(Started& s) {
    s->activateWindow();
    if (!QTest::qWaitFor([&s] { return QApplication::activeWindow() == &s.form(); }))
        return nullptr;
    s->SynEdit1->setFocus();
    QTest::keyClick(s->SynEdit1, Qt::Key_H, Qt::ControlModifier);
    return s->History && s->History->isVisible() ? s->History : nullptr;
}

void choose(HistoryWindow* h, int row) {
    h->Versions->setCurrentItem(h->Versions->topLevelItem(row));
}

QByteArray stored(qint64 id) {
    return runCli(cliCollection({"show", QString::number(id)})).out;
}

} // namespace

class HistoryWindowTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { VAROZIDI_REQUIRE_ENGINE(); }
    void init() { QGuiApplication::clipboard()->clear(); }
    void takeAnEarlierVersionBack();
    void unsavedTextIsAskedAbout_data();
    void unsavedTextIsAskedAbout();
    void removedBroughtBack();
    void oddBytes_data();
    void oddBytes();
    void keyboardAndFailures();
    void diffLines_data();
    void diffLines();
};

void HistoryWindowTest::takeAnEarlierVersionBack() {
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), " two");
    save(s);
    typeText(s.form(), " three");
    save(s);
    HistoryWindow* h = ctrlH(s);
    QVERIFY(h);
    QCOMPARE(h->Versions->topLevelItemCount(), 2);
    QCOMPARE(h->Text->TextBytes(), "one two"); // the newest first
    QCOMPARE(h->Versions->topLevelItem(0)->text(1), QString("Text edited"));
    choose(h, 1);
    QCOMPARE(h->Text->TextBytes(), "one");
    QCOMPARE(h->Text->lexer(), s->HighlighterFor("SQL")->lexer());
    QVERIFY(h->Differences->text().contains("-one two three\n"));
    QVERIFY(h->Differences->text().contains("+one\n"));
    QTest::mouseClick(h->UseButton, Qt::LeftButton);
    QCOMPARE(s->SynEdit1->TextBytes(), "one");
    QCOMPARE(s->SnippitChanged, 1);
    // One edit of the user's: Undo takes it back.
    QTest::mouseClick(s->ToolButton6, Qt::LeftButton);
    QCOMPARE(s->SynEdit1->TextBytes(), "one two three");
    QTest::mouseClick(h->UseButton, Qt::LeftButton);
    save(s);
    QCOMPARE(s.rows().first().body, QString("one"));
    QCOMPARE(s->SnippitChanged, 0);
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(h->Versions->topLevelItemCount(), 3);
}

void HistoryWindowTest::unsavedTextIsAskedAbout_data() {
    QTest::addColumn<bool>("otherShown");
    QTest::addColumn<int>("answer");
    QTest::addColumn<qint64>("shownId");
    QTest::addColumn<QString>("editor");
    QTest::addColumn<QString>("hello"); // Hello's stored body after
    QTest::newRow("other, saved first") << true << mrYes << 1LL << "one"
                                        << "int main!";
    QTest::newRow("other, given up") << true << mrNo << 1LL << "one"
                                     << "int main";
    QTest::newRow("other, closed") << true << mrNone << 2LL << "int main!"
                                   << "int main";
    QTest::newRow("same, kept") << false << mrNo << 1LL << "one x!"
                                << "int main";
    QTest::newRow("same, replaced") << false << mrYes << 1LL << "one"
                                    << "int main";
}

// Through the search window's button: the version of another snippet is taken only once that
// snippet is shown, the usual question answered.
void HistoryWindowTest::unsavedTextIsAskedAbout() {
    QFETCH(bool, otherShown);
    QFETCH(int, answer);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), " x");
    save(s);
    if (otherShown) {
        clickRow(s->ListBox1, 1);
        clickRow(s->ListBox2, 0);
    }
    typeText(s.form(), "!");
    s->OpenSearch();
    s->Search->Query->setText("Users");
    QTRY_COMPARE(s->Search->Results->topLevelItemCount(), 1);
    QTRY_COMPARE(QApplication::activeWindow(), s->Search);
    QTest::keyClick(s->Search->Query, Qt::Key_H, Qt::ControlModifier);
    QVERIFY(s->History && s->History->isVisible());
    QCOMPARE(s->History->Text->TextBytes(), "one");
    s.dialogs.answer(answer);
    QTest::mouseClick(s->History->UseButton, Qt::LeftButton);
    QCOMPARE(s.dialogs.asked().size(), 1);
    QTEST(s->CurrentSnippitID, "shownId");
    QTEST(s->SynEdit1->Text(), "editor");
    QCOMPARE(s->SnippitChanged, 1);
    QTEST(s.rows().at(1).body, "hello");
}

void HistoryWindowTest::removedBroughtBack() {
    Started s(kRows);
    QTRY_VERIFY(s->Watcher->Listening());
    clickRow(s->ListBox1, 1);
    clickRow(s->ListBox2, 0);
    s.dialogs.answer(mrYes);
    QTest::mouseClick(s->ToolButton2, Qt::LeftButton);
    QCOMPARE(s.rows().size(), 1);
    s->OpenSearch();
    QTest::mouseClick(s->Search->RemovedButton, Qt::LeftButton);
    HistoryWindow* h = s->History;
    QVERIFY(h && h->isVisible() && h->RemovedShown() && !h->UseButton->isVisible());
    QCOMPARE(h->Versions->topLevelItemCount(), 1);
    QCOMPARE(h->Text->TextBytes(), "int main");
    // Removed elsewhere too: listed first, the choice staying where it was.
    QCOMPARE(runCli(cliCollection({"remove", "1"})).status, 0);
    QTRY_COMPARE(h->Versions->topLevelItemCount(), 2);
    QCOMPARE(h->Versions->currentItem()->text(4), QString("Hello"));
    QTest::mouseClick(h->BringBackButton, Qt::LeftButton);
    QCOMPARE(s.rows().size(), 1);
    QCOMPARE(s.rows().first().title, QString("Hello"));
    QCOMPARE(entries(s->ListBox1), QStringList{"C++"});
    QCOMPARE(s->ListBox2->ItemIndex(), 0);
    QCOMPARE(s->CurrentSnippitID, 2);
    QCOMPARE(s->SynEdit1->Text(), QString("int main"));
    QCOMPARE(h->Versions->topLevelItemCount(), 1);
    QVERIFY(s.dialogs.asked().size() == 1);
}

void HistoryWindowTest::oddBytes_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("byte order mark") << "'\xEF\xBB\xBFx'" << QByteArray("\xEF\xBB\xBFx");
    QTest::newRow("empty") << "''" << QByteArray("");
    if (onServer())
        return;
    QTest::newRow("NUL") << "'a' || char(0) || 'b'" << QByteArray("a\0b", 3);
    QTest::newRow("bytes, not UTF-8") << "X'FF00FE0A'" << QByteArray("\xFF\x00\xFE\n", 4);
    QTest::newRow("cut short") << "X'61E282'" << QByteArray("a\xE2\x82");
}

void HistoryWindowTest::oddBytes() {
    QFETCH(QString, value);
    QFETCH(QByteArray, bytes);
    Started s(kRows);
    execSql(s.database(), "UPDATE varozidi SET \"Body\" = " + value + " WHERE \"ID\" = 1");
    QCOMPARE(runCli(cliCollection({"edit", "1"}), "plain").status, 0);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    HistoryWindow* h = ctrlH(s);
    QVERIFY(h);
    QCOMPARE(h->Text->TextBytes(), bytes);
    QVERIFY(h->CopyCurrent());
    const auto exact = ExactUtf8(bytes);
    QCOMPARE(QGuiApplication::clipboard()->text(), exact ? *exact : QString::fromUtf8(bytes));
    QTest::mouseClick(h->UseButton, Qt::LeftButton);
    QCOMPARE(s->SynEdit1->TextBytes(), bytes);
    QCOMPARE(s->SnippitChanged, 1);
    save(s);
    QCOMPARE(stored(1), bytes);
}

void HistoryWindowTest::keyboardAndFailures() {
    Started s(kRows);
    QVERIFY(!ctrlH(s));
    QCOMPARE(s.dialogs.asked().size(), 1);
    QCOMPARE(s.dialogs.asked().first().kind, TMsgDlgType::mtInformation);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), " two");
    save(s);
    HistoryWindow* h = ctrlH(s);
    QVERIFY(h);
    h->activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), h);
    for (QWidget* view : {static_cast<QWidget*>(h->Versions), static_cast<QWidget*>(h->Text),
                          static_cast<QWidget*>(h->Differences)})
        QVERIFY(!QAccessible::queryAccessibleInterface(view)->text(QAccessible::Name).isEmpty());
    // Enter on a version: its text, to read.
    h->Versions->setFocus();
    QTest::keyClick(h->Versions, Qt::Key_Return);
    QCOMPARE(QApplication::focusWidget(), h->Text);
    const QList<QWidget*> order{h->Differences, h->CopyButton, h->UseButton,
                                h->CloseButton, h->Versions,   h->Text};
    for (QWidget* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
    QTest::keyClick(h->Text, Qt::Key_Escape);
    QVERIFY(!h->isVisible());
    if (onServer())
        return;
    // Another program holds the whole file: said, and nothing else happens.
    const auto other = otherProgram(s.database(), "BEGIN EXCLUSIVE; DELETE FROM varozidi");
    QVERIFY(other);
    s.dialogs.clear();
    QVERIFY(!ctrlH(s));
    QCOMPARE(s.dialogs.asked().size(), 1);
    QCOMPARE(s.dialogs.asked().first().kind, TMsgDlgType::mtError);
    QVERIFY(s.dialogs.asked().first().text.contains("could not be read"));
    other->closeWriteChannel();
    QVERIFY(other->waitForFinished());
}

void HistoryWindowTest::diffLines_data() {
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QByteArray>("hunks"); // the diff after its two name lines
    QTest::addColumn<bool>("rough");
    QByteArray twenty, changed, late;
    for (int i = 1; i <= 20; ++i) {
        twenty += "l" + QByteArray::number(i) + '\n';
        changed += i == 2 ? "X\n" : i == 19 ? "Y\n" : "l" + QByteArray::number(i) + '\n';
        late += i == 15 ? "Z\n" : "l" + QByteArray::number(i) + '\n';
    }
    QByteArray many, other;
    for (int i = 0; i < 30000; ++i) {
        many += "a" + QByteArray::number(i) + '\n';
        other += "b" + QByteArray::number(i) + '\n';
    }
    QTest::newRow("same") << twenty << twenty << QByteArray() << false;
    QTest::newRow("one line") << "a\nb\nc\n"_qba
                              << "a\nB\nc\n"_qba
                              << "@@ -1,3 +1,3 @@\n a\n-b\n+B\n c\n"_qba << false;
    QTest::newRow("no line end") << "a\n"_qba
                                 << "a\nb"_qba
                                 << "@@ -1,1 +1,2 @@\n a\n+b\n\\ No newline at end of file\n"_qba
                                 << false;
    // The shared ends are found by bytes: a line only partly shared stays a change.
    QTest::newRow("line shares its end") << "q\n"_qba
                                         << "pq\n"_qba
                                         << "@@ -1,1 +1,1 @@\n-q\n+pq\n"_qba << false;
    QTest::newRow("line shares its middle and end")
        << "a\nxyz\nb\n"_qba
        << "a\nwyz\nb\n"_qba
        << "@@ -1,3 +1,3 @@\n a\n-xyz\n+wyz\n b\n"_qba << false;
    QTest::newRow("last line without an end")
        << "a\nb"_qba
        << "a\nc"_qba
        << "@@ -1,2 +1,2 @@\n a\n-b\n\\ No newline at end of file\n+c\n\\ No newline at end of "
           "file\n"_qba
        << false;
    QTest::newRow("from nothing") << QByteArray() << "a\n"_qba
                                  << "@@ -0,0 +1,1 @@\n+a\n"_qba << false;
    QTest::newRow("two hunks") << twenty << changed
                               << "@@ -1,5 +1,5 @@\n l1\n-l2\n+X\n l3\n l4\n l5\n"
                                  "@@ -16,5 +16,5 @@\n l16\n l17\n l18\n-l19\n+Y\n l20\n"_qba
                               << false;
    QTest::newRow("numbered after a long shared head")
        << twenty << late << "@@ -12,7 +12,7 @@\n l12\n l13\n l14\n-l15\n+Z\n l16\n l17\n l18\n"_qba
        << false;
    QTest::newRow("all different") << many << other << QByteArray() << true;
}

void HistoryWindowTest::diffLines() {
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(bool, rough);
    QElapsedTimer took;
    took.start();
    const UnifiedDiff diff = DiffLines(before, after, "x", "y");
    QVERIFY(took.elapsed() < 3000);
    QCOMPARE(diff.rough, rough);
    if (rough) {
        QVERIFY(diff.cut); // 60,000 lines of difference, not all shown
        QVERIFY(diff.text.startsWith("--- x\n+++ y\n@@ -1,30000 +1,30000 @@\n-a0\n-a1\n"));
        return;
    }
    QTEST(diff.text.isEmpty() ? diff.text : diff.text.mid(12), "hunks");
}

QTEST_MAIN(HistoryWindowTest)
#include "tst_historywindow.moc"
