// SPDX-License-Identifier: GPL-3.0-or-later
// Failures in the middle of browsing and editing, each followed by going on working: another
// program holding or changing the database, refused writes, odd tables, a file-size limit.

#include "TestSupport.h"
#include "window/Unit1.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QtTest>
#include <sqlite3.h>
#include <sys/resource.h>

using namespace testsupport;

namespace {

const QString kSwitching = "Changes have been made to the open snippit. Would you like to save "
                           "the snippit before switching?";
const QList<Row> kRows{{"PHP", "A", "alpha"}, {"SQL", "B", "beta"}, {"PHP", "C", "gamma"}};

// Another program with the database open, able to hold it locked.
class OtherProgram {
public:
    explicit OtherProgram(const QString& path) {
        if (sqlite3_open_v2(path.toUtf8().constData(), &db_, SQLITE_OPEN_READWRITE, nullptr) !=
            SQLITE_OK)
            qFatal("cannot open %s", qPrintable(path));
    }
    ~OtherProgram() { sqlite3_close(db_); }
    void exec(const char* sql) { QCOMPARE(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), 0); }
    void lock() { exec("BEGIN EXCLUSIVE"); }
    void unlock() { exec("COMMIT"); }

private:
    sqlite3* db_ = nullptr;
};

void showTitle(Started& s, int language, int title) {
    clickRow(s->ListBox1, language);
    clickRow(s->ListBox2, title);
}

// SQLite's own reads, failing as on a bad sector while this lives.
class FailingReads {
public:
    FailingReads() {
        const auto failing = +[](int, void*, size_t, off_t) -> ssize_t {
            errno = EIO;
            return -1;
        };
        QCOMPARE(
            vfs_->xSetSystemCall(vfs_, "pread64", reinterpret_cast<sqlite3_syscall_ptr>(failing)),
            SQLITE_OK);
    }
    ~FailingReads() { vfs_->xSetSystemCall(vfs_, "pread64", nullptr); }

private:
    sqlite3_vfs* vfs_ = sqlite3_vfs_find(nullptr);
};

void expectOneError(Dialogs& dialogs, const QString& part) {
    QCOMPARE(dialogs.asked().size(), 1);
    QCOMPARE(dialogs.asked().first().kind, TMsgDlgType::mtError);
    QVERIFY2(dialogs.asked().first().text.contains(part), qPrintable(dialogs.asked().first().text));
    dialogs.clear();
}

} // namespace

class FailuresTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void choosingATitleOnlyByClickingIt();
    void failedChoiceKeepsTheWindow_data();
    void failedChoiceKeepsTheWindow();
    void failedAddIsNotReplayed_data();
    void failedAddIsNotReplayed();
    void failedSaveIsNotReplayed();
    void textWithoutASnippetFindsOne_data();
    void textWithoutASnippetFindsOne();
    void oddTablesReachTheRightRow_data();
    void oddTablesReachTheRightRow();
    void fileSizeLimitIsAnError();
    void unreadableDiskIsNoDamagedFile();
};

void FailuresTest::choosingATitleOnlyByClickingIt() {
    Started s(kRows);
    showTitle(s, 0, 0);
    typeText(s.form(), "!");
    // A right click, or a press dragged off the entry, chooses nothing.
    clickRow(s->ListBox2, 1, Qt::RightButton);
    const QPoint from = s->ListBox2->visualItemRect(s->ListBox2->item(1)).center();
    QTest::mousePress(s->ListBox2->viewport(), Qt::LeftButton, {}, from);
    QTest::mouseRelease(s->ListBox2->viewport(), Qt::LeftButton, {}, QPoint(from.x(), 10000));
    QCOMPARE(s->ListBox2->ItemIndex(), 0);
    QVERIFY(s.dialogs.asked().isEmpty());
    // So "Remove Snippit" removes the snippet shown, and the editor forgets it.
    s.dialogs.answer(mrYes);
    QTest::mouseClick(s->ToolButton2, Qt::LeftButton);
    QCOMPARE(s->SynEdit1->Text(), QString());
    QCOMPARE(s->CurrentSnippitID, 0);
    QVERIFY(s->close()); // nothing left to ask about
    QCOMPARE(s.dialogs.asked().size(), 1);
    const QList<StoredRow> left{{2, "SQL", "B", "beta"}, {3, "PHP", "C", "gamma"}};
    QCOMPARE(s.rows(), left);
}

