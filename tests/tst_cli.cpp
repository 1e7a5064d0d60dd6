// SPDX-License-Identifier: GPL-3.0-or-later
// varozidi-cli run as a user runs it, on a real data folder: output, JSON, exit status.

#include "SyscallTrace.h"
#include "TestSupport.h"
#include "data/engines/sqlite/LockFile.h"
#include "data/store/ADODB.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>
#include <limits>

using namespace testsupport;

namespace {

const QList<Row> kRows{{"SQL", "Top 10", "SELECT 1;"},
                       {"Python", "Hello", "print('Привет')\n"},
                       {"sql", "Joins", "SELECT *\r\nFROM a JOIN b;"}};

} // namespace

class CliTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DataHome> home_;
    QString database_;

private Q_SLOTS:
    void initTestCase() { VAROZIDI_REQUIRE_ENGINE(); }
    void init() {
        home_.reset(); // before the next one takes over XDG_DATA_HOME
        home_ = std::make_unique<DataHome>();
        database_ = onServer() ? serverUri() : home_->dataDir() + "varozidi.mdb";
        makeDatabase(database_, kRows);
    }
    void reading_data();
    void reading();
    void writing_data();
    void writing();
    void refusals_data();
    void refusals();
    void backupWhileTheProgramHasItOpen();
    void checkFindsADamagedIndex();
    void stoppedEditChangesNothing();
    void refusedInput_data();
    void refusedInput();
    void usedUpIdsAreNamed();
    void failedOutput_data();
    void failedOutput();
    void failingDisk_data();
    void failingDisk();
    void diskFailsAtAnyPoint_data();
    void diskFailsAtAnyPoint();
    void exactRoundTrip_data();
    void exactRoundTrip();
    void byteOrderMarksStay_data();
    void byteOrderMarksStay();
    void searchLineCutsWholeCharacters();
    void replacementsReachTheDiskInOrder_data();
    void replacementsReachTheDiskInOrder();
    void foreignBytes_data();
    void foreignBytes();
    void smallerAnswers_data();
    void smallerAnswers();
    void progressOnlyOnATerminal_data();
    void progressOnlyOnATerminal();
    void missingModules_data();
    void missingModules();
};

