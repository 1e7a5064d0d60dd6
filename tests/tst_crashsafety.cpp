// SPDX-License-Identifier: GPL-3.0-or-later
// Kills the program's writers with SIGKILL at random moments, hundreds of times, and checks
// after each kill that nothing is lost or half-written: the database is sound and each
// snippet whole, the backup and the live file are whole copies, the settings file is a whole
// file, and the next start finds the lock file stale and opens without a question.

#include "CrashRows.h"
#include "TestSupport.h"
#include "data/collection/Collection.h"
#include "data/engines/sqlite/LockFile.h"
#include "data/engines/sqlite/SqliteCollection.h"
#include "data/recovery/Recovery.h"
#include "data/store/ADODB.h"
#include "window/Forms.h"
#include "window/Unit1.h"
#include "window/Unit2.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QToolButton>
#include <QtTest>
#include <sqlite3.h>

using namespace testsupport;

namespace {

const QString kWorker = QStringLiteral(VAROZIDI_BINARY_DIR "/tests/crash_worker");
const QString kCli = QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli");
const QString kSetup = QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-setup");
const QRect kPlacements[] = {QRect(100, 80, 520, 360), QRect(200, 150, 640, 480)};

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a fresh connection says, after rolling back whatever a killed writer left.
QString integrityOf(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr);
    QString verdict = QStringLiteral("no answer");
    if (sqlite3_step(stmt) == SQLITE_ROW)
        verdict = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return verdict;
}

QList<Row> taggedRows(const QString& language, int count, int firstTag) {
    QList<Row> rows;
    for (int i = 0; i < count; ++i)
        rows.append(
            {language, crashrows::titleFor(firstTag + i), crashrows::bodyFor(firstTag + i)});
    return rows;
}

// Every row is one whole write: its body made from one tag and, for the data layer's own
// rows (whose title and body are posted together), the title from the same tag.
QString wholeRows(const QString& database) {
    for (const StoredRow& row : readRows(database)) {
        const qint64 tag = crashrows::tagOf(row.body);
        if (tag < 0)
            return QStringLiteral("snippet %1 has a partial body").arg(row.id);
        if (row.language == u"Store" && row.title != crashrows::titleFor(tag))
            return QStringLiteral("snippet %1 mixes two writes").arg(row.id);
    }
    return {};
}

std::unique_ptr<varozidi::Collection> reading(const QString& database) {
    return varozidi::Collection::Open(
        varozidi::CollectionAddress::Of(connectionStringFor(database)), {},
        varozidi::Collection::Access::ReadOnly);
}

// Every version the collection keeps reads back as one whole write, however its history was
// compacted when the kill came.
QString wholeVersions(const QString& database) {
    try {
        const auto collection = reading(database);
        QSet<qint64> ids;
        for (const StoredRow& row : readRows(database))
            ids.insert(row.id);
        for (const auto& gone : collection->removed())
            ids.insert(gone.id);
        for (const qint64 id : std::as_const(ids))
            for (const auto& v : collection->versions(id))
                if (crashrows::tagOf(QString::fromUtf8(*collection->versionBody(id, v.version))) <
                    0)
                    return QStringLiteral("version %1 of snippet %2 is no whole text")
                        .arg(v.version)
                        .arg(id);
    } catch (const std::exception& e) {
        return QStringLiteral("the history cannot be read: ") + e.what();
    }
    return {};
}

// A save killed leaves the old text with no version more, or the new one with the old text as
// its latest version.
QString oneSave(const QString& database, const StoredRow& was, qint64 keptBefore, qint64 tag) {
    const auto collection = reading(database);
    const auto now = collection->read(was.id);
    const auto versions = collection->versions(was.id);
    if (now && now->bytes == was.body.toUtf8())
        return versions.size() == keptBefore ? QString() : QStringLiteral("a version too many");
    if (!now || now->bytes != crashrows::bodyFor(tag).toUtf8())
        return QStringLiteral("the snippet holds neither text");
    if (versions.size() != keptBefore + 1 ||
        *collection->versionBody(was.id, versions.last().version) != was.body.toUtf8())
        return QStringLiteral("the new text, without the old one as its latest version");
    return {};
}

