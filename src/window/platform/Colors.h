// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The named colours of the old toolkit, so colour settings read the same as they always did.

#include <QColor>

inline const QColor clBlack(0, 0, 0);
inline const QColor clMaroon(128, 0, 0);
inline const QColor clGreen(0, 128, 0);
inline const QColor clOlive(128, 128, 0);
inline const QColor clNavy(0, 0, 128);
inline const QColor clPurple(128, 0, 128);
inline const QColor clTeal(0, 128, 128);
inline const QColor clGray(128, 128, 128);
inline const QColor clSilver(192, 192, 192);
inline const QColor clRed(255, 0, 0);
inline const QColor clLime(0, 255, 0);
inline const QColor clYellow(255, 255, 0);
inline const QColor clBlue(0, 0, 255);
inline const QColor clFuchsia(255, 0, 255);
inline const QColor clAqua(0, 255, 255);
inline const QColor clWhite(255, 255, 255);