namespace {

// The companion run by a shell, for what QProcess cannot give it: closed or odd standard
// streams, a file-size limit, bytes that are not UTF-8 in an argument, a failing disk. The
// script calls it vz; after "fault FILE CALL [AFTER [PART [ERRNO [TIMES]]]]" every later
// program sees that call on that file fail (see faultshim.cpp).
CliRun shell(const QString& script) {
    QStringList prefix;
    for (const QString& arg : cliCollection({"list"}).mid(0, cliCollection({"list"}).size() - 1))
        prefix.append(u'\'' + arg + u'\'');
    QProcess process;
    const QString fault = QStringLiteral(
        "fault() { export LD_PRELOAD='" VAROZIDI_FAULT_SHIM "' "
        "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0\" "
        "VAROZIDI_FAULT_FILE=\"$1\" VAROZIDI_FAULT_CALL=\"$2\" VAROZIDI_FAULT_AFTER=\"${3:-0}\" "
        "VAROZIDI_FAULT_PART=\"${4:--1}\" VAROZIDI_FAULT_ERRNO=\"${5:-5}\" "
        "VAROZIDI_FAULT_TIMES=\"${6:--1}\"; }\n");
    process.start("/bin/sh",
                  {"-c", QStringLiteral("vz() { '%1' %2 \"$@\"; }\n")
                                 .arg(QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli"),
                                      prefix.join(u' ')) +
                             fault + script});
    process.closeWriteChannel();
    process.waitForFinished(30000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

void CliTest::refusedInput_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    for (const QString command : {"edit 1", "add --language Go --title T"}) {
        QTest::newRow(qPrintable(command + " < folder"))
            << "vz " + command + " < /" << 2 << "Cannot read standard input";
        QTest::newRow(qPrintable(command + " <&-"))
            << "vz " + command + " <&-" << 2 << "standard input: it is closed";
        QTest::newRow(qPrintable(command + " Latin-1"))
            << "printf 'caf\\351' | vz " + command << 1 << "Standard input is not UTF-8";
        QTest::newRow(qPrintable(command + " cut-short UTF-8"))
            << "printf 'ok\\303' | vz " + command << 1 << "Standard input is not UTF-8";
    }
    QTest::newRow("title argument \\xff")
        << "echo x | vz add --language Go --title \"$(printf 'bad\\377')\"" << 1
        << "is not UTF-8 text";
    QTest::newRow("folder import, a file missing")
        << "vz export --format folder @/t && rm @/t/Python/Hello.py && vz import @/t" << 1
        << "Python/Hello.py";
    QTest::newRow("import of an empty folder")
        << "mkdir @/empty && vz import @/empty" << 1 << "holds no snippets";
    QTest::newRow("backup over notes") << "vz backup @/notes" << 1 << "not a collection database";
    QTest::newRow("backup onto the collection") << "vz backup @db" << 1 << "the collection itself";
    QTest::newRow("backup onto a pipe, forced")
        << "mkfifo @/pipe && vz backup --force @/pipe" << 1 << "is not a file";
    QTest::newRow("backup through a link to nothing")
        << "ln -s @/absent.mdb @/link.mdb && vz backup @/link.mdb" << 1 << "following the link";
    QTest::newRow("backup through a link in a loop")
        << "ln -s @/loop.mdb @/loop.mdb && vz backup --force @/loop.mdb" << 1
        << "following the link";
    QTest::newRow("backup through a link to a name not UTF-8")
        << "touch @/$(printf 'a\\377') && ln -s @/$(printf 'a\\377') @/l.mdb && vz backup @/l.mdb"
        << 1 << "not UTF-8";
    QTest::newRow("backup to no name") << "vz backup ''" << 1 << "Which file";
}

// Nothing stored is changed, nothing added, no file replaced, and the message says why.
void CliTest::refusedInput() {
    QFETCH(QString, script);
    QFETCH(int, status);
    QFETCH(QString, says);
    if (onServer() && script.contains("@db"))
        QSKIP("a server's collection is no file");
    writeFile(home_->root() + "notes", "my notes\n");
    const QList<StoredRow> before = readRows(database_);
    const CliRun run = shell(script.replace("@db", database_).replace("@/", home_->root()));
    QCOMPARE(run.status, status);
    QVERIFY2(QString::fromUtf8(run.err).contains(says), run.err.constData());
    QCOMPARE(readRows(database_), before);
    QFile notes(home_->root() + "notes");
    QVERIFY(notes.open(QIODevice::ReadOnly) && notes.readAll() == "my notes\n");
}

// The highest ID taken (a converted or imported collection can hold it): an add says so, and
// blames no disk.
void CliTest::usedUpIdsAreNamed() {
    if (onServer())
        QSKIP("the server numbers its rows itself");
    const CliRun run = shell(QStringLiteral("sqlite3 '%1' \"UPDATE varozidi SET ID = "
                                            "9223372036854775807 WHERE ID = 1\" && echo x | vz "
                                            "add --language Go --title T")
                                 .arg(database_));
    QCOMPARE(run.status, 2);
    QVERIFY2(QString::fromUtf8(run.err).contains("no IDs left"), run.err.constData());
}

void CliTest::failedOutput_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("changed");
    for (const QString command :
         {"show 4", "--json show 4", "list", "--json list", "search o", "languages", "check",
          "--help", "--version", "import --dry-run @export"})
        QTest::newRow(qPrintable(command + " > /dev/full"))
            << "vz " + command + " > /dev/full" << false;
    QTest::newRow("show under ulimit -f 1") << "ulimit -f 1; vz show 4 > @out" << false;
    // Whatever changes something says so, and exits 2, when what it prints after is lost.
    for (const QString command :
         {"--json remove 1", "add --language Go --title T", "--json edit 1", "import @export",
          "--json import @export", "export @/new.json", "export --format folder @/tree"}) {
        QTest::newRow(qPrintable(command + " > /dev/full"))
            << "echo x | vz " + command + " > /dev/full" << true;
        QTest::newRow(qPrintable(command + " | reader gone"))
            << "{ sleep 0.3; echo x | vz " + command +
                   "; echo $? > @/status; } | true; "
                   "exit $(cat @/status)"
            << true;
    }
}

void CliTest::failedOutput() {
    QFETCH(QString, script);
    // 300 KB of body: more than any buffer holds.
    QVERIFY(runCli({"add", "--language", "Go", "--title", "big"}, QByteArray(300000, 'o')).status ==
            0);
    const QString exported = home_->root() + "e.json";
    QVERIFY(runCli({"export", exported}).status == 0);
    QFETCH(bool, changed);
    const CliRun run = shell(script.replace("@export", exported)
                                 .replace("@out", home_->root() + "out")
                                 .replace("@/", home_->root()));
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains("Cannot write to standard output"), run.err.constData());
    // A change made before the output failed is not passed off as failed too.
    QCOMPARE(run.err.contains("the change itself was made"), changed);
}

