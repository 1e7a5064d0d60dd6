// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Registers the pictures built into the program. A static library's resources are not
// registered by themselves; every window that uses them calls this first.
void InitResources();
