// SPDX-License-Identifier: GPL-3.0-or-later
// Hostile input: odd, damaged and enormous files and texts, each given to the real program,
// the real data layer or varozidi-cli. Each must end in the right result or one clear
// message, never a crash or a hang, and never a lost or changed snippet.

#include "TestSupport.h"
#include "data/core/SysUtils.h"
#include "data/store/ADODB.h"
#include "window/Forms.h"
#include "window/Unit1.h"
#include "window/Unit2.h"
#include "window/platform/SynEdit.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QScreen>
#include <QToolButton>
#include <QtTest>
#include <csignal>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QList<Row> kRows{{"SQL", "Top", "SELECT 1;"}, {"Python", "Hello", "print('hi')\n"}};
constexpr uid_t kNobody = 65534;

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray randomBytes(qsizetype size, quint32 seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// The table with its usual fields, then the rows given as SQL values.
QString tableWith(const QString& values) {
    return "CREATE TABLE varozidi (ID INTEGER PRIMARY KEY AUTOINCREMENT, Language TEXT, Title "
           "TEXT, Body TEXT); INSERT INTO varozidi (Language, Title, Body) VALUES " +
           values;
}

// Puts an odd database of the given kind at path.
void makeOddDatabase(const QString& kind, const QString& path) {
    if (kind == u"empty") {
        writeFile(path, {});
    } else if (kind == u"truncated") {
        makeDatabase(path, {{"SQL", "Long", QString(20000, u'x')}, {"SQL", "Short", "y"}});
        const QByteArray whole = bytesOf(path);
        writeFile(path, whole.left(whole.size() / 2 + 100));
    } else if (kind == u"random bytes") {
        writeFile(path, randomBytes(65536, 7));
    } else if (kind == u"Jet file") {
        QFile::copy(VAROZIDI_FIXTURES_DIR "/legacy-jet4.mdb", path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    } else if (kind == u"folder") {
        QDir().mkpath(path);
    } else {
        writeFile(path, {});
        static const QMap<QString, QString> sql{
            {"no table", "CREATE TABLE notes (x TEXT); INSERT INTO notes VALUES ('keep')"},
            {"table as a view", "CREATE TABLE real_rows (ID INTEGER PRIMARY KEY, Language TEXT, "
                                "Title TEXT, Body TEXT); INSERT INTO real_rows VALUES (1, 'SQL', "
                                "'T', 'B'); CREATE VIEW varozidi AS SELECT * FROM real_rows"},
            {"missing field", "CREATE TABLE varozidi (ID INTEGER PRIMARY KEY AUTOINCREMENT, "
                              "Language TEXT, Title TEXT); INSERT INTO varozidi (Language, Title) "
                              "VALUES ('SQL', 'T')"},
            {"extra field", "CREATE TABLE varozidi (ID INTEGER PRIMARY KEY AUTOINCREMENT, Language "
                            "TEXT, Title TEXT, Body TEXT, Extra BLOB); INSERT INTO varozidi "
                            "(Language, Title, Body, Extra) VALUES ('SQL', 'T', 'B', x'00ff')"},
            {"BLOB body", tableWith("('SQL', 'T', x'00ff00fe80')")},
            {"integer title", tableWith("('SQL', 42, 'B')")},
            {"NULL everywhere", tableWith("(NULL, NULL, NULL)")},
        };
        execSql(path, sql.value(kind));
    }
}

// The snippet table of the database at path, open through the data layer.
struct Snippets {
    TADOConnection connection;
    TADOTable table;
    explicit Snippets(const QString& path) {
        connection.setConnectionString(connectionStringFor(path));
        table.setConnection(&connection);
        table.setTableName("varozidi");
        table.Open();
    }
};

// Every value of every row of the table, with its type: what must never change.
QStringList tableDump(const QString& path) {
    sqlite3* db = nullptr;
    QStringList out;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT * FROM varozidi", -1, &stmt, nullptr);
        while (stmt && sqlite3_step(stmt) == SQLITE_ROW)
            for (int i = 0; i < sqlite3_column_count(stmt); ++i)
                out.append(QString::number(sqlite3_column_type(stmt, i)) + u':' +
                           QString::fromLatin1(
                               QByteArray(static_cast<const char*>(sqlite3_column_blob(stmt, i)),
                                          sqlite3_column_bytes(stmt, i))
                                   .toHex()));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}

// The limit on the size of a file a child may write, as a full disk would stop it.
void limitFileSize(QProcess& process, rlim_t bytes) {
    process.setChildProcessModifier([bytes] {
        const rlimit limit{bytes, bytes};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::signal(SIGXFSZ, SIG_DFL);
    });
}

CliRun finish(QProcess& process, const QByteArray& input = {}) {
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

const QString kCli = QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli");

// Runs varozidi-cli as the user nobody when the tests run as root, for whom no file is
// read-only; the data folder is then handed to nobody first, with a copy of the program in
// it, as the build folder may lie where nobody cannot enter.
CliRun runCliAs(bool unprivileged, const QString& home, const QStringList& args,
                const QByteArray& input = {}) {
    QProcess process;
    QString program = kCli;
    if (unprivileged && ::geteuid() == 0) {
        program = home + QStringLiteral("/varozidi-cli");
        for (const QString& file :
             {QStringLiteral("varozidi-cli"), QStringLiteral("libvarozidi_pq.so"),
              QStringLiteral("libvarozidi_mdb.so")}) {
            const QString built = QStringLiteral(VAROZIDI_BINARY_DIR "/") + file;
            if (!QFile::exists(home + u'/' + file) && !QFile::copy(built, home + u'/' + file))
                qFatal("cannot copy %s into %s", qPrintable(built), qPrintable(home));
        }
        QProcess::execute("chown", {"-R", QString::number(kNobody), home});
        process.setChildProcessModifier([] {
            if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
                ::_exit(99);
        });
    }
    process.start(program, args);
    return finish(process, input);
}

} // namespace

class HostileTest : public QObject {
    Q_OBJECT
private slots:
    void cleanupTestCase() { qInfo("hostile cases tried: %d", cases_); }
    // A database file that is not what it should be: the CLI and the window say so once, or
    // use what is there; the file's snippets stay as they were.
    void oddDatabases_data();
    void oddDatabases();
    // A database that cannot be written, or is held by another writer: reading goes on where
    // it can, a write fails with one message, nothing changes.
    void unwritableDatabases_data();
    void unwritableDatabases();
    // A damaged search index that cannot be rebuilt there: search answers by reading every
    // row, and says the index stays damaged.
    void damagedIndexOnAnUnwritableFile_data();
    void damagedIndexOnAnUnwritableFile();
    // Settings files full of rubbish, or a folder in their place: the window starts in a sane
    // place, and closing it stores what it can, saying once what it cannot.
    void oddSettings_data();
    void oddSettings();
    // The welcome text in odd encodings and sizes is shown, never stored anywhere.
    void oddWelcomeTexts_data();
    void oddWelcomeTexts();
    // Titles and languages that try to break out of their quotes, or out of Unicode, are
    // stored and found exactly, through the data layer and through the CLI.
    void oddTexts_data();
    void oddTexts();
    void hugeBody();
    // Folders that are files, and a disk that fills up while writing.
    void unusablePlaces_data();
    void unusablePlaces();

private:
    int cases_ = 0;
};

void HostileTest::oddDatabases_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("status");     // of varozidi-cli list
    QTest::addColumn<QString>("told");   // in the CLI's error and the window's one message
    QTest::addColumn<QString>("listed"); // in the CLI's list when it works
    const QString damaged = "the file is damaged or is not a database";
    const QString noTable = "Cannot find the table 'varozidi'";
    QTest::newRow("empty") << "empty" << 2 << noTable << "";
    QTest::newRow("truncated") << "truncated" << 2 << damaged << "";
    QTest::newRow("random bytes") << "random bytes" << 2 << damaged << "";
    QTest::newRow("Jet file") << "Jet file" << 0 << ""
                              << "Pascal      Hello";
    QTest::newRow("folder") << "folder" << 2 << "is not a database file"
                            << "";
    QTest::newRow("no table") << "no table" << 2 << noTable << "";
    QTest::newRow("table as a view") << "table as a view" << 2 << "is a view, not a table"
                                     << "";
    QTest::newRow("missing field") << "missing field" << 0 << ""
                                   << "1  SQL  T";
    QTest::newRow("extra field") << "extra field" << 0 << ""
                                 << "1  SQL  T";
    QTest::newRow("BLOB body") << "BLOB body" << 0 << ""
                               << "1  SQL  T";
    QTest::newRow("integer title") << "integer title" << 0 << ""
                                   << "1  SQL  42";
    QTest::newRow("NULL everywhere") << "NULL everywhere" << 0 << ""
                                     << "1    \n";
}

void HostileTest::oddDatabases() {
    QFETCH(QString, kind);
    QFETCH(int, status);
    QFETCH(QString, told);
    QFETCH(QString, listed);
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    makeOddDatabase(kind, database);
    const QByteArray before = bytesOf(database);
    const QStringList rows = tableDump(database);

    const CliRun cli = runCli({"--data-dir", home.dataDir(), "list"});
    QCOMPARE(cli.status, status);
    QVERIFY2(QString::fromUtf8(cli.err).contains(told), cli.err.constData());
    QVERIFY2(QString::fromUtf8(cli.out).contains(listed), cli.out.constData());
    if (status == 0) {
        const CliRun shown = runCli({"--data-dir", home.dataDir(), "show", "1"});
        QVERIFY2(shown.status == 0 || shown.status == 2, shown.err.constData());
        QVERIFY(shown.err.size() < 400); // one line saying what is wrong, if anything
    }
    {
        StartedHere w;
        QCOMPARE(w.dialogs.asked().size(), told.isEmpty() ? 0 : 1);
        QVERIFY2(w.said().contains(told), qPrintable(w.said()));
        QCOMPARE(w.form->ListBox1->count() > 0, status == 0);
    }
    if (kind == u"Jet file") // converted, the original kept beside it (see the migration test)
        QCOMPARE(QDir(home.dataDir()).entryList({"varozidi-jet4-*.mdb"}).size(), 1);
    else if (status != 0)
        QCOMPARE(bytesOf(database), before);
    else
        QCOMPARE(tableDump(database), rows);
    ++cases_;
}

void HostileTest::unwritableDatabases_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("listStatus");
    QTest::addColumn<QString>("told"); // in the failed edit's message
    QTest::newRow("read-only file") << "file" << 0 << "read-only";
    QTest::newRow("in a read-only folder") << "folder" << 0 << "";
    QTest::newRow("another process holds a write transaction")
        << "locked" << 0 << "in use by another program";
}

