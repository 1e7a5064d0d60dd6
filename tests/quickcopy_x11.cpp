// SPDX-License-Identifier: GPL-3.0-or-later
// Copying a snippet from the search window and "varozidi --search", on a real X server: the
// clipboard is read back by a second process, and the request reaches the running program
// through its socket.

#include "TestSupport.h"
#include "data/collection/DatabaseChoice.h"
#include "data/store/ADODB.h"
#include "window/SearchRequest.h"
#include "window/SearchWindow.h"
#include "window/Unit1.h"
#include "window/platform/SynEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QProcess>
#include <QTreeWidget>
#include <QtTest>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString kProgram = QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi");

// What another program pastes, read in a process of its own.
QByteArray pasted(QClipboard::Mode mode) {
    QProcess reader;
    reader.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--read-clipboard"),
                  mode == QClipboard::Selection ? QStringLiteral("selection") : QString()});
    // The event loop runs meanwhile: this process owns the clipboard and must answer.
    [&] { QTRY_COMPARE_WITH_TIMEOUT(reader.state(), QProcess::NotRunning, 10000); }();
    return reader.readAllStandardOutput();
}

QProcess* startProgram(const QStringList& args, QObject* parent) {
    auto* program = new QProcess(parent);
    program->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program->start(kProgram, args);
    return program;
}

} // namespace

class QuickCopyTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { QGuiApplication::clipboard()->clear(); }
    void copiesTheStoredBody_data();
    void copiesTheStoredBody();
    void searchReachesTheRunningProgram_data();
    void searchReachesTheRunningProgram();
    void searchStartsAProgramWhenNoneRuns();
    void badRequestsLeaveTheListenerWorking_data();
    void badRequestsLeaveTheListenerWorking();
};

void QuickCopyTest::copiesTheStoredBody_data() {
    QTest::addColumn<QString>("body");
    QTest::addColumn<bool>("andClose");
    QTest::newRow("lines, Ctrl+C") << QString("int a;\nint b;\n") << false;
    QTest::newRow("every plane, Ctrl+Enter")
        << QString(
               "Ωμέγα ς ſ µ ᲐᲑ ᏣᎳᎩ עברית e\u0301 \U0001F600 \U00010348\tend")
        << true;
    QTest::newRow("NUL inside") << QString::fromUtf8("before\0after", 12) << false;
    QTest::newRow("empty") << QString() << true;
}

void QuickCopyTest::copiesTheStoredBody() {
    QFETCH(QString, body);
    QFETCH(bool, andClose);
    Started s({{"C++", "Vector sum", body}, {"SQL", "Count", "SELECT count(*) FROM t;"}});
    clickRow(s->ListBox1, 1);
    clickRow(s->ListBox2, 0);
    typeText(s.form(), "unsaved");
    const QString editor = s->SynEdit1->Text();

    s->OpenSearch();
    QTest::keyClicks(s->Search->Query, "Vector");
    QTRY_COMPARE(s->Search->Results->topLevelItemCount(), 1);
    QTest::keyClick(s->Search->Query, andClose ? Qt::Key_Return : Qt::Key_C, Qt::ControlModifier);

    QCOMPARE(pasted(QClipboard::Clipboard), body.toUtf8());
    QCOMPARE(pasted(QClipboard::Selection), body.toUtf8());
    QCOMPARE(s->Search->isVisible(), !andClose);
    QVERIFY(s->Search->Status->text().startsWith("Copied Vector sum (C++), "));
    // The main window is as it was: no switch, no question, the typed text unsaved.
    QCOMPARE(s->SynEdit1->Text(), editor);
    QCOMPARE(s->SnippitChanged, 1);
    QCOMPARE(s->ListBox1->currentItem()->text(), QString("SQL"));
    QCOMPARE(s.dialogs.asked().size(), 0);
}

void QuickCopyTest::searchReachesTheRunningProgram_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("query");
    QTest::newRow("text") << QStringList{"--search", "Ωμέγα sum"} << "Ωμέγα sum";
    QTest::newRow("text after =") << QStringList{"--search=-x"} << "-x";
    QTest::newRow("no text keeps the query") << QStringList{"--search"} << "earlier";
}

void QuickCopyTest::searchReachesTheRunningProgram() {
    QFETCH(QStringList, args);
    QFETCH(QString, query);
    Started s({{"C++", "Vector sum", "x"}});
    const QString socket = SearchSocketName(s->ADOConnection1->ConnectionString());
    ListenForSearches(socket, &s.form());
    s->OpenSearch();
    s->Search->Query->setText("earlier");
    s->Search->close();

    QProcess* second = startProgram(args, this);
    QTRY_COMPARE_WITH_TIMEOUT(second->state(), QProcess::NotRunning, 15000);
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(s->Search->isVisible());
    QCOMPARE(s->Search->Query->text(), query);
}

