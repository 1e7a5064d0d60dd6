// SPDX-License-Identifier: GPL-3.0-or-later
// The caption, the word-wrap setting and the window placement: read at start-up, stored at
// close beside whatever else the settings file holds.

#include "SyscallTrace.h"
#include "TestSupport.h"
#include "window/Unit1.h"

#include <Placement.h>
#include <QAction>
#include <QDir>
#include <QFile>
#include <QScreen>
#include <QtTest>
#include <Tessel.h>
#include <sys/stat.h>

using namespace testsupport;

namespace {

using Files = QList<std::pair<QString, QByteArray>>;

QByteArray settingsOf(const Started& s) {
    QFile file(s.home.dataDir() + "Tessel.ini");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Whether every line of before but the one holding key is still in after, in order.
bool keepsOtherLines(const QByteArray& before, const QByteArray& after, const QByteArray& key) {
    const QList<QByteArray> lines = after.split('\n');
    qsizetype at = 0;
    for (const QByteArray& line : before.split('\n')) {
        if (line.trimmed().toUpper().startsWith(key))
            continue;
        while (at < lines.size() && lines[at] != line)
            ++at;
        if (at++ == lines.size())
            return false;
    }
    return true;
}

} // namespace

class SettingsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void caption_data();
    void caption();
    void wordWrapIsReadAndStored_data();
    void wordWrapIsReadAndStored();
    void placementComesBack_data();
    void placementComesBack();
    void placementOnOtherScreens_data();
    void placementOnOtherScreens();
    void unwritableSettingsDoNotKeepTheWindowOpen();
    void settingsAtCloseReachTheDiskInOrder();
};

void SettingsTest::caption_data() {
    QTest::addColumn<QByteArray>("file"); // LVersion.ini; empty: none
    QTest::addColumn<QString>("caption");
    QTest::newRow("no file") << QByteArray() << "KZQ Varozidi 0.0";
    QTest::newRow("odd spacing and case")
        << QByteArray("[varozidi]\n  version =  2.1  beta \n") << "KZQ Varozidi 2.1  beta";
    QTest::newRow("the first of two")
        << QByteArray("[VAROZIDI]\nVERSION=2.1\nVERSION=3\n") << "KZQ Varozidi 2.1";
}

void SettingsTest::caption() {
    QFETCH(QByteArray, file);
    QFETCH(QString, caption);
    Started s({}, file.isEmpty() ? Files{} : Files{{"LVersion.ini", file}});
    QCOMPARE(s->windowTitle(), caption);
}

void SettingsTest::wordWrapIsReadAndStored_data() {
    QTest::addColumn<QByteArray>("file"); // Tessel.ini; empty: none
    QTest::addColumn<bool>("wrap");
    const QByteArray around = "; my own notes\n[Other]\nKey = kept  \nkey=second\n\n[edit]\n"
                              "WordWrap = %1\n; about wrapping\n\n; the end, without a newline";
    QTest::newRow("0") << QByteArray(around).replace("%1", "0") << false;
    QTest::newRow("1") << QByteArray(around).replace("%1", "1") << true;
    QTest::newRow("7") << QByteArray(around).replace("%1", "7") << true;
    QTest::newRow("not a number") << QByteArray(around).replace("%1", "yes") << true;
    QTest::newRow("no key") << QByteArray("[EDIT]\r\nFont=Mono\r\n") << true;
    QTest::newRow("no file") << QByteArray() << true;
}

void SettingsTest::wordWrapIsReadAndStored() {
    QFETCH(QByteArray, file);
    QFETCH(bool, wrap);
    Started s({}, file.isEmpty() ? Files{} : Files{{"Tessel.ini", file}});
    QCOMPARE(s->SynEdit1->WordWrap(), wrap);
    QCOMPARE(s->WordWrap1->isChecked(), wrap);
    s->WordWrap1->trigger();
    QCOMPARE(s->WordWrap1->isChecked(), !wrap);
    QVERIFY(s->close());
    QVERIFY(s.dialogs.asked().isEmpty());

    const QByteArray stored = settingsOf(s);
    QVERIFY2(stored.contains(QByteArray("WORDWRAP=") + (wrap ? "0" : "1")) ||
                 stored.contains(QByteArray("WordWrap = ") + (wrap ? "0" : "1")),
             stored.constData());
    QVERIFY2(keepsOtherLines(file, stored, "WORDWRAP"), stored.constData());
    struct stat info {};
    QCOMPARE(::stat(QFile::encodeName(s.home.dataDir() + "Tessel.ini").constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 0777), 0600);
}

void SettingsTest::placementComesBack_data() {
    QTest::addColumn<QRect>("placed"); // by the first run; empty: stored by hand
    QTest::addColumn<bool>("maximized");
    QTest::addColumn<QByteArray>("stored"); // by hand, when nothing was placed
    QTest::newRow("moved and resized") << QRect(120, 90, 500, 300) << false << QByteArray();
    QTest::newRow("maximized") << QRect(60, 40, 480, 320) << true << QByteArray();
    QTest::newRow("off every screen")
        << QRect() << false << QByteArray("Left=5000\nTop=-3000\nWidth=400\nHeight=250");
    QTest::newRow("larger than the screen")
        << QRect() << false << QByteArray("Left=0\nTop=0\nWidth=9000\nHeight=7000");
    QTest::newRow("nothing kept") << QRect() << false << QByteArray();
    // Kept on a larger screen: only a sliver would show on this one.
    QTest::newRow("a sliver on the screen")
        << QRect() << false << QByteArray("Left=700\nTop=500\nWidth=645\nHeight=412");
    QTest::newRow("maximized, larger than the screen")
        << QRect() << false << QByteArray("Left=100\nTop=100\nWidth=1200\nHeight=900\nMaximized=1");
}

