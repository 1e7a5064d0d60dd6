// SPDX-License-Identifier: GPL-3.0-or-later
// Backup and restore on real files in a temporary data folder, with another program holding
// the database, refusing writes, or leaving things behind.

#include "TestSupport.h"
#include "data/engines/sqlite/LockFile.h"
#include "data/files/Files.h"
#include "data/store/ADODB.h"
#include "window/Forms.h"
#include "window/Unit1.h"
#include "window/Unit2.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kRestore = "This will reset your database to the last backup! Are you sure?";
const QList<Row> kRows{{"PHP", "A", "alpha"}, {"SQL", "B", "beta"}};

QString backupFolder(const Started& s) {
    return s.home.root() + "KZQBackups/Varozidi/";
}

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int modeOf(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

QString integrityOf(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
    QString verdict;
    if (sqlite3_step(stmt) == SQLITE_ROW)
        verdict = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return verdict;
}

// Another program holding the database open: a shared lock on its lock file, for ms.
struct Holder {
    QProcess process;
    Holder(const QString& lockFile, int ms) {
        process.start("flock", {"--shared", lockFile, "sleep", QString::number(ms / 1000.0)});
        process.waitForStarted();
        QTRY_VERIFY(LockFile::isHeld(lockFile));
    }
    ~Holder() {
        process.kill();
        process.waitForFinished();
    }
};

// What the busy notice looks like halfway through its pause.
struct NoticeSeen {
    bool visible = false;
    QString caption;
    QString title;
    QRect geometry;
    int paints = 0;
};

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

class BackupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void backupAndRestoreRoundTrip();
    void lockFileDelaysTheCopy_data();
    void lockFileDelaysTheCopy();
    void aSecondWindowBlocksNothing();
    void failedBackupKeepsTheEarlierOne();
    void restoreRefusals_data();
    void restoreRefusals();
    void spareBackupCommand();
    void killedCopyLeavesOldOrNew_data();
    void killedCopyLeavesOldOrNew();
    void restoreFindsTheShownSnippetAgain();
    void sqliteLocksAreWaitedFor_data();
    void sqliteLocksAreWaitedFor();
};

void BackupTest::backupAndRestoreRoundTrip() {
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "!");
    NoticeSeen seen;
    PaintCounter counter;
    Form2->Panel1->installEventFilter(&counter);
    QTimer::singleShot(1000, Form2, [&] {
        seen = {Form2->isVisible(), Form2->Panel1->text(), Form2->windowTitle(),
                Form2->frameGeometry(), counter.paints};
    });
    bool noticeAtRefill = true;
    connect(s->ListBox1->model(), &QAbstractItemModel::rowsInserted, this,
            [&] { noticeAtRefill = Form2->isVisible(); });
    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);

    QVERIFY(seen.visible);
    QCOMPARE(seen.caption, QString("Backing up database..."));
    QCOMPARE(seen.title, QGuiApplication::applicationDisplayName());
    QCOMPARE(seen.geometry.size(), QSize(354, 65));
    QCOMPARE(seen.geometry.center(), s->frameGeometry().center());
    QVERIFY(seen.paints > 0);
    QVERIFY(!noticeAtRefill); // a backup hides the notice, then refills
    QVERIFY(!Form2->isVisible());
    const QString backup = backupFolder(s) + "Varozidi.mdb";
    QCOMPARE(bytesOf(backup), bytesOf(s.database()));
    QCOMPARE(modeOf(backupFolder(s)), 0700);
    QCOMPARE(modeOf(backup), 0600);

    // A second backup replaces the first without asking; a restore brings it back exactly.
    execSql(s.database(), "UPDATE varozidi SET Body = 'second' WHERE ID = 2");
    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    const QList<StoredRow> backedUp = s.rows();
    execSql(s.database(), "DELETE FROM varozidi; INSERT INTO varozidi (Language) VALUES ('Go')");
    s.dialogs.answer(mrYes);
    QTest::mouseClick(s->ToolButton8, Qt::LeftButton);
    QCOMPARE(s.dialogs.asked().size(), 1);
    QCOMPARE(s.dialogs.asked().first().text, kRestore);
    QVERIFY(noticeAtRefill); // a restore refills, then hides
    QCOMPARE(s.rows(), backedUp);
    QCOMPARE(entries(s->ListBox1), (QStringList{"PHP", "SQL"}));
    // The language and title stay selected, the titles those the file holds; the editor and
    // what is remembered of it are untouched.
    QCOMPARE(s->ListBox1->ItemIndex(), 0);
    QCOMPARE(entries(s->ListBox2), QStringList{"A"});
    QCOMPARE(s->ListBox2->ItemIndex(), 0);
    QCOMPARE(s->SynEdit1->Text(), QString("alpha!"));
    QCOMPARE(s->SnippitChanged, 1);
    QCOMPARE(s->CurrentSnippitID, 1);
    QVERIFY(s->ADOConnection1->Connected());
}