// What a kill left of the history of the writers of snippets: every version whole and, after
// one save, the old text or the new one with the old in its history.
QString historyAfterKill(const QString& writer, const QString& database, const StoredRow& saved,
                         qint64 keptBefore, qint64 tag) {
    if (writer != u"store" && writer != u"save" && writer != u"compact" &&
        !writer.startsWith(u"cli "))
        return {};
    const QString broken = wholeVersions(database);
    return broken.isEmpty() && writer == u"save" ? oneSave(database, saved, keptBefore, tag)
                                                 : broken;
}

// How many versions the file keeps compacted.
qint64 packedIn(const QString& database) {
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(database).constData(), &db);
    sqlite3_stmt* packed = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(Delta) FROM varozidi_history", -1, &packed, nullptr);
    const qint64 count = sqlite3_step(packed) == SQLITE_ROW ? sqlite3_column_int64(packed, 0) : 0;
    sqlite3_finalize(packed);
    sqlite3_close(db);
    return count;
}

// The settings file read whole: one close's placement and word wrap, entirely.
QString wholeSettings(const QString& path) {
    if (!QFileInfo::exists(path))
        return {};
    const QByteArray text = bytesOf(path);
    const auto value = [&text](const QByteArray& key) {
        const qsizetype at = text.indexOf('\n' + key + '=');
        const qsizetype start = text.startsWith(key + '=') ? key.size() + 1
                                : at < 0                   ? -1
                                                           : at + key.size() + 2;
        return start < 0 ? -1
                         : text.mid(start, text.indexOf('\n', start) - start).trimmed().toInt();
    };
    // The writer closes with the first placement unwrapped, the second wrapped.
    for (int i = 0; i < 2; ++i) {
        const QRect& r = kPlacements[i];
        if (value("Left") == r.x() && value("Top") == r.y() && value("Width") == r.width() &&
            value("Height") == r.height() && value("WORDWRAP") == i)
            return {};
    }
    return QStringLiteral("Tessel.ini is no whole file:\n") + QString::fromUtf8(text);
}

// Every record of unsaved text is one whole text the writer kept.
QString wholeRecords(const QString& folder) {
    for (const QString& name : QDir(folder).entryList({"*.record"}, QDir::Files)) {
        try {
            const QString text =
                QString::fromUtf8(varozidi::recovery::Decode(bytesOf(folder + name)).text);
            if (text != crashrows::recordFor(text.section(u'|', 0, 0).toLongLong()))
                return name + QStringLiteral(" holds a partial text");
        } catch (const std::exception& e) {
            return name + QStringLiteral(" is damaged: ") + e.what();
        }
    }
    return {};
}

// The hidden entries of folder: what a writer works on before it takes its name.
QStringList hiddenIn(const QString& folder) {
    QStringList hidden = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                                QDir::NoDotAndDotDot);
    hidden.removeIf([](const QString& name) { return !name.startsWith(u'.'); });
    return hidden;
}

// program under strace, with inject (strace's -e inject=...) on call.
int runInjected(const QString& program, const QStringList& args, const QString& call,
                const QString& inject, QByteArray* err = nullptr) {
    QProcess p;
    p.start(QStandardPaths::findExecutable("strace"),
            QStringList{"-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                        "inject=" + call + ':' + inject, program} +
                args);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    if (err)
        *err = p.readAllStandardError();
    return p.exitCode();
}

} // namespace

class CrashSafetyTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    // One writer at a time, killed again and again; after each kill every file is whole.
    void killedWritersLeaveWholeFiles_data();
    void killedWritersLeaveWholeFiles();
    // A writer killed halfway leaves a hot journal; the window's backup and restore finish it
    // before they copy, and the next start asks nothing.
    void interruptedWriteBeforeACopy_data();
    void interruptedWriteBeforeACopy();
    // Power loss: a commit reaches the disk, through a journal beside the file, before it is
    // reported done; nothing but the one database file is needed to read it afterwards.
    void commitsReachTheDiskFirst();
    // A run killed while its new file or folder waits to be renamed into place leaves it
    // behind; the next run removes it, and never one whose maker still runs.
    void leftoversOfAKilledRunGo_data();
    void leftoversOfAKilledRunGo();
    void aRunningWritersFileIsLeftAlone();

