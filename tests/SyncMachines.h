// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The two machines of the sync tests and what carries their folders between them.

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
#include <sys/stat.h>
#include <unistd.h>

namespace synctest {

using Snippets = QMultiMap<QString, QByteArray>; // "Language/Title" -> body, in order of both

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
        QList<std::pair<QString, QByteArray>> pairs;
        for (const QJsonValue& v : QJsonDocument::fromJson(cli({"--json", "list"}).out).array())
            pairs.append(
                {v[QLatin1String("language")].toString() + u'/' +
                     v[QLatin1String("title")].toString(),
                 cli({"show", QString::number(qint64(v[QLatin1String("id")].toDouble()))}).out});
        std::sort(pairs.begin(), pairs.end()); // two snippets of one name, alike on every machine
        Snippets all;
        for (const auto& [key, body] : std::as_const(pairs))
            all.insert(key, body);
        return all;
    }
    QString name;
    QTemporaryDir dir;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QString folder;
    QByteArray said; // what its syncs printed
    QByteArray last; // what the last one printed
};

// --- carriers

// Both commit, then meet through the bare repository; conflicts are committed as Git leaves
// them, markers and all, as a hurried user would.
inline void meetByGit(Machine& a, Machine& b) {
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

inline Files filesOf(const QString& folder) {
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

    // bodiesOnly: the records are left for a later meet, as a sync engine may bring them.
    void meet(Machine& a, Machine& b, bool bodiesOnly = false) {
        const Files fa = filesOf(a.folder), fb = filesOf(b.folder);
        QSet<QString> names;
        for (const Files* f : {&fa, &fb, const_cast<const Files*>(&base)})
            for (const QString& n : f->keys())
                if (!bodiesOnly || !n.startsWith(QLatin1String(".varozidi-sync/")))
                    names.insert(n);
        for (const QString& n : std::as_const(names)) {
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
        const Files now = filesOf(a.folder);
        if (!bodiesOnly) {
            base = now;
            QCOMPARE(base, filesOf(b.folder));
            return;
        }
        for (auto it = now.cbegin(); it != now.cend(); ++it)
            if (!it.key().startsWith(QLatin1String(".varozidi-sync/")))
                base.insert(it.key(), *it);
        for (const QString& n : std::as_const(names))
            if (!now.contains(n))
                base.remove(n);
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

} // namespace synctest