void HostileTest::unwritableDatabases() {
    QFETCH(QString, kind);
    QFETCH(int, listStatus);
    QFETCH(QString, told);
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    makeDatabase(database, kRows);
    runCli({"--data-dir", home.dataDir(), "check"}); // the search index is made once, first
    const QList<StoredRow> rows = readRows(database);
    const QString exported = home.root() + "e.json";
    QCOMPARE(runCli({"--data-dir", home.dataDir(), "export", exported}).status, 0);
    sqlite3* other = nullptr;
    if (kind == u"file") {
        QFile::setPermissions(database, QFile::ReadOwner);
    } else if (kind == u"folder") {
        QFile::setPermissions(home.dataDir(), QFile::ReadOwner | QFile::ExeOwner);
    } else {
        sqlite3_open_v2(QFile::encodeName(database).constData(), &other, SQLITE_OPEN_READWRITE,
                        nullptr);
        QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE; UPDATE varozidi SET Body = 'other'", nullptr,
                              nullptr, nullptr),
                 SQLITE_OK);
    }
    const bool unprivileged = kind != u"locked";
    const CliRun list = runCliAs(unprivileged, home.root(), {"--data-dir", home.dataDir(), "list"});
    QCOMPARE(list.status, listStatus);
    const CliRun edit = runCliAs(unprivileged, home.root(),
                                 {"--data-dir", home.dataDir(), "edit", "1"}, "new body");
    // What only reads goes on; a sound file is not called damaged for being unwritable.
    const CliRun check =
        runCliAs(unprivileged, home.root(), {"--data-dir", home.dataDir(), "check"});
    const CliRun dryRun = runCliAs(unprivileged, home.root(),
                                   {"--data-dir", home.dataDir(), "import", "--dry-run", exported});
    QVERIFY2(check.status == 0 && check.out.contains("database: ok"), check.out + check.err);
    QVERIFY2(dryRun.status == 0 && dryRun.out.contains("would be added"), dryRun.err.constData());
    if (other) {
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
    }
    QFile::setPermissions(home.dataDir(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(edit.status, 2);
    QVERIFY2(edit.err.contains(told.toUtf8()) && edit.err.count('\n') == 1, edit.err.constData());
    QCOMPARE(readRows(database), rows);
    ++cases_;
}

void HostileTest::damagedIndexOnAnUnwritableFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("read-only file") << "file";
    QTest::newRow("another process holds a write transaction") << "locked";
}

