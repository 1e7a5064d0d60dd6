// SPDX-License-Identifier: GPL-3.0-or-later
// Every earlier version kept by the database: whoever writes, odd bytes, retention, restore,
// the command line, triggers another program dropped.

#include "TestSupport.h"
#include "data/collection/Collection.h"
#include "data/files/DataPath.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace testsupport;
using varozidi::Collection;

class HistoryTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DataHome> home_;
    QString database_;

    std::unique_ptr<Collection> open(Collection::Access access = Collection::Access::ReadWrite) {
        return Collection::Open(varozidi::CollectionAddress::Of(connectionStringFor(database_)), {},
                                access);
    }
    // Quoted names read alike in both engines' SQL.
    void other(const QString& sql) { execSql(database_, sql); }
    QList<QByteArray> bodies(qint64 id) {
        const auto collection = open();
        QList<QByteArray> out;
        for (const auto& v : collection->versions(id))
            out.append(v.kind.toUtf8() + ':' + collection->versionBody(id, v.version).value());
        return out;
    }

private Q_SLOTS:
    void initTestCase() { VAROZIDI_REQUIRE_ENGINE(); }
    void init() {
        home_.reset();
        home_ = std::make_unique<DataHome>();
        database_ = onServer() ? serverUri() : home_->dataDir() + "varozidi.mdb";
        makeDatabase(database_, {{"SQL", "One", "first"}, {"C", "Two", "second"}});
        open();
    }
    void everyWriterIsKept_data();
    void everyWriterIsKept();
    void oddBytesKept_data();
    void oddBytesKept();
    void retention_data();
    void retention();
    void restoreKeepsWhatItReplaced();
    void commandLine();
    void triggersPutBack_data();
    void triggersPutBack();
};

void HistoryTest::everyWriterIsKept_data() {
    QTest::addColumn<QStringList>("cli");
    QTest::addColumn<QString>("sql");
    QTest::addColumn<QList<QByteArray>>("kept");
    QTest::newRow("edit") << QStringList{"edit", "1"} << QString()
                          << QList<QByteArray>{"body:first"};
    QTest::newRow("remove") << QStringList{"remove", "1"} << QString()
                            << QList<QByteArray>{"removed:first"};
    QTest::newRow("other program's title")
        << QStringList() << "UPDATE varozidi SET \"Title\" = 'Uno' WHERE \"ID\" = 1"
        << QList<QByteArray>{"title:first"};
    QTest::newRow("other program's two changes")
        << QStringList()
        << "UPDATE varozidi SET \"Language\" = 'Go' WHERE \"ID\" = 1; DELETE FROM varozidi"
        << QList<QByteArray>{"language:first", "removed:first"};
    QTest::newRow("nothing changed")
        << QStringList() << "UPDATE varozidi SET \"Title\" = \"Title\"" << QList<QByteArray>{};
}

void HistoryTest::everyWriterIsKept() {
    QFETCH(QStringList, cli);
    QFETCH(QString, sql);
    QFETCH(QList<QByteArray>, kept);
    if (!cli.isEmpty())
        QCOMPARE(runCli(cli, "new").status, 0);
    else
        other(sql);
    QCOMPARE(bodies(1), kept);
    QCOMPARE(bodies(2).size(), sql.contains("DELETE") ? 1 : 0);
}

void HistoryTest::oddBytesKept_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("byte order mark") << "'\xEF\xBB\xBFx'" << QByteArray("\xEF\xBB\xBFx");
    if (onServer())
        return;
    QTest::newRow("NUL") << "'a' || char(0) || 'b'" << QByteArray("a\0b", 3);
    QTest::newRow("bytes, not UTF-8") << "X'FF00FE'" << QByteArray("\xFF\x00\xFE", 3);
}

void HistoryTest::oddBytesKept() {
    QFETCH(QString, value);
    QFETCH(QByteArray, bytes);
    other("UPDATE varozidi SET \"Body\" = " + value + " WHERE \"ID\" = 1");
    QCOMPARE(runCli({"edit", "1"}, "plain").status, 0);
    QCOMPARE(bodies(1).last(), "body:" + bytes);
    const auto shown =
        runCli({"show", "--version", QString::number(open()->versions(1).last().version), "1"});
    QCOMPARE(shown.out, bytes);
}

void HistoryTest::retention_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("later"); // read at the next open; "/" puts a folder there
    QTest::addColumn<int>("agedDays");
    QTest::addColumn<bool>("remove");
    QTest::addColumn<int>("left");
    // Six versions aged, then one more change.
    QTest::newRow("young ones stay") << ""
                                     << "" << 10 << false << 7;
    QTest::newRow("old ones past the last 20 stay") << ""
                                                    << "" << 100 << false << 7;
    QTest::newRow("old ones past the last 3 go") << "KeepVersions=3"
                                                 << "" << 100 << false << 3;
    QTest::newRow("30 days") << "KeepVersions=2\nKeepDays=30"
                             << "" << 40 << false << 2;
    QTest::newRow("60 days keep 40") << "KeepVersions=2\nKeepDays=60"
                                     << "" << 40 << false << 7;
    QTest::newRow("a removal stays") << "KeepVersions=0"
                                     << "" << 100 << true << 1;
    QTest::newRow("unusable numbers") << "KeepVersions=-4\nKeepDays=x"
                                      << "" << 100 << false << 7;
    QTest::newRow("past the largest keeps the most") << "KeepVersions=2\nKeepDays=99999999999"
                                                     << "" << 100 << false << 7;
    QTest::newRow("unreadable settings keep the limits there were") << "KeepVersions=3"
                                                                    << "/" << 100 << false << 3;
    QTest::newRow("a number not understood keeps them too")
        << "KeepVersions=3"
        << "KeepVersions=2.5" << 100 << false << 3;
}

