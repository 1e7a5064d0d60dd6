// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QAccessible>
#include <QString>
#include <functional>

class QWidget;

// Exposes a top-level window to assistive technology in its role (a frame, a dialog) rather
// than as a bare area, named by name() where given, else by its caption. Call it before
// anything asks about the window: the answer is kept for the window's life.
void ExposeWindow(QWidget* window, QAccessible::Role role, std::function<QString()> name = {});
