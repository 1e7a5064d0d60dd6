// SPDX-License-Identifier: GPL-3.0-or-later
// Two machines, each with its own data folder and collection, whose sync folders a real Git
// repository, a copier that behaves as Syncthing does or two real Syncthing instances carry
// between them; varozidi-cli sync on each. Afterwards both hold the same snippets and no text of
// either side is lost.

#include "TestSupport.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QtTest>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

using Snippets = QMap<QString, QByteArray>; // "Language/Title" -> body

struct Machine {
    explicit Machine(const QString& label) : name(label) {
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_STATE_HOME"), dir.filePath(QStringLiteral("state")));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        folder = dir.filePath(QStringLiteral("folder"));
        QCOMPARE(run(QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-setup"), {}).exitCode, 0);
    }
    struct Run {
        int exitCode;
        QByteArray out;
    };
    Run run(const QString& program, const QStringList& args, const QByteArray& input = {},
            const QString& in = {}) const {
        QProcess p;
        p.setProcessEnvironment(env);
        if (!in.isEmpty())
            p.setWorkingDirectory(in);
        p.start(program, args);
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(60000);
        const QByteArray err = p.readAllStandardError();
        if (p.exitCode() != 0 && !err.isEmpty())
            qWarning("%s: %s %s: %s", qPrintable(name), qPrintable(program),
                     qPrintable(args.join(u' ')), err.constData());
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                p.readAllStandardOutput()};
    }
    Run cli(const QStringList& args, const QByteArray& input = {}) const {
        return run(QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-cli"), args, input);
    }
    Run git(const QStringList& args) const {
        return run(
            QStringLiteral("git"),
            QStringList{"-c", "user.name=t", "-c", "user.email=t@t", "-c", "core.autocrlf=false"} +
                args,
            {}, folder);
    }
    QString database() const {
        return dir.filePath(QStringLiteral("data/KZQ/Varozidi/varozidi.mdb"));
    }
    qint64 idOf(const QString& language, const QString& title) const {
        for (const QJsonValue& v : QJsonDocument::fromJson(cli({"--json", "list"}).out).array())
            if (v[QLatin1String("language")] == language && v[QLatin1String("title")] == title)
                return qint64(v[QLatin1String("id")].toDouble());
        return 0;
    }
    Snippets snippets() const {
        Snippets all;
        for (const QJsonValue& v : QJsonDocument::fromJson(cli({"--json", "list"}).out).array())
            all.insert(
                v[QLatin1String("language")].toString() + u'/' +
                    v[QLatin1String("title")].toString(),
                cli({"show", QString::number(qint64(v[QLatin1String("id")].toDouble()))}).out);
        return all;
    }
    QString name;
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString folder;
};

// --- carriers

// Both commit, then meet through the bare repository; conflicts are committed as Git leaves
// them, markers and all, as a hurried user would.
void meetByGit(Machine& a, Machine& b) {
    for (Machine* m : {&a, &b}) {
        m->git({"add", "-A"});
        m->git({"commit", "-qm", "sync", "--allow-empty"});
    }
    const auto pullCommitPush = [](Machine& m) {
        m.git({"pull", "-q", "--no-rebase", "--no-edit", "origin", "main"});
        m.git({"add", "-A"});
        m.git({"commit", "-qm", "merge", "--allow-empty"});
        QCOMPARE(m.git({"push", "-q", "origin", "HEAD:main"}).exitCode, 0);
    };
    pullCommitPush(a);
    pullCommitPush(b);
    pullCommitPush(a);
}

using Files = QMap<QString, QByteArray>; // relative path -> bytes

Files filesOf(const QString& folder) {
    Files files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(folder).relativeFilePath(path);
        QFile file(path);
        if (!relative.startsWith(QLatin1String(".git/")) && file.open(QIODevice::ReadOnly))
            files.insert(relative, file.readAll());
    }
    return files;
}

// As Syncthing does: each file lands under a temporary name and is renamed into place; a
// file changed on both sides keeps one and leaves the other as a .sync-conflict- copy; a
// change wins over a removal.
struct SyncthingLike {
    Files base; // as both sides last agreed

