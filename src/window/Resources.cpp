// SPDX-License-Identifier: GPL-3.0-or-later
#include "Resources.h"

#include <QtGlobal>

void InitResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(varozidi);
        return true;
    }();
    (void)done;
}
