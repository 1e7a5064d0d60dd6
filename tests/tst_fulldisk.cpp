// SPDX-License-Identifier: GPL-3.0-or-later
// Backups onto a disk that fills up, or past a file-size limit: by the companion and by the
// window, of a file and of a server. The reason is said in plain words, the earlier backup
// stays whole, and nothing half-made is left beside it.

#include "TestSupport.h"
#include "data/store/ADODB.h"
#include "window/Unit1.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QToolButton>
#include <QtTest>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// Why this run cannot mount small disks of its own; empty when it can.
QString noMounts;

bool writeProcFile(const char* path, const QByteArray& text) {
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// A mount namespace of the suite's own (inside a user namespace where it is not root): the
// disks it mounts are seen by it and its children alone and vanish with it. The kernel
// allows this only while the program has one thread, so it is done before anything else.
QString enterOwnMounts() {
    const QByteArray uid = QByteArray::number(::geteuid());
    const QByteArray gid = QByteArray::number(::getegid());
    if (::unshare(CLONE_NEWNS) != 0) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return QStringLiteral("this system lets the tests make no mount namespace (%1)")
                .arg(qt_error_string(errno));
        if (!writeProcFile("/proc/self/setgroups", "deny") ||
            !writeProcFile("/proc/self/uid_map", uid + ' ' + uid + " 1") ||
            !writeProcFile("/proc/self/gid_map", gid + ' ' + gid + " 1"))
            return QStringLiteral("the tests' user namespace takes no user map");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("the tests' mounts cannot be kept private (%1)")
            .arg(qt_error_string(errno));
    return {};
}

// A small file system mounted on folder while the object lives.
class SmallDisk {
public:
    explicit SmallDisk(const QString& folder) : folder_(QFile::encodeName(folder)) {
        mounted_ = ::mount("tmpfs", folder_.constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                           "size=64m,nr_inodes=1000,mode=0700") == 0;
    }
    ~SmallDisk() {
        if (mounted_)
            ::umount2(folder_.constData(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    // Leaves room for bytes more and files more than it holds now.
    bool squeeze(qint64 bytes, qint64 files) {
        struct statvfs now {};
        if (::statvfs(folder_.constData(), &now) != 0)
            return false;
        const QByteArray options =
            "size=" +
            QByteArray::number(qint64(now.f_blocks - now.f_bfree) * now.f_frsize + bytes) +
            ",nr_inodes=" + QByteArray::number(qint64(now.f_files - now.f_ffree) + files);
        return ::mount("tmpfs", folder_.constData(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV,
                       options.constData()) == 0;
    }

private:
    QByteArray folder_;
    bool mounted_;
};

const qint64 kSize = 600000; // about what a backup of kRows takes
const QList<Row> kRows{{"SQL", "Big", QString(kSize / 2, u's')},
                       {"Go", "Bigger", QString(kSize / 2, u'g')}};

QStringList everythingIn(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

QByteArray bytesOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

} // namespace

class FullDiskTest : public QObject {
    Q_OBJECT
public:
    static void initMain() { noMounts = enterOwnMounts(); }
private slots:
    void initTestCase() {
        if (!noMounts.isEmpty())
            QSKIP(qPrintable(noMounts));
    }
    void cleanup() { qputenv("VAROZIDI_TEST_ENGINE", "sqlite"); }
    void backupOntoAFullDisk_data();
    void backupOntoAFullDisk();
};

void FullDiskTest::backupOntoAFullDisk_data() {
    QTest::addColumn<bool>("window"); // else the companion
    QTest::addColumn<bool>("server"); // else the local file
    QTest::addColumn<QString>("limit");
    QTest::addColumn<bool>("earlier");  // an earlier backup is there
    QTest::addColumn<QString>("cause"); // a pattern of what the message says; none: it works
    const QString full = "disk is full|No space left";
    const QString tooLarge = "size limit|largest size|File too large";
    for (const bool server : {false, true}) {
        const char* engine = server ? "server" : "file";
        for (const bool window : {false, true}) {
            const QByteArray way = window ? "window" : "companion";
            QTest::addRow("%s, %s, size limit", way.constData(), engine)
                << window << server << "size limit" << true << tooLarge;
            QTest::addRow("%s, %s, full disk", way.constData(), engine)
                << window << server << "full disk" << true << full;
            QTest::addRow("%s, %s, no room for a file", way.constData(), engine)
                << window << server << "no new file" << true << full;
        }
        QTest::addRow("companion, %s, full disk, no earlier backup", engine)
            << false << server << "full disk" << false << full;
        QTest::addRow("companion, %s, a size limit below an empty database", engine)
            << false << server << "tiny size limit" << true << tooLarge;
    }
    QTest::addRow("companion, file, room for one more file")
        << false << false << "one new file" << true << "";
    // The file is made under a name of its own and linked into place: tmpfs counts the link.
    QTest::addRow("companion, server, room for two more files")
        << false << true << "two new files" << true << "";
    QTest::addRow("window, file, room for one more file")
        << true << false << "one new file" << true << "";
}

void FullDiskTest::backupOntoAFullDisk() {
    QFETCH(bool, window);
    QFETCH(bool, server);
    QFETCH(QString, limit);
    QFETCH(bool, earlier);
    QFETCH(QString, cause);
    qputenv("VAROZIDI_TEST_ENGINE", server ? "postgresql" : "sqlite");
    if (server && !serverMissing().isEmpty())
        QSKIP(qPrintable(serverMissing()));
    Started s(kRows);
    const QString folder = s.home.root() + "KZQBackups/Varozidi/";
    QVERIFY(QDir().mkpath(folder));
    SmallDisk disk(folder);
    if (!disk.mounted())
        QSKIP("a small disk cannot be mounted here");
    if (earlier)
        makeDatabase(folder + "Varozidi.mdb", {{"Old", "O", "the earlier backup"}});
    const QByteArray before = bytesOf(folder + "Varozidi.mdb");
    const QMap<QString, std::pair<qint64, qint64>> room{{"full disk", {kSize / 2, 10}},
                                                        {"no new file", {kSize * 8, 0}},
                                                        {"one new file", {kSize * 8, 1}},
                                                        {"two new files", {kSize * 8, 2}}};
    if (room.contains(limit))
        QVERIFY(disk.squeeze(room[limit].first, room[limit].second));
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tight = saved;
    const QMap<QString, rlim_t> sizes{{"size limit", kSize / 2}, {"tiny size limit", 4096}};
    tight.rlim_cur = sizes.value(limit, saved.rlim_cur);
    QString said;
    if (window) {
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        QTest::mouseClick(s->ToolButton9, Qt::LeftButton);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &saved), 0);
        QCOMPARE(s.dialogs.asked().size(), cause.isEmpty() ? 0 : 1);
        said = s.dialogs.asked().isEmpty() ? QString() : s.dialogs.asked().first().text;
        QVERIFY(s->ADOConnection1->Connected());
    } else {
        QProcess cli;
        cli.setChildProcessModifier([tight] { ::setrlimit(RLIMIT_FSIZE, &tight); });
        cli.start(VAROZIDI_BINARY_DIR "/varozidi-cli",
                  cliCollection({"backup", folder + "Varozidi.mdb"}));
        QVERIFY(cli.waitForFinished(30000));
        said = QString::fromUtf8(cli.readAllStandardError());
        QVERIFY2(cli.exitCode() == (cause.isEmpty() ? 0 : 2), qPrintable(said));
        QCOMPARE(said.count('\n'), cause.isEmpty() ? 0 : 1);
    }
    // No bare "disk I/O error"; neither a temporary file nor its journal named or left behind.
    QVERIFY2(said.contains(QRegularExpression(cause)) && !said.contains("error") &&
                 !said.contains("/.") && !said.contains("journal") && !said.contains(".new-"),
             qPrintable(said));
    QCOMPARE(everythingIn(folder),
             earlier || cause.isEmpty() ? QStringList{"Varozidi.mdb"} : QStringList{});
    if (cause.isEmpty())
        QCOMPARE(readRows(folder + "Varozidi.mdb").size(), kRows.size());
    else
        QCOMPARE(bytesOf(folder + "Varozidi.mdb"), before);
    QCOMPARE(s.rows().size(), kRows.size());
}

QTEST_MAIN(FullDiskTest)

#include "tst_fulldisk.moc"
