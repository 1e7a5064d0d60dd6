// SPDX-License-Identifier: GPL-3.0-or-later
#include "window/platform/Fonts.h"

#include <QFile>
#include <QFontDatabase>

namespace {

void registerTahoma() {
    static const bool done = [] {
        if (QFontDatabase::hasFamily(QStringLiteral("Tahoma")))
            return true;
        for (const char* file :
             {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"})
            if (QFile::exists(QString::fromLatin1(file)))
                QFontDatabase::addApplicationFont(QString::fromLatin1(file));
        return true;
    }();
    (void)done;
}

} // namespace

QFont FormFont(int pixelSize, bool bold) {
    registerTahoma();
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}
