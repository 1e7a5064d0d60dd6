// SPDX-License-Identifier: GPL-3.0-or-later
#include "Tessel.h"

#include "Placement.h"
#include "data/files/IniFile.h"

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QStyle>
#include <QWidget>
#include <algorithm>

namespace {

constexpr int kBorder = 4;
// Further than any screen, and small enough that no sum with it overflows.
constexpr int kFar = 1 << 20;

QString sectionFor(const QWidget* window) {
    return window->objectName().isEmpty() ? QStringLiteral("Window") : window->objectName();
}

bool placesItsOwnWindows() {
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// How far the window frame reaches beyond the client area on each side: known once the
// window has been shown, else the style's idea of a title bar and border.
QMargins frameOf(const QWidget* window) {
    const QRect client = window->geometry();
    const QRect frame = window->frameGeometry();
    if (window->isVisible())
        return {client.left() - frame.left(), client.top() - frame.top(),
                frame.right() - client.right(), frame.bottom() - client.bottom()};
    const QStyle* style = window->style();
    // Window managers draw borders of a few pixels; better a little room to spare.
    const int border = std::max(style->pixelMetric(QStyle::PM_DefaultFrameWidth), kBorder);
    return {border, style->pixelMetric(QStyle::PM_TitleBarHeight) + border, border, border};
}

// A placement kept while another monitor was attached, or at a higher resolution, comes back
// whole onto a screen that is there now, frame and all no larger than it.
QRect onAScreen(const QRect& rect, const QWidget* window) {
    QList<QRect> areas;
    qsizetype primary = 0;
    for (const QScreen* screen : QGuiApplication::screens()) {
        if (screen == QGuiApplication::primaryScreen())
            primary = areas.size();
        areas.append(screen->availableGeometry());
    }
    return tessel::PlaceOnScreens(rect, frameOf(window), areas, primary);
}

} // namespace

extern "C" {

void RestoreTessel(QWidget* window, const char16_t* settingsFile) {
    if (!window || !settingsFile)
        return;
    const TIniFile ini(QString::fromUtf16(settingsFile));
    const QString section = sectionFor(window);
    const int width = ini.ReadInteger(section, QStringLiteral("Width"), 0);
    const int height = ini.ReadInteger(section, QStringLiteral("Height"), 0);
    if (width <= 0 || height <= 0)
        return;
    const auto near = [](int v) { return std::clamp(v, -kFar, kFar); };
    const QRect kept(near(ini.ReadInteger(section, QStringLiteral("Left"), window->x())),
                     near(ini.ReadInteger(section, QStringLiteral("Top"), window->y())),
                     std::min(width, kFar), std::min(height, kFar));
    const QRect rect = onAScreen(kept, window);
    if (placesItsOwnWindows())
        window->setGeometry(rect);
    else
        window->resize(rect.size());
    if (ini.ReadBool(section, QStringLiteral("Maximized"), false))
        window->setWindowState(window->windowState() | Qt::WindowMaximized);
}

void SaveTessel(QWidget* window, const char16_t* settingsFile) {
    if (!window || !settingsFile)
        return;
    TIniFile ini(QString::fromUtf16(settingsFile));
    const QString section = sectionFor(window);
    const bool maximized = window->isMaximized();
    // A maximized window is kept with the placement it returns to.
    const QRect normal = maximized && !window->normalGeometry().isEmpty() ? window->normalGeometry()
                                                                          : window->geometry();
    ini.WriteInteger(section, QStringLiteral("Left"), normal.x());
    ini.WriteInteger(section, QStringLiteral("Top"), normal.y());
    ini.WriteInteger(section, QStringLiteral("Width"), normal.width());
    ini.WriteInteger(section, QStringLiteral("Height"), normal.height());
    ini.WriteBool(section, QStringLiteral("Maximized"), maximized);
    ini.UpdateFile();
}
}
