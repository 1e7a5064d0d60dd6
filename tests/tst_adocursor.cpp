// SPDX-License-Identifier: GPL-3.0-or-later
// The table cursor on real SQLite files: filters, fields, and what it reads of the rows.

#include "AdoTables.h"
#include "TestSupport.h"

#include "data/engines/sqlite/SqliteCollection.h"

using namespace adotest;
using testsupport::execSql;

class TestAdoCursor : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString path_;

private slots:
    void init() {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        path_ = dir_->filePath(QStringLiteral("varozidi.mdb"));
        testsupport::makeDatabase(path_, kRows);
    }

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
};

QTEST_GUILESS_MAIN(TestAdoCursor)
#include "tst_adocursor.moc"
