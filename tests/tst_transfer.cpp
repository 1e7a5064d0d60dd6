// SPDX-License-Identifier: GPL-3.0-or-later
// export and import through varozidi-cli, as a user runs them, on real files: round trips,
// Visual Studio Code snippets, the legacy Jet fixture, and bad files refused whole.

#include "TestSupport.h"
#include "data/setup/Setup.h"
#include "data/transfer/Jet.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>
#include <algorithm>
#include <limits>
#include <numeric>
#include <sqlite3.h>
#include <sys/resource.h>

using namespace testsupport;

namespace {

// A collection with what file names and JSON find hard: NULL apart from empty, duplicates,
// names that differ in letter case, reserved characters, device names, long names, gaps in
// the IDs. Rows: ID, Language, Title, Body; a missing value is NULL.
const QJsonValue null;
const QJsonArray kCollection{
    QJsonArray{1, "SQL", "Top 10", "SELECT 1;"},
    QJsonArray{2, "sql", "Top 10", "select 2;\r\n"},
    QJsonArray{3, "SQL", "Top 10", "a second Top 10"},
    QJsonArray{4, "SQL", "top 10", ""},
    QJsonArray{5, null, "no language", "x"},
    QJsonArray{6, "", "", null},
    QJsonArray{7, "C++", "a/b\\c:d*e?f\"g<h>i|j", "reserved"},
    QJsonArray{8, "C++", "..", "dots"},
    QJsonArray{9, "Python", "CON", "a device name"},
    QJsonArray{10, "Python", "setup.py", "from setuptools import setup\r\n"},
    QJsonArray{11, "../etc", "passwd", "not a way out"},
    QJsonArray{12, "Emoji 😀", "title 😀 ", QString::fromUtf8("body 😀\t\x01\0 end", 16)},
    QJsonArray{13, "Text", QString(300, u'Ж'), "\ufeffstarts with a byte order mark"},
    QJsonArray{40, "Go", " trailing. ", "after a gap"}};

const QString kFixtures = QStringLiteral(VAROZIDI_FIXTURES_DIR);

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// The data folder of a collection holding rows, each [ID, Language, Title, Body].
QString collection(const QString& dataDir, const QJsonArray& rows) {
    QDir().mkpath(dataDir);
    const QString path = dataDir + "varozidi.mdb";
    varozidi::setup::CreateEmptyDatabase(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO varozidi (ID, Language, Title, Body) VALUES (?,?,?,?)", -1,
                       &insert, nullptr);
    for (const QJsonValue& row : rows) {
        sqlite3_bind_int64(insert, 1, row[0].toInteger());
        for (int i = 1; i < 4; ++i) {
            const QByteArray text = row[i].toString().toUtf8();
            if (row[i].isNull())
                sqlite3_bind_null(insert, i + 1);
            else
                sqlite3_bind_text(insert, i + 1, text.constData(), int(text.size()),
                                  SQLITE_TRANSIENT);
        }
        if (sqlite3_step(insert) != SQLITE_DONE)
            qFatal("insert failed: %s", sqlite3_errmsg(db));
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return dataDir;
}

// A list of one row: braces around a single array would copy it instead.
QJsonArray one(const QJsonArray& row) {
    QJsonArray rows;
    rows.append(row);
    return rows;
}

// An export file as the program writes it, of records already in JSON.
QByteArray exportFile(const QByteArrayList& records) {
    return "{\n  \"format\": \"varozidi-snippets\",\n  \"version\": 1,\n  \"snippets\": [\n    " +
           records.join(",\n    ") + "\n  ]\n}\n";
}

QByteArray record(qint64 id, const QByteArray& title = "t") {
    return "{\"id\": " + QByteArray::number(id) + ", \"language\": \"Go\", \"title\": \"" + title +
           "\", \"body\": \"x\"}";
}

QByteArrayList records(qint64 count) {
    QByteArrayList list;
    for (qint64 id = 1; id <= count; ++id)
        list.append(record(id));
    return list;
}

QJsonArray asRows(const QJsonArray& collection) {
    QJsonArray rows;
    for (const QJsonValue& r : collection)
        rows.append(QJsonObject{{"ID", r[0]}, {"Language", r[1]}, {"Title", r[2]}, {"Body", r[3]}});
    return rows;
}

} // namespace

class TransferTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString data_; // an empty collection's data folder
    QString database_;

