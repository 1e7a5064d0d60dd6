// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/Toolkit.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

void ProcessMessages() {
    QCoreApplication::processEvents();
}

void Sleep(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
}
