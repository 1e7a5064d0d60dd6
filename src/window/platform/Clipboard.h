// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

// Puts bytes stored as UTF-8 on the clipboard as text, and on the X11 primary selection where
// there is one, so that a middle click pastes them too. The clipboard carries text: bytes
// that are not UTF-8 cannot travel as they are and go as replacement characters; false then.
// A leading byte-order mark is kept.
bool CopyStoredText(const QByteArray& bytes);
