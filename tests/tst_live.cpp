// SPDX-License-Identifier: GPL-3.0-or-later
// A window follows what others change in its collection: the companion, a second window, a
// server connection that comes back. Nothing is asked and no click is made for the user.

#include "TestSupport.h"
#include "data/collection/CollectionWatcher.h"
#include "data/recovery/Recovery.h"
#include "window/SearchWindow.h"
#include "window/Unit1.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

using namespace testsupport;

namespace {

const QList<Row> kRows{{"PHP", "A", "alpha"}, {"SQL", "B", "beta"}, {"PHP", "C", "gamma"}};
constexpr int kWithin = 2000;

CliRun cli(const QStringList& args, const QByteArray& input = {}) {
    const CliRun run = runCli(cliCollection(args), input);
    if (run.status != 0)
        qWarning("varozidi-cli %s: %s", qPrintable(args.join(' ')), run.err.constData());
    return run;
}

QString selected(const TListBox* list) {
    return list->ItemIndex() >= 0 ? list->Text(list->ItemIndex()) : QString();
}

// Everything of the window that a change elsewhere may touch, as one text to compare.
QString state(TForm1& form) {
    return QStringList{entries(form.ListBox1).join(','),
                       selected(form.ListBox1),
                       entries(form.ListBox2).join(','),
                       selected(form.ListBox2),
                       form.SynEdit1->Text(),
                       form.LiveNote->isVisible() ? QStringLiteral("note") : QString()}
        .join('|');
}

} // namespace

class LiveTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { VAROZIDI_REQUIRE_ENGINE(); }
    void aChangeElsewhereShowsWithoutAsking_data();
    void aChangeElsewhereShowsWithoutAsking();
    void refreshKeepsTheViewWhereItWas();
    void unsavedTextStaysAndSavingAsks_data();
    void unsavedTextStaysAndSavingAsks();
    void renamedOrMovedElsewhere_data();
    void renamedOrMovedElsewhere();
    void aSecondWindowSeesTheFirstsWrites();
    void aLostServerConnectionResumes();
    void searchResultsFollow();
    void aServerTableGainsWhatItLacks();
    void theSyncFolderKeepsInStepBothWays();
};

void LiveTest::aChangeElsewhereShowsWithoutAsking_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected"); // state(): languages|language|titles|title|text|note
    QTest::newRow("add") << QStringList{"add", "--language", "php", "--title", "D"}
                         << "PHP,SQL|PHP|A,C,D|A|alpha|";
    QTest::newRow("edit the shown") << QStringList{"edit", "1"} << "PHP,SQL|PHP|A,C|A|new|note";
    QTest::newRow("edit another") << QStringList{"edit", "3"} << "PHP,SQL|PHP|A,C|A|alpha|";
    QTest::newRow("remove the shown") << QStringList{"remove", "1"} << "SQL,PHP|PHP|C||alpha|note";
    QTest::newRow("remove another") << QStringList{"remove", "3"} << "PHP,SQL|PHP|A|A|alpha|";
    QTest::newRow("new language") << QStringList{"add", "--language", "Go", "--title", "G"}
                                  << "PHP,SQL,Go|PHP|A,C|A|alpha|";
    QTest::newRow("last of a language") << QStringList{"remove", "2"} << "PHP|PHP|A,C|A|alpha|";
}

void LiveTest::aChangeElsewhereShowsWithoutAsking() {
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    QTRY_VERIFY(s->Watcher->Listening());
    const QSignalSpy languageClicks(s->ListBox1, &TListBox::Click);
    const QSignalSpy titleClicks(s->ListBox2, &TListBox::Click);
    QCOMPARE(cli(args, "new").status, 0);
    QTRY_COMPARE_WITH_TIMEOUT(state(s.form()), expected, kWithin);
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(languageClicks.count() + titleClicks.count(), 0);
    QCOMPARE(s->SnippitChanged, 0);
    // The next save goes where it should: into the row shown, or nowhere once it is gone.
    s.dialogs.answer(mrNo);
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    const bool removed = args == QStringList{"remove", "1"};
    QCOMPARE(s.dialogs.asked().size(), removed ? 1 : 0);
    if (!removed)
        QCOMPARE(s.rows().first().body, s->SynEdit1->Text());
}

