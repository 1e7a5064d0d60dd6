// SPDX-License-Identifier: GPL-3.0-or-later
// Two machines, each with its own data folder and collection, whose sync folders a real Git
// repository, a copier that behaves as Syncthing does or two real Syncthing instances carry
// between them; varozidi-cli sync on each. Afterwards both hold the same snippets and no text of
// either side is lost.

#include "SyncMachines.h"

#include <QtTest>

using namespace synctest;

class TestSync : public QObject {
    Q_OBJECT

    // One step: "A add Lang/Title body", "B edit Lang/Title body", "A rename Lang/Title New",
    // "B remove Lang/Title", "sync" (both), "meet".
    void step(const QString& text, Machine& a, Machine& b, const std::function<void(bool)>& meet) {
        if (text == u"sync") {
            for (Machine* m : {&a, &b}) {
                const auto r = m->cli({"sync"});
                if (qEnvironmentVariableIsSet("SYNC_DEBUG"))
                    qDebug("%s: %s", qPrintable(m->name), r.out.constData());
                QCOMPARE(r.exitCode, 0);
                m->said += r.out;
                m->last = r.out;
            }
            return;
        }
        if (text == u"meet" || text == u"bodies") { // bodies: the records come later
            meet(text == u"bodies");
            if (qEnvironmentVariableIsSet("SYNC_DEBUG"))
                for (const auto& [k, v] : filesOf(a.folder).asKeyValueRange())
                    qDebug("  %s = %s", qPrintable(k), v.left(60).constData());
            return;
        }
        const QStringList words = text.split(u' ');
        Machine& m = words[0] == u"A" ? a : b;
        const QString op = words[1];
        const QString language = words[2].section(u'/', 0, 0);
        const QString title = words[2].section(u'/', 1);
        const QByteArray rest = words.mid(3).join(u' ').toUtf8();
        const QString id = QString::number(m.idOf(language, title));
        if (op == u"add")
            QCOMPARE(m.cli({"add", "--language", language, "--title", title}, rest).exitCode, 0);
        else if (op == u"edit")
            QCOMPARE(m.cli({"edit", id}, rest).exitCode, 0);
        else if (op == u"remove")
            QCOMPARE(m.cli({"remove", id}).exitCode, 0);
        else if (op == u"removeall") // every snippet of the language, one by one
            for (const QJsonValue& v :
                 QJsonDocument::fromJson(m.cli({"--json", "list", "--language", language}).out)
                     .array())
                QCOMPARE(
                    m.cli({"remove", QString::number(qint64(v[QLatin1String("id")].toDouble()))})
                        .exitCode,
                    0);
        else if (op == u"addmany")
            for (int i = 0; i < rest.toInt(); ++i)
                QCOMPARE(
                    m.cli({"add", "--language", language, "--title", title + QString::number(i)},
                          "x")
                        .exitCode,
                    0);
        else if (op == u"language")
            testsupport::execSql(m.database(),
                                 QStringLiteral("UPDATE varozidi SET Language = '%1' WHERE ID = %2")
                                     .arg(QString::fromUtf8(rest), id));
        else if (op == u"rename")
            testsupport::execSql(m.database(),
                                 QStringLiteral("UPDATE varozidi SET Title = '%1' WHERE ID = %2")
                                     .arg(QString::fromUtf8(rest), id));
        else
            QFAIL(qPrintable(text));
    }

private slots:
    void twoMachines_data() {
        QTest::addColumn<QString>("carrier");
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QStringList>("expected"); // Language/Title=body on both, at the end
        const QStringList carriers = {QStringLiteral("git"), QStringLiteral("syncthing"),
                                      QStringLiteral("real syncthing")};
        struct Case {
            const char* name;
            QStringList steps;
            QStringList expected;
            const char* notBy = ""; // a carrier that ends otherwise, for a reason it gives
        };
        const QList<Case> cases = {
            {"add on both sides",
             {"A add SQL/Top select 1", "B add Go/Main func main", "sync", "meet", "sync"},
             {"Go/Main=func main", "SQL/Top=select 1"}},
            {"edit travels",
             {"A add SQL/Top v1", "sync", "meet", "sync", "B edit SQL/Top v2", "sync", "meet",
              "sync"},
             {"SQL/Top=v2"}},
            {"title here, body there",
             {"A add SQL/Top v1", "sync", "meet", "sync", "A rename SQL/Top Best",
              "B edit SQL/Top v2", "sync", "meet", "sync", "meet", "sync"},
             {"SQL/Best=v2"}},
            {"removal travels",
             {"A add SQL/Top v1", "A add SQL/Keep k", "sync", "meet", "sync", "B remove SQL/Top",
              "sync", "meet", "sync"},
             {"SQL/Keep=k"}},
            {"both edit one snippet",
             {"A add SQL/Top v1", "sync", "meet", "sync", "A edit SQL/Top from a",
              "B edit SQL/Top from b", "sync", "meet", "sync", "meet", "sync"},
             {"SQL/Top=from a|from b", "SQL/Top (conflict*=from a|from b"}},
            {"many removals travel",
             {"A addmany Go/t 12", "A add SQL/Keep k", "sync", "meet", "sync", "B removeall Go/t",
              "sync", "meet", "sync"},
             {"SQL/Keep=k"}},
            {"both rename one snippet",
             {"A add SQL/Top v1", "sync", "meet", "sync", "A rename SQL/Top Atitle",
              "B rename SQL/Top Btitle", "sync", "meet", "sync", "meet", "sync", "meet", "sync"},
             {"SQL/*=v1"}},
            {"a rename and an edit here, an edit there",
             {"A add SQL/Top v1", "sync", "meet", "sync", "A edit SQL/Top from a",
              "A rename SQL/Top Zed", "B edit SQL/Top from b", "sync", "meet", "sync", "meet",
              "sync", "meet", "sync"},
             {"SQL/Zed=from a|from b", "SQL/Zed (conflict*=from a|from b"}},
            {"both move one snippet to another language, a body before its record",
             {"A add SQL/Top v1", "sync", "meet", "sync", "A language SQL/Top Go",
              "B language SQL/Top Rust", "sync", "bodies", "sync", "meet", "sync", "meet", "sync",
              "meet", "sync"},
             {"Go/Top=v1"}},
            // Git keeps the second side of its add/add conflict apart too: a third snippet.
            {"two snippets, one name",
             {"A add SQL/u/v slash", "B add SQL/u:v colon", "sync", "meet", "sync", "meet", "sync",
              "meet", "sync", "meet", "sync"},
             {"SQL/u/v=slash", "SQL/u:v=colon"},
             "git"},
            {"every snippet removed there",
             {"A add SQL/Top v1", "sync", "meet", "sync", "A remove SQL/Top", "sync", "meet",
              "sync", "B add SQL/Top v2", "sync", "meet", "sync", "meet", "sync"},
             {"SQL/Top=v2"}},
            // Git merges the two files into one with its markers: not yet told apart.
            {"a rename here onto a name just added there",
             {"A add SQL/orig old", "sync", "meet", "sync", "B rename SQL/orig Same",
              "A add SQL/Same new", "sync", "meet", "sync", "meet", "sync", "meet", "sync"},
             {"SQL/Same=old", "SQL/Same=new"},
             "git"},
            {"renamed there and back here",
             {"A add SQL/Top v1", "sync", "meet", "sync", "B rename SQL/Top Best", "sync", "meet",
              "sync", "A rename SQL/Best Top", "sync", "meet", "sync", "meet", "sync"},
             {"SQL/Top=v1"}},
            {"a body before its record",
             {"A add SQL/a/b x", "sync", "bodies", "sync", "meet", "sync", "meet", "sync"},
             {"SQL/a/b=x"}},
            {"remove against edit",
             {"A add SQL/Top v1", "sync", "meet", "sync", "A remove SQL/Top", "B edit SQL/Top v2",
              "sync", "meet", "sync", "meet", "sync"},
             {"SQL/Top=v2"}},
        };
        for (const QString& carrier : carriers)
            for (const Case& c : cases)
                if (carrier != QLatin1String(c.notBy))
                    QTest::newRow(
                        qPrintable(carrier + QStringLiteral(": ") + QLatin1String(c.name)))
                        << carrier << c.steps << c.expected;
    }

