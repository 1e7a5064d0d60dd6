// SPDX-License-Identifier: GPL-3.0-or-later
#include "help/platform/TWebBrowser.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QOpenGLContext>
#include <QQuickWindow>
#include <QTimer>
#include <QUuid>
#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <QWindow>
#include <algorithm>
#include <functional>
#include <unistd.h>
#include <utility>

void PrepareWebBrowserProcess(uid_t euid) {
    if (euid == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

void PrepareWebBrowserProcess() {
    PrepareWebBrowserProcess(geteuid());
}

namespace {

// How long the engine waits at most for the windows shown to paint: a window that never
// appears (minimised at start, say) must not keep the help from loading.
constexpr int kMaxWaitMs = 1000;
constexpr int kPollMs = 10;
// How long a hidden page that has loaded keeps its renderer.
constexpr int kRestAfterMs = 5000;

// Chromium tells the program only of the page's own failures: a frame inside the page that
// fails shows an error page of its own without a word. So a script of the browser's own, in
// a world the page cannot reach, runs in every frame: each frame that loads tells its parent
// so, and a parent whose frame finished loading without saying so reports it through the
// console, marked with a key the page cannot know.
const char* const kFrameWatch = R"(
(function () {
    const key = '%1';
    if (window.parent !== window && location.protocol !== 'chrome-error:')
        window.parent.postMessage({ varozidiFrameLoaded: key }, '*');
    const loaded = new WeakSet();
    window.addEventListener('message', function (e) {
        if (e.data && e.data.varozidiFrameLoaded === key && e.source)
            loaded.add(e.source);
    });
    document.addEventListener('load', function (e) {
        const frame = e.target;
        if (!(frame instanceof HTMLIFrameElement || frame instanceof HTMLFrameElement))
            return;
        const src = frame.src || '';
        // Frames of the page's own making run no script of ours.
        if (!/^(https?|file):/i.test(src) || frame.hasAttribute('srcdoc'))
            return;
        const view = frame.contentWindow;
        setTimeout(function () {
            if (view && loaded.has(view))
                loaded.delete(view);
            else
                console.error(key + ' ' + src);
        }, 300);
    }, true);
})();
)";

// Hands the frame watch's reports on, and nothing else the console says.
class WatchedPage : public QWebEnginePage {
public:
    WatchedPage(QWebEngineProfile* profile, QObject* parent, const QString& key,
                std::function<void(const QString&)> frameFailed)
        : QWebEnginePage(profile, parent), key_(key + u' '), frameFailed_(std::move(frameFailed)) {}

protected:
    void javaScriptConsoleMessage(JavaScriptConsoleMessageLevel, const QString& message, int,
                                  const QString&) override {
        if (message.startsWith(key_))
            frameFailed_(message.mid(key_.size()));
    }

private:
    QString key_;
    std::function<void(const QString&)> frameFailed_;
};

// The engine warns, once it draws its first page, that it found no OpenGL, which it was not
// to use.
QtMessageHandler handlerBeforeEngine = nullptr;

void quietNoOpenGL(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg &&
        message.startsWith(QLatin1String("No suitable graphics backend found")))
        return;
    handlerBeforeEngine(type, context, message);
}

// Help pages are plain documents: drawn in software they look the same, and no OpenGL driver
// loads into the program for them (with Mesa's software OpenGL, its LLVM alone is 26 MB).
// Must run before the first view and the engine exist.
void drawInSoftware() {
    static bool done = false;
    if (std::exchange(done, true))
        return;
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    handlerBeforeEngine = qInstallMessageHandler(quietNoOpenGL);
    // The engine asks X for an OpenGL configuration even so, which loads the driver. X's
    // platform picks its OpenGL integration once, when first asked, from this variable;
    // picking none keeps the driver out. The variable is put back at once, so programs
    // started from here do not inherit it.
    if (QGuiApplication::platformName() != QLatin1String("xcb") ||
        !qEnvironmentVariableIsEmpty("QT_XCB_GL_INTEGRATION"))
        return;
    qputenv("QT_XCB_GL_INTEGRATION", "none");
    QOpenGLContext::supportsThreadedOpenGL();
    qunsetenv("QT_XCB_GL_INTEGRATION");
}

// Every visible top-level window has been exposed, and so painted.
bool windowsShown() {
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::all_of(windows.cbegin(), windows.cend(), [](const QWidget* window) {
        return !window->isVisible() ||
               (window->windowHandle() && window->windowHandle()->isExposed());
    });
}

} // namespace

TWebBrowser::TWebBrowser(QWidget* parent) : QWidget(parent) {
    PrepareWebBrowserProcess();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
}

void TWebBrowser::startWhenShown() {
    if (view_ || waiting_)
        return;
    waiting_ = true;
    waitingSince_.start();
    QTimer::singleShot(0, this, &TWebBrowser::pollStart);
}