void FailuresTest::failedChoiceKeepsTheWindow_data() {
    QTest::addColumn<bool>("title"); // else a language is chosen
    QTest::addColumn<bool>("edited");
    QTest::newRow("title") << true << false;
    QTest::newRow("title after an edit answered No") << true << true;
    QTest::newRow("language") << false << false;
}

void FailuresTest::failedChoiceKeepsTheWindow() {
    QFETCH(bool, title);
    QFETCH(bool, edited);
    Started s(kRows);
    OtherProgram other(s.database());
    showTitle(s, 0, 0);
    if (edited) {
        typeText(s.form(), "!");
        s.dialogs.answer(mrNo);
    }
    const QString text = s->SynEdit1->Text();
    other.lock();
    clickRow(title ? s->ListBox2 : s->ListBox1, 1);
    other.unlock();
    QCOMPARE(s.dialogs.asked().size(), edited ? 2 : 1);
    QVERIFY(s.dialogs.asked().last().text.contains("in use by another program"));
    s.dialogs.clear();
    QCOMPARE(s->ListBox1->ItemIndex(), 0);
    QCOMPARE(s->ListBox2->ItemIndex(), 0);
    QCOMPARE(entries(s->ListBox2), (QStringList{"A", "C"}));
    QCOMPARE(s->SynEdit1->Text(), text);
    QCOMPARE(s->CurrentSnippitID, 1);
    QCOMPARE(s->SnippitChanged, edited ? 1 : 0);
    // What is typed next belongs to the snippet still shown.
    typeText(s.form(), " more");
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QCOMPARE(s.rows().at(0).body, text + " more");
    QCOMPARE(s.rows().at(2).body, QString("gamma"));
    clickRow(title ? s->ListBox2 : s->ListBox1, 1);
    QCOMPARE(title ? s->SynEdit1->Text() : entries(s->ListBox2).join(','),
             title ? QString("gamma") : QString("B"));
    QVERIFY(s.dialogs.asked().isEmpty());
}

void FailuresTest::failedAddIsNotReplayed_data() {
    QTest::addColumn<bool>("busy"); // else a trigger of another program refuses the row
    QTest::addColumn<bool>("retry");
    QTest::newRow("busy, then Ok again") << true << true;
    QTest::newRow("refused, then Ok again") << false << true;
    QTest::newRow("refused, then Cancel") << false << false;
}

void FailuresTest::failedAddIsNotReplayed() {
    QFETCH(bool, busy);
    QFETCH(bool, retry);
    Started s(kRows);
    OtherProgram other(s.database());
    QTest::mouseClick(s->ToolButton1, Qt::LeftButton);
    s->Edit1->setText("Go");
    s->Edit2->setText("T");
    if (busy)
        other.lock();
    else
        other.exec("CREATE TRIGGER refuse BEFORE INSERT ON varozidi "
                   "BEGIN SELECT RAISE(ABORT, 'no new rows'); END");
    QTest::mouseClick(s->Button1, Qt::LeftButton);
    busy ? other.unlock() : other.exec("DROP TRIGGER refuse");
    expectOneError(s.dialogs, busy ? "in use by another program" : "no new rows");
    QVERIFY(s->Panel3->isVisible());
    QCOMPARE(s->Edit2->text(), QString("T"));
    QCOMPARE(s.rows().size(), kRows.size());

    QTest::mouseClick(retry ? s->Button1 : s->Button2, Qt::LeftButton);
    showTitle(s, 0, 1);
    QCOMPARE(s->SynEdit1->Text(), QString("gamma"));
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(s.rows().size(), kRows.size() + (retry ? 1 : 0));
}