    QString path(const QString& name) const { return dir_->path() + u'/' + name; }
    CliRun cli(QStringList args) const { return runCli(QStringList{"--data-dir", data_} + args); }

private Q_SLOTS:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        data_ = collection(path("data/"), {});
        database_ = data_ + "varozidi.mdb";
    }
    void roundTrip_data();
    void roundTrip();
    void folderNamesAreSafeEverywhere();
    void visualStudioCode_data();
    void visualStudioCode();
    void legacyFixtureValueForValue();
    void dryRunChangesNothing();
    void intoACollectionThatHasSnippets();
    void badFilesChangeNothing_data();
    void badFilesChangeNothing();
    void failedImportAddsNothing();
    void exportNeverReplaces_data();
    void exportNeverReplaces();
    void jetText_data();
    void jetText();
    void streamedExport_data();
    void streamedExport();
    void lastIds_data();
    void lastIds();
    void importedIndexIsTheTriggersOwn_data();
    void importedIndexIsTheTriggersOwn();
    void indexWithoutRoomAddsNothing();
};

void TransferTest::roundTrip_data() {
    QTest::addColumn<QString>("format");
    QTest::newRow("json") << "json";
    QTest::newRow("folder") << "folder";
}

void TransferTest::roundTrip() {
    QFETCH(QString, format);
    const QString source = collection(path("source/"), kCollection);
    const CliRun out =
        runCli({"--data-dir", source, "export", "--format", format, path("exported")});
    QVERIFY2(out.status == 0, out.err.constData());
    QCOMPARE(out.out, "14 snippets exported to " + path("exported").toUtf8() + ".\n");

    const CliRun in = cli({"import", path("exported")});
    QVERIFY2(in.status == 0 && in.err.isEmpty(), in.err.constData());
    QCOMPARE(readRowsAsJson(database_), asRows(kCollection));
    QCOMPARE(readRowsAsJson(database_), readRowsAsJson(source + "varozidi.mdb"));
}

void TransferTest::folderNamesAreSafeEverywhere() {
    const QString source = collection(path("source/"), kCollection);
    QVERIFY(runCli({"--data-dir", source, "export", "--format=folder", path("tree")}).status == 0);
    QStringList files;
    for (QDirIterator it(path("tree"), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         it.hasNext();)
        files.append(it.next().mid(path("tree/").size()));
    files.sort();
    for (const QString& file : files) {
        for (const QString& name : file.split(u'/')) {
            QVERIFY2(name.toUtf8().size() <= 130, qPrintable(name));
            const QRegularExpression reserved("[<>:\"\\\\|?*\\x00-\\x1f]");
            QVERIFY2(!name.contains(reserved), qPrintable(name));
            QVERIFY2(!name.endsWith(u'.') && !name.endsWith(u' '), qPrintable(name));
        }
    }
    QCOMPARE(files, (QStringList{".varozidi-index.json", "C++/_._.cpp",
                                 "C++/a_b_c_d_e_f_g_h_i_j.cpp", "Emoji 😀/title 😀 _.txt",
                                 "Go/ trailing. _.go", "No language (2)/Untitled.txt",
                                 "No language/no language.txt", "Python/CON_.py",
                                 "Python/setup.py.py", "SQL/Top 10 (2).sql", "SQL/Top 10.sql",
                                 "SQL/top 10 (3).sql", "Text/" + QString(59, u'Ж') + ".txt",
                                 "_._etc/passwd.txt", "sql (2)/Top 10.sql"}));
    QCOMPARE(contentOf(path("tree/SQL/Top 10 (2).sql")), "a second Top 10");
    QCOMPARE(contentOf(path("tree/Emoji 😀/title 😀 _.txt")), QByteArray("body 😀\t\x01\0 end", 16));
}

void TransferTest::visualStudioCode_data() {
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QJsonArray>("rows"); // [Language, Title, Body] each, in the order added
    QTest::newRow("a language's file, comments, trailing commas, a list of lines")
        << "python.json" << QByteArray(R"js(// Python snippets
{
  /* the guard */
  "Main": {
    "prefix": ["main", ],
    "body": ["if __name__ == \"__main__\":", "\tmain()",], // lines
    "description": "see http://example.org/* not a comment */",
  },
  "Empty": {"prefix": "e", "body": []},
})js")
        << QJsonArray{QJsonArray{"Python", "Empty", ""},
                      QJsonArray{"Python", "Main", "if __name__ == \"__main__\":\n\tmain()"}};
    QTest::newRow("a global file: scope, or the file's name")
        << "mine.code-snippets"
        << QByteArray(R"js({"Log": {"scope": "javascript,typescript", "prefix": "log",
                           "body": "console.log('$1'); // \\\" kept"},
                          "Plain": {"prefix": "p", "body": "${1:x} /* kept */"}})js")
        << QJsonArray{QJsonArray{"Javascript", "Log", "console.log('$1'); // \\\" kept"},
                      QJsonArray{"mine", "Plain", "${1:x} /* kept */"}};
    QTest::newRow("a byte order mark, a language not known")
        << "zig.json" << QByteArray("\xef\xbb\xbf{\"S\": {\"body\": \"const x = 1;\"}}")
        << one(QJsonArray{"zig", "S", "const x = 1;"});
}

