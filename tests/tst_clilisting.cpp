// SPDX-License-Identifier: GPL-3.0-or-later
// varozidi-cli's list and search, written out as the rows come: the same output as when they
// were gathered first, a reader that goes away or a full disk mid-way, and a collection
// without the search index listed without one.

#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>
#include <sqlite3.h>

using namespace testsupport;

namespace {

const QList<Row> kRows{{"SQL", "Top 10", "SELECT 1;"},
                       {"Python", "Hello", "print('Привет')\n"},
                       {"sql", "Two\nlines 漢字", "SELECT *\r\nFROM a JOIN b;"}};

QJsonObject listed(qint64 id, const QString& language, const QString& title) {
    return {{"id", id}, {"language", language}, {"title", title}};
}

// The companion run by a shell as vz, for pipes and devices QProcess does not give it.
CliRun shell(const QString& script) {
    QStringList prefix;
    for (const QString& arg : cliCollection({"list"}).mid(0, cliCollection({"list"}).size() - 1))
        prefix.append(u'\'' + arg + u'\'');
    QProcess process;
    process.start("/bin/sh",
                  {"-c", QStringLiteral("vz() { '%1' %2 \"$@\"; }\n")
                                 .arg(QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli"),
                                      prefix.join(u' ')) +
                             script});
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput(), process.readAllStandardError()};
}

// How many of the search index's objects the file holds, read with plain SQLite.
int searchObjects(const QString& path) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    sqlite3_open_v2(QFile::encodeName(path).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE name LIKE 'varozidi_search%'",
                       -1, &s, nullptr);
    const int count = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : -1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return count;
}

} // namespace

class CliListingTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DataHome> home_;
    QString database_;

private Q_SLOTS:
    void initTestCase() { VAROZIDI_REQUIRE_ENGINE(); }
    void init() {
        home_.reset();
        home_ = std::make_unique<DataHome>();
        database_ = onServer() ? serverUri() : home_->dataDir() + "varozidi.mdb";
        makeDatabase(database_, kRows);
        // A wide ID, a right-to-left language, a character beyond 16 bits, quotes and a
        // control character.
        execSql(database_, QStringLiteral("INSERT INTO varozidi (\"ID\", \"Language\", \"Title\", "
                                          "\"Body\") VALUES (1000, 'עברית', 'שלום \"q\" \\ 😀 ' || "
                                          "%1(1), 'x = 1' || %1(10) || %1(9) || 'foo = 2')")
                               .arg(onServer() ? "chr" : "char"));
    }
    void sameOutput_data();
    void sameOutput();
    void outputFailsMidway_data();
    void outputFailsMidway();
    void searchOrderOnManyRows_data();
    void searchOrderOnManyRows();
    void listsWithoutTheSearchIndex();
};

void CliListingTest::sameOutput_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("out");
    const QString odd = QString::fromUtf8("שלום \"q\" \\ 😀 ") + QChar(1);
    QTest::newRow("list") << QStringList{"list"}
                          << QString("1     SQL     Top 10\n"
                                     "2     Python  Hello\n"
                                     "3     sql     Two\\nlines 漢字\n"
                                     "1000  עברית   שלום \"q\" \\ 😀 \\x01\n")
                                 .toUtf8();
    QTest::newRow("list of a language, two spellings")
        << QStringList{"list", "--language", "Sql"}
        << QString("1  SQL  Top 10\n3  sql  Two\\nlines 漢字\n").toUtf8();
    QTest::newRow("list of no language") << QStringList{"list", "--language", "Go"} << QByteArray();
    QTest::newRow("list json") << QStringList{"--json", "list"}
                               << QJsonDocument(QJsonArray{listed(1, "SQL", "Top 10"),
                                                           listed(2, "Python", "Hello"),
                                                           listed(3, "sql", "Two\nlines 漢字"),
                                                           listed(1000, "עברית", odd)})
                                      .toJson(QJsonDocument::Compact);
    QTest::newRow("list json of no language")
        << QStringList{"--json", "list", "--language", "Go"} << QByteArray("[]");
    QTest::newRow("search") << QStringList{"search", "o"}
                            << QString("1     SQL     Top 10              Top 10\n"
                                       "2     Python  Hello               Hello\n"
                                       "3     sql     Two\\nlines 漢字       Two\n"
                                       "1000  עברית   שלום \"q\" \\ 😀 \\x01  foo = 2\n")
                                   .toUtf8();
    QJsonObject other = listed(1000, "עברית", odd);
    other.insert("line", "\tfoo = 2");
    QJsonObject third = listed(3, "sql", "Two\nlines 漢字");
    third.insert("line", "Two");
    QTest::newRow("search json") << QStringList{"--json", "search", "o"}
                                 << QJsonDocument(QJsonArray{QJsonObject{{"id", 1},
                                                                         {"language", "SQL"},
                                                                         {"title", "Top 10"},
                                                                         {"line", "Top 10"}},
                                                             QJsonObject{{"id", 2},
                                                                         {"language", "Python"},
                                                                         {"title", "Hello"},
                                                                         {"line", "Hello"}},
                                                             third, other})
                                        .toJson(QJsonDocument::Compact);
}