void CliTest::failingDisk_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    const QString unread = "the disk could not be read (input/output error)";
    // Every reader of input, the disk failing after part of a file came.
    QTest::newRow("folder import, a body")
        << "vz export --format folder @/t && fault Python/Hello.py read 0 4 && vz import @/t" << 2
        << unread;
    QTest::newRow("folder import, its index")
        << "vz export --format folder @/t && fault .varozidi-index.json read 0 9 && vz import @/t"
        << 2 << unread;
    QTest::newRow("JSON import")
        << "vz export @/e.json && fault e.json read 0 20 && vz import @/e.json" << 2 << unread;
    QTest::newRow("Visual Studio Code snippets")
        << "echo '{\"Hi\": {\"prefix\": \"hi\", \"body\": [\"x\"]}}' > @/python.json && "
           "fault python.json read 0 5 && vz import @/python.json"
        << 2 << unread;
    QTest::newRow("Jet 4.0 database")
        << "cp '" VAROZIDI_FIXTURES_DIR "/legacy-jet4.mdb' @/j.mdb && fault j.mdb read 2 && "
           "vz import @/j.mdb"
        << 2 << unread;
    QTest::newRow("standard input")
        << "echo 'SELECT 1;' > @/in.sql && fault in.sql read 0 4 && vz add --language SQL "
           "--title T < @/in.sql"
        << 2 << "Cannot read standard input: " + unread;
    // The collection's own disk: told apart from a damaged file and from one read-only.
    QTest::newRow("check, its first read")
        << "fault varozidi.mdb read && vz check" << 2
        << unread + ": the collection may be sound; copy it elsewhere before anything else";
    QTest::newRow("opened for reading only: too many files")
        << "fault varozidi.mdb open-write 0 -1 24 && echo x | vz add --language Go --title T" << 2
        << "could not be opened for writing (too many open files)";
    QTest::newRow("opened for reading only: input/output error")
        << "fault varozidi.mdb open-write 0 -1 5 && echo x | vz add --language Go --title T" << 2
        << "could not be opened for writing (input/output error)";
    QTest::newRow("backup onto a failing disk")
        << "fault .b.mdb. write && vz backup @/b.mdb" << 2
        << "the disk could not be written (input/output error)";
    QTest::newRow("Jet 4.0 database, opening refused")
        << "cp '" VAROZIDI_FIXTURES_DIR "/legacy-jet4.mdb' @/j.mdb && fault j.mdb open 2 && "
           "vz import @/j.mdb"
        << 2 << unread;
    QTest::newRow("Jet 4.0 database, one read refused")
        << "cp '" VAROZIDI_FIXTURES_DIR "/legacy-jet4.mdb' @/j.mdb && fault j.mdb read 6 -1 5 1 && "
           "vz import @/j.mdb"
        << 2 << unread;
    QTest::newRow("Jet 4.0 database, its reading process's pipe")
        << "cp '" VAROZIDI_FIXTURES_DIR "/legacy-jet4.mdb' @/j.mdb && fault pipe: read && "
           "vz import @/j.mdb"
        << 2 << "Cannot read";
    // A lock file left behind is said, and changes nothing else.
    for (const int err : {5, 13})
        QTest::addRow("lock file not removed, errno %d", err)
            << QStringLiteral("fault varozidi.ldb unlink 0 -1 %1 && vz list").arg(err) << 0
            << "warning: Cannot remove the lock file";
}

// Nothing stored changes, the exit status says it failed (or, for the lock file, that all was
// done) and the message names the disk, never a damaged collection.
void CliTest::failingDisk() {
    QFETCH(QString, script);
    QFETCH(int, status);
    QFETCH(QString, says);
    if (onServer() && (script.contains("varozidi.") || script.contains("backup")))
        QSKIP("a server's collection is on no disk of ours");
    const QList<StoredRow> before = readRows(database_);
    const CliRun run = shell(script.replace("@/", home_->root()));
    QCOMPARE(run.status, status);
    QVERIFY2(QString::fromUtf8(run.err).contains(says), run.err.constData());
    QVERIFY2(!run.err.contains("damaged") && !run.out.contains("problems"), run.out.constData());
    QCOMPARE(readRows(database_), before);
}

void CliTest::diskFailsAtAnyPoint_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("call");
    for (const QString command : {"check", "backup @/b.mdb", "search o", "import @/e.json"})
        QTest::newRow(qPrintable(command + ", a read")) << command << "read";
    for (const QString command : {"add --language Go --title T", "import @/e.json"}) {
        QTest::newRow(qPrintable(command + ", a write")) << command << "write";
        // Letting go of a lock comes after the commit is on the disk.
        QTest::newRow(qPrintable(command + ", a lock let go of")) << command << "unlock";
    }
}

