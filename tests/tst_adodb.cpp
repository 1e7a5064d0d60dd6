// SPDX-License-Identifier: GPL-3.0-or-later
// The data layer on real SQLite files: connection, lock file, and the cursor's writes.

#include "AdoTables.h"
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

using namespace adotest;

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