private:
    int kills_ = 0;
    int midCommit_ = 0; // kills that left a journal behind: the writer was inside a commit
    int midRecord_ = 0; // kills that left a record's temporary file: it was being written
    int recovered_ = 0; // records offered at the next start and shown whole
    QRandomGenerator random_;
};

void CrashSafetyTest::initTestCase() {
    const quint32 seed = qEnvironmentVariableIsSet("VAROZIDI_CRASH_SEED")
                             ? quint32(qEnvironmentVariableIntValue("VAROZIDI_CRASH_SEED"))
                             : QRandomGenerator::system()->generate();
    random_.seed(seed);
    qInfo("kill moments from seed %u (set VAROZIDI_CRASH_SEED to repeat them)", seed);
    QVERIFY2(QFileInfo(kWorker).isExecutable(), qPrintable(kWorker));
}

void CrashSafetyTest::cleanupTestCase() {
    qInfo("kills survived: %d, of them %d inside a commit, %d while a record was written; "
          "records recovered whole: %d",
          kills_, midCommit_, midRecord_, recovered_);
}

void CrashSafetyTest::killedWritersLeaveWholeFiles_data() {
    QTest::addColumn<QString>("writer");
    QTest::addColumn<int>("kills");
    QTest::addColumn<int>("maxDelayMs"); // after the writer is ready, or started for the CLI
    QTest::newRow("data layer: save, add, delete") << "store" << 70 << 40;
    QTest::newRow("data layer: one save and its history") << "save" << 30 << 8;
    QTest::newRow("history compacted") << "compact" << 30 << 60;
    QTest::newRow("varozidi-cli edit") << "cli edit" << 25 << 60;
    QTest::newRow("varozidi-cli add") << "cli add" << 20 << 60;
    QTest::newRow("varozidi-cli remove") << "cli remove" << 15 << 60;
    QTest::newRow("varozidi-cli backup") << "cli backup" << 15 << 20;
    QTest::newRow("backup") << "backup" << 25 << 15;
    QTest::newRow("restore") << "restore" << 25 << 15;
    QTest::newRow("settings written at close") << "settings" << 20 << 30;
    QTest::newRow("unsaved text kept") << "record" << 30 << 60;
}

