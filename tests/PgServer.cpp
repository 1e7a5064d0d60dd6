// SPDX-License-Identifier: GPL-3.0-or-later
#include "PgServer.h"

#include "TestSupport.h"
#include "data/engines/postgresql/PgBackend.h"
#include "data/engines/postgresql/ServerSetup.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUrl>
#include <pwd.h>
#include <unistd.h>

namespace testsupport {

namespace {

// The newest server programs of 15 or later: VAROZIDI_PG_BINDIR, else Debian's folders.
QString binDir() {
    const QString own = qEnvironmentVariable("VAROZIDI_PG_BINDIR");
    if (!own.isEmpty())
        return QFileInfo::exists(own + QStringLiteral("/initdb")) ? own : QString();
    QDir root(QStringLiteral("/usr/lib/postgresql"));
    QList<int> versions;
    for (const QString& name : root.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (name.toInt() >= 15 && QFileInfo::exists(root.filePath(name + "/bin/initdb")) &&
            QFileInfo::exists(root.filePath(name + "/bin/pg_ctl")))
            versions.append(name.toInt());
    std::sort(versions.begin(), versions.end());
    return versions.isEmpty() ? QString()
                              : root.filePath(QString::number(versions.last()) + "/bin");
}

// The server programs of bin copied into tree, in the same layout, with every file of the
// share folder but those of the extension without: the server finds its share folder beside
// its own program, and so lacks that extension. Empty where the layout is not Debian's.
QString binWithout(const QString& bin, const QString& tree, const QString& without) {
    const QDir version = QFileInfo(bin).dir(); // .../lib/postgresql/NN
    const QString share =
        version.absoluteFilePath("../../../share/postgresql/" + version.dirName());
    const QString ownVersion = tree + "/lib/postgresql/" + version.dirName();
    const QString ownShare = tree + "/share/postgresql/" + version.dirName();
    if (!QFileInfo(share + "/extension").isDir() || !QDir().mkpath(ownVersion + "/bin") ||
        !QDir().mkpath(ownShare + "/extension") ||
        !QFile::link(version.absoluteFilePath("lib"), ownVersion + "/lib"))
        return {};
    for (const char* program : {"postgres", "initdb", "pg_ctl"})
        if (!QFile::copy(bin + '/' + program, ownVersion + "/bin/" + program))
            return {};
    for (const QString& name : QDir(share).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
        if (name != "extension")
            QFile::link(share + '/' + name, ownShare + '/' + name);
    for (const QString& name : QDir(share + "/extension").entryList(QDir::Files))
        if (!name.startsWith(without + '.') && !name.startsWith(without + "--"))
            QFile::link(share + "/extension/" + name, ownShare + "/extension/" + name);
    return ownVersion + "/bin";
}

class Server {
public:
    explicit Server(const QString& without = {}) {
        bin_ = binDir();
        if (bin_.isEmpty()) {
            missing_ = QStringLiteral("PostgreSQL 15 or later is not installed (no initdb and "
                                      "pg_ctl under /usr/lib/postgresql/*/bin); "
                                      "scripts/install-deps installs it");
            return;
        }
        // The server refuses to run as root.
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody || ::chown(QFile::encodeName(dir_.path()).constData(), nobody->pw_uid,
                                   nobody->pw_gid) != 0) {
                missing_ = QStringLiteral("the tests run as root and cannot hand a folder to "
                                          "the user nobody for the test server");
                return;
            }
            asUser_ = {QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--")};
        }
        if (!without.isEmpty()) {
            bin_ = binWithout(bin_, dir_.path() + QStringLiteral("/tree"), without);
            if (bin_.isEmpty()) {
                missing_ = QStringLiteral("no server without %1 can be made from these server "
                                          "programs")
                               .arg(without);
                return;
            }
        }
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port_ = probe.serverPort();
        probe.close();
        const QString data = dir_.path() + QStringLiteral("/data");
        run(QStringLiteral("initdb"),
            {QStringLiteral("-N"), QStringLiteral("-D"), data, QStringLiteral("-U"),
             QStringLiteral("varozidi"), QStringLiteral("--auth=trust"), QStringLiteral("-E"),
             QStringLiteral("UTF8"), QStringLiteral("--locale=C.UTF-8")});
        // One user must give a password, before the lines that let every other user in.
        QFile hba(data + QStringLiteral("/pg_hba.conf"));
        if (missing_.isEmpty() && hba.open(QIODevice::ReadWrite)) {
            const QByteArray rest = hba.readAll();
            hba.seek(0);
            hba.write("host all " + QByteArray(kPasswordUser) + " 127.0.0.1/32 scram-sha-256\n" +
                      rest);
            hba.close();
        }
        // Loopback only, no socket file; durability is no concern of a test.
        run(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), data, QStringLiteral("-w"), QStringLiteral("-s"),
             QStringLiteral("-l"), dir_.path() + QStringLiteral("/log"), QStringLiteral("-o"),
             QStringLiteral("-h 127.0.0.1 -p %1 -k '' -c fsync=off -c synchronous_commit=off "
                            "-c full_page_writes=off")
                 .arg(port_),
             QStringLiteral("start")});
        started_ = missing_.isEmpty();
    }