void TransferTest::visualStudioCode() {
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QJsonArray, rows);
    writeFile(path(file), content);
    const CliRun run = cli({"import", path(file)});
    QVERIFY2(run.status == 0, run.err.constData());
    QVERIFY(run.out.contains("(Visual Studio Code snippets)"));
    QJsonArray expected;
    for (qsizetype i = 0; i < rows.size(); ++i)
        expected.append(QJsonArray{i + 1, rows[i][0], rows[i][1], rows[i][2]});
    QCOMPARE(readRowsAsJson(database_), asRows(expected));
}

void TransferTest::legacyFixtureValueForValue() {
    QFile::copy(kFixtures + "/legacy-jet4.mdb", path("old.mdb"));
    const CliRun run = cli({"import", path("old.mdb")});
    QVERIFY2(run.status == 0 && run.err.isEmpty(), run.err.constData());
    const QJsonObject expected =
        QJsonDocument::fromJson(contentOf(kFixtures + "/legacy-jet4.expected.json")).object();
    QCOMPARE(readRowsAsJson(database_), expected["rows"].toArray());
    QCOMPARE(contentOf(path("old.mdb")), contentOf(kFixtures + "/legacy-jet4.mdb"));
}

void TransferTest::dryRunChangesNothing() {
    QFile::copy(kFixtures + "/legacy-jet4.mdb", path("old.mdb"));
    const QByteArray before = contentOf(database_);
    const CliRun dry = cli({"--json", "import", "--dry-run", path("old.mdb")});
    QVERIFY2(dry.status == 0, dry.err.constData());
    QCOMPARE(contentOf(database_), before);
    QVERIFY(!QFileInfo::exists(data_ + "varozidi.mdb-journal"));
    // It lists what the import then does, IDs included.
    const CliRun real = cli({"--json", "import", path("old.mdb")});
    QCOMPARE(QJsonDocument::fromJson(dry.out), QJsonDocument::fromJson(real.out));
    QCOMPARE(QJsonDocument::fromJson(real.out).array().size(), 9);
    QCOMPARE(QJsonDocument::fromJson(real.out).array()[8].toObject()["id"].toInteger(), 10);
}

void TransferTest::intoACollectionThatHasSnippets() {
    data_ = collection(path("full/"), one(QJsonArray{5, "SQL", "mine", "kept"}));
    writeFile(path("in.json"), R"({"snippets": [{"id": 5, "language": "Go", "title": "t",
                                                 "body": null}]})");
    const CliRun run = cli({"import", path("in.json")});
    QCOMPARE(run.out, "6  Go  t\n1 snippet added from " + path("in.json").toUtf8() +
                          " (a Varozidi export).\n");
    QCOMPARE(
        readRowsAsJson(data_ + "varozidi.mdb"),
        asRows({QJsonArray{5, "SQL", "mine", "kept"}, QJsonArray{6, "Go", "t", QJsonValue()}}));
}

