// SPDX-License-Identifier: GPL-3.0-or-later
// Every earlier version kept by the database: whoever writes, odd bytes, retention, restore,
// the command line, triggers another program dropped.

#include "TestSupport.h"
#include "data/collection/Collection.h"
#include "data/core/SysUtils.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/files/DataPath.h"
#include "data/store/AdoBackend.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>
#include <sqlite3.h>

using namespace testsupport;
using varozidi::Collection;

namespace {

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// The first row's numbers of a query, in either engine.
QList<qint64> numbers(const QString& database, const QString& sql) {
    QList<qint64> out;
    if (onServer()) {
        varozidi::ado::PgBackend server(database);
        const auto result = server.exec(sql, {}, QStringLiteral("read the test's numbers"));
        for (int c = 0; c < int(sql.section(QStringLiteral(" FROM "), 0, 0).count(u',')) + 1; ++c)
            out.append(result->isNull(0, c) ? 0 : result->int64(0, c));
        return out;
    }
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(database).constData(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &s, nullptr);
    if (sqlite3_step(s) == SQLITE_ROW)
        for (int c = 0; c < sqlite3_column_count(s); ++c)
            out.append(sqlite3_column_int64(s, c));
    sqlite3_finalize(s);
    sqlite3_close(db);
    return out;
}

// A text of about 1 MB, lines numbered; version v has one line of its own.
QByteArray longText(int v) {
    QByteArray text;
    for (int i = 0; i < 23000; ++i)
        text += "line " + QByteArray::number(i) +
                (i == 4000 + v ? " changed in version " + QByteArray::number(v)
                               : QByteArray(" of a long snippet, as code is")) +
                '\n';
    return text;
}

} // namespace

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
    void damagedSettingsKeepTheLimits_data();
    void damagedSettingsKeepTheLimits();
    void restoreKeepsWhatItReplaced();
    void commandLine();
    void triggersPutBack_data();
    void triggersPutBack();
    void exportWithHistory_data();
    void exportWithHistory();
    void badHistoryRefused_data();
    void badHistoryRefused();
    void compaction_data();
    void compaction();
    void compactionInTheBackground();
    void olderTableGainsColumns();
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
    QTest::newRow("other program's TRUNCATE on the server")
        << QStringList() << "TRUNCATE varozidi" << QList<QByteArray>{"removed:first"};
    QTest::newRow("nothing changed")
        << QStringList() << "UPDATE varozidi SET \"Title\" = \"Title\"" << QList<QByteArray>{};
}