void LiveTest::refreshKeepsTheViewWhereItWas() {
    QList<Row> rows;
    QString body;
    for (int line = 0; line < 300; ++line)
        body += QStringLiteral("line %1 of a long snippet\n").arg(line);
    for (int i = 0; i < 300; ++i)
        rows.append({"SQL", QStringLiteral("T%1").arg(i, 3, 10, QChar('0')), body});
    Started s(rows);
    clickRow(s->ListBox1, 0);
    s->ListBox2->scrollToItem(s->ListBox2->item(200));
    clickRow(s->ListBox2, 200);
    const int listScroll = s->ListBox2->verticalScrollBar()->value();
    QVERIFY(listScroll > 0);
    s->SynEdit1->setCursorPosition(150, 5);
    s->SynEdit1->setFirstVisibleLine(140);

    QCOMPARE(cli({"add", "--language", "SQL", "--title", "T000a"}).status, 0);
    QTRY_COMPARE_WITH_TIMEOUT(s->ListBox2->Count(), 301, kWithin);
    QCOMPARE(selected(s->ListBox2), QString("T200"));
    QCOMPARE(s->ListBox2->verticalScrollBar()->value(), listScroll);

    QCOMPARE(cli({"edit", "201"}, "changed first line\n" + body.toUtf8()).status, 0);
    QTRY_VERIFY_WITH_TIMEOUT(s->SynEdit1->Text().startsWith("changed"), kWithin);
    int line = 0, index = 0;
    s->SynEdit1->getCursorPosition(&line, &index);
    QCOMPARE(line, 150);
    QCOMPARE(index, 5);
    QCOMPARE(s->SynEdit1->firstVisibleLine(), 140);
    QCOMPARE(s->SnippitChanged, 0);
    QVERIFY(s.dialogs.asked().isEmpty());

    // A body cut short elsewhere: the caret goes as far as the text now reaches.
    QCOMPARE(cli({"edit", "201"}, "one\ntwo").status, 0);
    QTRY_COMPARE_WITH_TIMEOUT(s->SynEdit1->Text(), QString("one\ntwo"), kWithin);
    s->SynEdit1->getCursorPosition(&line, &index);
    QCOMPARE(line, 1);
    QCOMPARE(index, 3);
}

void LiveTest::unsavedTextStaysAndSavingAsks_data() {
    QTest::addColumn<bool>("dismissed"); // by No to the question of a language click
    QTest::newRow("unsaved") << false;
    QTest::newRow("dismissed, still shown") << true;
}

void LiveTest::unsavedTextStaysAndSavingAsks() {
    QFETCH(bool, dismissed);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "!");
    if (dismissed) {
        s.dialogs.answer(mrNo);
        clickRow(s->ListBox1, 1);
        s.dialogs.clear();
    }
    QCOMPARE(cli({"edit", "1"}, "theirs").status, 0);
    QTRY_VERIFY_WITH_TIMEOUT(s->LiveNote->isVisible(), kWithin);
    QCOMPARE(s->SynEdit1->Text(), QString("alpha!"));
    // Below the text, not over its last lines.
    QTRY_VERIFY(!s->LiveNote->geometry().intersects(s->SynEdit1->viewport()->geometry()));
    // No at a language click leaves the text shown and unsaved.
    QCOMPARE(s->SnippitChanged, 1);
    QVERIFY(s.dialogs.asked().isEmpty());
    s.dialogs.answer(mrNo);
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QCOMPARE(s.dialogs.asked().size(), 1);
    QCOMPARE(s.dialogs.asked().first().buttons, TMsgDlgButtons(mbYes | mbNo | mbCancel));
    QCOMPARE(s.rows().first().body, QString("theirs"));
}

void LiveTest::renamedOrMovedElsewhere_data() {
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QString>("selection"); // language|title
    QTest::addColumn<QString>("saveAsks");  // part of Save's question; empty: none
    QTest::newRow("renamed") << "UPDATE varozidi SET \"Title\" = 'Z' WHERE \"ID\" = 1"
                             << "PHP|Z"
                             << "";
    QTest::newRow("renamed and rewritten")
        << "UPDATE varozidi SET \"Title\" = 'Z', \"Body\" = 'theirs' WHERE \"ID\" = 1"
        << "PHP|Z"
        << "\"Z\" was changed";
    QTest::newRow("moved to another language")
        << "UPDATE varozidi SET \"Language\" = 'SQL' WHERE \"ID\" = 1"
        << "SQL|A"
        << "";
    QTest::newRow("its language renamed")
        << "UPDATE varozidi SET \"Language\" = 'Hack' WHERE \"Language\" = 'PHP'"
        << "Hack|A"
        << "";
}

// Unsaved text in the editor, and another program changes all but the text.
void LiveTest::renamedOrMovedElsewhere() {
    QFETCH(QString, sql);
    QFETCH(QString, selection);
    QFETCH(QString, saveAsks);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "!");
    s->RecoveryKeeper->WriteNow();
    QTRY_VERIFY(s->Watcher->Listening());
    execSql(s.database(), sql);
    QTRY_COMPARE_WITH_TIMEOUT(selected(s->ListBox1) + '|' + selected(s->ListBox2), selection,
                              kWithin);
    QCOMPARE(s->SynEdit1->Text(), QString("alpha!"));
    // The kept text names it as it is now, for the next start to find it by.
    const auto kept = [&] {
        QFile file(s->RecoveryKeeper->RecordPath());
        const auto record = file.open(QIODevice::ReadOnly)
                                ? varozidi::recovery::Decode(file.readAll())
                                : varozidi::recovery::Record{};
        return record.language + '|' + record.title;
    };
    QTRY_COMPARE(kept(), selection);
    s.dialogs.answer(mrNo);
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QCOMPARE(s.dialogs.asked().size(), int(!saveAsks.isEmpty()));
    if (!saveAsks.isEmpty())
        QVERIFY2(s.dialogs.asked().first().text.contains(saveAsks),
                 qPrintable(s.dialogs.asked().first().text));
    else
        QCOMPARE(s.rows().first().body, QString("alpha!"));
}

