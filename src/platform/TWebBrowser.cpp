#include "platform/TWebBrowser.h"

#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>
#include <unistd.h>

namespace {

bool isRemote(const QUrl& url) {
    static const QStringList schemes = {QStringLiteral("http"), QStringLiteral("https"),
                                        QStringLiteral("ws"), QStringLiteral("wss"),
                                        QStringLiteral("ftp")};
    return schemes.contains(url.scheme(), Qt::CaseInsensitive);
}

// Keeps local files and remote addresses apart: a request from a remote page to a local file,
// or from a local page to a remote address, is refused. Requests the program starts itself
// have no initiator and pass.
class LocalRemoteWall : public QWebEngineUrlRequestInterceptor {
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        const QUrl target = info.requestUrl();
        QUrl source = info.initiator();
        if (source.isEmpty() &&
            info.resourceType() != QWebEngineUrlRequestInfo::ResourceTypeMainFrame)
            source = info.firstPartyUrl();
        if (source.isEmpty())
            return;
        const bool fromLocal = source.isLocalFile() || source.scheme() == QLatin1String("file");
        if ((target.isLocalFile() && isRemote(source)) || (isRemote(target) && fromLocal))
            info.block(true);
    }
};

} // namespace

void PrepareWebBrowserProcess(uid_t euid) {
    if (euid == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
}

void PrepareWebBrowserProcess() {
    PrepareWebBrowserProcess(geteuid());
}

TWebBrowser::TWebBrowser(QWidget* parent) : QWidget(parent) {
    PrepareWebBrowserProcess();
    // No storage name: nothing of the help pages is kept on disk.
    profile_ = new QWebEngineProfile(this);
    profile_->setUrlRequestInterceptor(new LocalRemoteWall(profile_));
    view_ = new QWebEngineView(this);
    view_->setPage(new QWebEnginePage(profile_, view_));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view_);
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
    });
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
        view_->load(url);
        return;
    }
    // An address the browser cannot even start on fails like any other navigation, once
    // this call has returned.
    QMetaObject::invokeMethod(
        this, [this, URL] { emit OnNavigateError(this, URL, 0); }, Qt::QueuedConnection);
}

void TWebBrowser::LoadHtml(const QString& html) {
    busy_ = true;
    view_->setHtml(html, QUrl(QStringLiteral("about:blank")));
}

QString TWebBrowser::LocationURL() const {
    return view_->url().toString();
}
