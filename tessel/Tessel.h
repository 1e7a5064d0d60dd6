// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The window-placement library: keeps a window's position, size and maximized state in a
// section of its own, named after the window, of an INI file that other settings share.

class QWidget;

#define TESSEL_EXPORT __attribute__((visibility("default")))

extern "C" {

// Puts window where SaveTessel last left it in settingsFile (a NUL-terminated UTF-16 path).
// With nothing kept there the window stays as it is. A placement that does not lie whole on a
// screen attached now is brought whole onto the one holding most of it (else the primary
// one), shrunk to fit it; where the window system places windows itself (Wayland), only the
// size and the maximized state are restored.
TESSEL_EXPORT void RestoreTessel(QWidget* window, const char16_t* settingsFile);

// Keeps window's placement in settingsFile, leaving every other section, key and comment as
// it was. Throws std::runtime_error saying why when the file cannot be written.
TESSEL_EXPORT void SaveTessel(QWidget* window, const char16_t* settingsFile);
}
