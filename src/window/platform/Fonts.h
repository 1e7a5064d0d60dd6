// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QFont>

// The windows' own font, Tahoma at the given pixel height. Debian's Tahoma (fonts-wine)
// lies outside fontconfig's folders, so it is registered with the program on first use.
QFont FormFont(int pixelSize = 11, bool bold = false);