void TWebBrowser::pollStart() {
    if (view_)
        return;
    if (windowsShown() || waitingSince_.hasExpired(kMaxWaitMs))
        start();
    else
        QTimer::singleShot(kPollMs, this, &TWebBrowser::pollStart);
}

void TWebBrowser::start() {
    if (view_)
        return;
    waiting_ = false;
    drawInSoftware();
    // No storage name: nothing of the help pages is kept on disk.
    profile_ = new QWebEngineProfile(this);
    // Local pages may not reach remote addresses; Chromium itself keeps remote pages away
    // from local files.
    profile_->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    view_ = new QWebEngineView(this);
    const QString key = QUuid::createUuid().toString(QUuid::Id128);
    view_->setPage(new WatchedPage(
        profile_, view_, key, [this](const QString& url) { emit OnNavigateError(this, url, 0); }));
    QWebEngineScript watch;
    watch.setName(QStringLiteral("varozidi-frame-watch"));
    watch.setSourceCode(QString::fromLatin1(kFrameWatch).arg(key));
    watch.setInjectionPoint(QWebEngineScript::DocumentCreation);
    watch.setWorldId(QWebEngineScript::ApplicationWorld);
    watch.setRunsOnSubFrames(true);
    view_->page()->scripts().insert(watch);
    layout()->addWidget(view_);
    setFocusProxy(view_);

    QWebEnginePage* page = view_->page();
    connect(page, &QWebEnginePage::linkHovered, this, [this](const QString& url) {
        emit OnStatusTextChange(this, url.isEmpty() ? LocationURL() : url);
    });
    connect(page, &QWebEnginePage::loadProgress, this,
            [this](int progress) { emit OnProgressChange(this, progress, 100); });
    connect(page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo& info) {
        busy_ = info.status() == QWebEngineLoadingInfo::LoadStartedStatus;
        if (info.status() == QWebEngineLoadingInfo::LoadFailedStatus)
            emit OnNavigateError(this, info.url().toString(), info.errorCode());
        restLater();
    });
    rest_ = new QTimer(this);
    rest_->setSingleShot(true);
    rest_->setInterval(kRestAfterMs);
    connect(rest_, &QTimer::timeout, this, &TWebBrowser::rest);

    if (pendingHtml_)
        view_->setHtml(*pendingHtml_, QUrl(QStringLiteral("about:blank")));
    else if (pendingUrl_)
        view_->load(*pendingUrl_);
    pendingHtml_.reset();
    pendingUrl_.reset();
}

QWebEngineView* TWebBrowser::view() {
    start();
    wake();
    return view_;
}

void TWebBrowser::restLater() {
    if (busy_)
        rest_->stop();
    else
        rest_->start();
}

void TWebBrowser::rest() {
    QWebEnginePage* page = view_->page();
    if (!isVisible() && !busy_ && page->lifecycleState() == QWebEnginePage::LifecycleState::Active)
        page->setLifecycleState(QWebEnginePage::LifecycleState::Discarded);
}

void TWebBrowser::wake() {
    // An active page loads again what it showed when it was discarded.
    if (view_ && view_->page()->lifecycleState() != QWebEnginePage::LifecycleState::Active)
        view_->page()->setLifecycleState(QWebEnginePage::LifecycleState::Active);
}

void TWebBrowser::showEvent(QShowEvent* event) {
    wake();
    QWidget::showEvent(event);
}

TWebBrowser::~TWebBrowser() {
    // The page must go before the profile it uses.
    delete view_;
}

QUrl TWebBrowser::ToUrl(const QString& address) {
    static const QString file = QStringLiteral("file://");
    if (address.startsWith(file, Qt::CaseInsensitive))
        return QUrl::fromLocalFile(address.mid(file.size()));
    return QUrl(address.trimmed(), QUrl::StrictMode);
}

void TWebBrowser::Navigate2(const QVariant& URL) {
    Navigate(URL.toString());
}

void TWebBrowser::Navigate(const QString& URL) {
    const QUrl url = ToUrl(URL);
    if (url.isValid() && !url.isRelative()) {
        busy_ = true;
        if (view_) {
            wake();
            view_->load(url);
        } else {
            pendingHtml_.reset();
            pendingUrl_ = url;
            startWhenShown();
        }
        return;
    }
    // An address the browser cannot even start on fails like any other navigation, once
    // this call has returned.
    QMetaObject::invokeMethod(
        this, [this, URL] { emit OnNavigateError(this, URL, 0); }, Qt::QueuedConnection);
}

void TWebBrowser::LoadHtml(const QString& html) {
    busy_ = true;
    if (view_) {
        wake();
        view_->setHtml(html, QUrl(QStringLiteral("about:blank")));
    } else {
        pendingUrl_.reset();
        pendingHtml_ = html;
        startWhenShown();
    }
}

QString TWebBrowser::LocationURL() const {
    return view_ ? view_->url().toString() : QString();
}
