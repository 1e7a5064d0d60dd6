// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Ranges for case-blind equality that a plain (binary) index can use.

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>

namespace varozidi::ado {

// Ranges, in code point order, that together hold every text equal to text when letter case
// is ignored character by character (as the program's collation compares). Binary order
// puts all capitals before all small letters, so one range from the least spelling to the
// greatest would span most of the alphabet; the spellings of the first few characters each
// get a range of their own instead. Nothing for text that is not valid UTF-16.
std::optional<QList<std::pair<QString, QString>>> caseBlindRanges(QStringView text);

// Every spelling of text that the program's case-blind comparison counts as equal to it (each
// character replaced by each character of the same simple case folding, as QString's
// Qt::CaseInsensitive compares), for indexes whose own folding differs from it: whatever the
// index folds, one of these is the text's very spelling. ASCII capitals are left out, as every
// index folds them, unless asciiCapitals. Nothing when there are more than max, or text is not
// valid UTF-16.
std::optional<QStringList> caseBlindSpellings(QStringView text, qsizetype max,
                                              bool asciiCapitals = false);

// A LIKE pattern (with \\ as its escape) matching any text that holds text, LIKE's own
// characters in it standing for themselves.
QString likeContaining(QStringView text);

} // namespace varozidi::ado
