// SPDX-License-Identifier: GPL-3.0-or-later
// The per-user installer and the program's start as a real process.

#include "SyscallTrace.h"
#include "TestSupport.h"
#include "data/setup/Setup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace testsupport;

namespace {

const QString kSetup = QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-setup");
const QString kProgram = QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi");

mode_t modeOf(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QProcessEnvironment environmentFor(const DataHome& home) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", home.root());
    env.insert("XDG_STATE_HOME", home.root() + "state");
    return env;
}

} // namespace

class SetupTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void createsWhatIsMissing();
    void neverTouchesExistingFiles_data();
    void neverTouchesExistingFiles();
    void reportsAnUnwritableFolder();
    void emptyTextFilesAreMadeAgain_data();
    void emptyTextFilesAreMadeAgain();
    void everyFileAndFolderReachesTheDiskInOrder();
    void secondNameLeftByAFailedRemovalGoes();
    void sizeLimitLeavesNoHalfDatabase_data();
    void sizeLimitLeavesNoHalfDatabase();
    void failingDiskIsNoDamagedFile();
    void argumentsItDoesNotKnowChangeNothing_data();
    void argumentsItDoesNotKnowChangeNothing();
    void programStartsOnFreshData();
    void programWithoutDisplaySaysSo();
};

