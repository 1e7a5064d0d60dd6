// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

class QProgressBar;
class TStatusBar;
class TStatusPanel;
class TWebBrowser;

namespace Ui {
class TForm4;
}

// The help browser window: the online help in an embedded browser, with a status bar that
// shows the status text or address and the download progress. It starts loading the help at
// creation while hidden, and falls back to a local page whenever a navigation fails.
class TForm4 : public QWidget {
    Q_OBJECT
public:
    // appDir: the program's folder, ending in '/', where the local page lies.
    // startPage: the online start page, an absolute http address.
    // mainWindow: the window it first opens centred over, if any.
    TForm4(const QString& appDir, const QString& startPage, QWidget* mainWindow = nullptr,
           QWidget* parent = nullptr);
    ~TForm4() override;

    // The local page's address: "file://" + AppDir + "proxy.htm", the folder as it is.
    QString FallbackURL() const;

    TStatusBar* StatusBar1;
    TWebBrowser* WebBrowser1;
    QProgressBar* ProgressBar1;

    const QString AppDir;
    const QString StartPage;

    void FormCreate(QObject* Sender = nullptr);
    void StatusBar1DrawPanel(TStatusBar* StatusBar, TStatusPanel* Panel, const QRect& Rect);
    void WebBrowser1NavigateError(QObject* Sender, const QString& URL, int StatusCode);
    void WebBrowser1ProgressChange(QObject* Sender, int Progress, int ProgressMax);
    void WebBrowser1StatusTextChange(QObject* Sender, const QString& Text);

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void fitStatusPanel();

    Ui::TForm4* ui;
    QPointer<QWidget> mainWindow_;
    bool placed_ = false;
    int createdWidth_ = 0;
    bool frameFitted_ = false; // panel 0 fitted to the frame the window manager drew
};