    ~Server() {
        if (started_)
            run(QStringLiteral("pg_ctl"),
                {QStringLiteral("-D"), dir_.path() + QStringLiteral("/data"), QStringLiteral("-s"),
                 QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("stop")});
    }

    QString missing() const { return missing_; }
    QString uri() const {
        return QStringLiteral("postgresql://varozidi@127.0.0.1:%1/postgres").arg(port_);
    }

private:
    void run(const QString& program, const QStringList& args) {
        if (!missing_.isEmpty())
            return;
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (asUser_.isEmpty())
            process.start(bin_ + u'/' + program, args);
        else
            process.start(QStringLiteral("runuser"),
                          asUser_ + QStringList{bin_ + u'/' + program} + args);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0)
            missing_ = QStringLiteral("the test server could not start: %1 said %2")
                           .arg(program, QString::fromLocal8Bit(process.readAll()).trimmed());
    }

    QTemporaryDir dir_{QDir::tempPath() + QStringLiteral("/varozidi-pg-XXXXXX")};
    QString bin_;
    QStringList asUser_;
    QString missing_;
    quint16 port_ = 0;
    bool started_ = false;
};

Server* server() {
    static Server* instance = [] {
        auto* s = new Server;
        // Stopped while the application still runs, after every test.
        qAddPostRoutine([] { delete server(); });
        return s;
    }();
    return instance;
}

} // namespace

bool onServer() {
    return qEnvironmentVariable("VAROZIDI_TEST_ENGINE") == u"postgresql";
}

QString serverMissing() {
    return server()->missing();
}

QString serverUri() {
    return server()->uri();
}

QString serverUriWithout(const QString& extension) {
    static Server* instance = [&extension] {
        auto* s = new Server(extension);
        qAddPostRoutine([] { delete instance; });
        return s;
    }();
    return instance->missing().isEmpty() ? instance->uri() : QString();
}

QString passwordUserUri(const QString& password) {
    static const bool made = [] {
        varozidi::ado::PgBackend server(serverUri());
        server.script(QStringLiteral("CREATE ROLE %1 LOGIN SUPERUSER PASSWORD '%2'")
                          .arg(QLatin1String(kPasswordUser), QLatin1String(kServerPassword)),
                      QStringLiteral("make the user"));
        return true;
    }();
    Q_UNUSED(made);
    QUrl uri(serverUri());
    uri.setUserName(QLatin1String(kPasswordUser));
    uri.setPassword(password);
    return uri.toString(QUrl::FullyEncoded);
}

void resetServerTable(const QList<Row>& rows) {
    {
        varozidi::ado::PgBackend server(serverUri());
        server.script(QStringLiteral("DROP TABLE IF EXISTS varozidi_history; DROP TABLE IF EXISTS "
                                     "varozidi_history_state; DROP TABLE IF EXISTS varozidi"),
                      QStringLiteral("reset"));
    }
    varozidi::setup::PrepareServer(serverUri());
    varozidi::ado::PgBackend server(serverUri());
    qint64 id = 0;
    for (const Row& row : rows)
        server.exec(QStringLiteral("INSERT INTO varozidi (\"ID\", \"Language\", \"Title\", "
                                   "\"Body\") VALUES (?, ?, ?, ?)"),
                    {++id, row.language, row.title, row.body}, QStringLiteral("fill"));
    // The next new row takes the number after the last, as in a new file.
    server.exec(id > 0 ? QStringLiteral("SELECT setval(pg_get_serial_sequence('varozidi', 'ID'), "
                                        "?, true)")
                       : QStringLiteral("SELECT setval(pg_get_serial_sequence('varozidi', 'ID'), "
                                        "?, false)"),
                {std::max<qint64>(id, 1)}, QStringLiteral("fill"));
}

} // namespace testsupport