    void twoMachines() {
        QFETCH(QString, carrier);
        QFETCH(QStringList, steps);
        QFETCH(QStringList, expected);

        Machine a(QStringLiteral("A")), b(QStringLiteral("B"));
        QTemporaryDir remote;
        SyncthingLike copier;
        std::optional<RealSyncthing> real;
        std::function<void(bool)> meet;
        if (carrier == u"real syncthing") {
            if (QStandardPaths::findExecutable(QStringLiteral("syncthing")).isEmpty())
                QSKIP("syncthing is not installed (scripts/install-deps installs it)");
            real.emplace(a, b); // it makes each folder, holding only its .stfolder
            if (QTest::currentTestFailed())
                return;
            meet = [&](bool) { real->meet(); };
        } else if (carrier == u"git") {
            QCOMPARE(a.run("git", {"init", "-q", "--bare", "-b", "main", remote.path()}).exitCode,
                     0);
            QCOMPARE(a.run("git", {"clone", "-q", remote.path(), a.folder}).exitCode, 0);
            a.git({"commit", "-qm", "start", "--allow-empty"});
            QCOMPARE(a.git({"push", "-q", "origin", "HEAD:main"}).exitCode, 0);
            QCOMPARE(b.run("git", {"clone", "-q", remote.path(), b.folder}).exitCode, 0);
            meet = [&](bool) { meetByGit(a, b); };
        } else {
            meet = [&](bool bodiesOnly) { copier.meet(a, b, bodiesOnly); };
        }
        for (Machine* m : {&a, &b})
            QCOMPARE(m->cli({"sync", "--folder", m->folder}).exitCode, 0);
        for (const QString& s : steps) {
            step(s, a, b, meet);
            if (QTest::currentTestFailed())
                return;
        }
        const Snippets onA = a.snippets();
        QCOMPARE(onA, b.snippets());
        QCOMPARE(onA.size(), expected.size());
        for (const QString& want : expected) {
            const QString name = want.section(u'=', 0, 0);
            const QStringList bodies = want.section(u'=', 1).split(u'|');
            bool found = false;
            for (auto it = onA.cbegin(); it != onA.cend(); ++it)
                found = found || ((name.endsWith(u'*') ? it.key().startsWith(name.chopped(1))
                                                       : it.key() == name) &&
                                  bodies.contains(QString::fromUtf8(it.value())));
            QVERIFY2(found, qPrintable(want + QStringLiteral(" in ") +
                                       QStringList(onA.keys()).join(QStringLiteral(", "))));
        }
        // No record says removed of a snippet whose file is there, unless another's it is now.
        for (Machine* m : {&a, &b}) {
            QSet<QString> live, removed;
            for (const auto& [name, bytes] : filesOf(m->folder).asKeyValueRange())
                if (const QJsonObject record = QJsonDocument::fromJson(bytes).object();
                    name.startsWith(u".varozidi-sync/"))
                    (record[QLatin1String("removed")].toBool() ? removed : live)
                        .insert(record[QLatin1String("file")].toString());
            for (const QString& file : std::as_const(removed))
                QVERIFY2(live.contains(file) || !QFile::exists(m->folder + u'/' + file),
                         qPrintable(m->name + u' ' + file));
        }
        // Nothing is left waiting for good.
        for (Machine* m : {&a, &b})
            QVERIFY2(!m->last.contains("without its body"), m->last.constData());
        // Each machine says where the other text of a conflict went.
        if (expected.filter(QStringLiteral("(conflict")).size() > 0)
            for (Machine* m : {&a, &b})
                QVERIFY2(m->said.contains("conflict: "), qPrintable(m->name));
        // Both texts of a conflict are kept, one each.
        if (expected.size() == 2 && expected[0].contains(u'|')) {
            QStringList texts;
            for (const QByteArray& v : onA.values())
                texts.append(QString::fromUtf8(v));
            QVERIFY(texts.contains(u"from a") && texts.contains(u"from b"));
        }
    }

