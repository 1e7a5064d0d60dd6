// SPDX-License-Identifier: GPL-3.0-or-later
// The help browser window against a real HTTP server on 127.0.0.1 and the real browser.

#include "TestSupport.h"
#include "help/Unit4.h"
#include "help/platform/TStatusBar.h"
#include "help/platform/TWebBrowser.h"
#include "window/Forms.h"
#include "window/Unit1.h"

#include <QAccessible>
#include <QDir>
#include <QProgressBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <QtTest>
#include <memory>
#include <optional>

using namespace testsupport;

namespace {

constexpr int kLoad = 20000; // ms; the first page also starts the browser's processes

// A minimal HTTP/1.1 server: known paths get their page, others 404. Records every request.
class HelpServer : public QObject {
public:
    HelpServer() {
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        });
    }
    bool start() { return server_.listen(QHostAddress::LocalHost); }
    QString base() const {
        return QStringLiteral("http://127.0.0.1:%1/").arg(server_.serverPort());
    }
    void page(const QString& path, const QByteArray& html) { pages_.insert(path, html); }
    QStringList requests() const { return requests_; }
    int count(const QString& path) const { return static_cast<int>(requests_.count(path)); }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& buffer = buffers_[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n"))
            return;
        const QString path = QString::fromLatin1(buffer.split(' ').value(1));
        buffers_.remove(socket);
        requests_.append(path);
        const bool known = pages_.contains(path);
        const QByteArray body = known ? pages_.value(path) : QByteArray("<h1>Not here</h1>");
        socket->write((known ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n") +
                      QByteArray("Content-Type: text/html; charset=utf-8\r\nContent-Length: ") +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

    QTcpServer server_;
    QHash<QString, QByteArray> pages_;
    QHash<QTcpSocket*, QByteArray> buffers_;
    QStringList requests_;
};

// A loopback port that nothing listens on: connections to it are refused.
QString refusedAddress() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return {};
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("http://127.0.0.1:%1/index.htm").arg(port);
}

// The help window the program made, which comes from the help module.
TForm4* help() {
    return static_cast<TForm4*>(Form4);
}

QString panel0(const TForm4& form) {
    return form.StatusBar1->Panel(0)->Text();
}

QString title(const TForm4& form) {
    return form.WebBrowser1->view()->title();
}

// Texts of the status bar's accessible children, as a screen reader gets them.
QStringList accessibleTexts(QWidget* widget) {
    QStringList texts;
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(widget);
    for (int i = 0; bar && i < bar->childCount(); ++i)
        if (QAccessibleInterface* child = bar->child(i))
            texts << child->text(QAccessible::Name);
    return texts;
}

const QByteArray kIndex = QByteArrayLiteral(
    "<!DOCTYPE html><html><head><title>Online help</title>"
    "<link rel='icon' href='data:,'></head><body style='margin:0'>"
    "<a href='/gone.htm' style='display:block;position:absolute;left:0;top:0;width:400px;"
    "height:100px;font-size:40px'>A page that is gone</a></body></html>");

// Calls back at a widget's first paint.
class FirstPaint : public QObject {
public:
    explicit FirstPaint(std::function<void()> done) : done_(std::move(done)) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && done_)
            std::exchange(done_, nullptr)();
        return false;
    }

private:
    std::function<void()> done_;
};

struct ProgressReport {
    int progress, progressMax, value, maximum;
    QString panel0, location;
};

} // namespace

class HelpTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    // These share one window and run in this order, as a user would meet it.
    void startPageLoadsAtCreationWhileHidden();
    void reopeningRequestsNothing();
    void progressBarSitsInPanel1_data();
    void progressBarSitsInPanel1();
    void hoveredLinkShowsInPanel0();
    void followedLinkThatFailsFallsBack();
    // Each of these makes a window of its own.
    void fallbackAfterStartPageFails_data();
    void fallbackAfterStartPageFails();
    void innerFrames_data();
    void innerFrames();
    void localAndRemoteStayApart();
    void mainWindowPaintsBeforeTheBrowserStarts();

private:
    std::unique_ptr<DataHome> home_;
    HelpServer server_;
    QTemporaryDir appDir_;
    std::unique_ptr<TForm4> form_;
    QList<ProgressReport> reports_;
};