void FailuresTest::failedSaveIsNotReplayed() {
    Started s(kRows);
    execSql(s.database(), "CREATE TRIGGER refuse BEFORE UPDATE ON varozidi "
                          "BEGIN SELECT RAISE(ABORT, 'read-only for now'); END");
    showTitle(s, 0, 0);
    typeText(s.form(), "!");
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    expectOneError(s.dialogs, "read-only for now");
    QCOMPARE(s->SnippitChanged, 1);
    // Yes to the question fails the same way and the switch does not happen.
    s.dialogs.answer(mrYes);
    clickRow(s->ListBox2, 1);
    QCOMPARE(s.dialogs.asked().size(), 2);
    s.dialogs.clear();
    QCOMPARE(s->ListBox2->ItemIndex(), 0);
    QCOMPARE(s->SynEdit1->Text(), QString("alpha!"));
    // Once writing works again, No still means the typed text is not stored.
    execSql(s.database(), "DROP TRIGGER refuse");
    s.dialogs.answer(mrNo);
    clickRow(s->ListBox2, 1);
    clickRow(s->ListBox1, 1);
    QCOMPARE(s->SynEdit1->Text(), QString("gamma"));
    QCOMPARE(s.rows().at(0).body, QString("alpha"));
    QCOMPARE(s.dialogs.asked().size(), 1);
}

void FailuresTest::textWithoutASnippetFindsOne_data() {
    QTest::addColumn<QString>("via");
    QTest::newRow("Save Edits") << "save";
    QTest::newRow("switching") << "switch";
    QTest::newRow("closing") << "close";
}

void FailuresTest::textWithoutASnippetFindsOne() {
    QFETCH(QString, via);
    Started s(kRows);
    showTitle(s, 0, 0);
    execSql(s.database(), "DELETE FROM varozidi WHERE ID = 1");
    typeText(s.form(), "!");
    if (via == "save") {
        QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    } else if (via == "switch") {
        s.dialogs.answer(mrYes);
        clickRow(s->ListBox2, 1);
    } else {
        s.dialogs.answer(mrYes);
        QVERIFY(!s->close());
    }
    // Declining the offer keeps everything; taking it opens the panel filled in.
    QVERIFY(s.dialogs.asked().last().text.contains("\"A\" is no longer in the database"));
    for (int answer : {mrNo, mrYes}) {
        s.dialogs.clear();
        s.dialogs.answer(answer);
        QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
        QCOMPARE(s->Panel3->isVisible(), answer == mrYes);
        QCOMPARE(s->ListBox2->ItemIndex(), 0);
        QCOMPARE(s->SynEdit1->Text(), QString("alpha!"));
        QCOMPARE(s->SnippitChanged, 1);
    }
    QCOMPARE(s->Edit1->text(), QString("PHP"));
    QCOMPARE(s->Edit2->text(), QString("A"));
    QTest::mouseClick(s->Button1, Qt::LeftButton);
    QCOMPARE(s.rows().last(), (StoredRow{4, "PHP", "A", "alpha!"}));
    QCOMPARE(s->CurrentSnippitID, 4);
    QCOMPARE(s->SnippitChanged, 0);
    QCOMPARE(s->ListBox2->currentItem()->text(), QString("A"));
    s.dialogs.clear();
    QVERIFY(s->close());
    QVERIFY(s.dialogs.asked().isEmpty());
}

void FailuresTest::oddTablesReachTheRightRow_data() {
    QTest::addColumn<QString>("schema"); // creates and fills the table
    QTest::addColumn<QStringList>("languages");
    QTest::addColumn<QString>("body"); // of the first title of the last language
    QTest::addColumn<QString>("refusal");
    QTest::newRow("key is not the rowid")
        << "CREATE TABLE varozidi (ID INTEGER PRIMARY KEY DESC, Language TEXT, Title TEXT, "
           "Body TEXT); INSERT INTO varozidi VALUES (2, 'PHP', 'A', 'a'), (3, 'PHP', 'B', 'b'), "
           "(1, 'SQL', 'C', 'c');"
        << QStringList{"PHP", "SQL"} << "c"
        << "";
    QTest::newRow("a field named rowid")
        << "CREATE TABLE varozidi (ID INTEGER PRIMARY KEY AUTOINCREMENT, rowid INTEGER, "
           "Language TEXT, Title TEXT, Body TEXT); INSERT INTO varozidi (rowid, Language, Title, "
           "Body) VALUES (7, 'PHP', 'A', 'a'), (7, 'SQL', 'C', 'c');"
        << QStringList{"PHP", "SQL"} << "c"
        << "";
    QTest::newRow("languages stored as numbers")
        << "CREATE TABLE varozidi (ID INTEGER PRIMARY KEY AUTOINCREMENT, Language, Title, Body);"
           "INSERT INTO varozidi (Language, Title, Body) VALUES (2010, 'A', 'a'), (1.5, 'C', 'c');"
        << QStringList{"2010", "1.5"} << "c"
        << "";
    QTest::newRow("IDs past 32 bits")
        << "CREATE TABLE varozidi (ID INTEGER PRIMARY KEY AUTOINCREMENT, Language TEXT, "
           "Title TEXT, Body TEXT); INSERT INTO varozidi VALUES (5, 'PHP', 'A', 'a'), "
           "(3000000000, 'SQL', 'C', 'c');"
        << QStringList{"PHP", "SQL"} << "c"
        << "";
    QTest::newRow("no rowid") << "CREATE TABLE varozidi (ID INTEGER PRIMARY KEY, Language TEXT, "
                                 "Title TEXT, Body TEXT) WITHOUT ROWID;"
                              << QStringList{} << ""
                              << "WITHOUT ROWID";
}