    static void put(const QString& folder, const QString& file, const QByteArray& bytes) {
        const QString path = folder + u'/' + file;
        QDir().mkpath(QFileInfo(path).path());
        const QString temporary = QFileInfo(path).path() + QStringLiteral("/.syncthing.") +
                                  QFileInfo(path).fileName() + QStringLiteral(".tmp");
        testsupport::writeFile(temporary, bytes);
        QVERIFY(QFile::rename(temporary, path) ||
                (QFile::remove(path) && QFile::rename(temporary, path)));
    }

    static QString conflictName(const QString& file) {
        const QFileInfo info(file);
        return (info.path() == u"." ? QString() : info.path() + u'/') + info.completeBaseName() +
               QStringLiteral(".sync-conflict-20261209-101010-ABCDEFG.") + info.suffix();
    }

    void meet(Machine& a, Machine& b) {
        const Files fa = filesOf(a.folder), fb = filesOf(b.folder);
        QSet<QString> names;
        for (const Files* f : {&fa, &fb, const_cast<const Files*>(&base)})
            for (const QString& n : f->keys())
                names.insert(n);
        for (const QString& n : names) {
            const bool inA = fa.contains(n), inB = fb.contains(n), inBase = base.contains(n);
            const bool changedA = inA != inBase || (inA && fa[n] != base[n]);
            const bool changedB = inB != inBase || (inB && fb[n] != base[n]);
            if (!changedB && changedA)
                inA ? put(b.folder, n, fa[n]) : void(QFile::remove(b.folder + u'/' + n));
            else if (!changedA && changedB)
                inB ? put(a.folder, n, fb[n]) : void(QFile::remove(a.folder + u'/' + n));
            else if (changedA && changedB && (inA || inB) && !(inA && inB && fa[n] == fb[n])) {
                if (!inA || !inB) { // a change wins over a removal
                    const QByteArray kept = inA ? fa[n] : fb[n];
                    put(a.folder, n, kept);
                    put(b.folder, n, kept);
                } else {
                    put(b.folder, n, fa[n]);
                    put(a.folder, conflictName(n), fb[n]);
                    put(b.folder, conflictName(n), fb[n]);
                }
            }
        }
        base = filesOf(a.folder);
        QCOMPARE(base, filesOf(b.folder));
    }
};

// Two real Syncthing instances on loopback alone, each sharing its machine's folder with the
// other. The devices stay paused between meets, so that the folders travel only where the
// steps say, as with the other carriers.
struct RealSyncthing {
    static constexpr char key[] = "varozidi-test-key";
    struct Instance {
        QString url, id;
        QProcess process; // killed with the test, even when the test itself is killed
    };
    QTemporaryDir dir;
    Instance st[2];
    QNetworkAccessManager net;
    const Machine* machines[2];

