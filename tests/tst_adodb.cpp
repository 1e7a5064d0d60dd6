// SPDX-License-Identifier: GPL-3.0-or-later
// The data layer on real SQLite files: connection, lock file, table cursor and its writes.

#include "TestSupport.h"

#include "data/core/Errors.h"
#include "data/engines/sqlite/LockFile.h"
#include "data/engines/sqlite/SqliteCollection.h"
#include "data/store/ADODB.h"

#include <QtTest>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>

using testsupport::Row;
using testsupport::StoredRow;

using testsupport::connectionStringFor;
using testsupport::execSql;

namespace {

// A fresh database holding count generated rows: Language 'L' || (i % 3), Title 'T' || i and
// a Body of bodySize 'x' followed by i.
void makeGenerated(const QString& path, int count, int bodySize) {
    QVERIFY(QFile::remove(path));
    testsupport::makeDatabase(path, {});
    execSql(path, QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                                 "WHERE i < %1) INSERT INTO varozidi (Language, Title, Body) "
                                 "SELECT 'L' || (i % 3), 'T' || i, printf('%.*c', %2, 'x') || i "
                                 "FROM n WHERE i <= %1")
                      .arg(count)
                      .arg(bodySize));
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

template <class F> QString errorOf(F&& f) {
    try {
        f();
    } catch (const varozidi::Error& e) {
        return e.message();
    }
    return {};
}

QList<int> idsFromHere(TADOTable& table) {
    QList<int> ids;
    for (; !table.Eof(); table.Next())
        ids.append(table.FieldByName(QStringLiteral("ID")).AsInteger());
    return ids;
}

const QList<Row> kRows = {
    {"SQL", "Top 10", "select 1"},
    {"C++", "Hello", "int main"},
    {"SQL", "Joins", "select *"},
    {"Python", "Hi", "print"},
};

QList<StoredRow> storedRows() {
    QList<StoredRow> rows;
    for (int i = 0; i < kRows.size(); ++i)
        rows.append({i + 1, kRows[i].language, kRows[i].title, kRows[i].body});
    return rows;
}

// One connection and one cursor on the snippet table of a database file.
struct Opened {
    explicit Opened(const QString& path, const QString& filter = {}) {
        connection.setConnectionString(connectionStringFor(path));
        table.setConnection(&connection);
        table.setTableName(QStringLiteral("varozidi"));
        table.setFilter(filter);
        table.setFiltered(!filter.isEmpty());
    }
    TField field(const char* name) { return table.FieldByName(QLatin1String(name)); }
    TADOConnection connection;
    TADOTable table;
};

struct Trace {
    QStringList readColumns;
    int bodyRows = 0;
};

int recordReads(void* data, int action, const char*, const char* column, const char*, const char*) {
    if (action == SQLITE_READ && column)
        static_cast<Trace*>(data)->readColumns.append(QString::fromUtf8(column));
    return SQLITE_OK;
}

int countBodyRows(unsigned type, void* data, void* statement, void*) {
    if (type == SQLITE_TRACE_ROW &&
        QByteArray(sqlite3_sql(static_cast<sqlite3_stmt*>(statement))).contains("\"Body\""))
        ++static_cast<Trace*>(data)->bodyRows;
    return 0;
}

} // namespace

