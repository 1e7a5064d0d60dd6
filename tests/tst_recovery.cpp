// SPDX-License-Identifier: GPL-3.0-or-later
// Typed text that was never saved survives the program's end by a kill, a signal or a
// logout: the next start offers it back, once, and each answer does what it says.

#include "TestSupport.h"
#include "data/recovery/Recovery.h"
#include "data/store/ADODB.h"
#include "window/Unit1.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <csignal>

using namespace testsupport;

namespace {

const QString kWorker = QStringLiteral(VAROZIDI_BINARY_DIR "/tests/crash_worker");
const QString kProgram = QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi");
const QList<Row> kRows = {{"SQL", "Count", "SELECT count(*) FROM t;\n"},
                          {"C++", "Main", "int main() {}\n"}};

QStringList recordsIn(const QString& folder, const QString& pattern = "*.record") {
    return QDir(folder).entryList({pattern}, QDir::Files);
}

// A window of this process typed into, its text kept, then gone without closing.
void leaveRecord(StartedHere& w, int row, const QString& typed) {
    if (row >= 0)
        w.form->ShowSearchHit(row + 1, kRows[row].language);
    typeText(*w.form, typed);
    w.form->RecoveryKeeper->WriteNow();
    w.form.reset();
}

QProcess* startWorker(QObject* parent, int row, const QString& typed, bool save = false) {
    auto* child = new QProcess(parent);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    child->setProcessEnvironment(environment);
    child->start(kWorker, {"window", row < 0 ? QString() : kRows[row].language,
                           QString::number(row + 1), typed, save ? "save" : ""});
    return child;
}

} // namespace

class RecoveryTest : public QObject {
    Q_OBJECT
private slots:
    // A window killed or signalled after typing; the next start shows the text, unsaved.
    void endedWindowsTextComesBack_data();
    void endedWindowsTextComesBack();
    // A signal during a long save ends the program at once, and what the next start offers
    // is exactly what the save did not store.
    void signalDuringALargeSave_data();
    void signalDuringALargeSave();
    void answers_data();
    void answers();
    void damagedRecordIsSetAside_data();
    void damagedRecordIsSetAside();
    // Windows still running keep their records, and other collections' are not offered.
    void recordsOfOthersAreLeftAlone();
    // The lock file and the record go with every normal way out.
    void closingLeavesNothing_data();
    void closingLeavesNothing();
    void signalsEndAStartThatFailed();
};

void RecoveryTest::endedWindowsTextComesBack_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("row"); // -1: typed over the welcome text
    QTest::newRow("SIGKILL, snippet") << int(SIGKILL) << 0;
    QTest::newRow("SIGTERM, snippet") << int(SIGTERM) << 1;
    QTest::newRow("SIGHUP, welcome text") << int(SIGHUP) << -1;
    QTest::newRow("SIGINT, snippet") << int(SIGINT) << 0;
}

void RecoveryTest::endedWindowsTextComesBack() {
    QFETCH(int, signal);
    QFETCH(int, row);
    DataHome home;
    makeDatabase(home.dataDir() + "varozidi.mdb", kRows);
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    const QString typed = QStringLiteral("-- typed ☃ ünsaved");
    QProcess* child = startWorker(this, row, typed);
    QVERIFY2(child->waitForReadyRead(30000), child->readAllStandardError().constData());
    QCOMPARE(child->readAllStandardOutput(), QByteArray("typed\n"));
    if (signal == SIGKILL) // the record is written within two seconds of the last change
        QTRY_VERIFY_WITH_TIMEOUT(!recordsIn(home.stateDir()).isEmpty(), 4000);
    QElapsedTimer ending;
    ending.start();
    ::kill(pid_t(child->processId()), signal);
    QVERIFY(child->waitForFinished(5000));
    if (signal != SIGKILL) {
        QVERIFY2(ending.elapsed() < 1000, qPrintable(QString::number(ending.elapsed())));
        QCOMPARE(child->exitStatus(), QProcess::CrashExit);
        QVERIFY(!QFileInfo::exists(home.dataDir() + "varozidi.ldb"));
        QCOMPARE(recordsIn(home.stateDir(), "*.lock"), QStringList());
    }

    StartedHere w;
    w.dialogs.answer(mrYes);
    w.form->OfferRecovery();
    QCOMPARE(w.dialogs.asked().size(), 1);
    QVERIFY(w.dialogs.asked()[0].text.contains(row < 0 ? "welcome text" : kRows[row].title));
    const QString before = row < 0 ? QString(kWelcome) : kRows[row].body;
    QCOMPARE(w.form->SynEdit1->Text(), before + typed);
    QCOMPARE(w.form->SnippitChanged, 1);
    QCOMPARE(w.form->Panel3->isVisible(), row < 0);
    if (row >= 0) {
        QCOMPARE(w.form->ListBox2->Text(w.form->ListBox2->ItemIndex()), kRows[row].title);
        QTest::mouseClick(w.form->ToolButton5, Qt::LeftButton);
        QCOMPARE(readRows(home.dataDir() + "varozidi.mdb").at(row).body, before + typed);
        w.form->RecoveryKeeper->Flush();
        QCOMPARE(recordsIn(home.stateDir()), QStringList());
    }
}