void BackupTest::lockFileDelaysTheCopy_data() {
    QTest::addColumn<bool>("held");
    QTest::addColumn<int>("delay"); // after the connection closes
    QTest::addColumn<bool>("pipe"); // in the lock file's place
    // Only SQLite's locks say that someone is writing.
    QTest::newRow("held by an idle program, in other letter case") << true << 0 << false;
    QTest::newRow("left by a crash") << false << 0 << false;
    QTest::newRow("a pipe in its place") << false << 0 << true;
}

void BackupTest::lockFileDelaysTheCopy() {
    QFETCH(bool, held);
    QFETCH(int, delay);
    QFETCH(bool, pipe);
    Started s(kRows);
    const QString lockFile = s.home.dataDir() + "VAROZIDI.LDB";
    if (pipe)
        QCOMPARE(::mkfifo(QFile::encodeName(lockFile).constData(), 0600), 0);
    else
        writeFile(lockFile, "crashed\n");
    // Gone between the third and the fourth poll after the 2000 ms pause.
    std::unique_ptr<Holder> holder(held ? new Holder(lockFile, 2000 + 2500) : nullptr);
    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    const qint64 afterClose = timer.elapsed() - 2000;
    QVERIFY2(afterClose > delay - 100 && afterClose < delay + 800,
             qPrintable(QString::number(afterClose)));
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(s.rows(), readRows(backupFolder(s) + "Varozidi.mdb"));
}

// A second window holding the collection open, idle, delays neither, and goes on with the
// restored snippets: its lists follow, and its unsaved text stays, to be saved.
void BackupTest::aSecondWindowBlocksNothing() {
    Started s(kRows);
    s->LockWaitLimitMs = 1500;
    StartedHere second; // answers the questions of both
    clickRow(second.form->ListBox1, 0);
    clickRow(second.form->ListBox2, 0);
    typeText(*second.form, " unsaved");
    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    QCOMPARE(second.said(), QString());
    QCOMPARE(readRows(backupFolder(s) + "Varozidi.mdb"), s.rows());
    execSql(s.database(), "INSERT INTO varozidi (Language, Title) VALUES ('PHP', 'Later')");
    QTRY_COMPARE(entries(second.form->ListBox2), (QStringList{"A", "Later"}));
    second.dialogs.answer(mrYes);
    QTest::mouseClick(s->ToolButton8, Qt::LeftButton);
    QCOMPARE(second.said(), kRestore);
    QCOMPARE(s.rows(), readRows(backupFolder(s) + "Varozidi.mdb"));
    QTRY_COMPARE(entries(second.form->ListBox2), QStringList{"A"});
    QCOMPARE(second.form->SynEdit1->Text(), QString("alpha unsaved"));
    QTest::mouseClick(second.form->ToolButton5, Qt::LeftButton);
    QCOMPARE(second.said(), kRestore);
    QCOMPARE(s.rows().at(0).body, QString("alpha unsaved"));
}

void BackupTest::failedBackupKeepsTheEarlierOne() {
    Started s(kRows);
    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    const QString backup = backupFolder(s) + "Varozidi.mdb";
    const QByteArray earlier = bytesOf(backup);
    QVERIFY(!earlier.isEmpty());
    execSql(s.database(), "UPDATE varozidi SET Body = 'changed'");

    // Read-only for its owner; root passes over that, so the folder is made immutable too.
    const QString folder = backupFolder(s);
    const auto writable = [&folder](bool on) {
        if (on)
            QProcess::execute("chattr", {"-i", folder});
        ::chmod(QFile::encodeName(folder).constData(), on ? 0700 : 0500);
        return on || ::geteuid() != 0 || QProcess::execute("chattr", {"+i", folder}) == 0;
    };
    const auto cleanUp = qScopeGuard([&] { writable(true); });
    if (!writable(false))
        QSKIP("This file system cannot make a folder read-only for root.");

    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    QCOMPARE(s.dialogs.asked().size(), 1);
    const MessageDlgRequest& error = s.dialogs.asked().first();
    QCOMPARE(error.kind, TMsgDlgType::mtError);
    QVERIFY2(error.text.contains("not permitted") || error.text.contains("Permission denied"),
             qPrintable(error.text));
    QCOMPARE(bytesOf(backup), earlier);
    QVERIFY(!Form2->isVisible());
    QVERIFY(s->ADOConnection1->Connected());

    // Once the folder takes files again, the next backup goes through.
    writable(true);
    s.dialogs.clear();
    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(readRows(backup).first().body, QString("changed"));
}