    RealSyncthing(const Machine& a, const Machine& b) : machines{&a, &b} {
        net.setProxy(QNetworkProxy::NoProxy);
        QTcpServer probes[4]; // held open together, so the four ports differ
        quint16 ports[4];
        for (int i = 0; i < 4; ++i) {
            QVERIFY(probes[i].listen(QHostAddress::LocalHost));
            ports[i] = probes[i].serverPort();
        }
        for (QTcpServer& probe : probes)
            probe.close();
        for (int i = 0; i < 2; ++i) {
            const QString home = dir.filePath(QString::number(i));
            QVERIFY(!syncthing(i, {"generate", "--home=" + home, "--no-default-folder"}).isNull());
            st[i].id = QString::fromLatin1(syncthing(i, {"--home=" + home, "--device-id"}));
            QVERIFY2(st[i].id.count(u'-') == 7, qPrintable(st[i].id));
            st[i].url = QStringLiteral("http://127.0.0.1:%1").arg(ports[2 + i]);
        }
        for (int i = 0; i < 2; ++i) {
            const QString home = dir.filePath(QString::number(i));
            testsupport::writeFile(home + "/config.xml",
                                   QStringLiteral(R"(<configuration version="36">
  <device id="%1"><address>dynamic</address></device>
  <device id="%2"><address>tcp://127.0.0.1:%3</address><paused>true</paused></device>
  <folder id="varozidi" path="%4" type="sendreceive" rescanIntervalS="2"
          fsWatcherEnabled="true" fsWatcherDelayS="1">
    <device id="%1"></device><device id="%2"></device><minDiskFree unit="%">0</minDiskFree>
    <maxConflicts>10</maxConflicts>
  </folder>
  <gui enabled="true" tls="false"><address>127.0.0.1:%5</address><apikey>%6</apikey></gui>
  <options><listenAddress>tcp://127.0.0.1:%7</listenAddress>
    <globalAnnounceEnabled>false</globalAnnounceEnabled>
    <localAnnounceEnabled>false</localAnnounceEnabled><relaysEnabled>false</relaysEnabled>
    <natEnabled>false</natEnabled><urAccepted>-1</urAccepted>
    <crashReportingEnabled>false</crashReportingEnabled>
    <autoUpgradeIntervalH>0</autoUpgradeIntervalH><startBrowser>false</startBrowser>
    <reconnectionIntervalS>1</reconnectionIntervalS><minHomeDiskFree unit="%">0</minHomeDiskFree>
  </options>
</configuration>
)")
                                       .arg(st[i].id, st[1 - i].id, QString::number(ports[1 - i]),
                                            machines[i]->folder, QString::number(ports[2 + i]),
                                            QString::fromLatin1(key), QString::number(ports[i]))
                                       .toUtf8());
            setUp(st[i].process, home);
            st[i].process.start(QStringLiteral("syncthing"),
                                {"serve", "--home=" + home, "--no-browser", "--no-restart",
                                 "--no-upgrade", "--no-default-folder"});
        }
        for (int i = 0; i < 2; ++i)
            QVERIFY2(QTest::qWaitFor([&] { return !rest(i, "GET", "/rest/system/ping").isEmpty(); },
                                     30000),
                     st[i].process.readAll().constData());
    }

    ~RealSyncthing() {
        for (Instance& i : st) {
            i.process.kill();
            i.process.waitForFinished(10000);
        }
    }

    void setUp(QProcess& process, const QString& home) const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
            env.insert(QString::fromLatin1(name), home);
        for (const char* name : {"all_proxy", "ALL_PROXY", "http_proxy", "https_proxy"})
            env.remove(QString::fromLatin1(name));
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    // Its output when it succeeds, null when it fails.
    QByteArray syncthing(int i, const QStringList& args) const {
        QProcess p;
        setUp(p, dir.filePath(QString::number(i)));
        p.start(QStringLiteral("syncthing"), args);
        const bool done = p.waitForFinished(30000) && p.exitCode() == 0;
        const QByteArray out = p.readAll().trimmed();
        if (!done)
            qWarning("syncthing %s: %s", qPrintable(args.join(u' ')), out.constData());
        return done ? out.isNull() ? QByteArray("") : out : QByteArray();
    }

    QJsonObject rest(int i, const QByteArray& verb, const QString& path) {
        QNetworkRequest request(QUrl(st[i].url + path));
        request.setRawHeader("X-API-Key", key);
        request.setTransferTimeout(30000);
        std::unique_ptr<QNetworkReply> reply(net.sendCustomRequest(request, verb));
        if (!QTest::qWaitFor([&] { return reply->isFinished(); }, 31000) ||
            reply->error() != QNetworkReply::NoError)
            return {};
        const QByteArray body = reply->readAll();
        const QJsonDocument json = QJsonDocument::fromJson(body);
        return json.isObject() ? json.object() : QJsonObject{{"body", QString::fromUtf8(body)}};
    }