class TestAdoDb : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString path_;
    QString lockPath_;

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        path_ = dir_->filePath(QStringLiteral("varozidi.mdb"));
        lockPath_ = dir_->filePath(QStringLiteral("varozidi.ldb"));
        testsupport::makeDatabase(path_, kRows);
    }

    // --- connection

    void missingFileIsAnError() {
        const QString missing = dir_->filePath(QStringLiteral("nothing.mdb"));
        Opened db(missing);
        const QString message = errorOf([&] { db.table.Open(); });
        QVERIFY2(message.contains(QStringLiteral("Could not find file '%1'").arg(missing)),
                 qPrintable(message));
        QVERIFY(!db.connection.Connected());
        QVERIFY(!QFile::exists(missing));
        QVERIFY(!QFile::exists(dir_->filePath(QStringLiteral("nothing.ldb"))));
    }

    void damagedFileIsAnError_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("text") << QByteArray("These are not the snippets you are looking for.\n");
        QByteArray noise(8192, '\0');
        for (int i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 7919 + 13) % 251);
        QTest::newRow("noise") << noise;
        QTest::newRow("damaged header")
            << QByteArray("SQLite format 3") + '\0' + QByteArray(84, '\xff');
    }

    void damagedFileIsAnError() {
        QFETCH(QByteArray, content);
        const QString damaged = dir_->filePath(QStringLiteral("damaged.mdb"));
        writeBytes(damaged, content);

        Opened db(damaged);
        const QString message = errorOf([&] { db.table.Open(); });
        QVERIFY2(message.contains(damaged), qPrintable(message));
        QVERIFY2(message.contains(QStringLiteral("not a database")), qPrintable(message));
        QVERIFY(!db.connection.Connected());
        QVERIFY(!QFile::exists(dir_->filePath(QStringLiteral("damaged.ldb"))));
    }

    void fileNameIgnoresLetterCase() {
        const QString actual = dir_->filePath(QStringLiteral("Snippets.MDB"));
        QVERIFY(QFile::rename(path_, actual));

        Opened db(dir_->filePath(QStringLiteral("snippets.mdb")));
        db.table.Open();
        QCOMPARE(db.connection.Location(), actual);
        QCOMPARE(db.field("Title").AsString(), QStringLiteral("Top 10"));
        QVERIFY(QFile::exists(dir_->filePath(QStringLiteral("Snippets.ldb"))));
        QVERIFY(!QFile::exists(dir_->filePath(QStringLiteral("snippets.mdb"))));
    }

    void connectionString_data() {
        QTest::addColumn<QString>("pattern"); // %1 is the database path
        QTest::addColumn<QString>("problem"); // empty: opens

        QTest::newRow("any letter case, blanks")
            << " provider = microsoft.jet.oledb.4.0 ; DATA SOURCE = %1 "
            << "";
        QTest::newRow("quoted path with semicolon")
            << "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=\"%1\";Mode=Share Deny None"
            << "";
        QTest::newRow("single quotes") << "Data Source='%1';Provider='Microsoft.Jet.OLEDB.4.0'"
                                       << "";
        QTest::newRow("other provider") << "Provider=MSDASQL.1;Data Source=%1;"
                                        << "Provider cannot be found";
        QTest::newRow("no provider") << "Data Source=%1;"
                                     << "Provider";
        QTest::newRow("no data source") << "Provider=Microsoft.JET.OLEDB.4.0;Mode=Read"
                                        << "Data";
        QTest::newRow("unterminated quote") << "Provider=Microsoft.JET.OLEDB.4.0;Data Source=\"%1"
                                            << "closing quote";
    }

    void connectionString() {
        QFETCH(QString, pattern);
        QFETCH(QString, problem);

        QString path = path_;
        if (pattern.contains(u"\"%1") || pattern.contains(u"'%1")) {
            QVERIFY(QDir(dir_->path()).mkdir(QStringLiteral("my;snippets")));
            path = dir_->filePath(QStringLiteral("my;snippets/varozidi.mdb"));
            QVERIFY(QFile::rename(path_, path));
        }
        TADOConnection connection;
        connection.setConnectionString(pattern.contains(u"%1") ? pattern.arg(path) : pattern);
        const QString message = errorOf([&] { connection.Open(); });
        if (problem.isEmpty()) {
            QVERIFY2(message.isEmpty(), qPrintable(message));
            QCOMPARE(connection.Location(), path);
        } else {
            QVERIFY2(message.contains(problem), qPrintable(message));
            QVERIFY(!connection.Connected());
        }
        if (pattern.contains(u"MSDASQL.1"))
            QVERIFY2(message.contains(u"MSDASQL.1"), qPrintable(message));
    }

    void missingTableIsAnError() {
        Opened db(path_);
        db.table.setTableName(QStringLiteral("snippets"));
        const QString message = errorOf([&] { db.table.Open(); });
        QVERIFY2(message.contains(QStringLiteral("'snippets'")), qPrintable(message));
        QVERIFY2(message.contains(path_), qPrintable(message));
        QVERIFY(!db.table.Active());
    }

    void resolveFileName_data() {
        QTest::addColumn<QString>("asked");
        QTest::addColumn<QString>("found");
        QTest::newRow("other case") << "VAROZIDI.MDB"
                                    << "varozidi.mdb";
        QTest::newRow("non-ASCII") << "ÄRGER.TXT"
                                   << "ärger.txt";
        QTest::newRow("exact wins") << "Kzq.txt"
                                    << "Kzq.txt";
        QTest::newRow("nothing matches") << "missing.mdb"
                                         << "missing.mdb";
    }

    void resolveFileName() {
        QFETCH(QString, asked);
        QFETCH(QString, found);
        for (const char* name : {"ärger.txt", "kzq.txt", "Kzq.txt"})
            writeBytes(dir_->filePath(QString::fromUtf8(name)), "x");
        QCOMPARE(ResolveFileName(dir_->filePath(asked)), dir_->filePath(found));
    }

    // --- lock file

    void lockFileLivesWhileOpen() {
        {
            Opened db(path_);
            db.table.Open();
            QVERIFY(LockFile::isHeld(lockPath_));
            struct stat info {};
            QCOMPARE(::stat(QFile::encodeName(lockPath_).constData(), &info), 0);
            QCOMPARE(info.st_mode & 0777, 0600u);
            db.table.Close(); // the connection stays open and keeps its lock
            QVERIFY(LockFile::isHeld(lockPath_));
            db.connection.Close();
            QVERIFY(!QFile::exists(lockPath_));
            db.table.Open();
            QVERIFY(LockFile::isHeld(lockPath_));
        } // destroyed while open
        QVERIFY(!QFile::exists(lockPath_));
    }

    void lockFileKeptWhileAnotherHolds_data() {
        QTest::addColumn<bool>("firstClosesFirst");
        QTest::newRow("first opener closes first") << true;
        QTest::newRow("last opener closes first") << false;
    }

    void lockFileKeptWhileAnotherHolds() {
        QFETCH(bool, firstClosesFirst);
        TADOConnection first;
        TADOConnection second;
        first.setConnectionString(connectionStringFor(path_));
        second.setConnectionString(connectionStringFor(path_));
        first.Open();
        second.Open();

        (firstClosesFirst ? first : second).Close();
        QVERIFY(LockFile::isHeld(lockPath_));
        (firstClosesFirst ? second : first).Close();
        QVERIFY(!QFile::exists(lockPath_));
    }

    void staleLockFileIsNotHeld() {
        // Held by some other program, under another letter case.
        const QString upper = dir_->filePath(QStringLiteral("VAROZIDI.LDB"));
        writeBytes(upper, "crashed\n");
        {
            QFile held(upper);
            QVERIFY(held.open(QIODevice::ReadOnly));
            QCOMPARE(::flock(held.handle(), LOCK_SH), 0);
            QVERIFY(LockFile::isHeld(lockPath_));
        }
        QVERIFY(!LockFile::isHeld(lockPath_));
        QVERIFY(QFile::rename(upper, lockPath_));
        QVERIFY(!LockFile::isHeld(lockPath_));

        TADOConnection connection;
        connection.setConnectionString(connectionStringFor(path_));
        connection.Open(); // takes the stale file over
        QVERIFY(LockFile::isHeld(lockPath_));
        connection.Close();
        QVERIFY(!QFile::exists(lockPath_));
    }

    void lockFileName_data() {
        QTest::addColumn<QString>("database");
        QTest::addColumn<QString>("lock");
        QTest::newRow("dots in name") << "/data/my.snippets.mdb"
                                      << "/data/my.snippets.ldb";
        QTest::newRow("no extension") << "/data/snippets"
                                      << "/data/snippets.ldb";
        QTest::newRow("would be itself") << "/data/odd.LDB"
                                         << "/data/odd.LDB.ldb";
    }

    void lockFileName() {
        QFETCH(QString, database);
        QFETCH(QString, lock);
        QCOMPARE(LockFile::pathFor(database), lock);
    }

    // --- cursor

    void filterChangeRepositions_data() {
        QTest::addColumn<QString>("initialFilter");
        QTest::addColumn<QStringList>("steps"); // "on", "off", "close" or a new filter text
        QTest::addColumn<QList<int>>("ids");    // from the current row on, afterwards

        QTest::newRow("opened") << "" << QStringList{} << QList<int>{2, 3, 4};
        QTest::newRow("opened filtered") << "Language = 'SQL'" << QStringList{} << QList<int>{3};
        QTest::newRow("text, then on")
            << "" << QStringList{"Language = 'SQL'", "on"} << QList<int>{1, 3};
        QTest::newRow("on, then text")
            << "" << QStringList{"on", "Language = 'SQL'"} << QList<int>{1, 3};
        QTest::newRow("text while off changes nothing")
            << "" << QStringList{"Language = 'SQL'"} << QList<int>{2, 3, 4};
        QTest::newRow("text replaced while on")
            << "Language = 'C++'" << QStringList{"ID > '2'"} << QList<int>{3, 4};
        QTest::newRow("same text again")
            << "ID > 1" << QStringList{"ID > 1"} << QList<int>{2, 3, 4};
        QTest::newRow("off") << "Language = 'SQL'" << QStringList{"off"} << QList<int>{1, 2, 3, 4};
        QTest::newRow("survives close")
            << "Language = 'SQL'" << QStringList{"close"} << QList<int>{1, 3};
        QTest::newRow("survives closing the connection")
            << "Language = 'SQL'" << QStringList{"close connection"} << QList<int>{1, 3};
        QTest::newRow("nothing matches") << "Language = 'Perl'" << QStringList{} << QList<int>{};
    }

    void filterChangeRepositions() {
        QFETCH(QString, initialFilter);
        QFETCH(QStringList, steps);
        QFETCH(QList<int>, ids);

        Opened db(path_, initialFilter);
        db.table.Open();
        db.table.Next(); // off the first row
        for (const QString& step : steps) {
            if (step == u"on" || step == u"off") {
                db.table.setFiltered(step == u"on");
            } else if (step.startsWith(u"close")) {
                if (step == u"close")
                    db.table.Close();
                else
                    db.connection.Close();
                QVERIFY(!db.table.Active());
                QCOMPARE(db.table.Filter(), initialFilter);
                QVERIFY(db.table.Filtered());
                db.table.Open();
                QVERIFY(db.connection.Connected());
            } else {
                db.table.setFilter(step);
            }
        }
        QCOMPARE(idsFromHere(db.table), ids);
    }

    void fieldWithoutRowReadsEmpty_data() {
        QTest::addColumn<bool>("emptyTable");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("nexts");

        QTest::newRow("empty table") << true << "" << 0;
        QTest::newRow("nothing matches") << false << "ID = '99'" << 0;
        QTest::newRow("past the last row") << false << "" << 4;
        QTest::newRow("past the last filtered row") << false << "Language = 'SQL'" << 5;
    }

    void fieldWithoutRowReadsEmpty() {
        QFETCH(bool, emptyTable);
        QFETCH(QString, filter);
        QFETCH(int, nexts);

        if (emptyTable)
            makeGenerated(path_, 0, 0);
        Opened db(path_, filter);
        db.table.Open();
        for (int i = 0; i < nexts; ++i)
            db.table.Next();
        QVERIFY(db.table.Eof());
        QCOMPARE(db.field("Body").AsString(), QString());
        QCOMPARE(db.field("ID").AsInteger(), 0);
        QVERIFY(db.field("Language").IsNull());
    }

    void fieldNames_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("declared"); // empty: no such field
        QTest::newRow("upper case") << "TITLE"
                                    << "Title";
        QTest::newRow("lower case key") << "id"
                                        << "ID";
        QTest::newRow("unknown") << "Colour"
                                 << "";
    }

    void fieldNames() {
        QFETCH(QString, name);
        QFETCH(QString, declared);

        Opened db(path_);
        db.table.Open();
        const QString message =
            errorOf([&] { QCOMPARE(db.table.FieldByName(name).FieldName(), declared); });
        if (declared.isEmpty()) {
            QVERIFY2(message.contains(QStringLiteral("Field '%1' not found").arg(name)),
                     qPrintable(message));
            QVERIFY2(message.contains(QStringLiteral("varozidi")), qPrintable(message));
        } else {
            QVERIFY2(message.isEmpty(), qPrintable(message));
        }
    }

    void fieldConversions_data() {
        QTest::addColumn<QString>("stored"); // SQL value of Title in row 1
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("number"); // -1: reading a number fails
        QTest::addColumn<bool>("null");

        QTest::newRow("NULL") << "NULL"
                              << "" << 0 << true;
        QTest::newRow("empty text") << "''"
                                    << "" << 0 << false;
        QTest::newRow("number as text") << "' 42 '"
                                        << " 42 " << 42 << false;
        QTest::newRow("integer value") << "CAST(12 AS INTEGER)"
                                       << "12" << 12 << false;
        QTest::newRow("words") << "'Ärger'"
                               << "Ärger" << -1 << false;
        QTest::newRow("too large") << "'99999999999'"
                                   << "99999999999" << -1 << false;
    }

    void fieldConversions() {
        QFETCH(QString, stored);
        QFETCH(QString, text);
        QFETCH(int, number);
        QFETCH(bool, null);

        execSql(path_, QStringLiteral("UPDATE varozidi SET Title = %1 WHERE ID = 1").arg(stored));
        Opened db(path_);
        db.table.Open();
        const TField title = db.field("Title");
        QCOMPARE(title.AsString(), text);
        QCOMPARE(title.IsNull(), null);
        int got = -1;
        const QString message = errorOf([&] { got = title.AsInteger(); });
        QCOMPARE(got, number);
        if (number < 0)
            QVERIFY2(message.contains(QStringLiteral("'Title'")), qPrintable(message));
    }

    void sequentialReadingAcrossChunks_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("step"); // every step-th row of the table matches
        QTest::newRow("all rows") << "" << 1;
        QTest::newRow("every third row") << "Language = 'L2'" << 3;
    }

    void sequentialReadingAcrossChunks() {
        QFETCH(QString, filter);
        QFETCH(int, step);

        constexpr int kCount = 10000;
        makeGenerated(path_, kCount, 1);
        Opened db(path_, filter);
        db.table.Open();
        QCOMPARE(db.table.RecordCount(), kCount / step);
        int expected = step == 1 ? 1 : 2;
        int seen = 0;
        for (; !db.table.Eof(); db.table.Next(), expected += step, ++seen) {
            const QString n = QString::number(expected);
            QCOMPARE(db.field("ID").AsInteger(), expected);
            QCOMPARE(db.field("Language").AsString(), QStringLiteral("L%1").arg(expected % 3));
            QCOMPARE(db.field("Title").AsString(), u'T' + n);
            if (seen % 997 == 0) // an occasional body among the titles
                QCOMPARE(db.field("Body").AsString(), u'x' + n);
        }
        QCOMPARE(seen, kCount / step);
    }

    void listingReadsNoBodies() {
        Opened db(path_);
        db.connection.Open();
        Trace trace;
        sqlite3_set_authorizer(varozidi::sqlite::HandleOf(db.connection), recordReads, &trace);
        QStringList listed;
        for (const bool filtered : {false, true}) {
            db.table.setFilter(QStringLiteral("Language = 'SQL'"));
            db.table.setFiltered(filtered);
            db.table.Open();
            for (db.table.First(); !db.table.Eof(); db.table.Next())
                listed.append(db.field("Language").AsString() + db.field("Title").AsString());
            db.table.Close();
        }
        QCOMPARE(listed.size(), 6);
        QVERIFY(trace.readColumns.contains(QStringLiteral("Title")));
        QVERIFY2(!trace.readColumns.contains(QStringLiteral("Body")),
                 qPrintable(trace.readColumns.join(u' ')));

        db.table.Open(); // the check above sees a body read when there is one
        QCOMPARE(db.field("Body").AsString(), QStringLiteral("select 1"));
        QVERIFY(trace.readColumns.contains(QStringLiteral("Body")));
        sqlite3_set_authorizer(varozidi::sqlite::HandleOf(db.connection), nullptr, nullptr);
    }

    // A second listing of a language's titles reads them with its rows, in one statement,
    // and still sees what changed in between.
    void relistingReadsTitlesWithTheRows_data() {
        QTest::addColumn<QString>("change");     // by another program, between the listings
        QTest::addColumn<bool>("moveFirstAway"); // through the cursor, before the change
        QTest::addColumn<QString>("expected");   // the second listing
        QTest::addColumn<int>("statements");     // that it runs
        const QString all = QStringLiteral("T2 T5 T8 T11 T14 T17 T20 T23 T26 T29");
        QTest::newRow("unchanged") << "" << false << all << 1;
        QTest::newRow("title changed elsewhere")
            << "UPDATE varozidi SET Title = 'new' WHERE ID = 14" << false
            << QStringLiteral("T2 T5 T8 T11 new T17 T20 T23 T26 T29") << 1;
        QTest::newRow("row deleted elsewhere")
            << "DELETE FROM varozidi WHERE ID = 29" << false
            << QStringLiteral("T2 T5 T8 T11 T14 T17 T20 T23 T26") << 1;
        QTest::newRow("row added elsewhere")
            << "INSERT INTO varozidi (Language, Title) VALUES ('L2', 'added')" << false
            << all + QStringLiteral(" added") << 1;
        // Still shown, as rows written through the cursor are, though the filter no longer
        // finds it.
        QTest::newRow("first row moved out by this cursor") << "" << true << all << 2;
        QTest::newRow("moved out, and retitled elsewhere")
            << "UPDATE varozidi SET Title = 'away' WHERE ID = 2" << true
            << QStringLiteral("away T5 T8 T11 T14 T17 T20 T23 T26 T29") << 2;
    }

    void relistingReadsTitlesWithTheRows() {
        QFETCH(QString, change);
        QFETCH(bool, moveFirstAway);
        QFETCH(QString, expected);
        QFETCH(int, statements);

        makeGenerated(path_, 30, 1);
        Opened db(path_, QStringLiteral("Language = 'L2'"));
        const auto listing = [&db] {
            QStringList titles;
            for (db.table.First(); !db.table.Eof(); db.table.Next())
                titles.append(db.field("Title").AsString());
            return titles.join(u' ');
        };
        db.table.Open();
        QCOMPARE(listing(), QStringLiteral("T2 T5 T8 T11 T14 T17 T20 T23 T26 T29"));
        if (moveFirstAway) {
            db.table.First();
            db.table.Edit();
            db.field("Language").setAsString(QStringLiteral("L0"));
            db.table.Post();
        } else {
            db.table.setFilter(QStringLiteral("Language = 'L2'")); // as each listing sets it
        }
        if (!change.isEmpty())
            execSql(path_, change);
        int ran = 0;
        sqlite3_trace_v2(
            varozidi::sqlite::HandleOf(db.connection), SQLITE_TRACE_STMT,
            [](unsigned, void* count, void*, void*) { return ++*static_cast<int*>(count), 0; },
            &ran);
        if (!moveFirstAway)
            db.table.setFilter(QStringLiteral("Language = 'L2'"));
        QCOMPARE(listing(), expected);
        QCOMPARE(ran, statements);
        sqlite3_trace_v2(varozidi::sqlite::HandleOf(db.connection), 0, nullptr, nullptr);
    }

    void oneBodyLoadsOneRow_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("nexts");
        QTest::newRow("walked to") << "" << 499;
        QTest::newRow("found by title") << "Title = 'T500'" << 0;
    }

    void oneBodyLoadsOneRow() {
        QFETCH(QString, filter);
        QFETCH(int, nexts);

        makeGenerated(path_, 1000, 10000);
        Opened db(path_, filter);
        db.connection.Open();
        Trace trace;
        sqlite3_trace_v2(varozidi::sqlite::HandleOf(db.connection), SQLITE_TRACE_ROW, countBodyRows,
                         &trace);
        db.table.Open();
        for (int i = 0; i < nexts; ++i)
            db.table.Next();
        QCOMPARE(db.field("Body").AsString(), QString(10000, u'x') + QStringLiteral("500"));
        QCOMPARE(trace.bodyRows, 1);
        sqlite3_trace_v2(varozidi::sqlite::HandleOf(db.connection), 0, nullptr, nullptr);
    }

    // --- writes

    void insertGetsNewId_data() {
        QTest::addColumn<QString>("filter");
        QTest::newRow("all rows") << "";
        QTest::newRow("filtered, new row does not match") << "Language = 'SQL'";
    }

    void insertGetsNewId() {
        QFETCH(QString, filter);

        Opened db(path_, filter);
        db.table.Open();
        db.table.Next();
        const int count = db.table.RecordCount();
        db.table.Insert();
        QVERIFY(db.field("ID").IsNull());
        db.field("Language").setAsString(QStringLiteral("Rust"));
        db.field("Title").setAsString(QStringLiteral("New"));
        db.field("Body").setAsString(QStringLiteral("fn main() {}"));
        db.table.Post();

        QCOMPARE(db.table.GetState(), TADOTable::State::dsBrowse);
        QCOMPARE(db.field("ID").AsInteger(), 5);
        QCOMPARE(db.field("Title").AsString(), QStringLiteral("New"));
        QCOMPARE(db.table.RecordCount(), count + 1);
        QList<StoredRow> expected = storedRows();
        expected.append({5, "Rust", "New", "fn main() {}"});
        QCOMPARE(testsupport::readRows(path_), expected);
    }

    void editWritesOnlyThatRow_data() {
        QTest::addColumn<QString>("body");
        QTest::newRow("quotes and SQL") << "it's \"x\"'); DROP TABLE varozidi; --";
        QTest::newRow("non-ASCII") << "Ärger 😀 ß\n\ttab";
        QTest::newRow("empty") << "";
        QTest::newRow("large") << QString(3 * 1024 * 1024, u'q');
    }

    void editWritesOnlyThatRow() {
        QFETCH(QString, body);

        Opened db(path_);
        db.table.Open();
        db.table.Next();
        db.field("Body").AsString(); // a value read before must not survive the write
        db.table.Edit();
        db.field("Body").setAsString(body);
        db.table.Post();

        QCOMPARE(db.field("ID").AsInteger(), 2);
        QCOMPARE(db.field("Body").AsString(), body);
        QList<StoredRow> expected = storedRows();
        expected[1].body = body;
        QCOMPARE(testsupport::readRows(path_), expected);
    }

    void deleteRemovesOnlyCurrentRow_data() {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<int>("nexts");
        QTest::addColumn<int>("deleted");
        QTest::addColumn<QList<int>>("after"); // from the current row on, afterwards

        QTest::newRow("first") << "" << 0 << 1 << QList<int>{2, 3, 4};
        QTest::newRow("middle") << "" << 2 << 3 << QList<int>{4};
        QTest::newRow("last") << "" << 3 << 4 << QList<int>{};
        QTest::newRow("filtered") << "Language = 'SQL'" << 0 << 1 << QList<int>{3};
    }

    void deleteRemovesOnlyCurrentRow() {
        QFETCH(QString, filter);
        QFETCH(int, nexts);
        QFETCH(int, deleted);
        QFETCH(QList<int>, after);

        Opened db(path_, filter);
        db.table.Open();
        const int count = db.table.RecordCount();
        for (int i = 0; i < nexts; ++i)
            db.table.Next();
        db.field("Title").AsString();
        db.table.Delete();

        QCOMPARE(db.table.RecordCount(), count - 1);
        if (!after.isEmpty())
            QCOMPARE(db.field("Title").AsString(), kRows[after.first() - 1].title);
        QCOMPARE(idsFromHere(db.table), after);
        QList<StoredRow> expected = storedRows();
        expected.removeAt(deleted - 1);
        QCOMPARE(testsupport::readRows(path_), expected);
    }

    void refusedWritesChangeNothing_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("problem");
        QTest::newRow("field write while browsing") << "write"
                                                    << "not being edited";
        QTest::newRow("edit past the end") << "edit"
                                           << "no current record";
        QTest::newRow("delete past the end") << "delete"
                                             << "no current record";
        QTest::newRow("cancelled edit") << "cancel edit"
                                        << "";
        QTest::newRow("cancelled insert") << "cancel insert"
                                          << "";
        QTest::newRow("failed post") << "trigger"
                                     << "edits are frozen";
    }

    void refusedWritesChangeNothing() {
        QFETCH(QString, action);
        QFETCH(QString, problem);

        execSql(path_, QStringLiteral("CREATE TRIGGER no_edit BEFORE UPDATE ON varozidi WHEN "
                                      "new.Title = 'frozen' BEGIN "
                                      "SELECT RAISE(ABORT, 'edits are frozen'); END"));
        Opened db(path_);
        db.table.Open();
        db.table.Next();
        if (action == u"edit" || action == u"delete")
            idsFromHere(db.table);
        const QString message = errorOf([&] {
            if (action == u"write") {
                db.field("Title").setAsString(QStringLiteral("x"));
            } else if (action == u"edit") {
                db.table.Edit();
            } else if (action == u"delete") {
                db.table.Delete();
            } else if (action == u"trigger") {
                db.table.Edit();
                db.field("Title").setAsString(QStringLiteral("frozen"));
                db.table.Post();
            } else {
                action == u"cancel edit" ? db.table.Edit() : db.table.Insert();
                db.field("Title").setAsString(QStringLiteral("Changed"));
                db.table.Cancel();
                QCOMPARE(db.field("ID").AsInteger(), 2);
                QCOMPARE(db.field("Title").AsString(), QStringLiteral("Hello"));
            }
        });
        QVERIFY2(message.contains(problem), qPrintable(message));
        QCOMPARE(db.table.GetState(), TADOTable::State::dsBrowse);
        if (action == u"trigger") { // the failed edit is dropped, and no later move posts it
            QVERIFY2(message.contains(path_), qPrintable(message));
            QCOMPARE(db.field("Title").AsString(), QStringLiteral("Hello"));
            execSql(path_, QStringLiteral("DROP TRIGGER no_edit"));
            db.table.First();
            db.table.setFiltered(true);
        }
        QCOMPARE(db.table.RecordCount(), 4);
        QCOMPARE(testsupport::readRows(path_), storedRows());
    }

    void rowDeletedBehindItsBackReadsEmpty() {
        Opened db(path_);
        db.table.Open();
        db.table.Next();
        execSql(path_, QStringLiteral("DELETE FROM varozidi WHERE ID = 2"));
        QCOMPARE(db.field("Body").AsString(), QString());

        db.table.setFilter(QStringLiteral("ID = '2'"));
        db.table.setFiltered(true);
        QVERIFY(db.table.Eof());
        QCOMPARE(db.field("ID").AsInteger(), 0);
    }

    void writeRefreshesOtherCursors() {
        Opened db(path_);
        TADOTable reader;
        reader.setConnection(&db.connection);
        reader.setTableName(QStringLiteral("varozidi"));
        reader.Open();
        db.table.Open();
        QCOMPARE(reader.FieldByName(QStringLiteral("Title")).AsString(), QStringLiteral("Top 10"));

        db.table.Edit();
        db.field("Title").setAsString(QStringLiteral("Top 20"));
        db.table.Post();
        QCOMPARE(reader.FieldByName(QStringLiteral("Title")).AsString(), QStringLiteral("Top 20"));
    }
};

QTEST_GUILESS_MAIN(TestAdoDb)
#include "tst_adodb.moc"
