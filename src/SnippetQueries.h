#pragma once

// Readings of the snippet table that the main window and the command line share.

#include <QStringList>

class TADOTable;

// Each language once, in the order of its first row; of names that differ only in letter
// case, the spelling met first. Leaves the cursor open, unfiltered, past the last row.
QStringList DistinctLanguages(TADOTable& table);
