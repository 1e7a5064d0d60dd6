// SPDX-License-Identifier: GPL-3.0-or-later
#include "help/Unit4.h"
#include "ui_Unit4.h"

#include "help/platform/TStatusBar.h"
#include "help/platform/TWebBrowser.h"

#include <QIcon>
#include <QPainter>
#include <QProgressBar>
#include <QProxyStyle>
#include <QScreen>
#include <QShortcut>
#include <QStyle>
#include <QStyleOption>

namespace {

// The progress bar sits flush in its status panel: its groove gets no frame of its own.
class FramelessProgressStyle : public QProxyStyle {
public:
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        if (element == CE_ProgressBarGroove) {
            painter->fillRect(option->rect, option->palette.base());
            return;
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }
};

// Shown when even the local page is missing, so that the user learns why and what helps.
QString offlinePage(const QString& localPage) {
    return QStringLiteral(
               "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
               "<title>Help is not available offline</title><style>"
               "body{font-family:\"Liberation Sans\",\"DejaVu "
               "Sans\",Arial,sans-serif;font-size:13px;margin:16px 20px;color:#222}"
               "h1{font-size:18px;color:#1b4f8a}code{font-size:12px;word-break:break-all}"
               "</style></head><body><h1>Help is not available offline</h1>"
               "<p>The online help could not be reached, and the local help page that comes "
               "with Varozidi is missing:</p><p><code>%1</code></p>"
               "<p>Connect to the internet and start Varozidi again to read the online help, "
               "or install Varozidi again to restore the local page.</p></body></html>")
        .arg(localPage.toHtmlEscaped());
}

// The border a window manager usually draws on each side.
constexpr int kUsualBorder = 4;

} // namespace

TForm4::TForm4(const QString& appDir, const QString& startPage, QWidget* mainWindow,
               QWidget* parent)
    : QWidget(parent), AppDir(appDir), StartPage(startPage), ui(new Ui::TForm4),
      mainWindow_(mainWindow) {
    ui->setupUi(this);
    StatusBar1 = ui->StatusBar1;
    WebBrowser1 = ui->WebBrowser1;
    ProgressBar1 = ui->ProgressBar1;
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 72, 80, 96, 128})
        icon.addFile(QStringLiteral(":/images/help-%1.png").arg(size));
    setWindowIcon(icon);
    StatusBar1->setPanelCount(2);

    connect(StatusBar1, &TStatusBar::OnDrawPanel, this, &TForm4::StatusBar1DrawPanel);
    connect(WebBrowser1, &TWebBrowser::OnStatusTextChange, this,
            &TForm4::WebBrowser1StatusTextChange);
    connect(WebBrowser1, &TWebBrowser::OnProgressChange, this, &TForm4::WebBrowser1ProgressChange);
    connect(WebBrowser1, &TWebBrowser::OnNavigateError, this, &TForm4::WebBrowser1NavigateError);
    // Escape puts the help away, as it does any auxiliary window; closing only hides it.
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            &QWidget::close);
    FormCreate(this);
}

TForm4::~TForm4() {
    delete ui;
}

QString TForm4::FallbackURL() const {
    return QStringLiteral("file://") + AppDir + QStringLiteral("proxy.htm");
}

void TForm4::FormCreate(QObject*) {
    // Fixed at creation: resizing the window later leaves panel 0 as it is.
    createdWidth_ = width();
    fitStatusPanel();
    StatusBar1->Panel(1)->setStyle(TStatusPanelStyle::psOwnerDraw);
    ProgressBar1->setParent(StatusBar1);
    auto* style = new FramelessProgressStyle;
    style->setParent(ProgressBar1);
    ProgressBar1->setStyle(style);
    ProgressBar1->show();
    WebBrowser1->Navigate2(StartPage);
}

void TForm4::StatusBar1DrawPanel(TStatusBar* StatusBar, TStatusPanel* Panel, const QRect& Rect) {
    if (Panel != StatusBar->Panel(1))
        return;
    // The rightmost 15 pixels stay free for the size grip.
    ProgressBar1->setGeometry(Rect.left(), Rect.top(), std::max(0, Rect.width() - 15),
                              Rect.height());
    ProgressBar1->setContentsMargins(0, 0, 0, 0);
}

void TForm4::WebBrowser1NavigateError(QObject*, const QString& URL, int) {
    const QString fallback = FallbackURL();
    // A frame of the local page itself failed: loading that page again would fail again.
    if (QUrl(WebBrowser1->LocationURL()) == TWebBrowser::ToUrl(fallback) &&
        QUrl(URL) != TWebBrowser::ToUrl(fallback))
        return;
    // The local page itself failed: asking for it again would never end.
    if (QUrl(URL) == TWebBrowser::ToUrl(fallback)) {
        WebBrowser1->LoadHtml(offlinePage(AppDir + QStringLiteral("proxy.htm")));
        return;
    }
    WebBrowser1->Navigate(fallback);
}

void TForm4::WebBrowser1ProgressChange(QObject*, int Progress, int ProgressMax) {
    ProgressBar1->setMinimum(0);
    ProgressBar1->setMaximum(ProgressMax);
    ProgressBar1->setValue(Progress);
    StatusBar1->Panel(0)->setText(WebBrowser1->LocationURL());
}

void TForm4::WebBrowser1StatusTextChange(QObject*, const QString& Text) {
    StatusBar1->Panel(0)->setText(Text);
}

// Two thirds of the window's outer width at creation. Its frame is known only once the window
// manager has framed the shown window; until then the usual frame stands in.
void TForm4::fitStatusPanel() {
    int frame = frameGeometry().width() - geometry().width();
    if (!isVisible() && frame == 0)
        frame = 2 * std::max(style()->pixelMetric(QStyle::PM_DefaultFrameWidth), kUsualBorder);
    StatusBar1->Panel(0)->setWidth(2 * (createdWidth_ + frame) / 3);
}

bool TForm4::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    // The frame arrives a moment after the window is shown, and is told by a move.
    if ((event->type() == QEvent::Move || event->type() == QEvent::Show) && isVisible() &&
        !frameFitted_) {
        fitStatusPanel();
        frameFitted_ = frameGeometry() != geometry();
    }
    return handled;
}

void TForm4::showEvent(QShowEvent* event) {
    // Centred over the main window the first time, but never off the screen; afterwards it
    // stays where the user left it.
    if (!placed_ && mainWindow_) {
        placed_ = true;
        QRect place(QPoint(), frameGeometry().size());
        // Not framed yet: the usual frame stands in, so that the whole window fits.
        if (frameGeometry() == geometry())
            place.setSize(place.size() + QSize(2 * kUsualBorder,
                                               2 * kUsualBorder + style()->pixelMetric(
                                                                      QStyle::PM_TitleBarHeight)));
        place.moveCenter(mainWindow_->frameGeometry().center());
        if (const QScreen* screen = mainWindow_->screen()) {
            const QRect area = screen->availableGeometry();
            // On a small screen at a high resolution it would not fit: it shrinks to it.
            const QSize excess = place.size() - place.size().boundedTo(area.size());
            if (!excess.isNull()) {
                resize(size() - excess);
                place.setSize(place.size() - excess);
                place.moveCenter(mainWindow_->frameGeometry().center());
            }
            place.moveRight(std::min(place.right(), area.right()));
            place.moveBottom(std::min(place.bottom(), area.bottom()));
            place.moveLeft(std::max(place.left(), area.left()));
            place.moveTop(std::max(place.top(), area.top()));
        }
        move(place.topLeft());
    }
    QWidget::showEvent(event);
}
