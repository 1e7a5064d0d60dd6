// SPDX-License-Identifier: GPL-3.0-or-later
// The help module's one entry point; see HelpModule.h.

#include "help/Unit4.h"
#include "window/HelpModule.h"

#include <type_traits>

extern "C" Q_DECL_EXPORT QWidget* VarozidiCreateHelpWindow(const HelpWindowRequest& request) {
    auto* form = new TForm4(request.appDir, request.startPage, request.mainWindow);
    form->setFont(request.font);
    form->setAttribute(Qt::WA_QuitOnClose, false);
    return form;
}

static_assert(std::is_same_v<decltype(&VarozidiCreateHelpWindow), CreateHelpWindowFunction>);