    // The folder as both sides must hold it: Syncthing's own entries and files on their way
    // are left out, its conflict copies are not.
    static Files shared(const QString& folder) {
        Files files = filesOf(folder);
        files.removeIf([](Files::iterator f) {
            const QString name = QFileInfo(f.key()).fileName();
            return f.key().startsWith(u".stfolder") || f.key().startsWith(u".stignore") ||
                   f.key().startsWith(u".stversions") ||
                   (name.startsWith(u".syncthing.") && name.endsWith(u".tmp"));
        });
        return files;
    }

    // Why the two are not in step yet; empty once both are connected, idle with nothing
    // needed on either side, and hold the same files.
    QString notInStep() {
        const QString folder = QStringLiteral("?folder=varozidi");
        for (int i = 0; i < 2; ++i) {
            const QString other = st[1 - i].id, side = i ? QStringLiteral("B: ") : "A: ";
            rest(i, "POST", "/rest/db/scan" + folder);
            const QJsonObject status = rest(i, "GET", "/rest/db/status" + folder);
            if (!rest(i, "GET", "/rest/system/connections")["connections"][other]["connected"]
                     .toBool())
                return side + "not connected";
            if (status["state"].toString() != u"idle" || status["needTotalItems"].toInt(-1) != 0)
                return side + QString::fromUtf8(QJsonDocument(status).toJson());
            if (rest(i, "GET", "/rest/db/completion" + folder + "&device=" + other)["completion"]
                    .toDouble() < 100)
                return side + "the other side is not complete";
        }
        const Files here = shared(machines[0]->folder), there = shared(machines[1]->folder);
        return here == there ? QString()
                             : QStringLiteral("files differ: %1 | %2")
                                   .arg(QStringList(here.keys()).join(u' '),
                                        QStringList(there.keys()).join(u' '));
    }

    // In step twice in a row, a quarter of a second apart: a conflict copy one side makes in
    // one round must reach the other in the next. Each side first takes in its own changes, as a
    // Syncthing that never stops would have long before the devices meet.
    void meet() {
        for (int i = 0; i < 2; ++i)
            rest(i, "POST", "/rest/db/scan?folder=varozidi");
        for (int i = 0; i < 2; ++i)
            rest(i, "POST", "/rest/system/resume?device=" + st[1 - i].id);
        const QDeadlineTimer deadline(60000);
        QString why;
        for (int rounds = 0; rounds < 2; rounds = why.isEmpty() ? rounds + 1 : 0) {
            QVERIFY2(!deadline.hasExpired(),
                     qPrintable("Syncthing is not in step after 60 s: " + why));
            QTest::qWait(250);
            why = notInStep();
        }
        for (int i = 0; i < 2; ++i)
            rest(i, "POST", "/rest/system/pause?device=" + st[1 - i].id);
    }
};

} // namespace

class TestSync : public QObject {
    Q_OBJECT