    // One machine, a folder handled as people and programs handle one: each row puts
    // something into the folder (or takes it away), then syncs.
    void oddFolders_data() {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("status");           // of the sync afterwards
        QTest::addColumn<QStringList>("expected"); // Language/Title=body, all there are
        QTest::newRow("a file made by hand")
            << "hand" << 0 << QStringList{"SQL/Top=v1", "SQL/new=select 9"};
        QTest::newRow("a body edited in place") << "edited" << 0 << QStringList{"SQL/Top=v10"};
        QTest::newRow("a file just carried, without its record")
            << "carried" << 0 << QStringList{"SQL/Top=v1"};
        QTest::newRow("a name that is not UTF-8") << "latin1" << 0 << QStringList{"SQL/Top=v1"};
        QTest::newRow("files on their way") << "partial" << 0 << QStringList{"SQL/Top=v1"};
        QTest::newRow("Git's markers in a new file")
            << "markers" << 0 << QStringList{"SQL/Top=v1", "SQL/m=ours", "SQL/m (conflict)=theirs"};
        QTest::newRow("emptied folder") << "emptied" << 2 << QStringList{"SQL/Top=v1"};
        QTest::newRow("folder gone (disk not mounted)") << "gone" << 2 << QStringList{"SQL/Top=v1"};
        QTest::newRow("checkout of an older commit")
            << "checkout" << 0 << QStringList{"SQL/Top=v1"};
        QTest::newRow("records gone (a .gitignore)") << "records" << 2 << QStringList{"SQL/Top=v1"};
        QTest::newRow("every body emptied (placeholders)")
            << "emptiedBodies" << 2 << QStringList{"SQL/Top=v1", "SQL/Two=v2"};
        QTest::newRow("a body that is not UTF-8") << "latin1body" << 0 << QStringList{"SQL/Top=v1"};
        QTest::newRow("a record removed by hand") << "norecord" << 0 << QStringList{"SQL/Top=v1"};
        QTest::newRow("a pipe in place of a body") << "fifo" << 0 << QStringList{"SQL/Top=v1"};
        QTest::newRow("a title made NULL by another program")
            << "nulltitle" << 0 << QStringList{"SQL/=v1"};
        QTest::newRow("a pass cut short before a record")
            << "cutshort" << 0 << QStringList{"SQL/New=n1", "SQL/Top=v1"};
        QTest::newRow("a rename cut short before its record")
            << "cutrename" << 0 << QStringList{"SQL/Best=v1"};
        QTest::newRow("a link in place of a language folder")
            << "link" << 0 << QStringList{"Notes/keep=a note", "SQL/Top=v1"};
        QTest::newRow("written in place, size and time kept")
            << "inplace" << 0 << QStringList{"SQL/Top=v2", "SQL/Top (conflict*=v9"};
        QTest::newRow("written in place, size and time kept, nothing else")
            << "inplacequiet" << 0 << QStringList{"SQL/Top=v9"};
        QTest::newRow("a record edited in place") << "record" << 0 << QStringList{"SQL/Best=v1"};
        QTest::newRow("the folder chosen again through a link")
            << "relinked" << 0 << QStringList{"SQL/Top=v2"};
        QTest::newRow("another collection copied over it, as many writes")
            << "copiedover" << 0 << QStringList{"SQL/Top=v2"};
        QTest::newRow("only the collection changed: an add and a rename")
            << "rowsonly" << 0 << QStringList{"SQL/Best=v1", "SQL/Best (2)=n1"};
        QTest::newRow("only the collection changed: a removal")
            << "rowremoved" << 0 << QStringList{};
        QTest::newRow("a file taken in by hand before its record came")
            << "twin" << 0 << QStringList{"SQL/Far/away=far", "SQL/Top=v1"};
    }