void CrashSafetyTest::killedWritersLeaveWholeFiles() {
    QFETCH(QString, writer);
    QFETCH(int, kills);
    QFETCH(int, maxDelayMs);
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    const QString backupFolder = home.root() + "KZQBackups/Varozidi/";
    const QString cliBackup = home.root() + "cli-backup.mdb";
    makeDatabase(database, taggedRows("Store", 8, 1) + taggedRows("Cli", 8, 100));
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    QStringList backups;
    if (writer == u"restore") {
        for (int i = 0; i < 2; ++i) {
            backups.append(home.root() + QStringLiteral("backup%1.mdb").arg(i));
            makeDatabase(backups.last(), taggedRows("Store", 3 + 5 * i, 1000 * (i + 1)));
        }
    }
    const QString settingsFile = home.dataDir() + "Tessel.ini";

    int killed = 0;
    // A quick writer often ends before its kill: runs enough to reach the kills.
    for (int attempt = 0; killed < kills && attempt < kills * 8; ++attempt) {
        const QList<StoredRow> before = readRows(database);
        const QByteArray liveBefore = bytesOf(database);
        QProcess child;
        const bool cli = writer.startsWith(u"cli ");
        QString command = writer.mid(4);
        qint64 id = 0;
        const qint64 tag = random_.bounded(1, 1 << 30);
        StoredRow saved{};
        qint64 keptBefore = 0;
        if (writer == u"save") {
            saved = before.at(random_.bounded(int(before.size())));
            keptBefore = reading(database)->versions(saved.id).size();
        }
        if (cli) {
            QList<qint64> ids;
            for (const StoredRow& row : before)
                if (row.language == u"Cli")
                    ids.append(row.id);
            id = ids.at(random_.bounded(int(ids.size())));
            if (command == u"remove" && ids.size() <= 4)
                command = QStringLiteral("add"); // keep a few to remove
            QStringList args{"--data-dir", home.dataDir(), command};
            if (command == u"edit" || command == u"remove")
                args << QString::number(id);
            else if (command == u"add")
                args << QStringList{"--language", "Cli", "--title", crashrows::titleFor(tag)};
            else
                args << cliBackup;
            const QByteArray input = command == u"edit" || command == u"add"
                                         ? crashrows::bodyFor(tag).toUtf8()
                                         : QByteArray();
            child.start(kCli, args);
            QVERIFY(child.waitForStarted());
            child.write(input);
            child.closeWriteChannel();
        } else {
            QStringList args{writer};
            if (writer == u"store" || writer == u"record" || writer == u"compact")
                args << database;
            else if (writer == u"save")
                args << database << QString::number(saved.id) << QString::number(tag);
            else if (writer == u"backup")
                args << database << backupFolder;
            else if (writer == u"restore")
                args << database << backups;
            // What a killed close leaves in its temporary folder goes with the data home.
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert("TMPDIR", home.root());
            child.setProcessEnvironment(environment);
            child.start(kWorker, args);
            QVERIFY(child.waitForStarted());
            QElapsedTimer waited;
            waited.start();
            while (!child.readAllStandardOutput().contains("ready") && waited.elapsed() < 20000)
                child.waitForReadyRead(1000);
            QVERIFY2(child.state() == QProcess::Running, child.readAllStandardError().constData());
        }
        QThread::usleep(random_.bounded(maxDelayMs * 1000));
        const bool running = child.state() == QProcess::Running;
        child.kill(); // SIGKILL
        child.waitForFinished();
        if (running && child.exitStatus() == QProcess::CrashExit)
            ++killed;
        else
            QVERIFY2(child.exitCode() == 0, child.readAllStandardError().constData());

        if (running && QFileInfo::exists(database + "-journal"))
            ++midCommit_;
        const QStringList temporary =
            QDir(home.stateDir()).entryList({".*.record.*"}, QDir::Files | QDir::Hidden);
        midRecord_ += running && !temporary.isEmpty() ? 1 : 0;
        for (const QString& name : temporary)
            QFile::remove(home.stateDir() + name);
        const QString stage = QStringLiteral("after kill %1 of %2").arg(killed).arg(writer);
        QVERIFY2(!LockFile::isHeld(home.dataDir() + "varozidi.ldb"), qPrintable(stage));
        QCOMPARE(integrityOf(database), QString("ok"));
        const QString partial = wholeRows(database);
        QVERIFY2(partial.isEmpty(), qPrintable(stage + ": " + partial));
        const QString history = historyAfterKill(writer, database, saved, keptBefore, tag);
        QVERIFY2(history.isEmpty(), qPrintable(stage + ": " + history));
        if (writer == u"backup" && QFileInfo::exists(backupFolder + "Varozidi.mdb")) {
            QCOMPARE(bytesOf(backupFolder + "Varozidi.mdb"), liveBefore);
        } else if (writer == u"cli backup" && QFileInfo::exists(cliBackup)) {
            QCOMPARE(integrityOf(cliBackup), QString("ok"));
            QCOMPARE(readRows(cliBackup), before);
        } else if (writer == u"restore") {
            const QByteArray live = bytesOf(database);
            QVERIFY2(live == liveBefore || live == bytesOf(backups[0]) ||
                         live == bytesOf(backups[1]),
                     qPrintable(stage));
        } else if (cli) {
            // The one snippet the command names is old or new; every other is as it was.
            const QList<StoredRow> after = readRows(database);
            for (const StoredRow& row : before) {
                const auto same =
                    std::find_if(after.begin(), after.end(),
                                 [&row](const StoredRow& r) { return r.id == row.id; });
                const bool named = row.id == id;
                const bool kept = same != after.end() && *same == row;
                const bool edited = same != after.end() && named && command == u"edit" &&
                                    same->body == crashrows::bodyFor(tag);
                const bool removed = same == after.end() && named && command == u"remove";
                QVERIFY2(kept || edited || removed, qPrintable(stage));
            }
            const qsizetype added =
                after.size() - before.size() + (after.size() < before.size() ? 1 : 0);
            QVERIFY(added == 0 || (added == 1 && command == u"add" &&
                                   after.last().body == crashrows::bodyFor(tag)));
        } else if (writer == u"record") {
            const QString broken = wholeRecords(home.stateDir());
            QVERIFY2(broken.isEmpty(), qPrintable(stage + ": " + broken));
        } else if (writer == u"settings") {
            const QString broken = wholeSettings(settingsFile);
            QVERIFY2(broken.isEmpty(), qPrintable(stage + ": " + broken));
        }
        // Now and then the real window starts on what is left, and must ask nothing.
        if ((killed % 25 == 0 || (writer == u"record" && killed % 10 == 0)) && running) {
            StartedHere w;
            QVERIFY(w.form->ADOConnection1->Connected());
            QVERIFY(w.form->ListBox1->count() > 0);
            QCOMPARE(w.dialogs.asked().size(), 0);
            // and offers the last text kept, whole.
            if (writer == u"record") {
                w.dialogs.answer(mrYes);
                w.form->OfferRecovery();
                QCOMPARE(w.dialogs.asked().size(), 1);
                const QString text = w.form->SynEdit1->Text();
                QCOMPARE(text, crashrows::recordFor(text.section(u'|', 0, 0).toLongLong()));
                ++recovered_;
            }
        }
    }
    QCOMPARE(killed, kills);
    kills_ += killed;
    // The kills came while versions were being packed, not before any was.
    if (writer == u"compact")
        QVERIFY(packedIn(database) > kills);
}

