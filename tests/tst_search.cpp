// SPDX-License-Identifier: GPL-3.0-or-later
// Full-text search: what it finds and in which order, the index kept in step by every writer
// and repaired when missing or damaged, and the search window driving the main window.

#include "TestSupport.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/postgresql/PgSearch.h"
#include "data/engines/sqlite/SqliteCollection.h"
#include "data/search/SearchIndex.h"
#include "data/store/ADODB.h"
#include "window/SearchWindow.h"
#include "window/Unit1.h"

#include <QLabel>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QTreeWidget>
#include <QtTest>
#include <sqlite3.h>

using namespace testsupport;
using varozidi::search::Find;

namespace {

const QList<Row> kRows{
    {"SQL", "Select all", "SELECT * FROM t;"},
    {"Python", "Greeting", "print('Привет, мир')"},
    {"Greek", "Ωμέγα", "λόγος ΚΑΙ Λόγος"},
    {"C++", "Loop", "int n = 3;\nfor (int i = 0; i < n; ++i) select(i);\nreturn 0;"},
    {"Français", "Crème", "déjà vu ÉTÉ"},
};

// The database open as another program would have it, with its index ensured; or the test
// server, searched as the program searches it.
struct Db {
    sqlite3* handle = nullptr;
    QString path;
    std::unique_ptr<varozidi::ado::PgBackend> server;
    explicit Db(const QString& file) : path(file) {
        if (varozidi::ado::IsServerUri(file))
            server = std::make_unique<varozidi::ado::PgBackend>(file);
        else
            sqlite3_open_v2(path.toUtf8().constData(), &handle, SQLITE_OPEN_READWRITE, nullptr);
    }
    ~Db() { sqlite3_close(handle); }
    varozidi::search::Outcome find(const QString& text, int limit) {
        return server ? varozidi::search::FindOnServer(*server, text, limit)
                      : Find(handle, path, text, limit);
    }
    QList<qint64> ids(const QString& text) {
        QList<qint64> out;
        for (const auto& hit : find(text, 50).hits)
            out.append(hit.id);
        return out;
    }
    QString check() {
        return server ? varozidi::search::CheckServerIndex(*server)
                      : varozidi::search::CheckIndex(handle, path);
    }
};

// Every row checked in turn, as the search's own check decides: the answer an index may
// never narrow.
QList<qint64> readingEveryRow(const QList<Row>& rows, const QString& text) {
    QList<qint64> titles, others;
    for (qint64 id = 1; id <= rows.size(); ++id) {
        const Row& r = rows[id - 1];
        if (varozidi::search::TitleMatch(id, r.language, r.title, text))
            titles.append(id);
        else if (varozidi::search::OtherMatch(id, r.language, r.title, r.body, text))
            others.append(id);
    }
    return titles + others;
}

// Text of count characters drawn from letters, each in a random one of its spellings.
QString drawn(QRandomGenerator& random, const QList<char32_t>& letters, int count) {
    QString text;
    for (int i = 0; i < count; ++i) {
        const char32_t c = letters[random.bounded(int(letters.size()))];
        const char32_t spellings[] = {c, QChar::toUpper(c), QChar::toLower(c),
                                      QChar::toCaseFolded(c), QChar::toTitleCase(c)};
        text += QString::fromUcs4(&spellings[random.bounded(5)], 1);
    }
    return text;
}

// A long body: filler lines of words in the script of word, the text put in at byte offset at
// (or nowhere, below zero).
QString longBody(const QString& word, qsizetype bytes, const QString& text, qsizetype at) {
    QString body;
    for (int line = 0; body.toUtf8().size() < bytes; ++line)
        body += QStringLiteral("%1 %2 %3;\n").arg(word).arg(line % 97).arg(word.toUpper());
    if (at >= 0) {
        const qsizetype where = QString::fromUtf8(body.toUtf8().first(at)).size();
        body.insert(std::min(where, body.size()), text);
    }
    return body;
}

// The database as an older build left it: long bodies in the bodies' index whole.
const char* const kOlderLayout =
    "DROP TRIGGER varozidi_search_insert; DROP TRIGGER varozidi_search_delete; "
    "DROP TRIGGER varozidi_search_update; DROP TABLE varozidi_search_text; "
    "DROP TABLE varozidi_search_piece; DROP VIEW varozidi_search_whole; "
    "DROP VIEW varozidi_search_counting; "
    "CREATE VIRTUAL TABLE varozidi_search_text USING fts5(Language, Body, content='varozidi', "
    "content_rowid='rowid', tokenize='trigram', detail='none', columnsize=0); "
    "INSERT INTO varozidi_search_text (varozidi_search_text) VALUES ('rebuild'); "
    "CREATE TRIGGER varozidi_search_insert AFTER INSERT ON varozidi BEGIN INSERT INTO "
    "varozidi_search_title (rowid, Title) VALUES (new.rowid, new.Title); INSERT INTO "
    "varozidi_search_text (rowid, Language, Body) VALUES (new.rowid, new.Language, new.Body); "
    "END";

// The collection of the suite's engine.
QString collectionIn(const DataHome& home) {
    return onServer() ? serverUri() : home.dataDir() + "varozidi.mdb";
}

} // namespace

class SearchTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { VAROZIDI_REQUIRE_ENGINE(); }
    void findsAndRanks_data();
    void findsAndRanks();
    void showsTheMatchingLine();
    void textAfterANulIsFound_data();
    void textAfterANulIsFound();
    void storedBytesReadAsTheyAre_data();
    void storedBytesReadAsTheyAre();
    void findsWhatReadingEveryRowFinds_data();
    void findsWhatReadingEveryRowFinds();
    void longBodiesFoundInPieces_data();
    void longBodiesFoundInPieces();
    void indexKeptInStep_data();
    void indexKeptInStep();
    void indexRepaired_data();
    void indexRepaired();
    void longIndexBuildTellsHowFar();
    void windowOpensTheChosenMatch_data();
    void windowOpensTheChosenMatch();
};

void SearchTest::findsAndRanks_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<qint64>>("ids");
    QTest::newRow("title first, then body") << "select" << QList<qint64>{1, 4};
    QTest::newRow("inside a word") << "ELE" << QList<qint64>{1, 4};
    QTest::newRow("Cyrillic case") << "ПРИВЕТ" << QList<qint64>{2};
    QTest::newRow("Greek case") << "λόγ" << QList<qint64>{3};
    QTest::newRow("accented Latin case") << "été" << QList<qint64>{5};
    QTest::newRow("language only") << "ython" << QList<qint64>{2};
    QTest::newRow("blanks and symbols") << "i < n" << QList<qint64>{4};
    QTest::newRow("two characters") << "oo" << QList<qint64>{4};
    QTest::newRow("one character, in a title") << "ω" << QList<qint64>{3};
    QTest::newRow("nothing") << "xyz" << QList<qint64>{};
}

void SearchTest::findsAndRanks() {
    QFETCH(QString, text);
    QFETCH(QList<qint64>, ids);
    DataHome home;
    const QString path = collectionIn(home);
    makeDatabase(path, kRows);
    Db db(path);
    QCOMPARE(db.ids(text), ids);
}

void SearchTest::showsTheMatchingLine() {
    DataHome home;
    const QString path = collectionIn(home);
    makeDatabase(path, kRows);
    Db db(path);
    const auto hits = db.find("SELECT(", 10).hits;
    QCOMPARE(hits.size(), 1);
    QCOMPARE(hits.first().line, QString("for (int i = 0; i < n; ++i) select(i);"));
    QCOMPARE(hits.first().line.mid(hits.first().matchStart, hits.first().matchLength),
             QString("select("));
    QVERIFY(!hits.first().inTitle);
}

void SearchTest::textAfterANulIsFound_data() {
    QTest::addColumn<QString>("writer"); // who stores the NUL: at the start, or SQL afterwards
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<qint64>>("ids");
    QTest::newRow("after it") << "start"
                              << "needle" << QList<qint64>{2, 1};
    QTest::newRow("across it") << "start" << QStringLiteral("e\0ne") << QList<qint64>{1};
    QTest::newRow("other case") << "start"
                                << "NEEDLE" << QList<qint64>{2, 1};
    QTest::newRow("two characters") << "start"
                                    << "dl" << QList<qint64>{2, 1};
    QTest::newRow("added by SQL") << "sql"
                                  << "needle" << QList<qint64>{2, 1, 3};
    QTest::newRow("taken away by SQL") << "sql"
                                       << "thread" << QList<qint64>{};
}