void TransferTest::badFilesChangeNothing_data() {
    const QByteArray jet = contentOf(kFixtures + "/legacy-jet4.mdb");
    QByteArray otherVersion = jet;
    otherVersion[0x14] = 2;
    // The table's usage map pointed elsewhere: libmdb reads out of bounds on it.
    QByteArray lostMap = jet;
    lostMap[0x18037] = char(0x93);
    QByteArray noise(8192, '\0');
    QRandomGenerator(12).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    QTest::addColumn<QString>("file"); // written with content, under the temporary folder
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("given"); // what import is given
    QTest::addColumn<QString>("says");
    QTest::newRow("empty") << "a.json" << QByteArray() << "a.json"
                           << "is empty";
    QTest::newRow("Jet cut inside a memo")
        << "a.mdb" << jet.left(32 * 4096) << "a.mdb"
        << "is damaged: a value of the field Body should be 43000 bytes long";
    QTest::newRow("Jet cut mid-page") << "a.mdb" << jet.left(50000) << "a.mdb"
                                      << "cut short";
    QTest::newRow("Jet without its catalog") << "a.mdb" << jet.left(4 * 4096) << "a.mdb"
                                             << "its list of tables cannot be read";
    QTest::newRow("Jet that crashes libmdb") << "a.mdb" << lostMap << "a.mdb"
                                             << "is damaged";
    QTest::newRow("random bytes") << "a.mdb" << noise << "a.mdb"
                                  << "is not one of the files import reads";
    QTest::newRow("wrong Jet version") << "a.mdb" << otherVersion << "a.mdb"
                                       << "unknown version (2)";
    QTest::newRow("SQLite given as Jet") << "a.mdb" << contentOf(database_) << "a.mdb"
                                         << "is an SQLite database";
    QTest::newRow("invalid JSON") << "a.json" << QByteArray("{\n  \"a\": [1, 2}\n") << "a.json"
                                  << "is not valid JSON: ";
    QTest::newRow("JSON of the wrong shape")
        << "a.json" << QByteArray(R"({"name": "x", "version": 2})") << "a.json"
        << "\"name\" is not a snippet";
    QTest::newRow("a bad snippet after good ones")
        << "a.json"
        << QByteArray(R"({"snippets": [{"id": 1, "language": "a", "title": "b", "body": "c"},
                                       {"id": 2.5, "language": "a", "title": "b", "body": "c"}]})")
        << "a.json"
        << "snippet 2 has an \"id\" that is not a whole number";
    QTest::newRow("VS Code body of the wrong type")
        << "go.json" << QByteArray(R"({"A": {"body": "ok"}, "B": {"body": ["x", 1]}})") << "go.json"
        << "the snippet \"B\" has a body that is a list holding more than text";
    QTest::newRow("a folder inside a language folder")
        << "tree/SQL/deeper/x.sql" << QByteArray("x") << "tree"
        << "is a folder inside";
    QTest::newRow("a file that is not UTF-8")
        << "tree/SQL/latin1.sql" << QByteArray("caf\xe9") << "tree"
        << "is not UTF-8 text";
    QTest::newRow("nothing there") << "a.json" << QByteArray("{}") << "b.json"
                                   << "There is no file or folder";
}

void TransferTest::badFilesChangeNothing() {
    QFETCH(QString, file);
    QFETCH(QByteArray, content);
    QFETCH(QString, given);
    QFETCH(QString, says);
    QDir().mkpath(QFileInfo(path(file)).path());
    writeFile(path(file), content);
    const QByteArray before = contentOf(database_);
    for (const char* option : {"--dry-run", "--json"}) {
        const CliRun run = cli({"import", option, path(given)});
        QCOMPARE(run.status, 1);
        QVERIFY2(QString::fromUtf8(run.err).contains(says), run.err.constData());
        QCOMPARE(run.err.count('\n'), 1);
        QVERIFY(run.out.isEmpty());
    }
    QCOMPARE(contentOf(database_), before);
    QCOMPARE(contentOf(path(file)), content);
}