// One call on the collection fails, at each such call in turn, as a failing disk makes it
// fail: the command does its work (exit 0) or changes nothing (exit 2) and, for a read, says
// that the disk failed; never that the collection is damaged, has problems or is in use.
void CliTest::diskFailsAtAnyPoint() {
    QFETCH(QString, command);
    QFETCH(QString, call);
    if (onServer())
        QSKIP("a server's collection is on no disk of ours");
    const QString count = home_->root() + "count";
    // A body of many pages, so that an import reads some of them anew after its first reads.
    if (command.startsWith("import"))
        QVERIFY(
            runCli({"add", "--language", "Go", "--title", "long"}, QByteArray(60000, 'o')).status ==
            0);
    QVERIFY(runCli({"export", home_->root() + "e.json"}).status == 0);
    const qsizetype exported = readRows(database_).size();
    // Each run starts from the same file.
    const QString pristine = home_->root() + "pristine.mdb";
    QVERIFY(QFile::copy(database_, pristine));
    const QList<StoredRow> before = readRows(database_);
    const QString run = QStringLiteral("echo x | vz ") + command.replace("@/", home_->root());
    shell(QStringLiteral("fault varozidi.mdb %1 100000000 && export VAROZIDI_FAULT_COUNT='%2' && "
                         "%3")
              .arg(call, count, run));
    QFile counted(count);
    QVERIFY(counted.open(QIODevice::ReadOnly));
    const int calls = counted.readAll().trimmed().toInt();
    QVERIFY(calls > 5);
    for (int n = 0; n < calls; ++n) {
        QFile::remove(home_->root() + "b.mdb");
        QVERIFY(QFile::remove(database_) && QFile::copy(pristine, database_));
        const CliRun r = shell(
            QStringLiteral("fault varozidi.mdb %1 %2 -1 5 1 && %3").arg(call).arg(n).arg(run));
        const QByteArray said = call.toUtf8() + ' ' + QByteArray::number(n) + ": " + r.out + r.err;
        const QByteArray failed =
            call == u"read"    ? "the disk could not be read (input/output error)"
            : call == u"write" ? "the disk could not be written (input/output "
                                 "error)"
                               : "";
        QVERIFY2(r.status == 0 || (r.status == 2 && r.err.contains(failed)), said.constData());
        QVERIFY2(!said.contains("damaged") && !said.contains("problems") &&
                     !said.contains("another program"),
                 said.constData());
        // An import or an add is whole or not there at all; the others change nothing.
        const qsizetype added = r.status != 0                  ? 0
                                : command.startsWith("import") ? exported
                                : command.startsWith("add")    ? 1
                                                               : 0;
        QCOMPARE(readRows(database_).size(), before.size() + added);
        QCOMPARE(readRows(database_).mid(0, before.size()), before);
    }
}

void CliTest::exactRoundTrip_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<QList<qint64>>("ids");
    QTest::addColumn<QByteArray>("body");
    const qint64 most = std::numeric_limits<qint64>::max();
    for (const QString format : {"json", "folder"}) {
        QTest::newRow(qPrintable(format + " IDs to 0 and below"))
            << format << QList<qint64>{0, -5, -most - 1} << QByteArray("SELECT 1;");
        QTest::newRow(qPrintable(format + " IDs above 2^53"))
            << format << QList<qint64>{(qint64(1) << 53) + 1, most - 1, most}
            << QByteArray("SELECT 1;");
        QTest::newRow(qPrintable(format + " byte order mark"))
            << format << QList<qint64>{1, 2, 3} << QByteArray("\xef\xbb\xbfSELECT 1;\n");
    }
}

// Added, shown, searched, exported and imported back: the same IDs and the same bytes.
void CliTest::exactRoundTrip() {
    QFETCH(QString, format);
    QFETCH(QList<qint64>, ids);
    QFETCH(QByteArray, body);
    if (onServer() && ids.first() != 1)
        QSKIP("the server numbers its own rows");
    QCOMPARE(runCli({"edit", "1"}, body).status, 0);
    QCOMPARE(runCli({"show", "1"}).out, body);
    QVERIFY(runCli({"search", "SELECT"}).out.contains(body.trimmed()));
    const CliRun add = runCli({"add", "--language", "\xef\xbb\xbfGo", "--title", "T"}, body);
    QCOMPARE(runCli({"show", add.out.trimmed()}).out, body);
    execSql(database_, "DELETE FROM varozidi WHERE \"ID\" > 3");
    for (qsizetype i = 0; i < 3; ++i)
        execSql(
            database_,
            QString("UPDATE varozidi SET \"ID\" = %1 WHERE \"ID\" = %2").arg(ids[i]).arg(i + 1));
    const QList<StoredRow> before = readRows(database_);
    const QString path = home_->root() + "out";
    QVERIFY(runCli({"export", "--format", format, path}).status == 0);
    execSql(database_, "DELETE FROM varozidi");
    const CliRun in = runCli({"import", path});
    QVERIFY2(in.status == 0, in.err.constData());
    QCOMPARE(readRows(database_), before);
}

void CliTest::byteOrderMarksStay_data() {
    QTest::addColumn<QString>("format");
    QTest::newRow("json") << "json";
    QTest::newRow("folder") << "folder";
}