void RecoveryTest::signalDuringALargeSave_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<int>("after"); // ms after the click
    QTest::newRow("SIGTERM, 50 ms") << int(SIGTERM) << 50;
    QTest::newRow("SIGHUP, notice shown") << int(SIGHUP) << 700;
    QTest::newRow("SIGINT, 1.2 s") << int(SIGINT) << 1200;
}

void RecoveryTest::signalDuringALargeSave() {
    QFETCH(int, signal);
    QFETCH(int, after);
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    QString large;
    for (int i = 0; large.size() < 9'000'000; ++i)
        large += QStringLiteral("row %1 of a large snippet, with words to index\n").arg(i);
    makeDatabase(database, {{"SQL", "Large", large}});
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    QProcess* child = startWorker(this, 0, "typed", true);
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += child->readAllStandardOutput()).contains("saving"), 30000);
    QTest::qWait(after);
    ::kill(pid_t(child->processId()), signal);
    // Not waiting for the write to end (a few hundred ms, more on a loaded machine).
    QVERIFY(child->waitForFinished(2000));

    const bool saved = readRows(database).at(0).body == large + "typed";
    StartedHere w;
    w.dialogs.answer(mrYes);
    w.form->OfferRecovery();
    QCOMPARE(w.dialogs.asked().size(), saved ? 0 : 1);
    if (!saved) {
        w.dialogs.clear();
        QTest::mouseClick(w.form->ToolButton5, Qt::LeftButton);
        QCOMPARE(w.dialogs.asked().size(), 0); // nothing about a write of its own
        QCOMPARE(readRows(database).at(0).body, large + "typed");
    }
    w.form->RecoveryKeeper->Flush();
    QCOMPARE(recordsIn(home.stateDir()), QStringList());
}

void RecoveryTest::answers_data() {
    QTest::addColumn<int>("answer");        // -1: Escape on the real box
    QTest::addColumn<QString>("elsewhere"); // SQL run before the start, or none
    QTest::addColumn<bool>("kept");
    QTest::addColumn<QString>("saveAsks"); // what Save asks then
    QTest::newRow("No discards") << mrNo << "" << false << "";
    QTest::newRow("Cancel keeps") << mrCancel << "" << true << "";
    QTest::newRow("Escape keeps") << -1 << "" << true << "";
    QTest::newRow("changed elsewhere")
        << mrYes << "UPDATE varozidi SET Body = 'theirs' WHERE ID = 1" << false << "changed";
    QTest::newRow("deleted elsewhere")
        << mrYes << "DELETE FROM varozidi WHERE ID = 1" << false << "no longer in the database";
}

void RecoveryTest::answers() {
    QFETCH(int, answer);
    QFETCH(QString, elsewhere);
    QFETCH(bool, kept);
    QFETCH(QString, saveAsks);
    Started s(kRows); // owns the data home for both windows
    {
        StartedHere first;
        leaveRecord(first, 0, "mine");
    }
    if (!elsewhere.isEmpty())
        execSql(s.database(), elsewhere);
    StartedHere w;
    if (answer < 0) {
        SetMessageDlgAnswerer({});
        QTimer::singleShot(200, w.form.get(), [] {
            QTest::keyClick(QApplication::activeModalWidget(), Qt::Key_Escape);
        });
    } else {
        w.dialogs.answer(answer);
    }
    w.form->OfferRecovery();
    w.form->RecoveryKeeper->Flush();
    QCOMPARE(recordsIn(s.home.stateDir()).size(), answer == mrYes ? 1 : int(kept));
    if (saveAsks.isEmpty()) {
        QCOMPARE(w.form->SnippitChanged, 0);
        StartedHere again; // asks again exactly when the record was kept
        again.form->OfferRecovery();
        QCOMPARE(again.dialogs.asked().size(), int(kept));
        return;
    }
    QCOMPARE(w.form->SynEdit1->Text(), kRows[0].body + "mine");
    w.dialogs.clear();
    QTest::mouseClick(w.form->ToolButton5, Qt::LeftButton);
    QCOMPARE(w.dialogs.asked().size(), 1);
    QVERIFY2(w.dialogs.asked()[0].text.contains(saveAsks), qPrintable(w.dialogs.asked()[0].text));
    QCOMPARE(w.form->SnippitChanged, 1); // nothing was overwritten on No
}