void CrashSafetyTest::interruptedWriteBeforeACopy_data() {
    QTest::addColumn<bool>("restore");
    QTest::newRow("Backup Data!") << false;
    QTest::newRow("Restore Data!") << true;
}

void CrashSafetyTest::interruptedWriteBeforeACopy() {
    QFETCH(bool, restore);
    const QList<Row> rows = taggedRows("Store", 40, 1);
    Started s(rows);
    const QString backup = s.home.root() + "KZQBackups/Varozidi/Varozidi.mdb";
    if (restore) {
        QDir().mkpath(s.home.root() + "KZQBackups/Varozidi");
        makeDatabase(backup, taggedRows("Store", 5, 500));
    }
    const QList<StoredRow> saved = restore ? readRows(backup) : s.rows();
    // Another program is killed in the middle of a write while the window is open.
    QProcess writer;
    writer.start(kWorker, {"spill", s.database()});
    QVERIFY(writer.waitForFinished());
    QCOMPARE(writer.exitStatus(), QProcess::CrashExit);
    QVERIFY(QFileInfo::exists(s.database() + "-journal"));

    if (restore)
        s.dialogs.answer(mrYes);
    QTest::mouseClick(restore ? s->ToolButton8 : s->ToolButton9, Qt::LeftButton);
    QCOMPARE(s.dialogs.unexpected(), 0);
    if (!restore) {
        QCOMPARE(integrityOf(backup), QString("ok"));
        QCOMPARE(readRows(backup), saved);
    }
    QCOMPARE(integrityOf(s.database()), QString("ok"));
    QCOMPARE(s.rows(), saved);
}

void CrashSafetyTest::commitsReachTheDiskFirst() {
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    makeDatabase(database, taggedRows("Store", 2, 1));
    TADOConnection connection;
    connection.setConnectionString(connectionStringFor(database));
    connection.Open();
    const auto pragma = [&connection](const char* sql) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(varozidi::sqlite::HandleOf(connection), sql, -1, &stmt, nullptr);
        const QString value =
            sqlite3_step(stmt) == SQLITE_ROW
                ? QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)))
                : QString();
        sqlite3_finalize(stmt);
        return value;
    };
    QCOMPARE(pragma("PRAGMA journal_mode"), QString("delete"));
    QCOMPARE(pragma("PRAGMA synchronous"), QString("2")); // FULL
}