void TransferTest::failedImportAddsNothing() {
    execSql(database_, "CREATE TRIGGER refuse BEFORE INSERT ON varozidi WHEN NEW.Title = 'three' "
                       "BEGIN SELECT RAISE(ABORT, 'no third'); END");
    writeFile(path("in.json"), R"({"snippets": [
        {"language": "a", "title": "one", "body": ""}, {"language": "a", "title": "two",
        "body": ""}, {"language": "a", "title": "three", "body": ""}]})");
    const CliRun run = cli({"import", path("in.json")});
    QCOMPARE(run.status, 2);
    QVERIFY2(run.err.contains("no third"), run.err.constData());
    QCOMPARE(readRowsAsJson(database_), QJsonArray());
}

void TransferTest::exportNeverReplaces_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("says");
    QTest::newRow("a file there") << QStringList{"export", "@/taken"} << "exists already";
    QTest::newRow("a folder with a file in it")
        << QStringList{"export", "--format", "folder", "@"} << "is not an empty folder";
    QTest::newRow("a file where the tree goes")
        << QStringList{"export", "--format", "folder", "@/taken"} << "is not an empty folder";
    QTest::newRow("no such folder")
        << QStringList{"export", "@/none/out.json"} << "There is no folder";
    QTest::newRow("no such format")
        << QStringList{"export", "--format", "xml", "@/new"} << "There is no export format 'xml'";
}

void TransferTest::exportNeverReplaces() {
    QFETCH(QStringList, args);
    QFETCH(QString, says);
    data_ = collection(path("full/"), kCollection);
    writeFile(path("taken"), "mine");
    const CliRun run = cli(args.replaceInStrings("@", dir_->path()));
    QCOMPARE(run.status, 1);
    QVERIFY2(QString::fromUtf8(run.err).contains(says), run.err.constData());
    QCOMPARE(contentOf(path("taken")), "mine");
    QCOMPARE(QDir(dir_->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"data", "full", "taken"}));
}

void TransferTest::jetText_data() {
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("text");
    QTest::newRow("UTF-16LE") << QByteArray("A\0\x1f\x04", 4) << "AП";
    QTest::newRow("beyond 16 bits") << QByteArray("\x3d\xd8\x00\xde", 4) << "😀";
    QTest::newRow("compressed") << QByteArray("\xff\xfeHi \xe9") << "Hi é";
    QTest::newRow("compressed, switching to UTF-16LE and back")
        << QByteArray("\xff\xfe"
                      "ab\0\x1f\x04\xac\x20\0cd",
                      12)
        << "abП€cd";
    QTest::newRow("the marker alone") << QByteArray("\xff\xfe") << "";
    QTest::newRow("half a character at the end") << QByteArray("A\0B", 3) << "A";
}

void TransferTest::jetText() {
    QFETCH(QByteArray, stored);
    QFETCH(QString, text);
    QCOMPARE(varozidi::transfer::DecodeJetText(stored), text);
}