void RecoveryTest::damagedRecordIsSetAside_data() {
    QTest::addColumn<QByteArray>("bytes");
    varozidi::recovery::Record record;
    record.id = 1;
    record.text = "some text";
    const QByteArray whole = varozidi::recovery::Encode(record);
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not a record") << QByteArray("\x00\xff garbage\n\n", 12);
    QTest::newRow("cut short") << whole.chopped(3);
    QTest::newRow("text changed") << QByteArray(whole).replace("some", "sane");
}

void RecoveryTest::damagedRecordIsSetAside() {
    QFETCH(QByteArray, bytes);
    Started s(kRows);
    QDir().mkpath(s.home.stateDir());
    writeFile(s.home.stateDir() + "4000000-0.record", bytes);
    for (int start = 0; start < 2; ++start) {
        StartedHere w;
        w.form->OfferRecovery();
        QCOMPARE(w.dialogs.asked().size(), 1 - start);
    }
    QCOMPARE(s.dialogs.asked().size(), 0);
    QCOMPARE(recordsIn(s.home.stateDir()), QStringList());
    QCOMPARE(recordsIn(s.home.stateDir(), "*.damaged"), QStringList{"4000000-0.damaged"});
}

void RecoveryTest::recordsOfOthersAreLeftAlone() {
    Started s(kRows);
    s->ShowSearchHit(2, "C++");
    typeText(s.form(), "first window");
    StartedHere second;
    leaveRecord(second, 0, "second window, killed");
    s->RecoveryKeeper->WriteNow();
    QCOMPARE(recordsIn(s.home.stateDir()).size(), 2);
    // Another collection's record, left by a program that ended.
    varozidi::recovery::Record other;
    other.collection = "/elsewhere/varozidi.mdb";
    writeFile(s.home.stateDir() + "4000001-0.record", varozidi::recovery::Encode(other));
    StartedHere fourth;
    fourth.dialogs.answer(mrYes);
    fourth.form->OfferRecovery();
    QCOMPARE(fourth.dialogs.asked().size(), 1);
    QVERIFY(fourth.form->SynEdit1->Text().endsWith("second window, killed"));
    fourth.form->OfferRecovery();
    QCOMPARE(fourth.dialogs.asked().size(), 1);
    // The first window's record, the other collection's, and the fourth's own.
    QCOMPARE(recordsIn(s.home.stateDir()).size(), 3);
}

void RecoveryTest::closingLeavesNothing_data() {
    QTest::addColumn<QList<int>>("answers"); // to the questions of each close, in turn
    QTest::newRow("unchanged") << QList<int>{};
    QTest::newRow("No at close") << QList<int>{mrNo};
    QTest::newRow("refused, then No") << QList<int>{mrYes, mrNo, mrNo};
    QTest::newRow("SIGTERM to the program") << QList<int>{-1};
}

void RecoveryTest::closingLeavesNothing() {
    QFETCH(QList<int>, answers);
    Started s(kRows);
    const QString lock = s.home.dataDir() + "varozidi.ldb";
    if (answers.value(0) < 0) { // the installed program's own signal set-up
        s->close();
        QProcess program;
        program.start(kProgram, {"-platform", "offscreen"});
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(lock), 20000);
        program.terminate();
        QVERIFY(program.waitForFinished(1000));
    } else {
        QVERIFY(QFileInfo::exists(lock));
        if (!answers.isEmpty()) {
            typeText(s.form(), "dropped");
            s->RecoveryKeeper->WriteNow();
        }
        for (int answer : answers)
            s.dialogs.answer(answer);
        s->close();
        if (answers.size() > 1) { // the welcome text has no snippet to go into: not closed
            QVERIFY(s->isVisible());
            QVERIFY(QFileInfo::exists(lock));
            s->close();
        }
        QVERIFY(!s->isVisible());
    }
    QVERIFY(!QFileInfo::exists(lock));
    QCOMPARE(recordsIn(s.home.stateDir()), QStringList());
}

// The start-up error box waits for its OK; a signal must not.
void RecoveryTest::signalsEndAStartThatFailed() {
    DataHome home;
    writeFile(home.dataDir() + "varozidi.mdb", "not a database\n");
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        QProcess program;
        program.start(kProgram, {"-platform", "offscreen"});
        QVERIFY(!program.waitForFinished(2000)); // the box is open
        ::kill(pid_t(program.processId()), signal);
        QVERIFY2(program.waitForFinished(1000), strsignal(signal));
        QCOMPARE(program.exitStatus(), QProcess::CrashExit);
    }
}

QTEST_MAIN(RecoveryTest)
#include "tst_recovery.moc"