// Byte for byte what gathering every row first and aligning them gave.
void CliListingTest::sameOutput() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, out);
    const CliRun run = runCli(args);
    QVERIFY2(run.status == 0 && run.err.isEmpty(), run.err.constData());
    QCOMPARE(run.out, args.contains("--json") ? out + '\n' : out);
}

void CliListingTest::outputFailsMidway_data() {
    QTest::addColumn<QString>("script");
    QTest::addColumn<int>("status");
    for (const QString command : {"list", "--json list", "search Title", "--json search Title"}) {
        // Killed by SIGPIPE as any filter is, once the reader is gone.
        QTest::newRow(qPrintable(command + " | head"))
            << "{ vz " + command +
                   "; echo $? > @/status; } | head -c 100 > /dev/null; exit $(cat "
                   "@/status)"
            << 128 + 13;
        QTest::newRow(qPrintable(command + " > /dev/full"))
            << "vz " + command + " > /dev/full" << 2;
    }
}

// Far more than a pipe holds, so that the reader goes while rows are still being read.
void CliListingTest::outputFailsMidway() {
    QFETCH(QString, script);
    QFETCH(int, status);
    execSql(database_, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "20000) INSERT INTO varozidi (\"ID\", \"Language\", \"Title\", \"Body\") "
                       "SELECT 1000 + i, 'Go', 'Title ' || i, 'body' FROM n");
    const CliRun run = shell(script.replace("@/", home_->root()));
    QCOMPARE(run.status, status);
    if (status == 2)
        QVERIFY2(run.err.contains("Cannot write to standard output"), run.err.constData());
}

void CliListingTest::searchOrderOnManyRows_data() {
    QTest::addColumn<int>("titledEvery"); // one row in so many has the text in its title too
    // The title index names few rows: the others are told as the rows are read.
    QTest::newRow("few in titles") << 1000;
    // It names too many: the others wait for the last row, megabytes of them in a file.
    QTest::newRow("many in titles") << 3;
}

// Title matches first, then the others, each in ID order, however they were found.
void CliListingTest::searchOrderOnManyRows() {
    QFETCH(int, titledEvery);
    const int rows = 30000;
    execSql(database_, QString("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                               "WHERE i < %1) INSERT INTO varozidi (\"ID\", \"Language\", "
                               "\"Title\", \"Body\") SELECT 1000 + i, 'Go', CASE WHEN i % %2 = 0 "
                               "THEN 'needle ' ELSE 'hay ' END || i, 'x = 1' || %3(10) || '// a "
                               "needle ' || i || ' %4' FROM n")
                           .arg(rows)
                           .arg(titledEvery)
                           .arg(onServer() ? "chr" : "char")
                           .arg(QString(150, u'w')));
    const CliRun run = runCli({"--json", "search", "needle"});
    QVERIFY2(run.status == 0, run.err.constData());
    QList<qint64> ids;
    for (const QJsonValue hit : QJsonDocument::fromJson(run.out).array())
        ids.append(hit[QStringLiteral("id")].toInteger());
    QList<qint64> expected;
    for (int pass = 0; pass < 2; ++pass)
        for (int i = 1; i <= rows; ++i)
            if ((i % titledEvery == 0) == (pass == 0))
                expected.append(1000 + i);
    QCOMPARE(ids, expected);
}

// As another program leaves it: listing, languages and a body need no search index, and the
// first search makes it.
void CliListingTest::listsWithoutTheSearchIndex() {
    if (onServer())
        QSKIP("a server keeps its trigram index itself");
    for (const char* trigger : {"insert", "delete", "update"})
        execSql(database_, QString("DROP TRIGGER varozidi_search_%1").arg(trigger));
    for (const char* table : {"title", "text", "piece"})
        execSql(database_, QString("DROP TABLE varozidi_search_%1").arg(table));
    for (const char* view : {"whole", "counting"})
        execSql(database_, QString("DROP VIEW varozidi_search_%1").arg(view));
    execSql(database_, "DROP INDEX varozidi_search_nul");
    for (const QStringList& args : {QStringList{"list"}, QStringList{"languages"},
                                    QStringList{"show", "2"}, QStringList{"--json", "list"}}) {
        const CliRun run = runCli(args);
        QVERIFY2(run.status == 0 && !run.out.isEmpty(), run.err.constData());
        QCOMPARE(searchObjects(database_), 0);
    }
    const CliRun found = runCli({"--json", "search", "Hello"});
    QVERIFY2(found.status == 0 && found.out.contains(R"("id":2)"), found.err.constData());
    QVERIFY(searchObjects(database_) > 0);
    QCOMPARE(runCli({"check"}).status, 0);
}

QTEST_GUILESS_MAIN(CliListingTest)
#include "tst_clilisting.moc"