// The program's own export, read a record at a time: what it keeps exactly, and what it
// refuses whole, after which the same collection takes the next import as if nothing happened.
void TransferTest::streamedExport_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("says");      // on standard error; empty: it is added
    QTest::addColumn<QList<qint64>>("ids"); // the IDs added
    QTest::addColumn<bool>("sameAgain");    // exported again, the file is the same
    const QByteArray good = exportFile(records(3));
    QTest::newRow("IDs at the ends of 64 bits")
        << exportFile({record(std::numeric_limits<qint64>::min()), record(0),
                       record(9007199254740993), record(std::numeric_limits<qint64>::max())})
        << ""
        << QList<qint64>{std::numeric_limits<qint64>::min(), 0, 9007199254740993,
                         std::numeric_limits<qint64>::max()}
        << true;
    QTest::newRow("odd text kept")
        << exportFile(
               {R"({"id": 3, "language": null, "title": "", "body": "a\u0000b\r\n\t\u001f 😀"})",
                "{\"id\": 4, \"language\": \"\", \"title\": \"\xef\xbb\xbfmark\", \"body\": "
                "\"\\\\ \\\"\"}"})
        << "" << QList<qint64>{3, 4} << true;
    QTest::newRow("mark, comments, trailing commas, fields in any order, others passed over")
        << QByteArray("\xef\xbb\xbf// mine\n{\"snippets\": [{\"body\": \"b\", \"x\": [[[{\"id\": "
                      "\"no\"}]]], "
                      "\"title\": null, \"language\": \"Go\", \"id\": 7.0,}, /* next */ "
                      "{\"id\": 8, \"language\": \"Go\", \"title\": \"t\", \"body\": \"\"},], "
                      "\"format\": \"varozidi-snippets\", \"more\": {\"snippets\": 1}}")
        << "" << QList<qint64>{7, 8} << false;
    QByteArrayList thousands = records(9000);
    thousands[4096] = "{\"id\": 4097, \"language\": \"Go\", \"title\": \"long\", \"body\": \"" +
                      QByteArray(3 << 20, 'x') + "\"}";
    QList<qint64> counted(9000);
    std::iota(counted.begin(), counted.end(), 1);
    QTest::newRow("thousands, a long body among them")
        << exportFile(thousands) << "" << counted << true;
    QTest::newRow("an ID twice: numbered in turn")
        << exportFile({record(5), record(5)}) << "" << QList<qint64>{1, 2} << false;
    QTest::newRow("nesting deeper than a stack passed over")
        << "{\"x\": " + QByteArray(200000, '[') + QByteArray(200000, ']') + ", \"snippets\": [" +
               record(1) + "]}"
        << "" << QList<qint64>{1} << false;
    QTest::newRow("cut short") << good.left(good.size() / 2)
                               << "is not valid JSON: the file ends too soon at line 5, column 60"
                               << QList<qint64>{} << false;
    QByteArrayList many = records(3000);
    many.insert(2000, R"({"id": 2001, "language": "Go", "title": 5, "body": ""})");
    QTest::newRow("a bad record among thousands")
        << exportFile(many) << "snippet 2001 has a \"title\" that is a number, not text or null"
        << QList<qint64>{} << false;
    QTest::newRow("an ID past 64 bits")
        << exportFile({record(1), "{\"id\": 9223372036854775808, \"language\": null, "
                                  "\"title\": null, \"body\": null}"})
        << "snippet 2 has an \"id\" that is not a whole number of 64 bits" << QList<qint64>{}
        << false;
    QTest::newRow("a field twice")
        << exportFile({record(1), R"({"id": 2, "language": "a", "title": "b", "title": "c", )"
                                  R"("body": ""})"})
        << "snippet 2 has \"title\" twice" << QList<qint64>{} << false;
    QTest::newRow("a field missing")
        << exportFile({R"({"id": 1, "language": "a", "title": "b"})"})
        << "snippet 1 has a \"body\" that is missing" << QList<qint64>{} << false;
    QTest::newRow("half a surrogate pair")
        << exportFile({record(1, "\\udc00")}) << "holding half of a UTF-16 surrogate pair"
        << QList<qint64>{} << false;
    QTest::newRow("bytes that are not UTF-8")
        << exportFile({record(1, "caf\xe9")})
        << "is not valid JSON: text that is not UTF-8 at line 5" << QList<qint64>{} << false;
    QTest::newRow("a NUL byte after the end")
        << good + QByteArray("\0{}", 3) << "is not valid JSON: a NUL byte at line 10, column 1"
        << QList<qint64>{} << false;
    QTest::newRow("another format, told after the list")
        << "{\"snippets\": [" + record(1) + "], \"format\": \"varozidi-notes\"}"
        << "its format is \"varozidi-notes\"" << QList<qint64>{} << false;
    QTest::newRow("a second list") << "{\"snippets\": [" + record(1) + "], \"snippets\": []}"
                                   << "it has a second \"snippets\"" << QList<qint64>{} << false;
    QTest::newRow("a newer version, told after the list")
        << "{\"snippets\": [" + record(1) + "], \"version\": 2}"
        << "written by a newer version of Varozidi" << QList<qint64>{} << false;
}