void LiveTest::aSecondWindowSeesTheFirstsWrites() {
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 1);
    TForm1 second;
    second.show();
    clickRow(second.ListBox1, 0);
    clickRow(second.ListBox2, 1);
    second.SynEdit1->SetLinesText("from the second window");
    QTest::mouseClick(second.ToolButton5, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(s->SynEdit1->Text(), QString("from the second window"), kWithin);
    QVERIFY(s->LiveNote->isVisible());

    // The first window adds a language; the second lists it, and says nothing of its own save.
    QTest::mouseClick(s->ToolButton1, Qt::LeftButton);
    s->Edit1->setText("Rust");
    s->Edit2->setText("R");
    QTest::mouseClick(s->Button1, Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(entries(second.ListBox1), (QStringList{"PHP", "SQL", "Rust"}),
                              kWithin);
    QCOMPARE(selected(second.ListBox2), QString("C"));
    QVERIFY(!second.LiveNote->isVisible());
    QVERIFY(s.dialogs.asked().isEmpty());
}

void LiveTest::aLostServerConnectionResumes() {
    if (!onServer())
        QSKIP("a connection to lose is the server's");
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    QTRY_VERIFY(s->Watcher->Listening());
    execSql(serverUri(), "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE "
                         "application_name = 'varozidi' AND pid <> pg_backend_pid()");
    QTRY_VERIFY(!s->Watcher->Listening());
    // Written while no one listens: seen once the window listens again.
    QCOMPARE(cli({"edit", "1"}, "while away").status, 0);
    QTRY_COMPARE_WITH_TIMEOUT(s->SynEdit1->Text(), QString("while away"), 3 * kWithin);
    QCOMPARE(cli({"add", "--language", "Go", "--title", "G"}).status, 0);
    QTRY_COMPARE_WITH_TIMEOUT(entries(s->ListBox1), (QStringList{"PHP", "SQL", "Go"}), 2 * kWithin);
    QVERIFY(s.dialogs.asked().isEmpty());
}

void LiveTest::searchResultsFollow() {
    Started s(kRows);
    QTRY_VERIFY(s->Watcher->Listening());
    s->OpenSearch();
    s->Search->Query->setText("alpha");
    QTRY_COMPARE(s->Search->Results->topLevelItemCount(), 1);
    QCOMPARE(cli({"add", "--language", "Go", "--title", "G"}, "alphabet").status, 0);
    QTRY_COMPARE_WITH_TIMEOUT(s->Search->Results->topLevelItemCount(), 2, kWithin);
    QCOMPARE(cli({"remove", "1"}).status, 0);
    QTRY_COMPARE_WITH_TIMEOUT(s->Search->Results->topLevelItemCount(), 1, kWithin);
}

void LiveTest::aServerTableGainsWhatItLacks() {
    if (!onServer())
        QSKIP("the file's own index is tested with the store");
    Started s(kRows);
    execSql(serverUri(), "DROP TRIGGER varozidi_updated ON varozidi; DROP INDEX "
                         "varozidi_language_id");
    // Opening the table gives it back what it lacks; an edit elsewhere is heard again.
    TForm1 second;
    second.show();
    clickRow(second.ListBox1, 0);
    clickRow(second.ListBox2, 0);
    QTRY_VERIFY(second.Watcher->Listening());
    QCOMPARE(cli({"edit", "1"}, "heard").status, 0);
    QTRY_COMPARE_WITH_TIMEOUT(second.SynEdit1->Text(), QString("heard"), kWithin);
    QCOMPARE(entries(second.ListBox1), (QStringList{"PHP", "SQL"}));
}

QTEST_MAIN(LiveTest)
#include "tst_live.moc"

// The settings name a sync folder: the window keeps it in step both ways while it runs, and
// a change in the folder shows as any change elsewhere does.
void LiveTest::theSyncFolderKeepsInStepBothWays() {
    QTemporaryDir folder;
    Started s(kRows, {{"Tessel.ini", "[SYNC]\nFolder=" + QFile::encodeName(folder.path()) + '\n'}});
    const QString a = folder.filePath(QStringLiteral("PHP/A.php"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(a), kWithin);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    QCOMPARE(s->SynEdit1->Text(), QString("alpha"));

    writeFile(a, "alpha, from the folder");
    QTRY_COMPARE_WITH_TIMEOUT(s->SynEdit1->Text(), QString("alpha, from the folder"), kWithin);
    QCOMPARE(s->SnippitChanged, 0);

    QCOMPARE(cli({"add", "--language", "Go", "--title", "New"}, "package main").status, 0);
    const QString added = folder.filePath(QStringLiteral("Go/New.go"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(added), kWithin);
    QFile file(added);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("package main"));
    QVERIFY(s.dialogs.asked().isEmpty());
}