void HelpTest::initTestCase() {
    home_ = std::make_unique<DataHome>();
    QVERIFY(server_.start());
    server_.page(QStringLiteral("/index.htm"), kIndex);
    QVERIFY(appDir_.isValid());
    QVERIFY(QFile::copy(QStringLiteral(VAROZIDI_BINARY_DIR "/proxy.htm"),
                        appDir_.filePath(QStringLiteral("proxy.htm"))));
    form_ = std::make_unique<TForm4>(appDir_.path() + u'/', server_.base() + "index.htm");
    // Connected after the window's own handler, so it sees what that handler left.
    connect(form_->WebBrowser1, &TWebBrowser::OnProgressChange, this,
            [this](QObject*, int progress, int progressMax) {
                reports_.append({progress, progressMax, form_->ProgressBar1->value(),
                                 form_->ProgressBar1->maximum(), panel0(*form_),
                                 form_->WebBrowser1->LocationURL()});
            });
}

void HelpTest::cleanupTestCase() {
    form_.reset();
    home_.reset();
}

void HelpTest::startPageLoadsAtCreationWhileHidden() {
    const QString start = server_.base() + "index.htm";
    // Nothing here touches the browser: it starts and loads by itself.
    QTRY_COMPARE_WITH_TIMEOUT(form_->WebBrowser1->LocationURL(), start, kLoad);
    QTRY_COMPARE_WITH_TIMEOUT(title(*form_), QString("Online help"), kLoad);
    QTRY_VERIFY(!form_->WebBrowser1->Busy());
    QVERIFY(!form_->isVisible());
    QCOMPARE(server_.count("/index.htm"), 1);
    QCOMPARE(panel0(*form_), start);
    QCOMPARE(form_->ProgressBar1->value(), 100);
    // Panel 0 was sized from the window's width at creation, with the usual frame around it
    // until the window is shown.
    QVERIFY(form_->StatusBar1->Panel(0)->Width() > 2 * 682 / 3);
}

void HelpTest::reopeningRequestsNothing() {
    const QStringList before = server_.requests();
    QSignalSpy loads(form_->WebBrowser1->view(), &QWebEngineView::loadStarted);
    for (int i = 0; i < 2; ++i) {
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        QVERIFY(form_->close());
        QVERIFY(!form_->isVisible());
    }
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    // Shown, panel 0 takes the frame as drawn (none where no window manager draws one).
    const int frame = form_->frameGeometry().width() - form_->width();
    QCOMPARE(form_->StatusBar1->Panel(0)->Width(), 2 * (682 + frame) / 3);
    // Escape puts it away like its close button.
    form_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(form_.get()));
    QTest::keyClick(form_->WebBrowser1->view()->focusProxy()
                        ? form_->WebBrowser1->view()->focusProxy()
                        : form_.get(),
                    Qt::Key_Escape);
    QTRY_VERIFY(!form_->isVisible());
    form_->show();
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    QTest::qWait(300);
    QCOMPARE(loads.count(), 0);
    QCOMPARE(server_.requests(), before);
    QCOMPARE(title(*form_), QString("Online help"));
}

void HelpTest::progressBarSitsInPanel1_data() {
    QTest::addColumn<QSize>("size");
    QTest::newRow("as designed") << QSize(682, 459);
    QTest::newRow("wider") << QSize(900, 500);
    QTest::newRow("narrower") << QSize(560, 300);
    QTest::newRow("panel 1 under 15 pixels") << QSize(462, 300);
}

void HelpTest::progressBarSitsInPanel1() {
    QFETCH(QSize, size);
    form_->resize(size);
    QTRY_COMPARE(form_->StatusBar1->width(), size.width());
    const int frame = form_->frameGeometry().width() - form_->width();
    QCOMPARE(form_->StatusBar1->Panel(0)->Width(), 2 * (682 + frame) / 3);
    QCOMPARE(form_->ProgressBar1->parentWidget(), form_->StatusBar1);
    // 15 pixels short of panel 1's right end, as high as it; no width at all below 15.
    const QRect panel = form_->StatusBar1->PanelRect(1);
    QVERIFY(panel.left() > form_->StatusBar1->Panel(0)->Width());
    QTRY_COMPARE(form_->ProgressBar1->geometry(),
                 QRect(panel.left(), panel.top(), std::max(0, panel.width() - 15), panel.height()));
}

void HelpTest::hoveredLinkShowsInPanel0() {
    form_->resize(682, 459);
    QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
    const QString link = server_.base() + "gone.htm";
    QWidget* page = nullptr;
    QTRY_VERIFY((page = form_->WebBrowser1->view()->focusProxy()) != nullptr);
    // The renderer may still be settling; move until it reports the link.
    for (int i = 0; i < 50 && panel0(*form_) != link; ++i) {
        QTest::mouseMove(page, QPoint(40 + i % 2, 30));
        QTest::qWait(100);
    }
    QCOMPARE(panel0(*form_), link);
    QVERIFY2(accessibleTexts(form_->StatusBar1).contains(link),
             qPrintable(accessibleTexts(form_->StatusBar1).join(" | ")));
    // Off the link, the bar shows the page's address again.
    QTest::mouseMove(page, QPoint(500, 300));
    QTRY_COMPARE(panel0(*form_), server_.base() + "index.htm");
}