void SettingsTest::placementComesBack() {
    QFETCH(QRect, placed);
    QFETCH(bool, maximized);
    QFETCH(QByteArray, stored);
    Started s({}, stored.isEmpty() ? Files{} : Files{{"Tessel.ini", "[Form1]\n" + stored}});
    if (placed.isValid()) {
        // The first run: placed by the user, word wrap turned off, closed.
        s->setGeometry(placed);
        if (maximized)
            s->showMaximized();
        s->WordWrap1->trigger();
        QVERIFY(s->close());
    }
    TForm1 second;
    second.show();
    QVERIFY(QTest::qWaitForWindowExposed(&second));
    const QRect screen = second.screen()->availableGeometry();
    if (placed.isValid()) {
        QCOMPARE(second.isMaximized(), maximized);
        QCOMPARE(maximized ? second.normalGeometry() : second.geometry(), placed);
        QVERIFY(!second.SynEdit1->WordWrap());
    } else if (stored.isEmpty()) {
        QCOMPARE(second.pos(), QPoint(0, 0));
        QCOMPARE(second.size(), QSize(645, 412));
    } else {
        QVERIFY(screen.contains(second.frameGeometry()));
        // Un-maximized, it comes back whole on the screen too.
        second.showNormal();
        QTRY_VERIFY(!second.isMaximized());
        QVERIFY(screen.contains(second.frameGeometry()));
    }
    QVERIFY(s.dialogs.asked().isEmpty());
}

void SettingsTest::placementOnOtherScreens_data() {
    QTest::addColumn<QList<QRect>>("screens"); // available areas; the first is the primary
    QTest::addColumn<QRect>("kept");           // the client area as stored
    QTest::addColumn<QRect>("placed");
    const QList<QRect> small{{0, 0, 800, 600}};
    const QList<QRect> pair{{0, 0, 1280, 1024}, {1280, 0, 800, 600}};
    QTest::newRow("a sliver at the bottom right")
        << small << QRect(700, 500, 645, 412) << QRect(151, 184, 645, 412);
    QTest::newRow("larger than the screen")
        << small << QRect(100, 100, 1200, 900) << QRect(4, 24, 792, 572);
    QTest::newRow("off every screen goes to the primary")
        << pair << QRect(5000, -3000, 400, 250) << QRect(876, 24, 400, 250);
    QTest::newRow("mostly on the second screen")
        << pair << QRect(1200, 100, 400, 300) << QRect(1284, 100, 400, 300);
    QTest::newRow("mostly on the first, frame over the edge")
        << pair << QRect(1000, 0, 400, 300) << QRect(876, 24, 400, 300);
    QTest::newRow("second screen taller than it is wide")
        << QList<QRect>{{0, 0, 1920, 1080}, {1920, 0, 600, 1000}} << QRect(2000, 200, 900, 500)
        << QRect(1924, 200, 592, 500);
    QTest::newRow("from a damaged file")
        << small << QRect(-2147483647, 2000000000, 2147483647, 5) << QRect(4, 591, 792, 5);
}

// The placement rule on its own, over sets of screens no test machine has.
void SettingsTest::placementOnOtherScreens() {
    QFETCH(QList<QRect>, screens);
    QFETCH(QRect, kept);
    QFETCH(QRect, placed);
    const QMargins frame(4, 24, 4, 4);
    QCOMPARE(tessel::PlaceOnScreens(kept, frame, screens, 0), placed);
}

void SettingsTest::unwritableSettingsDoNotKeepTheWindowOpen() {
    Started s({});
    QVERIFY(QDir(s.home.dataDir()).removeRecursively());
    QVERIFY(s->close());
    QCOMPARE(s.dialogs.asked().size(), 1);
    QCOMPARE(s.dialogs.asked().first().kind, TMsgDlgType::mtError);
    QVERIFY2(s.dialogs.asked().first().text.contains("No such file or directory"),
             qPrintable(s.dialogs.asked().first().text));
}

// The settings file's new data, then the rename, then its folder: a power cut after the close
// keeps the placement and word wrap just stored.
void SettingsTest::settingsAtCloseReachTheDiskInOrder() {
    if (straceProgram().isEmpty())
        QSKIP("strace is not installed");
    Started s({}, Files{{"Tessel.ini", "[EDIT]\nWORDWRAP=1\n"}});
    SelfTrace trace;
    if (!trace.attached())
        QSKIP("strace cannot follow this process here");
    QVERIFY(s->close());
    const QString fault = orderFault(trace.stop(), s.home.dataDir() + "Tessel.ini", "rename");
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

QTEST_MAIN(SettingsTest)
#include "tst_settings.moc"