void SetupTest::createsWhatIsMissing() {
    QTemporaryDir root;
    const QString dataDir = root.path() + "/share/KZQ/Varozidi/";
    QProcess setup;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", root.path() + "/share");
    setup.setProcessEnvironment(env);
    setup.start(kSetup, {});
    QVERIFY(setup.waitForFinished(30000));
    QCOMPARE(setup.exitCode(), 0);

    for (const QString& folder : {root.path() + "/share", root.path() + "/share/KZQ", dataDir})
        QCOMPARE(modeOf(folder), mode_t(0700));
    for (const char* name : {"varozidi.mdb", "LVersion.ini", "kzq.txt"})
        QCOMPARE(modeOf(dataDir + name), mode_t(0600));
    QVERIFY(readRows(dataDir + "varozidi.mdb").isEmpty());
    QVERIFY(contentOf(dataDir + "LVersion.ini").contains("[VAROZIDI]\nVERSION="));
    QVERIFY(contentOf(dataDir + "kzq.txt").contains("Add Varozidi"));
    // Nothing else is left behind.
    QCOMPARE(QDir(dataDir).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

void SetupTest::neverTouchesExistingFiles_data() {
    QTest::addColumn<QString>("existing");
    QTest::newRow("database") << "varozidi.mdb";
    QTest::newRow("database, other case") << "Varozidi.mdb";
    QTest::newRow("version file") << "LVersion.ini";
    QTest::newRow("welcome text") << "kzq.txt";
}

void SetupTest::neverTouchesExistingFiles() {
    QFETCH(QString, existing);
    DataHome home;
    const QString path = home.dataDir() + existing;
    writeFile(path, "user's own content");
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    const auto outcome = varozidi::setup::InstallUserData(home.dataDir());
    QCOMPARE(contentOf(path), QByteArray("user's own content"));
    QCOMPARE(modeOf(path), mode_t(0640));
    QVERIFY(outcome.kept.contains(path));
    QCOMPARE(outcome.created.size(), 2);
    QCOMPARE(QDir(home.dataDir()).entryList(QDir::Files).size(), 3);
    // A second run changes nothing at all.
    const auto again = varozidi::setup::InstallUserData(home.dataDir());
    QVERIFY(again.created.isEmpty());
    QCOMPARE(again.kept.size(), 3);
}

void SetupTest::reportsAnUnwritableFolder() {
    if (::geteuid() == 0)
        QSKIP("root writes into read-only folders");
    DataHome home;
    QVERIFY(QFile::setPermissions(home.dataDir(), QFile::ReadOwner | QFile::ExeOwner));
    QVERIFY_THROWS_EXCEPTION(std::exception, varozidi::setup::InstallUserData(home.dataDir()));
    QVERIFY(QFile::setPermissions(home.dataDir(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void SetupTest::emptyTextFilesAreMadeAgain_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("holds");
    QTest::newRow("version file") << "LVersion.ini" << QByteArray("[VAROZIDI]\nVERSION=");
    QTest::newRow("welcome text") << "kzq.txt" << QByteArray("Add Varozidi");
}

// An empty one is what a write cut short leaves behind; kept, it would stay empty for good.
void SetupTest::emptyTextFilesAreMadeAgain() {
    QFETCH(QString, name);
    QFETCH(QByteArray, holds);
    DataHome home;
    writeFile(home.dataDir() + name, "");
    const auto outcome = varozidi::setup::InstallUserData(home.dataDir());
    QVERIFY(outcome.created.contains(home.dataDir() + name));
    QVERIFY(contentOf(home.dataDir() + name).contains(holds));
    QCOMPARE(modeOf(home.dataDir() + name), mode_t(0600));
    QCOMPARE(QDir(home.dataDir()).entryList(QDir::Files | QDir::Hidden).size(), 3);
}

// Each file is synced, renamed into place, and its folder synced; each new folder's parent is
// synced after it is made: a power cut afterwards takes none of them away.
void SetupTest::everyFileAndFolderReachesTheDiskInOrder() {
    if (straceProgram().isEmpty())
        QSKIP("strace is not installed");
    DataHome home;
    const QString share = home.root() + "share";
    QProcessEnvironment env = environmentFor(home);
    env.insert("XDG_DATA_HOME", share);
    int status = -1;
    const QStringList calls = tracedRun(kSetup, {}, env, status);
    QCOMPARE(status, 0);
    QStringList faults;
    for (const char* name : {"varozidi.mdb", "LVersion.ini", "kzq.txt"})
        faults.append(orderFault(calls, share + "/KZQ/Varozidi/" + name, "rename"));
    for (const QString& folder : {share, share + "/KZQ", share + "/KZQ/Varozidi"})
        faults.append(orderFault(calls, folder, "mkdir"));
    faults.removeAll(QString());
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join("; ")));
}

// Where the rename that refuses to replace is missing, a file goes in place by a link and its
// temporary name is unlinked; when that fails the second name is said and the next run takes
// it away, so that nothing but the files themselves stays.
void SetupTest::secondNameLeftByAFailedRemovalGoes() {
    if (straceProgram().isEmpty())
        QSKIP("strace is not installed");
    DataHome home;
    QProcess setup;
    setup.setProcessEnvironment(environmentFor(home));
    setup.start(straceProgram(),
                {"-f", "-qq", "-o", "/dev/null", "-e", "trace=renameat2,unlink", "-e",
                 "inject=renameat2:error=EINVAL", "-e", "inject=unlink:error=EIO", kSetup});
    QVERIFY(setup.waitForFinished(30000));
    QCOMPARE(setup.exitCode(), 0);
    const QString said = QString::fromUtf8(setup.readAllStandardError());
    QVERIFY2(said.contains("is in place, but its temporary name"), qPrintable(said));
    QCOMPARE(readRows(home.dataDir() + "varozidi.mdb").size(), 0);

    setup.start(kSetup, {});
    QVERIFY(setup.waitForFinished(30000));
    QCOMPARE(setup.exitCode(), 0);
    QCOMPARE(setup.readAllStandardError(), QByteArray());
    QCOMPARE(QDir(home.dataDir()).entryList(QDir::Files | QDir::Hidden),
             (QStringList{"kzq.txt", "LVersion.ini", "varozidi.mdb"}));
    QCOMPARE(readRows(home.dataDir() + "varozidi.mdb").size(), 0);
}

void SetupTest::sizeLimitLeavesNoHalfDatabase_data() {
    QTest::addColumn<int>("limit"); // bytes a file may hold
    QTest::newRow("below the empty table") << 4096;
    QTest::newRow("below the search index") << 16384;
    QTest::newRow("below the language index") << 40960;
}

void SetupTest::sizeLimitLeavesNoHalfDatabase() {
    QFETCH(int, limit);
    DataHome home;
    QProcess setup;
    setup.setProcessEnvironment(environmentFor(home));
    setup.setChildProcessModifier([limit] {
        const rlimit size{rlim_t(limit), rlim_t(limit)};
        ::setrlimit(RLIMIT_FSIZE, &size);
    });
    setup.start(kSetup, {});
    QVERIFY(setup.waitForFinished(30000));
    const QString said = QString::fromUtf8(setup.readAllStandardError());
    QCOMPARE(setup.exitCode(), 1);
    QVERIFY2(said.contains("largest size allowed") && !said.contains("error"), qPrintable(said));
    QCOMPARE(QDir(home.dataDir()).entryList(QDir::Files | QDir::Hidden), QStringList{});
    // Without the limit the next run makes everything.
    setup.setChildProcessModifier([] {});
    setup.start(kSetup, {});
    QVERIFY(setup.waitForFinished(30000));
    QCOMPARE(setup.exitCode(), 0);
    QCOMPARE(readRows(home.dataDir() + "varozidi.mdb").size(), 0);
}

// Each read of the database being made fails in turn, as a bad sector makes it fail: the new
// file is never called damaged, nor offered as a collection to save.
void SetupTest::failingDiskIsNoDamagedFile() {
    for (int n = 0;; ++n) {
        DataHome home;
        QProcessEnvironment env = environmentFor(home);
        env.insert("LD_PRELOAD", VAROZIDI_FAULT_SHIM);
        env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":verify_asan_link_order=0");
        env.insert("VAROZIDI_FAULT_FILE", "varozidi.mdb.new");
        env.insert("VAROZIDI_FAULT_CALL", "read");
        env.insert("VAROZIDI_FAULT_AFTER", QString::number(n));
        QProcess setup;
        setup.setProcessEnvironment(env);
        setup.start(kSetup, {});
        QVERIFY(setup.waitForFinished(30000));
        const QString said = QString::fromUtf8(setup.readAllStandardError());
        if (setup.exitCode() == 0)
            break; // past the last read
        QCOMPARE(setup.exitCode(), 1);
        QVERIFY2(said.contains("the disk could not be read (input/output error).") &&
                     !said.contains("damaged") && !said.contains("may be sound"),
                 qPrintable(said));
        QVERIFY(!QFileInfo::exists(home.dataDir() + "varozidi.mdb"));
        QVERIFY(n < 100);
    }
}

void SetupTest::argumentsItDoesNotKnowChangeNothing_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "--database <URI>";
    QTest::newRow("unknown option") << QStringList{"--frobnicate"} << 2 << "Unknown option";
    QTest::newRow("stray word") << QStringList{"now"} << 2 << "unexpected argument 'now'";
    QTest::newRow("database without its value") << QStringList{"--database"} << 2 << "Missing";
}

void SetupTest::argumentsItDoesNotKnowChangeNothing() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    QTemporaryDir root;
    QProcess setup;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", root.path() + "/share");
    setup.setProcessEnvironment(env);
    setup.start(kSetup, arguments);
    QVERIFY(setup.waitForFinished(30000));
    QCOMPARE(setup.exitCode(), exitCode);
    QVERIFY2((setup.readAllStandardOutput() + setup.readAllStandardError()).contains(said.toUtf8()),
             qPrintable(said));
    QVERIFY(!QFileInfo::exists(root.path() + "/share"));
}

void SetupTest::programStartsOnFreshData() {
    DataHome home;
    QProcess setup;
    setup.setProcessEnvironment(environmentFor(home));
    setup.start(kSetup, {});
    QVERIFY(setup.waitForFinished(30000));
    QCOMPARE(setup.exitCode(), 0);

    QProcess program;
    QProcessEnvironment env = environmentFor(home);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    program.setProcessEnvironment(env);
    program.start(kProgram, {});
    QVERIFY(program.waitForStarted());
    // Still running after start-up, and the database is open: its lock file is there.
    QVERIFY(!program.waitForFinished(3000));
    QVERIFY(QFile::exists(home.dataDir() + "varozidi.ldb"));
    program.terminate();
    QVERIFY(program.waitForFinished(10000));
    QVERIFY2(!program.readAllStandardError().contains("rror"), "errors on start-up");
}

void SetupTest::programWithoutDisplaySaysSo() {
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    program.setProcessEnvironment(env);
    program.start(kProgram, {});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 2);
    const QByteArray said = program.readAllStandardError();
    QCOMPARE(said.count('\n'), 1);
    QVERIFY(said.contains("no graphical display"));
}

QTEST_MAIN(SetupTest)
#include "tst_setup.moc"