void SearchTest::textAfterANulIsFound() {
    QFETCH(QString, writer);
    QFETCH(QString, text);
    QFETCH(QList<qint64>, ids);
    if (onServer())
        QSKIP("A server's text holds no NUL.");
    DataHome home;
    const QString path = collectionIn(home);
    makeDatabase(path, {{"Go", "a", QStringLiteral("before\0needle")},
                        {"Go", QStringLiteral("x\0needle"), "b"},
                        {"Go", "c", "thread"}});
    Db db(path);
    varozidi::search::EnsureIndex(db.handle, path);
    if (writer == "sql")
        execSql(path, "UPDATE varozidi SET Body = 'x' || char(0) || 'needle' WHERE ID = 3");
    QCOMPARE(db.ids(text), ids);
    QCOMPARE(db.check(), QString("ok"));
}

void SearchTest::storedBytesReadAsTheyAre_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<qint64>>("ids");
    QTest::addColumn<QString>("line"); // of the last hit
    QTest::addColumn<int>("at");
    QTest::newRow("behind bad bytes, a NUL, a byte-order mark")
        << "token" << QList<qint64>{1, 2, 3} << QStringLiteral("\uFEFFToken") << 1;
    QTest::newRow("in a number") << "234" << QList<qint64>{4} << "12345" << 1;
    QTest::newRow("a bad byte itself")
        << QStringLiteral("\uFFFD") << QList<qint64>{1, 4} << QStringLiteral("tok\uFFFDen") << 3;
}

// Cells another program stored: BLOBs that are not UTF-8, NULs, a number. Every row is read, as
// a broad search reads them.
void SearchTest::storedBytesReadAsTheyAre() {
    QFETCH(QString, text);
    QFETCH(QList<qint64>, ids);
    QFETCH(QString, line);
    QFETCH(int, at);
    if (onServer())
        QSKIP("A server's text holds neither NULs nor bytes that are not UTF-8.");
    DataHome home;
    const QString path = collectionIn(home);
    makeDatabase(path, {{"Go", "a", "b"}, {"Go", "c", "d"}, {"Go", "e", "f"}, {"Go", "g", "h"}});
    Db db(path);
    varozidi::search::EnsureIndex(db.handle, path);
    execSql(path,
            "UPDATE varozidi SET Title = X'E2746F6B656E', Body = X'746F6BC3656E' WHERE ID = 1;"
            "UPDATE varozidi SET Language = 'Go' || char(0) || 'TOKEN' WHERE ID = 2;"
            "UPDATE varozidi SET Body = CAST(X'EFBBBF546F6B656E' AS TEXT) WHERE ID = 3;"
            "UPDATE varozidi SET Title = 12345, Body = X'746F6BC3656E' WHERE ID = 4");
    const auto hits = db.find(text, 1000).hits;
    QList<qint64> found;
    for (const auto& hit : hits)
        found.append(hit.id);
    QCOMPARE(found, ids);
    QCOMPARE(hits.last().line, line);
    QCOMPARE(hits.last().matchStart, at);
}

void SearchTest::findsWhatReadingEveryRowFinds_data() {
    QTest::addColumn<QString>("letters"); // the script the rows and queries are drawn from
    QTest::newRow("Latin, long s, Kelvin, sharp s") << QStringLiteral("aksſKßẞıİiåÅǅ x\n");
    QTest::newRow("Greek sigmas, micro, theta") << QStringLiteral("σςΣµμΜθϑϴβϐΐ ι");
    QTest::newRow("Georgian") << QStringLiteral("აბგᲐᲑᲒႠႡ ");
    QTest::newRow("Cherokee") << QStringLiteral("ᎠᎡᎢꭰꭱꭲᏸᏰ ");
    QTest::newRow("Cyrillic and Armenian") << QStringLiteral("жЖёЁѐԱաբԲ ");
    QTest::newRow("outside the BMP") << QStringLiteral("𐐀𐐨𐓀𐓘𞤀𞤢😀中 ");
    QTest::newRow("LIKE's own characters") << QStringLiteral("%_\\aA\"");
    QTest::newRow("every script") << QStringLiteral("aſσςµაᲐꭰᎠж𐐀Ա中 \n\r");
}

