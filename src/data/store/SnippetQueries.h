// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Readings of the snippet table that the main window and the command line share.

#include <QStringList>

class TADOTable;

// Each language once, in the order of its first row; of names that differ only in letter
// case, the spelling met first. Through the language index when the table has one, which
// leaves the cursor as it was; otherwise leaves it open, unfiltered, past the last row.
QStringList DistinctLanguages(TADOTable& table);