void HostileTest::damagedIndexOnAnUnwritableFile() {
    QFETCH(QString, kind);
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    makeDatabase(database, kRows);
    runCli({"--data-dir", home.dataDir(), "check"}); // the search index is made once, first
    execSql(database, "UPDATE varozidi_search_text_data SET block = x'ffffffff' WHERE id > 10");
    sqlite3* other = nullptr;
    if (kind == u"file") {
        QFile::setPermissions(database, QFile::ReadOwner);
    } else {
        sqlite3_open_v2(QFile::encodeName(database).constData(), &other, SQLITE_OPEN_READWRITE,
                        nullptr);
        QCOMPARE(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    const CliRun search =
        runCliAs(kind == u"file", home.root(), {"--data-dir", home.dataDir(), "search", "print"});
    if (other) {
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
    }
    QCOMPARE(search.status, 0);
    QVERIFY2(search.out.startsWith("2 ") && search.out.count('\n') == 1, search.out.constData());
    QVERIFY2(search.err.contains("could not be rebuilt"), search.err.constData());
    ++cases_;
}

void HostileTest::oddSettings_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content"); // "folder": a folder in its place
    QTest::addColumn<QString>("caption");
    const QByteArray garbage = "Width=;[[[\n\n=1\n[Form1\nLeft=abc\nTop=1e9\n]]\nVERSION";
    const QByteArray huge = "[VAROZIDI]\nVERSION=" + QByteArray(100000, '9') +
                            "\n[Form1]\nLeft=-2147483648\nTop=99999999999\nWidth=2147483647\n"
                            "Height=2147483647\nMaximized=2147483647\n";
    const QByteArray binary = randomBytes(4096, 11);
    const QByteArray twice = "[VAROZIDI]\nVERSION=1.0\n[Form1]\nWidth=300\nHeight=200\n"
                             "[varozidi]\nVERSION=2.0\n[FORM1]\nWidth=9000\nHeight=9000\n";
    for (const char* file : {"LVersion.ini", "Tessel.ini"}) {
        const bool version = QByteArray(file) == "LVersion.ini";
        QTest::addRow("%s with garbage", file) << file << garbage << "KZQ Varozidi 0.0";
        QTest::addRow("%s with huge values", file)
            << file << huge
            << (version ? "KZQ Varozidi " + QString(100000, u'9') : "KZQ Varozidi 0.0");
        QTest::addRow("%s with binary bytes", file) << file << binary << "";
        QTest::addRow("%s with duplicated sections", file)
            << file << twice << (version ? "KZQ Varozidi 1.0" : "KZQ Varozidi 0.0");
        QTest::addRow("a folder in place of %s", file)
            << file << QByteArray("folder") << "KZQ Varozidi 0.0";
    }
}

void HostileTest::oddSettings() {
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, caption);
    DataHome home;
    makeDatabase(home.dataDir() + "varozidi.mdb", kRows);
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    const QString path = home.dataDir() + file;
    if (content == "folder")
        QDir().mkpath(path);
    else
        writeFile(path, content);
    const QList<StoredRow> rows = readRows(home.dataDir() + "varozidi.mdb");
    StartedHere w;
    QCOMPARE(w.dialogs.asked().size(), 0);
    if (!caption.isEmpty())
        QCOMPARE(w.form->windowTitle(), caption);
    // Wherever the file says, the window is on the screen and no larger than it.
    const QRect screen = w.form->screen()->availableGeometry();
    QVERIFY2(screen.intersects(w.form->frameGeometry()), qPrintable(file));
    QVERIFY(w.form->width() <= screen.width() && w.form->height() <= screen.height());
    QVERIFY(w.form->close());
    const bool tesselFolder = file == u"Tessel.ini" && content == "folder";
    QCOMPARE(w.dialogs.asked().size(), tesselFolder ? 1 : 0);
    if (tesselFolder)
        QVERIFY2(w.said().contains("could not be stored"), qPrintable(w.said()));
    else
        QVERIFY(bytesOf(home.dataDir() + "Tessel.ini").contains("Width="));
    QCOMPARE(readRows(home.dataDir() + "varozidi.mdb"), rows);
    ++cases_;
}