// A title and a language that begin with a byte order mark keep it: added, exported, imported.
void CliTest::byteOrderMarksStay() {
    QFETCH(QString, format);
    const QByteArray bom = "\xef\xbb\xbf";
    const QByteArray stored = R"("language":")" + bom + R"(Go","title":")" + bom + R"(T")";
    const QString mark(QChar(0xfeff)); // a QByteArray would lose it on its way to a QString
    QCOMPARE(runCli({"add", "--language", mark + "Go", "--title", mark + "T"}, "x").status, 0);
    QVERIFY2(runCli({"--json", "list"}).out.contains(stored), runCli({"--json", "list"}).out);
    const QString path = home_->root() + "out";
    QCOMPARE(runCli({"export", "--format", format, path}).status, 0);
    execSql(database_, "DELETE FROM varozidi");
    const CliRun in = runCli({"import", path});
    QVERIFY2(in.status == 0, in.err.constData());
    QVERIFY(runCli({"--json", "list"}).out.contains(stored));
}

// A long line is cut around the match, never between the two halves of a character.
void CliTest::searchLineCutsWholeCharacters() {
    const QString face = QString::fromUtf8("\xf0\x9f\x98\x80");
    QCOMPARE(
        runCli({"edit", "1"}, (face.repeated(200) + "needle" + face.repeated(200)).toUtf8()).status,
        0);
    const CliRun run = runCli({"--json", "search", "needle"});
    QCOMPARE(run.status, 0);
    QVERIFY2(!run.out.contains("\\ud"), run.out.constData());
    const QString line =
        QJsonDocument::fromJson(run.out).array().first().toObject()["line"].toString();
    QVERIFY(line.contains("needle") && line.startsWith(face) && line.endsWith(face));
}

void CliTest::replacementsReachTheDiskInOrder_data() {
    QTest::addColumn<QStringList>("args"); // @ stands for a folder of the test's own
    QTest::addColumn<QString>("target");
    QTest::newRow("backup") << QStringList{"backup", "@/b.mdb"} << "@/b.mdb";
    QTest::newRow("backup over an older one") << QStringList{"backup", "@/old.mdb"} << "@/old.mdb";
    QTest::newRow("export as JSON") << QStringList{"export", "@/e.json"} << "@/e.json";
    QTest::newRow("export as a folder")
        << QStringList{"export", "--format", "folder", "@/t"} << "@/t";
}

// The new data reach the disk, then the rename, then the folder's entry: a power cut leaves
// the old file or the whole new one, and a copy said to be made stays made.
void CliTest::replacementsReachTheDiskInOrder() {
    QFETCH(QStringList, args);
    QFETCH(QString, target);
    if (straceProgram().isEmpty())
        QSKIP("strace is not installed");
    const QString folder = home_->root() + "traced";
    QVERIFY(QDir().mkpath(folder));
    QCOMPARE(runCli({"backup", folder + "/old.mdb"}).status, 0);
    int status = -1;
    const QStringList calls = tracedRun(QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli"),
                                        cliCollection(args.replaceInStrings("@", folder)),
                                        QProcessEnvironment::systemEnvironment(), status);
    QCOMPARE(status, 0);
    const QString fault = orderFault(calls, target.replace("@", folder), "rename");
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

void CliTest::foreignBytes_data() {
    QTest::addColumn<QString>("set"); // SQL for the field another program wrote
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("Latin-1 text") << "Body = CAST(x'636166e9' AS TEXT)" << QByteArray("caf\xe9");
    QTest::newRow("binary BLOB") << "Body = x'6f6aff10'" << QByteArray("oj\xff\x10");
    QTest::newRow("title cut short")
        << "Title = CAST(x'53454cc3' AS TEXT)" << QByteArray("SELECT 1;");
    QTest::newRow("Latin-1 language")
        << "Language = CAST(x'4c6174e9' AS TEXT)" << QByteArray("SELECT 1;");
}

// Shown as stored by show; refused, naming the snippet, where it would come out changed.
void CliTest::foreignBytes() {
    QFETCH(QString, set);
    QFETCH(QByteArray, shown);
    if (onServer())
        QSKIP("a server keeps its text UTF-8");
    execSql(database_, "UPDATE varozidi SET " + set + " WHERE ID = 1");
    QCOMPARE(runCli({"show", "1"}).out, shown);
    const QString field = set.section(u' ', 0, 0).toLower();
    QList<QStringList> commands{QStringList{"--json", "show", "1"},
                                QStringList{"search", shown.left(2)},
                                QStringList{"export", home_->root() + "e.json"}};
    if (field == u"language")
        commands += {QStringList{"languages"}, QStringList{"--json", "languages"}};
    for (const QStringList& args : std::as_const(commands)) {
        const CliRun run = runCli(args);
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains("Snippet 1 has a " + field.toUtf8()), run.err.constData());
    }
    QVERIFY(!QFile::exists(home_->root() + "e.json"));
}