void HelpTest::followedLinkThatFailsFallsBack() {
    QWidget* page = form_->WebBrowser1->view()->focusProxy();
    QVERIFY(page);
    reports_.clear();
    QSignalSpy errors(form_->WebBrowser1, &TWebBrowser::OnNavigateError);
    QTest::mouseClick(page, Qt::LeftButton, {}, QPoint(40, 30));
    const QString fallback = form_->FallbackURL();
    QTRY_COMPARE_WITH_TIMEOUT(title(*form_), QString("KZQ Varozidi Help"), kLoad);
    QTRY_VERIFY(!form_->WebBrowser1->Busy());
    QCOMPARE(server_.count("/gone.htm"), 1);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(2).toInt(), 404);
    QCOMPARE(form_->WebBrowser1->LocationURL(), fallback);
    // The pointer may now rest on a link of the local page, so panel 0 is checked as each
    // progress report left it: every report moved the bar and showed the page's address.
    QVERIFY(reports_.size() >= 2);
    for (const ProgressReport& report : std::as_const(reports_)) {
        QCOMPARE(report.value, report.progress);
        QCOMPARE(report.maximum, report.progressMax);
        QCOMPARE(report.panel0, report.location);
    }
    QCOMPARE(reports_.last().value, 100);
    QCOMPARE(reports_.last().panel0, fallback);
}

void HelpTest::fallbackAfterStartPageFails_data() {
    QTest::addColumn<QString>("startPage");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("localPage"); // proxy.htm lies in the folder
    QTest::addColumn<bool>("exact");     // panel 0 shows the folder character for character
    QTest::newRow("refused") << refusedAddress() << "app" << true << true;
    QTest::newRow("404, folder with spaces") << server_.base() + "nothing-here.htm"
                                             << "My Programs/Varozidi App" << true << true;
    QTest::newRow("not an address, odd folder")
        << "no address at all" << QString::fromUtf8("Prog #1 100% Ünïcode") << true << false;
    QTest::newRow("local page missing") << refusedAddress() << "app" << false << false;
}

void HelpTest::fallbackAfterStartPageFails() {
    QFETCH(QString, startPage);
    QFETCH(QString, folder);
    QFETCH(bool, localPage);
    QFETCH(bool, exact);
    QVERIFY(!startPage.isEmpty());
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(folder));
    const QString appDir = root.path() + u'/' + folder + u'/';
    const QString local = appDir + "proxy.htm";
    if (localPage)
        QVERIFY(QFile::copy(QStringLiteral(VAROZIDI_BINARY_DIR "/proxy.htm"), local));

    TForm4 form(appDir, startPage);
    QSignalSpy errors(form.WebBrowser1, &TWebBrowser::OnNavigateError);
    QTRY_COMPARE_WITH_TIMEOUT(
        title(form),
        localPage ? QString("KZQ Varozidi Help") : QString("Help is not available offline"), kLoad);
    QTRY_VERIFY(!form.WebBrowser1->Busy());
    // The start page fails, and the local page once more when it is missing; then all rests.
    QSignalSpy loads(form.WebBrowser1->view(), &QWebEngineView::loadStarted);
    QTest::qWait(500);
    QCOMPARE(loads.count(), 0);
    QCOMPARE(errors.count(), localPage ? 1 : 2);
    QVERIFY(!form.isVisible());
    QCOMPARE(form.FallbackURL(), "file://" + local);
    if (!localPage) {
        QCOMPARE(QUrl(errors.at(1).at(1).toString()).toLocalFile(), local);
        QString text;
        form.WebBrowser1->view()->page()->toPlainText([&text](const QString& t) { text = t; });
        QTRY_VERIFY(text.contains(local)); // says which file is missing
        return;
    }
    QCOMPARE(QUrl(panel0(form)).toLocalFile(), local);
    if (exact)
        QCOMPARE(panel0(form), "file://" + local);
}

void HelpTest::innerFrames_data() {
    QTest::addColumn<QString>("frame");
    QTest::addColumn<bool>("fails");
    QTest::newRow("refused") << refusedAddress() << true;
    QTest::newRow("loads") << server_.base() + "inner.htm" << false;
    QTest::newRow("the page's own, empty") << "about:blank" << false;
}