void HostileTest::oddWelcomeTexts_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("binary") << QByteArray("\x00\x01\xff\xfe\x00\x7f", 6)
                            << QString::fromLatin1(QByteArray("\x00\x01\xff\xfe\x00\x7f", 6));
    QTest::newRow("invalid UTF-8")
        << QByteArray("caf\xe9 \xc3(") << QString::fromLatin1("caf\xe9 \xc3(");
    QStringEncoder utf16(QStringEncoder::Utf16LE, QStringEncoder::Flag::WriteBom);
    const QString text = QString::fromUtf8("Hello, ünïcode ✓\r\n");
    QTest::newRow("UTF-16 with a byte-order mark") << QByteArray(utf16.encode(text)) << text;
    QTest::newRow("50 MB") << QByteArray("a line of a very long welcome text\n").repeated(1500000)
                           << "";
}

void HostileTest::oddWelcomeTexts() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, shown);
    DataHome home;
    makeDatabase(home.dataDir() + "varozidi.mdb", kRows);
    writeFile(home.dataDir() + "kzq.txt", bytes);
    const QList<StoredRow> rows = readRows(home.dataDir() + "varozidi.mdb");
    StartedHere w;
    QCOMPARE(w.dialogs.asked().size(), 0);
    const QString text = w.form->SynEdit1->Text();
    if (bytes.size() > 1000000)
        QCOMPARE(text.size(), bytes.size());
    else
        QCOMPARE(text, shown);
    QCOMPARE(w.form->SnippitChanged, 0);
    QVERIFY(w.form->close()); // the welcome text is no snippet: nothing to ask
    QCOMPARE(w.dialogs.asked().size(), 0);
    QCOMPARE(readRows(home.dataDir() + "varozidi.mdb"), rows);
    QCOMPARE(bytesOf(home.dataDir() + "kzq.txt"), bytes);
    ++cases_;
}