void HistoryTest::retention() {
    QFETCH(QString, settings);
    QFETCH(QString, later);
    QFETCH(int, agedDays);
    QFETCH(bool, remove);
    QFETCH(int, left);
    const QString file = varozidi::paths::Settings(home_->dataDir());
    writeFile(file, ("[HISTORY]\n" + settings).toUtf8());
    open();
    if (later == "/") {
        QVERIFY(QFile::remove(file) && QDir().mkdir(file));
    } else if (!later.isEmpty()) {
        writeFile(file, ("[HISTORY]\n" + later).toUtf8());
    }
    open();
    for (int i = 0; i < 6; ++i)
        other(QString("UPDATE varozidi SET \"Body\" = 'v%1' WHERE \"ID\" = 1").arg(i));
    other(
        QString(
            "UPDATE varozidi_history SET \"Changed\" = \"Changed\" - %1 * CAST(86400000 AS BIGINT)")
            .arg(agedDays));
    other(remove ? "DELETE FROM varozidi WHERE \"ID\" = 1"
                 : "UPDATE varozidi SET \"Body\" = 'last' WHERE \"ID\" = 1");
    const auto kept = bodies(1);
    QCOMPARE(kept.size(), left);
    QCOMPARE(kept.last(), remove ? "removed:v5" : "body:v5");
    // Another snippet's versions are not its to prune.
    QCOMPARE(bodies(2).size(), 0);
}

void HistoryTest::restoreKeepsWhatItReplaced() {
    const QString backup = home_->root() + "backup.mdb";
    other("UPDATE varozidi SET \"Body\" = 'before backup' WHERE \"ID\" = 1");
    open()->backupTo(backup);
    other("UPDATE varozidi SET \"Body\" = 'after backup' WHERE \"ID\" = 1; DELETE FROM "
          "varozidi WHERE \"ID\" = 2; INSERT INTO varozidi (\"Language\", \"Title\", \"Body\") "
          "VALUES ('Go', 'New', 'third')");
    varozidi::whole::Restore(open()->address(), backup, true);
    QCOMPARE(open()->read(1)->bytes, "before backup");
    QCOMPARE(bodies(1),
             (QList<QByteArray>{"body:first", "body:before backup", "restore:after backup"}));
    QCOMPARE(bodies(2), QList<QByteArray>{"removed:second"});
    QCOMPARE(bodies(3), QList<QByteArray>{"restore:third"});
    QVERIFY(open()->removed().size() == 1 && open()->removed()[0].id == 3);
}

void HistoryTest::commandLine() {
    QCOMPARE(runCli({"edit", "1"}, "new").status, 0);
    const auto history = runCli({"--json", "history", "1"});
    QCOMPARE(history.status, 0);
    const QJsonArray versions = QJsonDocument::fromJson(history.out).array();
    QCOMPARE(versions.size(), 1);
    QCOMPARE(versions[0].toObject()["kind"].toString(), "body");
    QCOMPARE(versions[0].toObject()["size"].toInt(), 5);
    const QString v = QString::number(versions[0].toObject()["version"].toInteger());
    QCOMPARE(runCli({"show", "1", "--version", v}).out, "first");
    const auto missing = runCli({"show", "--version=999", "1"});
    QCOMPARE(missing.status, 1);
    QVERIFY(missing.err.contains("There is no version 999 of snippet 1"));
    QCOMPARE(runCli({"history", "77"}).status, 1);
    QCOMPARE(runCli({"remove", "2"}).status, 0);
    QCOMPARE(QJsonDocument::fromJson(runCli({"--json", "removed"}).out)
                 .array()[0]
                 .toObject()["id"]
                 .toInt(),
             2);
    QCOMPARE(runCli({"undelete", "2"}).out, "2\n");
    QCOMPARE(open()->read(2)->bytes, "second");
    QCOMPARE(runCli({"undelete", "2"}).status, 1);
    // Its ID taken meanwhile, it comes back under a new one with its versions.
    QCOMPARE(runCli({"remove", "2"}).status, 0);
    other("INSERT INTO varozidi (\"ID\", \"Language\", \"Title\", \"Body\") VALUES (2, 'x', 'y', "
          "'z')");
    const auto moved = runCli({"undelete", "2"});
    QCOMPARE(moved.status, 0);
    QVERIFY(moved.out.trimmed() != "2");
    QCOMPARE(open()->read(moved.out.trimmed().toLongLong())->bytes, "second");
    QCOMPARE(runCli({"removed"}).out, "");
}

void HistoryTest::triggersPutBack_data() {
    QTest::addColumn<QString>("drop");
    QTest::newRow("triggers") << (onServer() ? "DROP TRIGGER varozidi_history_updated ON varozidi"
                                             : "DROP TRIGGER varozidi_history_update");
    QTest::newRow("table and triggers")
        << (onServer() ? "DROP FUNCTION varozidi_history_keep CASCADE; DROP TABLE varozidi_history"
                       : "DROP TRIGGER varozidi_history_update; DROP TRIGGER "
                         "varozidi_history_delete; DROP TABLE varozidi_history");
}

void HistoryTest::triggersPutBack() {
    QFETCH(QString, drop);
    other(drop);
    // Read-only, nothing is made.
    open(Collection::Access::ReadOnly);
    other("UPDATE varozidi SET \"Body\" = 'unkept' WHERE \"ID\" = 1");
    QCOMPARE(open(Collection::Access::ReadOnly)->versions(1).size(), 0);
    open();
    other("UPDATE varozidi SET \"Body\" = 'kept' WHERE \"ID\" = 1");
    QCOMPARE(bodies(1).last(), "body:unkept");
}

QTEST_GUILESS_MAIN(HistoryTest)
#include "tst_history.moc"