void CliTest::smallerAnswers_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("out");
    QTest::newRow("--version") << QStringList{"--version"} << QByteArray("varozidi-cli ");
    QTest::newRow("help names --database")
        << QStringList{"show", "--help"} << QByteArray("[--database URI]");
    QTest::newRow("line break in a title") << QStringList{"list"} << QByteArray("Two\\nlines\n");
    QTest::newRow("line break in an imported title")
        << QStringList{"import", "--dry-run", "@e"} << QByteArray("Two\\nlines\n");
    QTest::newRow("tab in a title") << QStringList{"list"} << QByteArray("Tab\\there\n");
    QTest::newRow("tab in a search line")
        << QStringList{"search", "here"} << QByteArray("Tab\\there\n");
    QTest::newRow("line break in a language")
        << QStringList{"languages"} << QByteArray("\nMy\\nSQL\n");
    QTest::newRow("NULL title as null")
        << QStringList{"--json", "list"} << QByteArray(R"("language":null)");
}

void CliTest::smallerAnswers() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, out);
    execSql(database_, "UPDATE varozidi SET \"Title\" = 'Two\nlines' WHERE \"ID\" = 3");
    execSql(database_, "UPDATE varozidi SET \"Language\" = NULL WHERE \"ID\" = 2");
    execSql(database_, "UPDATE varozidi SET \"Title\" = 'Tab\there' WHERE \"ID\" = 1");
    execSql(database_, "UPDATE varozidi SET \"Language\" = 'My\nSQL' WHERE \"ID\" = 3");
    QVERIFY(runCli({"export", home_->root() + "e"}).status == 0);
    const CliRun run = runCli(args.replaceInStrings("@e", home_->root() + "e"));
    QVERIFY2(run.status == 0, run.err.constData());
    QVERIFY2(run.out.contains(out), run.out.constData());
}

void CliTest::reading_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("out"); // exact, or the JSON it must parse to
    QTest::newRow("languages") << QStringList{"languages"} << QByteArray("SQL\nPython\n");
    QTest::newRow("languages json")
        << QStringList{"--json", "languages"} << QByteArray(R"(["SQL","Python"])");
    QTest::newRow("list") << QStringList{"list"}
                          << QByteArray("1  SQL     Top 10\n2  Python  Hello\n3  sql     Joins\n");
    QTest::newRow("list of a language, any case json")
        << QStringList{"list", "--language=Sql", "--json"}
        << QByteArray(R"([{"id":1,"language":"SQL","title":"Top 10"},)"
                      R"({"id":3,"language":"sql","title":"Joins"}])");
    QTest::newRow("show, byte for byte")
        << QStringList{"show", "3"} << QByteArray("SELECT *\r\nFROM a JOIN b;");
    QTest::newRow("show json") << QStringList{"show", "--json", "2"}
                               << QString(R"({"id":2,"language":"Python","title":"Hello",)"
                                          R"("body":"print('Привет')\n"})")
                                      .toUtf8();
    QTest::newRow("search, title first json")
        << QStringList{"--json", "search", "o"}
        << QByteArray(R"([{"id":1,"language":"SQL","title":"Top 10","line":"Top 10"},)"
                      R"({"id":2,"language":"Python","title":"Hello","line":"Hello"},)"
                      R"({"id":3,"language":"sql","title":"Joins","line":"Joins"}])");
    QTest::newRow("search finds nothing") << QStringList{"search", "zebra"} << QByteArray();
    QTest::newRow("check") << QStringList{"check", "--json"}
                           << QByteArray(R"({"database":"ok","ok":true,"searchIndex":"ok"})");
}

void CliTest::reading() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, out);
    const CliRun run = runCli(args);
    QVERIFY2(run.status == 0 && run.err.isEmpty(), run.err.constData());
    if (args.contains("--json") || args.contains("check"))
        QCOMPARE(QJsonDocument::fromJson(run.out), QJsonDocument::fromJson(out));
    else
        QCOMPARE(run.out, out);
    QCOMPARE(readRows(database_).size(), kRows.size());
}

void CliTest::writing_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("out");
    QTest::addColumn<StoredRow>("row"); // the row afterwards; id 0: the row was removed
    QTest::newRow("add") << QStringList{"add", "--language", "Go", "--title", "Main"}
                         << QByteArray("package main\0x", 14) << QByteArray("4\n")
                         << StoredRow{4, "Go", "Main", QString::fromUtf8("package main\0x", 14)};
    QTest::newRow("add json") << QStringList{"--json", "add", "--title=T", "--language=Go"}
                              << QByteArray()
                              << QByteArray(R"({"id":4,"language":"Go","title":"T"})")
                              << StoredRow{4, "Go", "T", ""};
    QTest::newRow("edit") << QStringList{"edit", "2"} << QString("Ωμέγα").toUtf8() << QByteArray()
                          << StoredRow{2, "Python", "Hello", "Ωμέγα"};
    QTest::newRow("remove") << QStringList{"remove", "1"} << QByteArray() << QByteArray()
                            << StoredRow{1, "", "", ""};
}