    // One step: "A add Lang/Title body", "B edit Lang/Title body", "A rename Lang/Title New",
    // "B remove Lang/Title", "sync" (both), "meet".
    void step(const QString& text, Machine& a, Machine& b, const std::function<void()>& meet) {
        if (text == u"sync") {
            for (Machine* m : {&a, &b}) {
                const auto r = m->cli({"sync"});
                if (qEnvironmentVariableIsSet("SYNC_DEBUG"))
                    qDebug("%s: %s", qPrintable(m->name), r.out.constData());
                QCOMPARE(r.exitCode, 0);
            }
            return;
        }
        if (text == u"meet") {
            meet();
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
            {"remove against edit",
             {"A add SQL/Top v1", "sync", "meet", "sync", "A remove SQL/Top", "B edit SQL/Top v2",
              "sync", "meet", "sync", "meet", "sync"},
             {"SQL/Top=v2"}},
        };
        for (const QString& carrier : carriers)
            for (const Case& c : cases)
                QTest::newRow(qPrintable(carrier + QStringLiteral(": ") + QLatin1String(c.name)))
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
        std::function<void()> meet;
        if (carrier == u"real syncthing") {
            if (QStandardPaths::findExecutable(QStringLiteral("syncthing")).isEmpty())
                QSKIP("syncthing is not installed (scripts/install-deps installs it)");
            real.emplace(a, b); // it makes each folder, holding only its .stfolder
            if (QTest::currentTestFailed())
                return;
            meet = [&] { real->meet(); };
        } else if (carrier == u"git") {
            QCOMPARE(a.run("git", {"init", "-q", "--bare", "-b", "main", remote.path()}).exitCode,
                     0);
            QCOMPARE(a.run("git", {"clone", "-q", remote.path(), a.folder}).exitCode, 0);
            a.git({"commit", "-qm", "start", "--allow-empty"});
            QCOMPARE(a.git({"push", "-q", "origin", "HEAD:main"}).exitCode, 0);
            QCOMPARE(b.run("git", {"clone", "-q", remote.path(), b.folder}).exitCode, 0);
            meet = [&] { meetByGit(a, b); };
        } else {
            meet = [&] { copier.meet(a, b); };
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
                                  bodies.contains(QString::fromUtf8(it.value()).trimmed()));
            QVERIFY2(found, qPrintable(want + QStringLiteral(" in ") +
                                       QStringList(onA.keys()).join(QStringLiteral(", "))));
        }
        // No record says removed of a snippet whose file is there.
        for (Machine* m : {&a, &b})
            for (const auto& [name, bytes] : filesOf(m->folder).asKeyValueRange()) {
                const QJsonObject record = QJsonDocument::fromJson(bytes).object();
                if (name.startsWith(u".varozidi-sync/") &&
                    record[QLatin1String("removed")].toBool())
                    QVERIFY2(
                        !QFile::exists(m->folder + u'/' + record[QLatin1String("file")].toString()),
                        qPrintable(m->name + u' ' + name));
            }
        // Both texts of a conflict are kept, one each.
        if (expected.size() == 2 && expected[0].contains(u'|')) {
            QStringList texts;
            for (const QByteArray& v : onA.values())
                texts.append(QString::fromUtf8(v).trimmed());
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
        QTest::newRow("a pass cut short before a record")
            << "cutshort" << 0 << QStringList{"SQL/New=n1", "SQL/Top=v1"};
        QTest::newRow("a rename cut short before its record")
            << "cutrename" << 0 << QStringList{"SQL/Best=v1"};
        QTest::newRow("a link in place of a language folder")
            << "link" << 0 << QStringList{"Notes/keep=a note", "SQL/Top=v1"};
        QTest::newRow("written in place, size and time kept")
            << "inplace" << 0 << QStringList{"SQL/Top=v2", "SQL/Top (conflict*=v9"};
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
        } else if (what == u"checkout") {
            m.git({"add", "-A"});
            m.git({"commit", "-qm", "v1"});
            QCOMPARE(m.cli({"edit", QString::number(m.idOf("SQL", "Top"))}, "v2").exitCode, 0);
            QCOMPARE(m.cli({"sync"}).exitCode, 0);
            m.git({"add", "-A"});
            m.git({"commit", "-qm", "v2"});
            QCOMPARE(m.git({"checkout", "-q", "HEAD~1", "--", "."}).exitCode, 0);
        }
        QCOMPARE(m.cli({"sync"}).exitCode, status);
        QCOMPARE(m.cli({"sync"}).exitCode, status); // and again: in step, or still refused
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
        if (what == u"checkout") // the newer text is kept in the history
            QVERIFY(m.cli({"history", QString::number(m.idOf("SQL", "Top"))}).out.contains("body"));
    }
};

QTEST_GUILESS_MAIN(TestSync)
#include "tst_sync.moc"