void TransferTest::streamedExport() {
    QFETCH(QByteArray, content);
    QFETCH(QString, says);
    QFETCH(QList<qint64>, ids);
    QFETCH(bool, sameAgain);
    writeFile(path("in.json"), content);
    const CliRun dry = cli({"--json", "import", "--dry-run", path("in.json")});
    const CliRun run = cli({"--json", "import", path("in.json")});
    // A dry run tells what the import then does, or refuses as it does.
    QCOMPARE(dry.status, run.status);
    QCOMPARE(dry.out, run.out);
    QList<qint64> added;
    for (const QJsonValue& r : QJsonDocument::fromJson(run.out).array())
        added.append(r["id"].toInteger());
    QList<qint64> stored;
    for (const QJsonValue& r : readRowsAsJson(database_))
        stored.append(r.toObject()["ID"].toInteger());
    std::sort(ids.begin(), ids.end());
    QCOMPARE(stored, ids);
    if (says.isEmpty()) {
        QVERIFY2(run.status == 0, run.err.constData());
        QCOMPARE(added.size(), ids.size());
        if (sameAgain) {
            QCOMPARE(cli({"export", path("again.json")}).status, 0);
            QCOMPARE(contentOf(path("again.json")), content);
        }
        return;
    }
    QCOMPARE(run.status, 1);
    QVERIFY2(QString::fromUtf8(run.err).contains(says), run.err.constData());
    QVERIFY(run.out.isEmpty());
    // Nothing was left behind: the next import is whole and keeps its IDs.
    writeFile(path("next.json"), exportFile(records(2)));
    QCOMPARE(cli({"import", path("next.json")}).status, 0);
    QCOMPARE(readRowsAsJson(database_).size(), 2);
    QCOMPARE(readRowsAsJson(database_)[1].toObject()["ID"].toInteger(), 2);
}

// Numbering goes on after the last ID the collection gave, to the very last one, and an import
// that would need one more adds nothing.
void TransferTest::lastIds_data() {
    QTest::addColumn<qint64>("last");  // the collection's snippet
    QTest::addColumn<int>("adding");   // snippets in the file, numbered 1 on
    QTest::addColumn<qint64>("first"); // the ID the first gets; 0: refused
    const qint64 max = std::numeric_limits<qint64>::max();
    QTest::newRow("room for two") << max - 2 << 2 << max - 1;
    QTest::newRow("room for one less") << max - 2 << 3 << qint64(0);
    QTest::newRow("below zero") << qint64(-7) << 2 << qint64(1);
}

void TransferTest::lastIds() {
    QFETCH(qint64, last);
    QFETCH(int, adding);
    QFETCH(qint64, first);
    data_ = collection(path("full/"), one(QJsonArray{last, "SQL", "mine", "kept"}));
    writeFile(path("in.json"), exportFile(records(adding)));
    const CliRun run = cli({"--json", "import", path("in.json")});
    const QJsonArray rows = readRowsAsJson(data_ + "varozidi.mdb");
    if (first == 0) {
        QCOMPARE(run.status, 2);
        QVERIFY2(run.err.contains("it has no IDs left"), run.err.constData());
        QCOMPARE(rows.size(), 1);
        return;
    }
    QVERIFY2(run.status == 0, run.err.constData());
    QCOMPARE(rows.size(), adding + 1);
    QCOMPARE(QJsonDocument::fromJson(run.out).array()[0].toObject()["id"].toInteger(), first);
}

void TransferTest::importedIndexIsTheTriggersOwn_data() {
    QTest::addColumn<QString>("body"); // over the length kept in pieces
    const QString words = QStringLiteral("for (int i = 0; i < n; ++i) sum += a[i]; ");
    QTest::newRow("ASCII just past the limit") << words.repeated(200).left(8193);
    QTest::newRow("a whole number of pieces") << words.repeated(300).left(9 * 1024);
    QTest::newRow("pieces cut inside characters") << QString(3001, u'€') + words;
    QTest::newRow("four-byte characters") << QString::fromUtf8("😀ж").repeated(1500);
}

