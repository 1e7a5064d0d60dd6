// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Where a kept window placement goes on the screens attached now. Apart from the window
// system so that it can be tried on any set of screens.

#include <QList>
#include <QMargins>
#include <QRect>
#include <algorithm>

namespace tessel {

// client: the window's client area as kept; frame: how far the frame reaches beyond it on
// each side; screens: each screen's available area; primary: the index of the primary one.
// The whole frame comes onto the screen that holds most of it (the primary one when none
// holds any), shrunk to that screen where it is larger. Returns the client area.
inline QRect PlaceOnScreens(const QRect& client, const QMargins& frame, const QList<QRect>& screens,
                            qsizetype primary) {
    if (screens.isEmpty())
        return client;
    // Kept values come from a file: far beyond any screen they are as good as far.
    static constexpr int kFar = 1 << 20;
    QRect outer(std::clamp(client.x(), -kFar, kFar), std::clamp(client.y(), -kFar, kFar),
                std::clamp(client.width(), 1, kFar), std::clamp(client.height(), 1, kFar));
    outer = outer.marginsAdded(frame);
    qsizetype best = std::clamp<qsizetype>(primary, 0, screens.size() - 1);
    qint64 most = 0;
    for (qsizetype i = 0; i < screens.size(); ++i) {
        const QRect common = outer.intersected(screens[i]);
        const qint64 area = qint64(common.width()) * common.height();
        if (area > most) {
            most = area;
            best = i;
        }
    }
    const QRect area = screens[best];
    outer.setSize(outer.size().boundedTo(area.size()));
    outer.moveTo(std::clamp(outer.left(), area.left(), area.right() - outer.width() + 1),
                 std::clamp(outer.top(), area.top(), area.bottom() - outer.height() + 1));
    QRect placed = outer.marginsRemoved(frame);
    placed.setSize(placed.size().expandedTo(QSize(1, 1)));
    return placed;
}

} // namespace tessel