void SearchTest::findsWhatReadingEveryRowFinds() {
    QFETCH(QString, letters);
    const QList<uint> ucs4 = letters.toUcs4();
    const QList<char32_t> points(ucs4.begin(), ucs4.end());
    QRandomGenerator random(qHash(letters));
    QList<Row> rows;
    for (int i = 0; i < 120; ++i)
        rows.append({drawn(random, points, 1 + random.bounded(3)),
                     drawn(random, points, random.bounded(12)),
                     drawn(random, points, random.bounded(40))});
    QStringList queries;
    for (int i = 0; i < 80; ++i)
        queries.append(drawn(random, points, 1 + random.bounded(5)));
    DataHome home;
    const QString file = home.dataDir() + "varozidi.mdb";
    makeDatabase(file, rows);
    QList<std::shared_ptr<Db>> engines{std::make_shared<Db>(file)};
    varozidi::search::EnsureIndex(engines[0]->handle, file);
    QCOMPARE(engines[0]->check(), QString("ok"));
    if (serverMissing().isEmpty()) {
        makeDatabase(serverUri(), rows);
        engines.append(std::make_shared<Db>(serverUri()));
    } else {
        qInfo("Searched on the file alone: %s", qPrintable(serverMissing()));
    }
    int found = 0;
    for (const QString& text : std::as_const(queries)) {
        const QList<qint64> expected = readingEveryRow(rows, text);
        found += int(expected.size());
        for (const auto& engine : engines) {
            QList<qint64> ids;
            for (const auto& hit : engine->find(text, 1000).hits) {
                ids.append(hit.id);
                // The same line, the match at the same place, as reading the row whole shows.
                const Row& r = rows[hit.id - 1];
                const auto whole =
                    hit.inTitle
                        ? varozidi::search::TitleMatch(hit.id, r.language, r.title, text)
                        : varozidi::search::OtherMatch(hit.id, r.language, r.title, r.body, text);
                QVERIFY(whole && hit.line == whole->line && hit.matchStart == whole->matchStart);
            }
            QVERIFY2(ids == expected,
                     qPrintable(QStringLiteral("\"%1\" on %2")
                                    .arg(text, engine->server ? "the server" : "the file")));
        }
    }
    QVERIFY(found > 0);
}

void SearchTest::longBodiesFoundInPieces_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("then"); // done before the search: by SQL, or "older layout"
    // Six trigrams, each rare: every one of them is asked for.
    const QString seam = QStringLiteral("xy52671z");
    QTest::newRow("across a piece's seam")
        << longBody("alpha", 20000, seam, 5 * 1024 - 4) << seam << "";
    QTest::newRow("just after a seam, in a long line")
        << longBody("alpha", 20000, QString(2000, u'w') + seam, 6 * 1024 + 10 - 2000) << seam << "";
    QTest::newRow("every trigram, never together")
        << longBody("alpha", 20000, "xy52 y526 5267 2671 671z", 3000) << seam << "";
    QTest::newRow("at the very end") << longBody("alpha", 9000, seam, 9000) << seam << "";
    QTest::newRow("other case, characters cut at the seams")
        << longBody(QStringLiteral("привет"), 30000, QStringLiteral("ПРИВЕТ МИР ᲐᲑ"),
                    7 * 1024 - 5)
        << QStringLiteral("привет мир აბ") << "";
    QTest::newRow("longer than a piece's overlap")
        << longBody("alpha", 30000, QString(300, u'q') + seam, 2 * 1024 - 100)
        << QString(200, u'Q') + seam << "";
    QTest::newRow("text after a NUL")
        << longBody("alpha", 20000, QStringLiteral("\0") + seam, 4000) << seam << "";
    QTest::newRow("changed by another program")
        << longBody("alpha", 20000, seam, 4000) << QStringLiteral("zebra")
        << "UPDATE varozidi SET Body = replace(Body, '52671z', 'zebra') WHERE ID = 2";
    QTest::newRow("title changed by another program")
        << longBody("alpha", 20000, seam, 4000) << seam
        << "UPDATE varozidi SET Title = 'renamed' WHERE ID = 2";
    QTest::newRow("older layout, made anew on opening")
        << longBody("alpha", 20000, seam, 12000) << seam << kOlderLayout;
}