// A large import makes the index anew rather than through the triggers; what it made must be
// what the triggers take away again when the rows go, or searches find rows no longer there.
void TransferTest::importedIndexIsTheTriggersOwn() {
    QFETCH(QString, body);
    data_ = collection(path("c/"), one(QJsonArray{1, "Go", "kept", body + "old"}));
    const QString tail = QStringLiteral("needle%1").arg(body.size());
    QByteArrayList list;
    for (int id : {7, 8})
        list.append(QJsonDocument(QJsonObject{{"id", id},
                                              {"language", "Go"},
                                              {"title", "t"},
                                              {"body", body + tail + QString::number(id)}})
                        .toJson(QJsonDocument::Compact));
    writeFile(path("in.json"), exportFile(list));
    QCOMPARE(cli({"import", path("in.json")}).status, 0);
    const CliRun found = cli({"--json", "search", tail + "8"});
    QCOMPARE(QJsonDocument::fromJson(found.out).array().size(), 1);
    for (const char* id : {"1", "2", "3"})
        QCOMPARE(cli({"remove", id}).status, 0);
    sqlite3* db = nullptr;
    sqlite3_open((data_ + "varozidi.mdb").toUtf8().constData(), &db);
    for (const char* index : {"varozidi_search_piece", "varozidi_search_text"}) {
        const QByteArray sql =
            QByteArray("CREATE VIRTUAL TABLE temp.terms USING fts5vocab(main, ") + index +
            ", row); SELECT count(*) FROM temp.terms;";
        int terms = -1;
        QCOMPARE(sqlite3_exec(
                     db, sql.constData(),
                     [](void* out, int, char** values, char**) {
                         *static_cast<int*>(out) = atoi(values[0]);
                         return 0;
                     },
                     &terms, nullptr),
                 SQLITE_OK);
        QCOMPARE(terms, 0);
        sqlite3_exec(db, "DROP TABLE temp.terms", nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
}

// The file may grow by the rows (about 1.3 times their text) but not by their index as well
// (the whole about 3.3 times): the import fails, and leaves the collection as it was,
// triggers and all, for the next import.
void TransferTest::indexWithoutRoomAddsNothing() {
    QRandomGenerator random(7);
    QByteArrayList list;
    qint64 text = 0;
    for (int id = 1; id <= 300; ++id) {
        QString body;
        while (body.size() < (id % 10 == 0 ? 12000 : 3000))
            body += QString::number(random.generate(), 36) + u' ';
        text += body.size();
        list.append(QJsonDocument(QJsonObject{{"id", id},
                                              {"language", "Go"},
                                              {"title", QString::number(id)},
                                              {"body", body}})
                        .toJson(QJsonDocument::Compact));
    }
    writeFile(path("in.json"), exportFile(list));
    const QByteArray before = contentOf(database_);
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &limit), 0);
    limit.rlim_cur = rlim_t(before.size() + text * 2);
    QProcess import;
    import.setChildProcessModifier([limit] { ::setrlimit(RLIMIT_FSIZE, &limit);
});
import.start(VAROZIDI_BINARY_DIR "/varozidi-cli", {"--data-dir", data_, "import", path("in.json")});
QVERIFY(import.waitForFinished(30000));
const QByteArray said = import.readAllStandardError();
QCOMPARE(import.exitCode(), 2);
QVERIFY2(said.contains("Cannot add the snippets") && said.contains("largest size"),
         said.constData());
QCOMPARE(contentOf(database_), before);
QCOMPARE(cli({"import", path("in.json")}).status, 0);
const QByteArray word = list[149].mid(list[149].indexOf("\"body\":\"") + 8, 6);
QVERIFY(QJsonDocument::fromJson(cli({"--json", "search", word}).out).array().size() >= 1);
}

QTEST_GUILESS_MAIN(TransferTest)
#include "tst_transfer.moc"