void CliTest::writing() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, out);
    QFETCH(StoredRow, row);
    const CliRun run = runCli(args, input);
    if (onServer() && input.contains('\0')) {
        // A server's text holds no NUL: refused whole, nothing added.
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains("NUL character"), run.err.constData());
        QCOMPARE(readRows(database_).size(), kRows.size());
        return;
    }
    QVERIFY2(run.status == 0, run.err.constData());
    if (args.contains("--json"))
        QCOMPARE(QJsonDocument::fromJson(run.out), QJsonDocument::fromJson(out));
    else
        QCOMPARE(run.out, out);
    const QList<StoredRow> rows = readRows(database_);
    const auto it =
        std::find_if(rows.begin(), rows.end(), [&](const StoredRow& r) { return r.id == row.id; });
    if (row.language.isEmpty())
        QVERIFY(it == rows.end());
    else
        QCOMPARE(*it, row);
    // Whatever was written can be found by the search.
    if (!row.body.isEmpty() && !row.body.contains(QChar(0)))
        QCOMPARE(runCli({"search", row.body}).out.left(1), QByteArray::number(row.id));
}

void CliTest::refusals_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    QTest::newRow("no command") << QStringList{} << 1 << "Which command";
    QTest::newRow("unknown command") << QStringList{"frobnicate"} << 1 << "no command 'frobnicate'";
    QTest::newRow("unknown ID") << QStringList{"show", "42"} << 1 << "No snippet has the ID 42";
    QTest::newRow("not an ID") << QStringList{"remove", "x1"} << 1 << "'x1' is not a snippet ID";
    QTest::newRow("missing argument") << QStringList{"edit"} << 1 << "Usage: varozidi-cli edit ID";
    QTest::newRow("option of another command")
        << QStringList{"show", "--title", "x", "1"} << 1 << "takes no option --title";
    QTest::newRow("add without a title")
        << QStringList{"add", "--language", "Go"} << 1 << "needs both --language and --title";
    QTest::newRow("an option twice")
        << QStringList{"add", "--language", "Go", "--title", "A", "--title", "B"} << 1
        << "--title is given twice";
    QTest::newRow("a database of another kind")
        << QStringList{"--database", "mysql://ann@127.0.0.1/snippets", "list"} << 1
        << "is not the address of a database server";
    QTest::newRow("no database") << QStringList{"--data-dir", "/nonexistent", "list"} << 2
                                 << "Could not find file";
    QTest::newRow("not a database")
        << QStringList{"--data-dir", "@notes", "languages"} << 2 << "is not a database";
}

void CliTest::refusals() {
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QString, says);
    const QString notes = home_->root() + "notes/";
    QDir().mkpath(notes);
    writeFile(notes + "varozidi.mdb", "These are notes, not snippets.\n");
    args.replaceInStrings("@notes", notes);
    const CliRun run = runCli(args, "body");
    QCOMPARE(run.status, status);
    QVERIFY2(QString::fromUtf8(run.err).contains(says), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
    QVERIFY(run.out.isEmpty());
    QCOMPARE(readRows(database_).size(), kRows.size());
}

void CliTest::backupWhileTheProgramHasItOpen() {
    TADOConnection program;
    program.setConnectionString(connectionStringFor(database_));
    program.Open();
    const QString copy = home_->root() + "copy.mdb";
    const CliRun run = runCli({"backup", copy});
    QVERIFY2(run.status == 0, run.err.constData());
    QCOMPARE(readRows(copy), readRows(database_));
    if (!onServer())
        QVERIFY(LockFile::isHeld(home_->dataDir() + "varozidi.ldb")); // the program's still
}

void CliTest::checkFindsADamagedIndex() {
    execSql(database_, onServer() ? "DROP INDEX varozidi_search"
                                  : "UPDATE varozidi_search_text_data SET block = x'ffffffff' "
                                    "WHERE id > 10");
    const CliRun run = runCli({"check"});
    QCOMPARE(run.status, 2);
    QVERIFY(run.out.contains("database: ok"));
    QVERIFY(run.out.contains("problems"));
}

void CliTest::stoppedEditChangesNothing() {
    QProcess process;
    process.start(QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli"),
                  cliCollection({"edit", "1"}));
    QVERIFY(process.waitForStarted());
    process.write("half of a new bo");
    QVERIFY(process.waitForBytesWritten());
    QTest::qWait(200);
    process.kill();
    process.waitForFinished();
    QCOMPARE(readRows(database_).first().body, QString("SELECT 1;"));
}

