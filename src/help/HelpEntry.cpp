// SPDX-License-Identifier: GPL-3.0-or-later
// The help module's one entry point; see HelpContract.h.

#include "help/HelpContract.h"
#include "help/Unit4.h"

namespace {

QWidget* createHelpWindow(const HelpWindowRequest& request) {
    auto* form = new TForm4(request.appDir, request.startPage, request.mainWindow);
    form->setFont(request.font);
    form->setAttribute(Qt::WA_QuitOnClose, false);
    return form;
}

} // namespace

extern "C" Q_DECL_EXPORT const void* varozidi_help_functions() {
    static const HelpFunctions table{{sizeof(HelpFunctions), HelpFunctionNames()},
                                     &createHelpWindow};
    return &table;
}