void BackupTest::restoreRefusals_data() {
    QTest::addColumn<QByteArray>("backup"); // "db": a good one; empty: none
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("told"); // part of the second message; empty: none
    QTest::newRow("declined") << QByteArray("db") << mrNo << "";
    QTest::newRow("no backup yet") << QByteArray() << mrYes << "no backup to restore";
    QTest::newRow("not a database")
        << QByteArray("Just some notes.\n") << mrYes << "not a database";
    QTest::newRow("no snippet table")
        << QByteArray("other table") << mrYes << "holds no table 'varozidi'";
}

void BackupTest::restoreRefusals() {
    QFETCH(QByteArray, backup);
    QFETCH(int, answer);
    QFETCH(QString, told);
    Started s(kRows);
    QDir().mkpath(backupFolder(s));
    const QString path = backupFolder(s) + "varozidi.MDB"; // found whatever its letter case
    if (backup == "db")
        makeDatabase(path, {{"Go", "G", "go"}});
    else if (backup == "other table")
        writeFile(path, {}), execSql(path, "CREATE TABLE notes (x)");
    else if (!backup.isEmpty())
        writeFile(path, backup);
    const QByteArray live = bytesOf(s.database());
    PaintCounter shown;
    Form2->installEventFilter(&shown);
    s.dialogs.answer(answer);
    QTest::mouseClick(s->ToolButton8, Qt::LeftButton);

    QCOMPARE(s.dialogs.asked().first().text, kRestore);
    QCOMPARE(s.dialogs.asked().size(), told.isEmpty() ? 1 : 2);
    if (!told.isEmpty())
        QVERIFY2(s.dialogs.asked().last().text.contains(told),
                 qPrintable(s.dialogs.asked().last().text));
    QCOMPARE(Form2->Panel1->text(), QString("Restoring database..."));
    QCOMPARE(shown.paints, 0);
    QVERIFY(LockFile::isHeld(s.home.dataDir() + "varozidi.ldb")); // never closed
    QCOMPARE(bytesOf(s.database()), live);
}

void BackupTest::spareBackupCommand() {
    Started s(kRows);
    s->BackupData->trigger(); // nothing in the window invokes it
    QVERIFY(s.dialogs.asked().isEmpty());
    QCOMPARE(readRows(backupFolder(s) + "varozidi.mdb"), s.rows());
    QVERIFY(s->ADOConnection1->Connected());
    QVERIFY(!s->WinCopyFile(s.home.root() + "missing.mdb", backupFolder(s) + "other.mdb"));
}

void BackupTest::killedCopyLeavesOldOrNew_data() {
    QTest::addColumn<int>("fed"); // per cent of the new file the copy has read when killed
    QTest::addColumn<bool>("killed");
    QTest::newRow("killed halfway") << 50 << true;
    QTest::newRow("killed with every byte read") << 100 << true;
    QTest::newRow("finished") << 100 << false;
}

// The copy reads the new file through a pipe, so it is provably halfway when it is killed.
void BackupTest::killedCopyLeavesOldOrNew() {
    QFETCH(int, fed);
    QFETCH(bool, killed);
    QTemporaryDir dir;
    const QString live = dir.filePath("varozidi.mdb");
    const QString made = dir.filePath("new.mdb");
    const QString pipe = dir.filePath("pipe");
    makeDatabase(live, {{"Old", "O", "old"}});
    makeDatabase(made, {{"New", "N", "new"}});
    const QByteArray bytes = bytesOf(made);
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);

    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {"--copy-file", pipe, live});
    QVERIFY(child.waitForStarted());
    const int feed = ::open(QFile::encodeName(pipe).constData(), O_WRONLY);
    QVERIFY(feed >= 0);
    const qsizetype size = bytes.size() * fed / 100;
    QCOMPARE(::write(feed, bytes.constData(), size_t(size)), ssize_t(size));
    if (killed) {
        const auto copied = [&] {
            const QStringList temp =
                QDir(dir.path()).entryList({".varozidi.mdb.*"}, QDir::Hidden | QDir::Files);
            return temp.isEmpty() ? -1 : QFileInfo(dir.filePath(temp.first())).size();
        };
        QTRY_COMPARE(copied(), size);
        child.kill(); // SIGKILL
    }
    ::close(feed);
    child.waitForFinished(); // false for a killed child
    QCOMPARE(child.state(), QProcess::NotRunning);
    QCOMPARE(integrityOf(live), QString("ok"));
    QCOMPARE(readRows(live).first().language, killed ? QString("Old") : QString("New"));
}