// Whatever part of a long body holds the text, search finds it as reading every row does,
// with the same line; and only there.
void SearchTest::longBodiesFoundInPieces() {
    QFETCH(QString, body);
    QFETCH(QString, text);
    QFETCH(QString, then);
    if (onServer())
        QSKIP("The server keeps its trigram index itself.");
    DataHome home;
    const QString path = home.dataDir() + "varozidi.mdb";
    QList<Row> rows{{"Go", "short", "xy5267 52671z"},
                    {"Go", "long", body},
                    {"Go", "other", longBody("beta", 12000, {}, -1)}};
    // Enough rows that the index is asked rather than every row read.
    for (int i = 0; i < 200; ++i)
        rows.append({"Go", QString::number(i), "filler"});
    makeDatabase(path, rows);
    execSql(path, then);
    if (then.contains("replace("))
        rows[1].body.replace("52671z", "zebra");
    TADOConnection connection;
    connection.setConnectionString(connectionStringFor(path));
    connection.Open();
    Db db(path);
    QCOMPARE(db.check(), QString("ok"));
    const auto found = db.find(text, 10);
    QVERIFY(!found.indexFailed);
    QList<qint64> ids;
    for (const auto& hit : found.hits) {
        ids.append(hit.id);
        const Row& r = rows[hit.id - 1];
        const auto whole = varozidi::search::OtherMatch(hit.id, r.language, r.title, r.body, text);
        QVERIFY(whole);
        QCOMPARE(hit.line, whole->line);
        QCOMPARE(hit.matchStart, whole->matchStart);
    }
    QCOMPARE(ids, readingEveryRow(rows, text));
    QCOMPARE(ids.isEmpty(),
             QTest::currentDataTag() == QLatin1String("every trigram, never together"));
}

void SearchTest::indexKeptInStep_data() {
    QTest::addColumn<QString>("writer"); // who writes: the program, or another program's SQL
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QList<qint64>>("found"); // for "zebra" afterwards
    QTest::newRow("program adds") << "add"
                                  << "" << QList<qint64>{6};
    QTest::newRow("program saves") << "save"
                                   << "" << QList<qint64>{1};
    QTest::newRow("program deletes") << "delete"
                                     << "" << QList<qint64>{};
    QTest::newRow("other inserts")
        << "sql"
        << "INSERT INTO varozidi (\"Language\", \"Title\", \"Body\") VALUES ('Go', 'x', 'zebra')"
        << QList<qint64>{6};
    QTest::newRow("other updates")
        << "sql"
        << "UPDATE varozidi SET \"Body\" = 'a zebra' WHERE \"ID\" = 2" << QList<qint64>{2};
    QTest::newRow("other deletes") << "sql"
                                   << "DELETE FROM varozidi WHERE \"ID\" = 3" << QList<qint64>{};
}

void SearchTest::indexKeptInStep() {
    QFETCH(QString, writer);
    QFETCH(QString, sql);
    QFETCH(QList<qint64>, found);
    QList<Row> rows = kRows;
    rows[2].body = "zebra stripes"; // what the delete takes away
    Started s(rows);
    if (writer == "add") {
        s->Edit1->setText("Zebra");
        s->Edit2->setText("New");
        s->Button1Click();
        rows[2].body = "no longer";
        execSql(s.database(), "UPDATE varozidi SET \"Body\" = 'gone' WHERE \"ID\" = 3");
    } else if (writer == "save") {
        execSql(s.database(), "UPDATE varozidi SET \"Body\" = 'gone' WHERE \"ID\" = 3");
        clickRow(s->ListBox1, 0);
        clickRow(s->ListBox2, 0);
        typeText(s.form(), " zebra");
        s->ToolButton5Click();
    } else if (writer == "delete") {
        s->ListBox1->setItemIndex(s->ListBox1->IndexOf("Greek"));
        s->ListVarozidiExecute();
        s->ListBox2->setItemIndex(0);
        s->DeleteSnippitExecute();
    } else {
        execSql(s.database(), "UPDATE varozidi SET \"Body\" = 'gone' WHERE \"ID\" = 3");
        execSql(s.database(), sql);
    }
    Db db(s.database());
    QCOMPARE(db.ids("zebra"), found);
    QCOMPARE(db.check(), QString("ok"));
    QVERIFY(s.dialogs.asked().isEmpty());
}

void SearchTest::indexRepaired_data() {
    QTest::addColumn<QString>("harm"); // done to the index by another program
    QTest::addColumn<bool>("onOpen");  // mended when the program opens the database
    QTest::newRow("never had one") << "DROP TRIGGER varozidi_search_insert; "
                                      "DROP TRIGGER varozidi_search_delete; "
                                      "DROP TRIGGER varozidi_search_update; "
                                      "DROP TABLE varozidi_search_title; "
                                      "DROP TABLE varozidi_search_text"
                                   << true;
    QTest::newRow("one part dropped") << "DROP TABLE varozidi_search_text" << true;
    QTest::newRow("made before rows with a NUL were listed")
        << "DROP INDEX varozidi_search_nul" << true;
    QTest::newRow("damaged") << "UPDATE varozidi_search_text_data SET block = x'ffffffff' "
                                "WHERE id > 10"
                             << false;
}