void QuickCopyTest::searchStartsAProgramWhenNoneRuns() {
    DataHome home;
    QCOMPARE(QProcess::execute(QStringLiteral(VAROZIDI_BINARY_DIR "/varozidi-setup"), {}), 0);
    const QString socket = SearchSocketName(CollectionConnectionString(home.dataDir()));
    QProcess* first = startProgram({"--search", "first"}, this);
    const auto answering = [&socket] {
        QLocalSocket probe;
        probe.connectToServer(socket);
        return probe.waitForConnected(100);
    };
    QTRY_VERIFY_WITH_TIMEOUT(answering(), 30000);
    // Running, it takes the next request itself: no second program stays.
    QProcess* second = startProgram({"--search", "second"}, this);
    QTRY_COMPARE_WITH_TIMEOUT(second->state(), QProcess::NotRunning, 15000);
    QCOMPARE(second->exitCode(), 0);
    QCOMPARE(first->state(), QProcess::Running);

    // A window opened meanwhile takes the requests over when the first one ends.
    QProcess* plain = startProgram({}, this);
    QTRY_VERIFY_WITH_TIMEOUT(
        QFileInfo::exists(home.stateDir() + QString("/%1-0.lock").arg(plain->processId())), 30000);
    QTest::qWait(2000);
    first->terminate();
    QVERIFY(first->waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(answering(), 10000);
    QProcess* third = startProgram({"--search", "third"}, this);
    QTRY_COMPARE_WITH_TIMEOUT(third->state(), QProcess::NotRunning, 15000);
    QCOMPARE(third->exitCode(), 0);
    QCOMPARE(plain->state(), QProcess::Running);
    plain->terminate();
    QVERIFY(plain->waitForFinished(10000));
}

void QuickCopyTest::badRequestsLeaveTheListenerWorking_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("refused");
    QTest::newRow("not ours") << QByteArray("GET / HTTP/1.0\r\n\r\n") << true;
    QTest::newRow("text too long") << QByteArray("VZS1\x01\x7f\xff\xff\xff", 9) << true;
    QTest::newRow("cut short") << QByteArray("VZS1\x01\x00\x00\x00\x09"
                                             "abc",
                                             12)
                               << false;
}

// A file left by a killed program is replaced; what is not a request gets no answer, the
// next request is taken all the same, and the file goes with the window.
void QuickCopyTest::badRequestsLeaveTheListenerWorking() {
    QFETCH(QByteArray, request);
    QFETCH(bool, refused);
    QString socket;
    {
        Started s({{"C++", "Vector sum", "x"}});
        socket = SearchSocketName(s->ADOConnection1->ConnectionString());
        const QByteArray path = QFile::encodeName(socket);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        const int left = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QCOMPARE(::bind(left, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(left);
        ListenForSearches(socket, &s.form());
        QCOMPARE(QFileInfo(socket).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);

        QLocalSocket bad;
        bad.connectToServer(socket);
        QVERIFY(bad.waitForConnected(1000));
        bad.write(request);
        if (refused)
            QTRY_COMPARE(bad.state(), QLocalSocket::UnconnectedState);
        else
            QTest::qWait(100);
        QCOMPARE(bad.readAll(), QByteArray());
        bad.abort();
        QVERIFY(!s->Search || !s->Search->isVisible());

        QLocalSocket good;
        good.connectToServer(socket);
        QVERIFY(good.waitForConnected(1000));
        good.write(QByteArray("VZS1\x01\x00\x00\x00\x05"
                              "after",
                              14));
        QTRY_COMPARE_WITH_TIMEOUT(good.bytesAvailable(), qint64(1), 5000);
        QCOMPARE(good.readAll(), QByteArray("k"));
        QCOMPARE(s->Search->Query->text(), QString("after"));
    }
    // Closing the window takes the socket file along.
    QVERIFY(!QFileInfo::exists(socket));
}

int main(int argc, char** argv) {
    // The second process that pastes: prints what the clipboard holds and leaves.
    if (argc >= 2 && std::strcmp(argv[1], "--read-clipboard") == 0) {
        QGuiApplication app(argc, argv);
        const bool selection = argc >= 3 && std::strcmp(argv[2], "selection") == 0;
        const QByteArray text =
            QGuiApplication::clipboard()
                ->text(selection ? QClipboard::Selection : QClipboard::Clipboard)
                .toUtf8();
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return 0;
    }
    QApplication app(argc, argv);
    QuickCopyTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "quickcopy_x11.moc"