// A snippet added since the backup is gone after a restore, and another one may take its
// number: the text stays, unsaved, and saving it offers a new snippet.
void BackupTest::restoreFindsTheShownSnippetAgain() {
    Started s(kRows);
    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    const auto add = [&](const char* language, const char* title) {
        s->Edit1->setText(language);
        s->Edit2->setText(title);
        QTest::mouseClick(s->Button1, Qt::LeftButton);
    };
    add("C++", "X");
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "X-TEXT");
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    s.dialogs.answer(mrYes);
    QTest::mouseClick(s->ToolButton8, Qt::LeftButton);
    QCOMPARE(s->SnippitChanged, 1);
    // No title is left listed that the file no longer holds: a click or Remove on it would
    // reach whichever snippet takes its number next.
    QVERIFY(!entries(s->ListBox2).contains("X"));
    QCOMPARE(s->ListBox2->ItemIndex(), -1);
    add("SQL", "Y");
    QCOMPARE(s.rows().last().id, 3); // the number X had
    s.dialogs.answer(mrNo);
    QTest::mouseClick(s->ToolButton5, Qt::LeftButton);
    QVERIFY(s.dialogs.asked().last().text.contains("new snippet"));
    QCOMPARE(s.rows().last().body, QString());
    QCOMPARE(s->SynEdit1->Text(), QString("X-TEXT"));
}

void BackupTest::sqliteLocksAreWaitedFor_data() {
    QTest::addColumn<bool>("restore");
    QTest::addColumn<QString>("hold"); // what the other program keeps uncommitted
    QTest::addColumn<bool>("released");
    QTest::newRow("backup, a spilled write")
        << false
        << "PRAGMA cache_size = 5; BEGIN IMMEDIATE; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
           "SELECT i + 1 FROM n WHERE i < 3000) INSERT INTO varozidi (Language, Body) SELECT "
           "'Spill', hex(randomblob(300)) FROM n"
        << true;
    QTest::newRow("restore, held too long") << true << "BEGIN EXCLUSIVE" << false;
}

void BackupTest::sqliteLocksAreWaitedFor() {
    QFETCH(bool, restore);
    QFETCH(QString, hold);
    QFETCH(bool, released);
    Started s(kRows);
    s->LockWaitLimitMs = 6000;
    QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
    execSql(s.database(), "UPDATE varozidi SET Body = 'since the backup'");
    const auto other = otherProgram(s.database(), hold);
    if (!other)
        QSKIP("sqlite3 is not installed.");
    if (released)
        QTimer::singleShot(4000, other.get(), [&] { other->write("COMMIT;\n"); });
    QString waiting;
    QTimer::singleShot(3000, Form2, [&] { waiting = Form2->Panel1->text(); });
    s.dialogs.answer(mrYes);
    QTest::mouseClick(restore ? s->ToolButton8 : s->ToolButton9, Qt::LeftButton);
    QVERIFY2(waiting.contains("Waiting for another program"), qPrintable(waiting));
    QCOMPARE(s.dialogs.asked().size(), int(restore) + !released);
    if (!released)
        other->write("COMMIT;\n");
    other->write("SELECT 'committed';\n");
    QVERIFY(other->waitForReadyRead(10000));
    const QList<StoredRow> now = s.rows();
    QCOMPARE(now.value(0).body,
             restore && released ? QString("alpha") : QString("since the backup"));
    if (!restore) // the copy holds the other program's write, whole
        QCOMPARE(readRows(backupFolder(s) + "Varozidi.mdb").size(), kRows.size() + 3000);
    // The other program goes on with the file the window uses.
    other->write("INSERT INTO varozidi (Language) VALUES ('Later');\n");
    QTRY_COMPARE(s.rows().size(), now.size() + 1);
    QCOMPARE(other->readAllStandardError(), QByteArray());
}

// Run as "--copy-file SOURCE DEST", the program is the child whose copy gets killed.
int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--copy-file") == 0) {
        try {
            CopyFileSafely(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
        } catch (...) {
            return 1;
        }
        return 0;
    }
    QApplication app(argc, argv);
    BackupTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_backup.moc"
