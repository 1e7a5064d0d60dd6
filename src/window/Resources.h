// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

// Registers the pictures built into the program. A static library's resources are not
// registered by themselves; every window that uses them calls this first.
void InitResources();

// The program's own picture, in every size a desktop asks for; read on first use.
QIcon ProgramIcon();
