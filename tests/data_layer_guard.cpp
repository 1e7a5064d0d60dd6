// SPDX-License-Identifier: GPL-3.0-or-later
// Compiled as part of the data layer, this must not build: see data_layer_guard in CMake.
#include <QtWidgets/QWidget>