void HostileTest::oddTexts_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("onCommandLine"); // a NUL or a lone surrogate cannot be an argument
    QTest::newRow("quotes") << QString("Don't \"quote\" me `x` ''") << true;
    QTest::newRow("SQL in a title") << QString("'; DROP TABLE varozidi; --") << true;
    QTest::newRow("NUL characters") << QString::fromUtf16(u"a\0b\0", 4) << false;
    QTest::newRow("lone surrogates") << QString::fromUtf16(u"x\xD800y\xDFFF", 4) << false;
    QTest::newRow("right-to-left text")
        << QString::fromUtf8("\xd7\xa9\xd7\x9c\xd7\x95\xd7\x9d \u202e123") << true;
    QTest::newRow("emoji") << QString::fromUtf8("🐍 Python 👩‍💻") << true;
    // A longer argument than 128 kB the system does not pass on to any program.
    QTest::newRow("100,000 characters") << QString(99990, u'a') + QString(10, u'ü') << true;
}

void HostileTest::oddTexts() {
    QFETCH(QString, text);
    QFETCH(bool, onCommandLine);
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    makeDatabase(database, kRows);
    {
        Snippets snippets(database);
        TADOTable& table = snippets.table;
        table.Insert();
        for (const char* field : {"Language", "Title", "Body"})
            table.FieldByName(field).setAsString(text);
        table.Post();
        // Found by a filter holding the text itself, as the window's language list finds it.
        table.setFilter("Language = " + QuotedStr(text) + " AND Title = " + QuotedStr(text));
        table.setFiltered(true);
        QCOMPARE(table.RecordCount(), 1);
        // A lone surrogate is no character: stored as UTF-8, it becomes the replacement that
        // every UTF-8 encoder writes for it, and the rest of the text is kept.
        const QString stored = QString::fromUtf8(text.toUtf8());
        QCOMPARE(table.FieldByName("Title").AsString(), stored);
        QCOMPARE(table.FieldByName("Body").AsString(), stored);
    }
    QCOMPARE(readRows(database).size(), kRows.size() + 1);
    QCOMPARE(readRows(database).last().title, QString::fromUtf8(text.toUtf8()));
    if (onCommandLine) {
        const CliRun add =
            runCli({"--data-dir", home.dataDir(), "add", "--language", text, "--title", text},
                   text.toUtf8());
        QCOMPARE(add.status, 0);
        const CliRun list =
            runCli({"--data-dir", home.dataDir(), "--json", "list", "--language", text});
        QCOMPARE(list.status, 0);
        const QJsonArray found = QJsonDocument::fromJson(list.out).array();
        QCOMPARE(found.size(), 2);
        QCOMPARE(found.last()["title"].toString(), text);
        const CliRun show = runCli({"--data-dir", home.dataDir(), "show", add.out.trimmed()});
        QCOMPARE(QString::fromUtf8(show.out), text);
    }
    QCOMPARE(readRows(database).first().body, kRows.first().body);
    ++cases_;
}