void CliTest::progressOnlyOnATerminal_data() {
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QStringList>("args"); // @ stands for a new file, @@ for an export to import
    QTest::addColumn<QString>("shown");    // on standard error; empty: no progress at all
    QTest::newRow("export on a terminal")
        << true << QStringList{"export", "@"} << "Exported 3 of 3 snippets";
    QTest::newRow("import on a terminal")
        << true << QStringList{"import", "@@"} << "Added 3 of 3 snippets";
    QTest::newRow("import's reading on a terminal")
        << true << QStringList{"import", "@@"} << "Read 0 of 1 MB";
    QTest::newRow("export to a pipe") << false << QStringList{"export", "@"} << "";
    QTest::newRow("import with --json on a terminal")
        << true << QStringList{"--json", "import", "@@"} << "";
}

void CliTest::progressOnlyOnATerminal() {
    QFETCH(bool, terminal);
    QFETCH(QStringList, args);
    QFETCH(QString, shown);
    if (onServer())
        QSKIP("A server's collection is exported and imported whole.");
    const QString exported = home_->root() + "exported.json";
    QCOMPARE(runCli({"export", exported}).status, 0);
    args.replaceInStrings(QRegularExpression("^@@$"), exported);
    args.replaceInStrings(QRegularExpression("^@$"), home_->root() + "new.json");
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VAROZIDI_PROGRESS_AFTER_MS", "0");
    process.setProcessEnvironment(environment);
    const QString cli = QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli");
    if (terminal) // script gives the program a terminal, which it copies to its own output
        process.start("script", {"-qfec", cli + " " + args.join(' '), "/dev/null"});
    else
        process.start(cli, args);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 0);
    const QString err = QString::fromUtf8(process.readAllStandardError() +
                                          (terminal ? process.readAllStandardOutput() : ""));
    if (shown.isEmpty())
        QVERIFY2(!err.contains(" of 3 snippets"), qPrintable(err));
    else
        QVERIFY2(err.contains(shown), qPrintable(err));
}

void CliTest::missingModules_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("damaged"); // a module there but cut short; the others missing
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("says");
    const QString server = "postgresql://127.0.0.1:1/none";
    QTest::newRow("server") << QStringList{"--database", server, "list"} << "" << 2
                            << "libvarozidi_pq.so, which is missing";
    QTest::newRow("server, module cut short")
        << QStringList{"--database", server, "languages"} << "libvarozidi_pq.so" << 2
        << "libvarozidi_pq.so, which is damaged (cut short)";
    QTest::newRow("import of a Jet file") << QStringList{"--data-dir", "@local", "import", "@jet"}
                                          << "" << 2 << "libvarozidi_mdb.so, which is missing";
    QTest::newRow("Jet file as the collection")
        << QStringList{"--data-dir", "@old", "list"} << "libvarozidi_mdb.so" << 2
        << "libvarozidi_mdb.so, which is damaged (cut short)";
    QTest::newRow("collection file")
        << QStringList{"--data-dir", "@local", "languages"} << "" << 0 << "";
}

namespace {

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// A program installed without its modules still works on a collection file; what needs one
// says which, and changes nothing.
void CliTest::missingModules() {
    QFETCH(QStringList, args);
    QFETCH(QString, damaged);
    QFETCH(int, status);
    QFETCH(QString, says);
    const QString folder = home_->root() + "bin/";
    QVERIFY(QDir().mkpath(folder) && QDir().mkpath(home_->root() + "local") &&
            QDir().mkpath(home_->root() + "old"));
    const QString program = folder + "varozidi-cli";
    QVERIFY(QFile::copy(VAROZIDI_BINARY_DIR "/varozidi-cli", program));
    if (!damaged.isEmpty())
        writeFile(folder + damaged, bytesOf(VAROZIDI_BINARY_DIR "/" + damaged).left(20000));
    const QString local = home_->root() + "local/varozidi.mdb";
    makeDatabase(local, kRows);
    const QByteArray jet = bytesOf(VAROZIDI_FIXTURES_DIR "/legacy-jet4.mdb");
    writeFile(home_->root() + "old/varozidi.mdb", jet);
    const QList<StoredRow> before = readRows(local);
    args.replaceInStrings("@local", home_->root() + "local")
        .replaceInStrings("@old", home_->root() + "old")
        .replaceInStrings("@jet", VAROZIDI_FIXTURES_DIR "/legacy-jet4.mdb");
    QProcess process;
    process.start(program, args);
    QVERIFY(process.waitForFinished(30000));
    const QString err = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), status);
    QVERIFY2(says.isEmpty() ? err.isEmpty() : err.contains(folder + says), qPrintable(err));
    QCOMPARE(readRows(local), before);
    QCOMPARE(bytesOf(home_->root() + "old/varozidi.mdb"), jet);
    QVERIFY(!QFile::exists(home_->root() + "old/varozidi.ldb"));
}

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