// A frame inside the page that fails leads to the local page, as the page's own failure does;
// frames that load leave the page as it is.
void HelpTest::innerFrames() {
    QFETCH(QString, frame);
    QFETCH(bool, fails);
    server_.page("/inner.htm", "<title>Inner</title><p>inside</p>");
    server_.page("/framed.htm", QStringLiteral("<title>Framed</title><p>outside</p>"
                                               "<iframe src='%1'></iframe>")
                                    .arg(frame)
                                    .toUtf8());
    TForm4 form(appDir_.path() + u'/', server_.base() + "framed.htm");
    QSignalSpy errors(form.WebBrowser1, &TWebBrowser::OnNavigateError);
    QTRY_COMPARE_WITH_TIMEOUT(title(form), QString("Framed"), kLoad);
    if (fails) {
        QTRY_COMPARE_WITH_TIMEOUT(title(form), QString("KZQ Varozidi Help"), kLoad);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(QUrl(errors.at(0).at(1).toString()), QUrl(frame));
        QCOMPARE(form.WebBrowser1->LocationURL(), form.FallbackURL());
    } else {
        QTest::qWait(1500);
        QCOMPARE(title(form), QString("Framed"));
        QCOMPARE(errors.size(), 0);
    }
}

// A remote page cannot read a local file, and a local page cannot reach a remote address,
// neither for a part of the page nor by moving to another page.
void HelpTest::localAndRemoteStayApart() {
    QTemporaryDir dir;
    const QString secret = dir.filePath("secret.txt");
    writeFile(secret, "local secret");
    server_.page("/remote.htm", QStringLiteral(R"(<script>
        fetch('%1').then(r => r.text()).then(t => { document.title = 'remote: ' + t; },
                                             () => { document.title = 'remote: failed'; });
        </script>)")
                                    .arg(QUrl::fromLocalFile(secret).toString())
                                    .toUtf8());
    const QString probe = server_.base() + "probe";
    writeFile(dir.filePath("local.htm"), QStringLiteral(R"(<script>
        const img = new Promise(r => { const i = new Image(); i.onload = () => r('loaded');
                                       i.onerror = () => r('failed'); i.src = '%1-image.png'; });
        const got = fetch('%1-fetch').then(() => 'read', () => 'failed');
        Promise.all([img, got]).then(r => { document.title = 'local: ' + r.join(',');
                                            location.href = '%1-page.htm'; });
        </script>)")
                                             .arg(probe)
                                             .toUtf8());

    TWebBrowser browser;
    QSignalSpy errors(&browser, &TWebBrowser::OnNavigateError);
    browser.Navigate(server_.base() + "remote.htm");
    QTRY_COMPARE_WITH_TIMEOUT(browser.view()->title(), QString("remote: failed"), kLoad);
    // The page moves on at once, so its title is caught as it passes.
    QSignalSpy titles(browser.view(), &QWebEngineView::titleChanged);
    browser.Navigate("file://" + dir.path() + "/local.htm");
    QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), kLoad);
    QVERIFY(std::any_of(titles.cbegin(), titles.cend(), [](const QList<QVariant>& title) {
        return title.at(0).toString() == "local: failed,failed";
    }));
    QCOMPARE(errors.last().at(1).toString(), probe + "-page.htm");
    for (const QString& request : server_.requests())
        QVERIFY2(!request.startsWith("/probe"), qPrintable(request));
}

// Starting the browser engine takes a moment; the main window must not wait for it.
void HelpTest::mainWindowPaintsBeforeTheBrowserStarts() {
    makeDatabase(home_->dataDir() + "varozidi.mdb", {});
    writeFile(home_->dataDir() + "kzq.txt", kWelcome);
    Dialogs dialogs;
    CreateForms(server_.base() + "index.htm");
    std::optional<bool> startedAtPaint;
    FirstPaint paint([&] { startedAtPaint = help()->WebBrowser1->Started(); });
    Form1->installEventFilter(&paint);
    Form1->show();
    QTRY_VERIFY(startedAtPaint.has_value());
    QVERIFY(!*startedAtPaint);
    QTRY_COMPARE_WITH_TIMEOUT(help()->WebBrowser1->LocationURL(), server_.base() + "index.htm",
                              kLoad);
    QVERIFY(!Form4->isVisible());
    QVERIFY(dialogs.asked().isEmpty());
    Form1->removeEventFilter(&paint);
    delete Form4;
    delete Form1; // owns Form2
    Form1 = nullptr;
    Form4 = nullptr;
    Form2 = nullptr;
}

QTEST_MAIN(HelpTest)
#include "tst_help.moc"