void CrashSafetyTest::leftoversOfAKilledRunGo_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args"); // OUT stands for the folder written into
    QTest::addColumn<QString>("call");     // the rename that puts the new entry in place
    QTest::newRow("export as JSON") << kCli << QStringList{"export", "OUT/all.json"} << "renameat2";
    QTest::newRow("export as a folder")
        << kCli << QStringList{"export", "--format", "folder", "OUT/tree"} << "renameat2";
    QTest::newRow("backup") << kCli << QStringList{"backup", "OUT/copy.mdb"} << "rename";
    QTest::newRow("setup") << kSetup << QStringList{} << "renameat2";
}

void CrashSafetyTest::leftoversOfAKilledRunGo() {
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QString, call);
    if (QStandardPaths::findExecutable("strace").isEmpty())
        QSKIP("strace is not installed");
    DataHome home;
    const bool setup = program == kSetup;
    const QString out = setup ? home.dataDir() : home.root() + "out";
    QVERIFY(QDir().mkpath(out));
    if (!setup)
        makeDatabase(home.dataDir() + "varozidi.mdb", taggedRows("Kill", 40, 0));
    args.replaceInStrings("OUT", out);
    runInjected(program, args, call, "signal=KILL:when=1");
    QVERIFY2(!hiddenIn(out).isEmpty(), "the kill came before anything was written");
    // Names no run of ours gives stay, whatever they end in.
    const QStringList others{"notes.temp", "1-2.TEMP", "a-0.temp"};
    for (const QString& name : others)
        writeFile(home.stateDir() + name, "mine");

    QProcess next;
    next.start(setup ? kSetup : kCli, setup ? QStringList{} : QStringList{"languages"});
    QVERIFY(next.waitForFinished(30000));
    QCOMPARE(next.exitCode(), 0);
    QCOMPARE(next.readAllStandardError(), QByteArray());
    QCOMPARE(hiddenIn(out), QStringList());
    QStringList left = QDir(home.stateDir()).entryList({"*.temp"}, QDir::Files);
    left.sort();
    QCOMPARE(left, QStringList({"1-2.TEMP", "a-0.temp", "notes.temp"}));
    // The killed run's work is no hindrance to doing it again.
    next.start(program, args);
    QVERIFY(next.waitForFinished(30000));
    QCOMPARE(next.exitCode(), 0);
    QCOMPARE(hiddenIn(out), QStringList());
}

void CrashSafetyTest::aRunningWritersFileIsLeftAlone() {
    if (QStandardPaths::findExecutable("strace").isEmpty())
        QSKIP("strace is not installed");
    DataHome home;
    makeDatabase(home.dataDir() + "varozidi.mdb", taggedRows("Alive", 40, 0));
    const QString tree = home.root() + "tree";
    // The export waits three seconds before it renames its finished tree into place.
    QProcess exporting;
    exporting.start(QStandardPaths::findExecutable("strace"),
                    {"-f", "-qq", "-o", "/dev/null", "-e", "trace=renameat2", "-e",
                     "inject=renameat2:delay_enter=3000000", kCli, "export", "--format", "folder",
                     tree});
    QTRY_VERIFY_WITH_TIMEOUT(!hiddenIn(home.root()).isEmpty() &&
                                 QFileInfo::exists(home.root() + hiddenIn(home.root()).first() +
                                                   "/.varozidi-index.json"),
                             10000);
    QCOMPARE(runCli({"languages"}).status, 0);
    QCOMPARE(hiddenIn(home.root()).size(), 1);
    QVERIFY(exporting.waitForFinished(30000));
    QCOMPARE(exporting.exitCode(), 0);
    QCOMPARE(QDir(tree).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{"Alive"});
    QCOMPARE(QDir(tree + "/Alive").entryList(QDir::Files).size(), 40);
}

QTEST_MAIN(CrashSafetyTest)
#include "tst_crashsafety.moc"
