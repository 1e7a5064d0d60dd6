// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Readings of the snippet table that the main window and the command line share.

#include <QString>
#include <QStringList>

class TADOTable;

// Each language once, in the order of its first row; of names that differ only in letter
// case, the spelling met first. Through the language index when the table has one, which
// leaves the cursor as it was; otherwise leaves it open, unfiltered, past the last row.
QStringList DistinctLanguages(TADOTable& table);

// The filter that finds the row with id.
QString IdFilter(qint64 id);
// The filter is set before the cursor opens, so that a closed cursor never reads every row
// first only to read the filtered ones next.
void OpenFiltered(TADOTable& table, const QString& filter);
// Closed first: unfiltering an open cursor would read every row's number.
void CloseUnfiltered(TADOTable& table);
