#include "platform/TWebBrowser.h"

#include <QVBoxLayout>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <unistd.h>

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
    // Local pages may not reach remote addresses; Chromium itself keeps remote pages away
    // from local files.
    profile_->settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
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
