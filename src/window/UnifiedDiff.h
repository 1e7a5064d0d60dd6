// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The lines two texts differ in, as a unified diff (three lines of context), for the history
// window. Bytes go through as they are: a text that is not UTF-8 is compared byte for byte.

#include <QByteArray>

struct UnifiedDiff {
    QByteArray text; // empty when the texts are the same
    // Too many lines differ to be matched one by one: the differing stretch is shown removed
    // whole and added whole.
    bool rough = false;
    // Longer than is shown: the rest was left off, with a line saying so.
    bool cut = false;
};

// from and to name the two texts in the diff's first two lines.
UnifiedDiff DiffLines(const QByteArray& before, const QByteArray& after, const QByteArray& from,
                      const QByteArray& to);