    void oddFolders() {
        QFETCH(QString, what);
        QFETCH(int, status);
        QFETCH(QStringList, expected);

        Machine m(QStringLiteral("A"));
        QByteArray latin1; // a name QTemporaryDir cannot remove
        const auto removed = qScopeGuard([&latin1] {
            if (!latin1.isEmpty())
                ::unlink(latin1.constData());
        });
        QCOMPARE(m.cli({"add", "--language", "SQL", "--title", "Top"}, "v1").exitCode, 0);
        QVERIFY(QDir().mkpath(m.folder));
        QCOMPARE(m.run("git", {"init", "-q", m.folder}).exitCode, 0);
        QCOMPARE(m.cli({"sync", "--folder", m.folder}).exitCode, 0);
        QCOMPARE(m.cli({"sync"}).exitCode, 0); // in step: the next pass may find it quiet
        const QString sql = m.folder + QStringLiteral("/SQL/");
        if (what == u"hand") {
            testsupport::writeFile(sql + "new.sql", "select 9");
        } else if (what == u"relinked") { // the same folder chosen again through a link
            testsupport::writeFile(sql + "Top.sql", "v2");
            const QString link = m.folder + QStringLiteral("-link");
            QVERIFY(QFile::link(m.folder, link));
            QCOMPARE(m.cli({"sync", "--folder", link}).exitCode, 0);
        } else if (what == u"edited") { // in place: the same file, its folder untouched
            QFile file(sql + "Top.sql");
            QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate) && file.write("v10"));
        } else if (what == u"carried") { // with the time it had elsewhere, its record to come
            testsupport::writeFile(sql + "Far.sql", "far");
            QFile file(sql + "Far.sql");
            QVERIFY(file.open(QIODevice::ReadWrite) &&
                    file.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                     QFileDevice::FileModificationTime));
        } else if (what == u"latin1") {
            latin1 = QFile::encodeName(sql) + "caf\xe9.sql";
            QVERIFY(::close(::open(latin1.constData(), O_CREAT | O_WRONLY, 0600)) == 0);
        } else if (what == u"partial") {
            testsupport::writeFile(sql + ".syncthing.half.sql.tmp", "sel");
            testsupport::writeFile(sql + "half.sql.part", "sel");
            testsupport::writeFile(sql + "~syncthing~half.sql.tmp", "sel");
        } else if (what == u"markers") {
            testsupport::writeFile(sql + "m.sql",
                                   "<<<<<<< HEAD\nours\n=======\ntheirs\n>>>>>>> x\n");
        } else if (what == u"emptied") {
            QVERIFY(QDir(sql).removeRecursively());
            QVERIFY(QDir(m.folder + "/.varozidi-sync").removeRecursively());
        } else if (what == u"gone") {
            QVERIFY(QDir().rename(m.folder, m.folder + ".away"));
        } else if (what == u"emptiedBodies") {
            QCOMPARE(m.cli({"add", "--language", "SQL", "--title", "Two"}, "v2").exitCode, 0);
            QCOMPARE(m.cli({"sync"}).exitCode, 0);
            testsupport::writeFile(sql + "Top.sql", "");
            testsupport::writeFile(sql + "Two.sql", "");
        } else if (what == u"cutshort") { // its body written, its record not yet
            QCOMPARE(m.cli({"add", "--language", "SQL", "--title", "New"}, "n1").exitCode, 0);
            testsupport::writeFile(sql + "New.sql", "n1");
        } else if (what == u"cutrename") { // the renamed file written, its record not yet
            testsupport::execSql(m.database(),
                                 QStringLiteral("UPDATE varozidi SET Title = 'Best'"));
            testsupport::writeFile(sql + "Best.sql", "v1");
            QVERIFY(QFile::remove(sql + "Top.sql"));
        } else if (what == u"latin1body") {
            testsupport::writeFile(sql + "latin.sql", "caf\xe9");
        } else if (what == u"records") {
            QVERIFY(QDir(m.folder + "/.varozidi-sync").removeRecursively());
        } else if (what == u"link") {
            QTemporaryDir outside;
            testsupport::writeFile(outside.filePath("keep.txt"), "precious");
            QVERIFY(QFile::link(outside.path(), m.folder + "/Notes"));
            QCOMPARE(m.cli({"add", "--language", "Notes", "--title", "keep"}, "a note").exitCode,
                     0);
            QCOMPARE(m.cli({"sync"}).exitCode, 0);
            QFile kept(outside.filePath("keep.txt"));
            QVERIFY(kept.open(QIODevice::ReadOnly));
            QCOMPARE(kept.readAll(), QByteArray("precious"));
            QVERIFY(QFile::remove(m.folder + "/Notes"));
        } else if (what == u"inplace") {
            const QString file = sql + "Top.sql";
            const QDateTime time = QFileInfo(file).lastModified();
            testsupport::writeFile(file, "v9");
            QFile touched(file);
            QVERIFY(touched.open(QIODevice::ReadWrite) &&
                    touched.setFileTime(time, QFileDevice::FileModificationTime));
            touched.close();
            QCOMPARE(m.cli({"edit", QString::number(m.idOf("SQL", "Top"))}, "v2").exitCode, 0);
        } else if (what == u"rowsonly") { // the new one takes the name the other goes to
            QCOMPARE(m.cli({"add", "--language", "SQL", "--title", "Best (2)"}, "n1").exitCode, 0);
            testsupport::execSql(m.database(),
                                 QStringLiteral("UPDATE varozidi SET Title = 'Best' WHERE "
                                                "Title = 'Top'"));
        } else if (what == u"norecord") {
            QVERIFY(QDir(m.folder + "/.varozidi-sync").removeRecursively());
            QVERIFY(QDir().mkdir(m.folder + "/.varozidi-sync"));
        } else if (what == u"fifo") {
            QVERIFY(QFile::remove(sql + "Top.sql"));
            QCOMPARE(::mkfifo(QFile::encodeName(sql + "Top.sql").constData(), 0600), 0);
        } else if (what == u"nulltitle") {
            testsupport::execSql(m.database(), QStringLiteral("UPDATE varozidi SET Title = NULL"));
        } else if (what == u"rowremoved") {
            QCOMPARE(m.cli({"remove", QString::number(m.idOf("SQL", "Top"))}).exitCode, 0);
        } else if (what == u"inplacequiet") {
            const QByteArray file = QFile::encodeName(sql + "Top.sql");
            struct stat was {};
            QVERIFY(::stat(file.constData(), &was) == 0);
            testsupport::writeFile(QFile::decodeName(file), "v9");
            const struct timespec times[2] = {was.st_atim, was.st_mtim}; // to the nanosecond
            QVERIFY(::utimensat(AT_FDCWD, file.constData(), times, 0) == 0);
        } else if (what == u"record") { // an editor that writes in place
            const QString path = m.folder + "/.varozidi-sync/" +
                                 QDir(m.folder + "/.varozidi-sync").entryList(QDir::Files)[0];
            QFile record(path);
            QVERIFY(record.open(QIODevice::ReadWrite));
            const QByteArray edited = record.readAll().replace("\"Top\"", "\"Best\"");
            QVERIFY(record.seek(0) && record.write(edited) == edited.size());
        } else if (what == u"copiedover") { // the same count of writes, another text
            const QString db = m.database();
            const QString before = db + ".before", after = db + ".after";
            QVERIFY(QFile::copy(db, before));
            QCOMPARE(m.cli({"edit", QString::number(m.idOf("SQL", "Top"))}, "v2").exitCode, 0);
            QVERIFY(QFile::copy(db, after));
            const auto overwrite = [&db](const QString& from) {
                QFile in(from), out(db);
                return in.open(QIODevice::ReadOnly) && out.open(QIODevice::ReadWrite) &&
                       out.write(in.readAll()) == in.size();
            };
            QVERIFY(overwrite(before));
            QCOMPARE(m.cli({"edit", QString::number(m.idOf("SQL", "Top"))}, "v3").exitCode, 0);
            QCOMPARE(m.cli({"sync"}).exitCode, 0);
            QCOMPARE(m.cli({"sync"}).exitCode, 0);
            QVERIFY(overwrite(after));
        } else if (what == u"twin") { // taken in as made by hand; then the record comes
            testsupport::writeFile(sql + "Far.sql", "far");
            QFile file(sql + "Far.sql");
            QVERIFY(file.open(QIODevice::ReadWrite) &&
                    file.setFileTime(QDateTime::currentDateTime().addDays(-1),
                                     QFileDevice::FileModificationTime));
            QTest::qWait(3200);
            QCOMPARE(m.cli({"sync"}).exitCode, 0);
            QString hash; // the other machine wrote the same text
            for (const QByteArray& bytes : filesOf(m.folder))
                if (const QJsonObject r = QJsonDocument::fromJson(bytes).object();
                    r[QLatin1String("file")].toString() == u"SQL/Far.sql")
                    hash = r[QLatin1String("hash")].toString();
            QVERIFY(!hash.isEmpty());
            testsupport::writeFile(
                m.folder + "/.varozidi-sync/ffffffffffffffffffffffffffffffff.json",
                QStringLiteral(R"({"uid": "ffffffffffffffffffffffffffffffff", "language": "SQL",
                    "title": "Far/away", "file": "SQL/Far.sql", "hash": "%1"})")
                    .arg(hash)
                    .toUtf8());
        } else if (what == u"checkout") {
            m.git({"add", "-A"});
            m.git({"commit", "-qm", "v1"});
            const QString id = QString::number(m.idOf("SQL", "Top"));
            QCOMPARE(m.cli({"edit", id}, "v2").exitCode, 0);
            testsupport::execSql(m.database(),
                                 QStringLiteral("UPDATE varozidi SET Title = 'Best' WHERE ID = ") +
                                     id);
            QCOMPARE(m.cli({"sync"}).exitCode, 0);
            m.git({"add", "-A"});
            m.git({"commit", "-qm", "v2"});
            QCOMPARE(m.git({"checkout", "-q", "HEAD~1"}).exitCode, 0);
        }
        QCOMPARE(m.cli({"sync"}).exitCode, status);
        const auto again = m.cli({"sync"}); // and again: in step, or still refused
        QCOMPARE(again.exitCode, status);
        QVERIFY2(!again.out.contains("without its body"), again.out.constData());
        if (status == 0 &&
            !QStringList{"latin1", "latin1body", "link", "partial", "carried", "fifo"}.contains(
                what)) {
            QStringList inFolder; // the folder in step with the collection
            for (const auto& [name, bytes] : filesOf(m.folder).asKeyValueRange())
                if (!name.startsWith(u'.'))
                    inFolder.append(QString::fromUtf8(bytes).trimmed());
            QStringList bodies;
            for (const QByteArray& body : m.snippets())
                bodies.append(QString::fromUtf8(body).trimmed());
            inFolder.sort();
            bodies.sort();
            QCOMPARE(inFolder, bodies);
        }
        QStringList got;
        const Snippets all = m.snippets();
        for (auto it = all.cbegin(); it != all.cend(); ++it)
            got.append(it.key() + u'=' + QString::fromUtf8(it.value()).trimmed());
        QCOMPARE(got.size(), expected.size());
        for (qsizetype i = 0; i < got.size(); ++i) {
            const QString name = expected[i].section(u'=', 0, 0);
            QVERIFY2(name.endsWith(u'*') ? got[i].startsWith(name.chopped(1)) &&
                                               got[i].endsWith(expected[i].section(u'=', 1))
                                         : got[i] == expected[i],
                     qPrintable(got.join(u", ")));
        }
        if (what == u"nulltitle") // told apart from an empty title on every machine
            for (const auto& [name, bytes] : filesOf(m.folder).asKeyValueRange())
                if (name.startsWith(u".varozidi-sync/"))
                    QVERIFY(QJsonDocument::fromJson(bytes)[QLatin1String("title")].isNull());
        if (what == u"checkout") // the newer text is kept in the history
            QVERIFY(m.cli({"history", QString::number(m.idOf("SQL", "Top"))}).out.contains("body"));
    }
};

QTEST_GUILESS_MAIN(TestSync)
#include "tst_sync.moc"