void HostileTest::hugeBody() {
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    makeDatabase(database, kRows);
    QString body(100 * 1024 * 1024, u'b');
    body[12345] = u'\n';
    {
        Snippets snippets(database);
        TADOTable& table = snippets.table;
        table.Edit();
        table.FieldByName("Body").setAsString(body);
        table.Post();
        table.Close();
        table.Open();
        QCOMPARE(table.FieldByName("Body").AsString().size(), body.size());
    }
    const CliRun check = runCli({"--data-dir", home.dataDir(), "check"});
    QCOMPARE(check.status, 0);
    QCOMPARE(readRows(database).first().body, body);
    QCOMPARE(readRows(database).last().body, kRows.last().body);
    ++cases_;
}

void HostileTest::unusablePlaces_data() {
    QTest::addColumn<QString>("place");
    QTest::newRow("a data folder that is a file") << "data folder";
    QTest::newRow("a backup folder that is a file") << "backup folder";
    QTest::newRow("a full disk during save") << "save";
    QTest::newRow("a full disk during backup") << "backup";
    QTest::newRow("a full disk during Backup Data!") << "window backup";
}

void HostileTest::unusablePlaces() {
    QFETCH(QString, place);
    DataHome home;
    const QString database = home.dataDir() + "varozidi.mdb";
    makeDatabase(database, {{"SQL", "Top", QString(300000, u's')}, {"Go", "Main", "func"}});
    writeFile(home.dataDir() + "kzq.txt", kWelcome);
    runCli({"--data-dir", home.dataDir(), "check"}); // the search index is made once, first
    const QList<StoredRow> rows = readRows(database);
    if (place == u"data folder") {
        const QString file = home.root() + "file";
        writeFile(file, "not a folder");
        const CliRun cli = runCli({"--data-dir", file, "list"});
        QCOMPARE(cli.status, 2);
        QVERIFY2(cli.err.count('\n') == 1, cli.err.constData());
        QDir(home.root() + "KZQ").removeRecursively();
        writeFile(home.root() + "KZQ", "not a folder");
        StartedHere w;
        QCOMPARE(w.dialogs.asked().size(), 1);
        QVERIFY2(w.said().contains("is a file, not a folder"), qPrintable(w.said()));
        QCOMPARE(w.form->ListBox1->count(), 0);
        QCOMPARE(bytesOf(home.root() + "KZQ"), QByteArray("not a folder"));
    } else if (place == u"backup folder") {
        writeFile(home.root() + "KZQBackups", "not a folder");
        StartedHere w;
        QTest::mouseClick(w.form->ToolButton9, Qt::LeftButton);
        QCOMPARE(w.dialogs.asked().size(), 1);
        QVERIFY2(w.said().contains("KZQBackups"), qPrintable(w.said()));
        QVERIFY(w.form->ADOConnection1->Connected());
        QCOMPARE(readRows(database), rows);
    } else if (place == u"window backup") {
        const QString folder = home.root() + "KZQBackups/Varozidi/";
        QDir().mkpath(folder);
        makeDatabase(folder + "Varozidi.mdb", {{"Old", "O", "the earlier backup"}});
        const QByteArray earlier = bytesOf(folder + "Varozidi.mdb");
        StartedHere w;
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit tight = saved;
        tight.rlim_cur = rlim_t(QFileInfo(database).size()) / 2;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        QTest::mouseClick(w.form->ToolButton9, Qt::LeftButton);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
        QCOMPARE(w.dialogs.asked().size(), 1);
        QVERIFY2(w.said().contains("File too large"), qPrintable(w.said()));
        QCOMPARE(bytesOf(folder + "Varozidi.mdb"), earlier);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden).size(), 1);
        QVERIFY(w.form->ADOConnection1->Connected());
        QCOMPARE(readRows(database), rows);
    } else {
        // Room for the database as it is, not for a bigger one; for half a copy of it.
        const bool save = place == u"save";
        const rlim_t room = rlim_t(QFileInfo(database).size()) / (save ? 1 : 2);
        QProcess process;
        limitFileSize(process, room);
        process.start(kCli, save ? QStringList{"--data-dir", home.dataDir(), "edit", "2"}
                                 : QStringList{"--data-dir", home.dataDir(), "backup",
                                               home.root() + "copy.mdb"});
        const CliRun cli = finish(process, QByteArray(600000, 'n'));
        QCOMPARE(cli.status, 2);
        QVERIFY2(cli.err.count('\n') == 1, cli.err.constData());
        QCOMPARE(readRows(database), rows);
        QVERIFY(!QFileInfo::exists(home.root() + "copy.mdb"));
        QCOMPARE(QDir(home.root()).entryList(QDir::Files | QDir::Hidden).size(), 0);
        QCOMPARE(runCli({"--data-dir", home.dataDir(), "check"}).status, 0);
    }
    ++cases_;
}

QTEST_MAIN(HostileTest)
#include "tst_hostile.moc"
