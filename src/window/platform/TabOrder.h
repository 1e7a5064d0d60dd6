// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWidget;

// While cover is shown over covered, Tab passes covered by: a keyboard user should never
// land on a control that cannot be seen. When cover hides, covered takes the focus again.
void SkipInTabOrderWhileShown(QWidget* cover, QWidget* covered);
