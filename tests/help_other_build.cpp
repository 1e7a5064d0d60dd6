// SPDX-License-Identifier: GPL-3.0-or-later
// A help module as a build against another Qt makes it: the same entry and layout, its table
// named for that Qt. Its window must never be asked for.
#include "help/HelpContract.h"

#include <cstdlib>

namespace {

QWidget* createHelpWindow(const HelpWindowRequest&) {
    std::abort();
}

} // namespace

extern "C" Q_DECL_EXPORT const void* varozidi_help_functions() {
    static const QByteArray names =
        QByteArray(HelpFunctionNames()).replace("Qt " QT_VERSION_STR, "Qt 6.0.0");
    static const HelpFunctions table{{sizeof(HelpFunctions), names.constData()}, &createHelpWindow};
    return &table;
}
