// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QUrl>
#include <QVariant>
#include <QWidget>
#include <optional>
#include <sys/types.h>

class QTimer;
class QWebEngineProfile;
class QWebEngineView;

// Chromium refuses to start its sandbox for root. For a process run by root (euid 0) this
// turns the sandbox off for this run only; for anyone else it leaves it on. Takes effect if
// called before the first browser exists; TWebBrowser calls it itself.
void PrepareWebBrowserProcess(uid_t euid);
void PrepareWebBrowserProcess();

// The embedded web browser: a Qt WebEngine view with its own off-the-record profile, offering
// the events, navigation calls and current address the help window relies on. Remote pages may
// not reach local files, and local pages may not reach remote addresses.
//
// Starting the browser engine holds up the user-interface thread for a moment, so it waits
// until the windows already shown have painted; a navigation asked for before then is held
// and goes ahead as soon as the engine is up.
class TWebBrowser : public QWidget {
    Q_OBJECT
public:
    explicit TWebBrowser(QWidget* parent = nullptr);
    ~TWebBrowser() override;

    // Starts loading the address held by URL (a string).
    void Navigate2(const QVariant& URL);
    void Navigate(const QString& URL);
    // Shows a page the program made itself; it has no address of its own.
    void LoadHtml(const QString& html);
    // The full address of the page shown, spaces and other characters as a reader expects.
    QString LocationURL() const;
    // True from the start of a navigation until it has ended, however it ended.
    bool Busy() const { return busy_; }
    // Whether the engine is up; see the class comment.
    bool Started() const { return view_ != nullptr; }

    // An address as the browser takes it. "file://" followed by a path is a local file with
    // that path as it is, spaces, '#' and '%' included, as such addresses were always written.
    static QUrl ToUrl(const QString& address);

    // The engine's view, started now if it was not yet.
    QWebEngineView* view();

signals:
    // The text a browser shows in its status bar: the link under the mouse, else the address.
    void OnStatusTextChange(QObject* Sender, const QString& Text);
    // Download progress of the page being loaded, Progress out of ProgressMax.
    void OnProgressChange(QObject* Sender, int Progress, int ProgressMax);
    // A navigation failed, of the page or of a frame inside it. StatusCode is the HTTP status,
    // or Chromium's negative error code; 0 for a frame, of which the browser tells neither.
    void OnNavigateError(QObject* Sender, const QString& URL, int StatusCode);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void startWhenShown();
    // A page loaded while hidden gives its renderer back after a while, and loads again
    // when shown: the help is most often never opened.
    void restLater();
    void rest();
    void wake();
    void pollStart();
    void start();

    QWebEngineProfile* profile_ = nullptr;
    QWebEngineView* view_ = nullptr;
    QTimer* rest_ = nullptr;
    bool busy_ = false;
    bool waiting_ = false;
    QElapsedTimer waitingSince_;
    // What to show once started: an address, or a page's own HTML.
    std::optional<QUrl> pendingUrl_;
    std::optional<QString> pendingHtml_;
};