void FailuresTest::oddTablesReachTheRightRow() {
    QFETCH(QString, schema);
    QFETCH(QStringList, languages);
    QFETCH(QString, body);
    QFETCH(QString, refusal);
    DataHome home;
    const QString path = home.dataDir() + "varozidi.mdb";
    writeFile(path, {});
    execSql(path, schema);
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    Dialogs dialogs;
    TForm1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    if (!refusal.isEmpty()) {
        expectOneError(dialogs, refusal);
        QCOMPARE(form.ListBox1->count(), 0);
        return;
    }
    QCOMPARE(entries(form.ListBox1), languages);
    const QList<StoredRow> before = readRows(path);
    clickRow(form.ListBox1, 1);
    clickRow(form.ListBox2, 0);
    QCOMPARE(form.SynEdit1->Text(), body);
    typeText(form, "!");
    QTest::mouseClick(form.ToolButton5, Qt::LeftButton);
    QList<StoredRow> expected = before;
    for (StoredRow& row : expected)
        if (row.body == body)
            row.body += "!";
    QCOMPARE(readRows(path), expected);
    // A snippet added now can be opened and saved like the others.
    form.Edit1->setText(languages.first());
    form.Edit2->setText("New");
    form.Button1Click();
    clickRow(form.ListBox2, form.ListBox2->count() - 1);
    typeText(form, "new text");
    QTest::mouseClick(form.ToolButton5, Qt::LeftButton);
    QCOMPARE(readRows(path).last().body, QString("new text"));
    QCOMPARE(readRows(path).last().id, form.CurrentSnippitID);
    QVERIFY(dialogs.asked().isEmpty());
}

void FailuresTest::fileSizeLimitIsAnError() {
    Started s(kRows);
    showTitle(s, 0, 0);
    s->SynEdit1->insert(QString(256 * 1024, u'x')); // as a paste would
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = rlim_t(QFileInfo(s.database()).size());
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
    expectOneError(s.dialogs, "largest size allowed");
    QCOMPARE(s->SnippitChanged, 1);
    const QString text = s->SynEdit1->Text();
    QCOMPARE(text.size(), 256 * 1024 + 5);
    QCOMPARE(s.rows().at(0).body, QString("alpha"));
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(s.rows().at(0).body, text);
}

// The disk failing while a snippet is chosen: said as the disk's failure, never as a damaged
// collection, and the window goes on once it reads again.
void FailuresTest::unreadableDiskIsNoDamagedFile() {
    if (onServer())
        QSKIP("a server's collection is on no disk of ours");
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    {
        const FailingReads failing;
        clickRow(s->ListBox2, 1);
    }
    expectOneError(s.dialogs, "the disk could not be read (input/output error): the collection "
                              "may be sound; copy it elsewhere before anything else");
    clickRow(s->ListBox2, 1);
    QCOMPARE(s->SynEdit1->Text(), QString("gamma"));
    QVERIFY(s.dialogs.asked().isEmpty());
}

QTEST_MAIN(FailuresTest)
#include "tst_failures.moc"
