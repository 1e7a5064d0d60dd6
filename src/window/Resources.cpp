// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/Resources.h"

#include <QtGlobal>

void InitResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(varozidi);
        return true;
    }();
    (void)done;
}

QIcon ProgramIcon() {
    // Never freed: pictures may not outlive the application object, and this one lasts.
    static const QIcon* icon = [] {
        InitResources();
        auto* made = new QIcon;
        for (int size : {16, 24, 32, 48, 64, 128, 256})
            made->addFile(QStringLiteral(":/images/varozidi-%1.png").arg(size));
        return made;
    }();
    return *icon;
}