void HistoryTest::everyWriterIsKept() {
    QFETCH(QStringList, cli);
    QFETCH(QString, sql);
    QFETCH(QList<QByteArray>, kept);
    if (sql.startsWith("TRUNCATE") && !onServer())
        QSKIP("a file has no TRUNCATE");
    if (!cli.isEmpty())
        QCOMPARE(runCli(cli, "new").status, 0);
    else
        other(sql);
    QCOMPARE(bodies(1), kept);
    QCOMPARE(bodies(2).size(), sql.contains("DELETE") || sql.contains("TRUNCATE") ? 1 : 0);
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
    // An export cannot carry bytes that are no text unchanged: it stops, naming the version.
    const CliRun exported = runCli({"export", "--with-history", home_->root() + "all.json"});
    const bool text = ExactUtf8(bytes).has_value();
    QCOMPARE(exported.status, text ? 0 : 2);
    QVERIFY(text || exported.err.contains("Version " +
                                          QByteArray::number(open()->versions(1).last().version) +
                                          " of snippet 1 has a body that is not UTF-8"));
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

void HistoryTest::damagedSettingsKeepTheLimits_data() {
    QTest::addColumn<QByteArray>("later");
    QTest::newRow("other bytes") << QByteArray::fromHex("00fffe20") + "garbage [[[\n";
    QTest::newRow("cut short") << QByteArray("[HISTORY]\nKeepDa");
    QTest::newRow("broken header") << QByteArray("[HISTORY\nKeepDays=1000\n");
    QTest::newRow("section gone") << QByteArray("[OTHER]\nX=1\n");
    QTest::newRow("cut after one entry") << QByteArray("[HISTORY]\nKeepDays=1000\n");
    QTest::newRow("a NUL inside") << QByteArray("[HISTORY]\nKeepDays=1000\0\nKeepVersions=100\n",
                                                42);
}

// Settings that no longer name the limits keep those the collection had where they keep more
// than the defaults: the file may have been damaged, and a guess would prune.
void HistoryTest::damagedSettingsKeepTheLimits() {
    QFETCH(QByteArray, later);
    const QString file = varozidi::paths::Settings(home_->dataDir());
    writeFile(file, "[HISTORY]\nKeepDays=1000\nKeepVersions=100\n");
    open();
    writeFile(file, later);
    open();
    const QString mark = "1000 days, 100 versions";
    QCOMPARE(numbers(database_, onServer() ? "SELECT count(*) FROM pg_proc WHERE proname = "
                                             "'varozidi_history_keep' AND position('" +
                                                 mark + "' in prosrc) > 0"
                                           : "SELECT count(*) FROM sqlite_master WHERE name = "
                                             "'varozidi_history_update' AND instr(sql, '" +
                                                 mark + "') > 0"),
             QList<qint64>{1});
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

// Every version with its kind, time, texts and body, as the collection keeps it.
QStringList kept(Collection& collection, qint64 id) {
    QStringList out;
    for (const auto& v : collection.versions(id))
        out.append(QStringLiteral("%1 %2 %3 %4 ")
                       .arg(v.kind)
                       .arg(v.changedMs)
                       .arg(v.language.value_or("(null)"), v.title.value_or("(null)")) +
                   QString::fromLatin1(collection.versionBody(id, v.version)->toHex()));
    return out;
}

void HistoryTest::exportWithHistory_data() {
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("filled"); // the collection imported into has a snippet already
    QTest::newRow("JSON into an empty collection") << "json" << false;
    QTest::newRow("JSON after another snippet") << "json" << true;
    QTest::newRow("folder into an empty collection") << "folder" << false;
    QTest::newRow("folder after another snippet") << "folder" << true;
}

void HistoryTest::exportWithHistory() {
    QFETCH(QString, format);
    QFETCH(bool, filled);
    const QString file = home_->root() + "out" + (format == u"json" ? ".json" : "");
    const QString odd = onServer() ? "'\xEF\xBB\xBF\"q\"\t\\'" : "'a' || char(0, 10, 1) || 'b'";
    other("UPDATE varozidi SET \"Body\" = " + odd + " WHERE \"ID\" = 1");
    QCOMPARE(runCli({"edit", "1"}, "new").status, 0);
    other("UPDATE varozidi SET \"Title\" = NULL WHERE \"ID\" = 1");
    QCOMPARE(runCli({"remove", "2"}).status, 0);
    const QStringList before = kept(*open(), 1);
    const QStringList removedBefore = kept(*open(), 2);
    QCOMPARE(before.size(), 3);
    QCOMPARE(runCli({"export", "--format", format, file + "-plain"}).status, 0);
    const CliRun exported = runCli({"export", "--format", format, "--with-history", file});
    QVERIFY2(exported.status == 0, exported.err.constData());
    const QString index = format == u"json" ? QString() : "/.varozidi-history.json";
    // Without the option, nothing of the history.
    if (format == u"json")
        QVERIFY(!contentOf(file + "-plain").contains("\"versions\""));
    else
        QVERIFY(!QFileInfo::exists(file + "-plain" + index));

    other("DELETE FROM varozidi; DELETE FROM varozidi_history");
    if (filled)
        other("INSERT INTO varozidi (\"Language\", \"Title\", \"Body\") VALUES ('Go', 'g', 'x')");
    const CliRun imported = runCli({"import", file});
    QVERIFY2(imported.status == 0, imported.err.constData());
    QVERIFY2(imported.out.contains("with 4 earlier versions and 1 removed snippet"),
             imported.out.constData());
    const auto collection = open();
    const qint64 id = filled ? 4 : 1;
    QCOMPARE(collection->read(id)->bytes, "new");
    QCOMPARE(kept(*collection, id), before);
    const auto removed = collection->removed();
    QCOMPARE(removed.size(), 1);
    QCOMPARE(removed[0].id, filled ? 5 : 2);
    QCOMPARE(kept(*collection, removed[0].id), removedBefore);
    // Exported again, the same file.
    if (!filled) {
        QCOMPARE(runCli({"export", "--format", format, "--with-history", file + "-again"}).status,
                 0);
        QCOMPARE(contentOf(file + "-again" + index), contentOf(file + index));
    }
    // The removed snippet's ID is not given again, and it comes back whole.
    QCOMPARE(runCli({"add", "--language", "C", "--title", "n"}, "n").out.trimmed().toLongLong(),
             filled ? 6 : 3);
    QCOMPARE(runCli({"undelete", QString::number(removed[0].id)}).status, 0);
    QCOMPARE(open()->read(removed[0].id)->bytes, "second");
}

void HistoryTest::badHistoryRefused_data() {
    QTest::addColumn<QByteArray>("versions"); // of snippet 1
    QTest::addColumn<QByteArray>("removed");
    QTest::addColumn<QString>("says");
    const QByteArray good = R"({"kind": "body", "time": "2025-01-31T12:00:00.000Z", )"
                            R"("language": "C", "title": "t", "body": "old"})";
    QTest::newRow("kept") << "[" + good + "]" << QByteArray("[]") << "";
    QTest::newRow("an unknown kind")
        << QByteArray(R"([{"kind": "edit", "time": "2025-01-31T12:00:00Z", "language": null, )"
                      R"("title": null, "body": null}])")
        << QByteArray("[]") << "snippet 1's version 1 has the \"kind\" \"edit\"";
    QTest::newRow("a time without its zone")
        << QByteArray(R"([{"kind": "body", "time": "2025-01-31T12:00:00", "language": null, )"
                      R"("title": null, "body": null}])")
        << QByteArray("[]")
        << "snippet 1's version 1 has the \"time\" \"2025-01-31T12:00:00\", which";
    QTest::newRow("a body missing")
        << "[" + good +
               R"(, {"kind": "title", "time": "2025-01-31T12:00:00Z", "language": )"
               R"(null, "title": null}])"
        << QByteArray("[]") << "snippet 1's version 2 has a \"body\" that is missing";
    QTest::newRow("versions that are no list")
        << QByteArray("{}") << QByteArray("[]") << "snippet 1 has \"versions\" that are an object";
    QTest::newRow("a removed snippet whose latest version is no removal")
        << QByteArray("[]") << R"([{"id": 9, "versions": [)" + good + "]}]"
        << "removed snippet 1 has a latest version of the kind \"body\"";
    QTest::newRow("a removed snippet without versions")
        << QByteArray("[]") << QByteArray(R"([{"id": 9}])") << "removed snippet 1 has no versions";
}

void HistoryTest::badHistoryRefused() {
    QFETCH(QByteArray, versions);
    QFETCH(QByteArray, removed);
    QFETCH(QString, says);
    other("DELETE FROM varozidi; DELETE FROM varozidi_history");
    const QString file = home_->root() + "in.json";
    writeFile(file,
              "{\"format\": \"varozidi-snippets\", \"version\": 1, \"snippets\": [{\"id\": 1, "
              "\"language\": \"C\", \"title\": \"t\", \"body\": \"new\", \"versions\": " +
                  versions + "}], \"removed\": " + removed + "}");
    const CliRun dry = runCli({"import", "--dry-run", file});
    const CliRun run = runCli({"import", file});
    QCOMPARE(dry.status, run.status);
    if (says.isEmpty()) {
        QVERIFY2(run.status == 0, run.err.constData());
        QCOMPARE(bodies(1), QList<QByteArray>{"body:old"});
        return;
    }
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(says.toUtf8()), run.err.constData());
    QVERIFY(!open()->read(1));
    QCOMPARE(open()->versions(1).size(), 0);
}

void HistoryTest::compaction_data() {
    QTest::addColumn<QString>("after");
    QTest::newRow("read back") << "";
    QTest::newRow("pruned") << "prune";
    QTest::newRow("removed, compacted, undeleted") << "undelete";
    QTest::newRow("restored from a backup between") << "restore";
    QTest::newRow("another program's change") << "other";
}

void HistoryTest::compaction() {
    QFETCH(QString, after);
    const auto digest = [](const QList<QByteArray>& kept) {
        QList<QByteArray> out;
        for (const QByteArray& k : kept)
            out.append(k.left(k.indexOf(':')) + ':' +
                       QCryptographicHash::hash(k.mid(k.indexOf(':') + 1), QCryptographicHash::Sha1)
                           .toHex());
        return out;
    };
    QList<QByteArray> expected{"body:first"};
    const auto edit = [&](int v) {
        QCOMPARE(runCli({"edit", "1"}, longText(v)).status, 0);
        if (v > 0)
            expected.append("body:" + longText(v - 1));
    };
    for (int v = 0; v < 4; ++v)
        edit(v);
    // Of the versions of 1 MB, all but the last are packed against the one after: a line's
    // change costs a little.
    QCOMPARE(open()->compactHistory(), 2);
    const QString frames = "SELECT count(\"Delta\"), max(length(\"Delta\")), count(\"Body\") FROM "
                           "varozidi_history";
    const QList<qint64> packed = numbers(database_, frames);
    QCOMPARE(packed[0], 2);
    QVERIFY2(packed[1] < 4096, qPrintable(QString::number(packed[1])));
    QCOMPARE(digest(bodies(1)), digest(expected));

    const QString backup = home_->root() + "backup.mdb";
    if (after == u"prune") {
        writeFile(varozidi::paths::Settings(home_->dataDir()), "[HISTORY]\nKeepVersions=3\n");
        open();
        other("UPDATE varozidi_history SET \"Changed\" = \"Changed\" - 100 * CAST(86400000 AS "
              "BIGINT)");
        edit(4);
        expected = expected.mid(expected.size() - 3);
    } else if (after == u"undelete") {
        QCOMPARE(runCli({"remove", "1"}).status, 0);
        QCOMPARE(open()->compactHistory(), 1);
        QCOMPARE(runCli({"undelete", "1"}).status, 0);
        QCOMPARE(open()->read(1)->bytes, longText(3));
    } else if (after == u"restore") {
        // The backup holds versions the collection has dropped since, and the other way round.
        open()->backupTo(backup);
        writeFile(varozidi::paths::Settings(home_->dataDir()), "[HISTORY]\nKeepVersions=2\n");
        open();
        other("UPDATE varozidi_history SET \"Changed\" = \"Changed\" - 100 * CAST(86400000 AS "
              "BIGINT)");
        edit(4);
        edit(5);
        QCOMPARE(open()->compactHistory(), 1);
        varozidi::whole::Restore(open()->address(), backup, true);
        expected.append("restore:" + longText(5));
        QCOMPARE(open()->read(1)->bytes, longText(3));
    } else if (after == u"other") {
        other("UPDATE varozidi SET \"Body\" = \"Body\" || 'x' WHERE \"ID\" = 1");
        expected.append("body:" + longText(3));
    }
    // A restore puts the versions only its backup had after those the collection kept.
    const auto digests = [&](const QList<QByteArray>& kept) {
        QList<QByteArray> out = digest(kept);
        if (after == u"restore")
            std::sort(out.begin(), out.end());
        return out;
    };
    QCOMPARE(digests(bodies(1)), digests(expected));
    // Another compaction finds each version as it left it; its size is told as before, and an
    // export carries it.
    open()->compactHistory();
    QCOMPARE(digests(bodies(1)), digests(expected));
    QCOMPARE(open()->versions(1).at(1).bodySize, longText(0).size());
    QCOMPARE(runCli({"export", "--with-history", home_->root() + "all.json"}).status, 0);
    QVERIFY(contentOf(home_->root() + "all.json").contains("line 4001 changed in version 1\\n"));
}

void HistoryTest::compactionInTheBackground() {
    // Versions by another program, which knows nothing of compaction: 9,990, then 10,000.
    const auto edits = [this](int first, int count) {
        QString sql = "BEGIN;";
        for (int i = first; i < first + count; ++i)
            sql += QString("UPDATE varozidi SET \"Body\" = '%1 %2' WHERE \"ID\" = %3;")
                       .arg(QString("a line of the snippet, as code is\n").repeated(4))
                       .arg(i)
                       .arg(1 + i % 40);
        other(sql + "COMMIT;");
    };
    const QString packed = "SELECT count(\"Delta\") FROM varozidi_history";
    const auto write = [](Collection& collection) {
        collection.rows().change(
            "UPDATE varozidi SET \"Title\" = \"Title\" || 'x' WHERE \"ID\" = 1", {}, "write");
    };
    // Spread over 40 snippets, as edits are.
    QString more;
    for (int i = 3; i <= 40; ++i)
        more += QString("INSERT INTO varozidi (\"ID\", \"Language\", \"Title\", \"Body\") VALUES "
                        "(%1, 'C', 't', 'b');")
                    .arg(i);
    other(more);
    edits(0, 9989);
    const auto collection = open();
    write(*collection);
    QVERIFY(!collection->compactingHistory());
    QCOMPARE(numbers(database_, packed)[0], 0);
    edits(9989, 10);
    write(*collection);
    QVERIFY(collection->compactingHistory() || numbers(database_, packed)[0] > 0);
    QTRY_VERIFY_WITH_TIMEOUT(!collection->compactingHistory(), 120000);
    QVERIFY2(numbers(database_, packed)[0] > 9800,
             qPrintable(QString::number(numbers(database_, packed)[0])));
    // Every version reads back as written.
    const auto versions = collection->versions(2);
    QCOMPARE(versions.size(), 250);
    for (qsizetype i = 1; i < versions.size(); ++i)
        QCOMPARE(*collection->versionBody(2, versions[i].version),
                 QString("%1 %2")
                     .arg(QString("a line of the snippet, as code is\n").repeated(4))
                     .arg(40 * i - 39)
                     .toUtf8());
}

// A history table of an older program, without compaction's columns and state.
void HistoryTest::olderTableGainsColumns() {
    for (int v = 0; v < 3; ++v)
        other("UPDATE varozidi SET \"Body\" = '" + longText(v) + "' WHERE \"ID\" = 1");
    // As an older program left it: its triggers named none of the newer columns.
    other(onServer()
              ? "DROP TRIGGER varozidi_history_updated ON varozidi; DROP TRIGGER "
                "varozidi_history_deleted ON varozidi"
              : "DROP TRIGGER varozidi_history_update; DROP TRIGGER varozidi_history_delete");
    other(QStringLiteral("ALTER TABLE varozidi_history DROP COLUMN \"Delta\"; ALTER TABLE "
                         "varozidi_history DROP COLUMN \"Size\"; ALTER TABLE varozidi_history DROP "
                         "COLUMN \"Base\"; DROP TABLE varozidi_history_state"));
    const QList<QByteArray> expected{"body:first", "body:" + longText(0), "body:" + longText(1)};
    // Read as it is where nothing may be written, and given them at the next open.
    const auto reading = open(Collection::Access::ReadOnly);
    QCOMPARE(reading->versionBody(1, reading->versions(1)[1].version), longText(0));
    QCOMPARE(open()->compactHistory(), 1);
    QCOMPARE(bodies(1), expected);
}

QTEST_GUILESS_MAIN(HistoryTest)
#include "tst_history.moc"