void SearchTest::indexRepaired() {
    QFETCH(QString, harm);
    QFETCH(bool, onOpen);
    if (onServer())
        QSKIP("The server keeps its trigram index itself; the local file's index is mended here.");
    DataHome home;
    const QString path = home.dataDir() + "varozidi.mdb";
    makeDatabase(path, kRows);
    execSql(path, harm);
    QVERIFY(Db(path).check() != "ok");

    TADOConnection connection;
    connection.setConnectionString(connectionStringFor(path));
    connection.Open();
    Db db(path);
    if (!onOpen) {
        // Found out by a search, which reads every row instead and says so.
        const auto outcome = Find(db.handle, path, "Привет", 10);
        QVERIFY(outcome.indexFailed);
        QCOMPARE(outcome.hits.size(), 1);
        varozidi::search::RebuildIndex(varozidi::sqlite::HandleOf(connection), path);
    }
    QCOMPARE(db.check(), QString("ok"));
    QCOMPARE(db.ids("select"), (QList<qint64>{1, 4}));
}

// Building the index of a large collection tells how far it has come: only while it is slow,
// in steps that only go up, from the start to near the end.
void SearchTest::longIndexBuildTellsHowFar() {
    if (onServer())
        QSKIP("The server builds its trigram index itself.");
    DataHome home;
    const QString path = home.dataDir() + "varozidi.mdb";
    // 18 MB of text, added in one go, as another program would, without the index.
    makeDatabase(path, {});
    execSql(path, "DROP TABLE varozidi_search_text; DROP TRIGGER varozidi_search_insert; "
                  "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) "
                  "INSERT INTO varozidi (Language, Title, Body) "
                  "SELECT 'Text', 't' || i, hex(randomblob(3000)) FROM n");

    TADOConnection connection;
    connection.setConnectionString(connectionStringFor(path));
    QList<int> told; // -1 and -2: told slow, and over
    connection.OnSlowOpen = [&](bool slow) { told << (slow ? -1 : -2); };
    connection.OnSlowProgress = [&](int percent) { told << percent; };
    connection.Open();
    if (told.isEmpty())
        QSKIP("This machine built the index too quickly to call it slow.");
    QVERIFY(told.size() >= 5 && told.first() == -1 && told.last() == -2);
    QVERIFY(std::is_sorted(told.cbegin() + 1, told.cend() - 1));
    QVERIFY(told[1] >= 0 && told[told.size() - 2] >= 90 && told[told.size() - 2] <= 99);
    QCOMPARE(Db(path).check(), QString("ok"));
}

void SearchTest::windowOpensTheChosenMatch_data() {
    QTest::addColumn<bool>("edited");
    QTest::addColumn<int>("answer");
    QTest::newRow("nothing to save") << false << mrOk;
    QTest::newRow("changes saved first") << true << mrYes;
    QTest::newRow("changes dropped") << true << mrNo;
}

void SearchTest::windowOpensTheChosenMatch() {
    QFETCH(bool, edited);
    QFETCH(int, answer);
    Started s(kRows);
    clickRow(s->ListBox1, 0);
    clickRow(s->ListBox2, 0);
    if (edited) {
        typeText(s.form(), "!");
        s.dialogs.answer(answer);
    }
    QTest::keyClick(&s.form(), Qt::Key_F, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(s->Search && s->Search->isVisible());
    QTest::keyClicks(s->Search->Query, "print(");
    QTRY_COMPARE(s->Search->Results->topLevelItemCount(), 1);
    QCOMPARE(s->Search->Results->topLevelItem(0)->text(1), QString("Greeting"));
    QTest::keyClick(s->Search->Query, Qt::Key_Return);

    QCOMPARE(s.dialogs.asked().size(), edited ? 1 : 0); // one question, as for a click
    QCOMPARE(s->SynEdit1->Text(), QString("print('Привет, мир')"));
    QCOMPARE(s->ListBox1->currentItem()->text(), QString("Python"));
    QCOMPARE(s->ListBox2->currentItem()->text(), QString("Greeting"));
    QCOMPARE(s.rows().first().body, answer == mrYes ? "SELECT * FROM t;!" : "SELECT * FROM t;");
    QTest::keyClick(s->Search->Query, Qt::Key_Escape);
    QVERIFY(!s->Search->isVisible());
}

QTEST_MAIN(SearchTest)
#include "tst_search.moc"
