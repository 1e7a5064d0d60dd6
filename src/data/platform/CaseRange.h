#pragma once

// Ranges for case-blind equality that a plain (binary) index can use.

#include <QList>
#include <QString>
#include <optional>
#include <utility>

namespace varozidi::ado {

// Ranges, in code point order, that together hold every text equal to text when letter case
// is ignored character by character (as the program's collation compares). Binary order
// puts all capitals before all small letters, so one range from the least spelling to the
// greatest would span most of the alphabet; the spellings of the first few characters each
// get a range of their own instead. Nothing for text that is not valid UTF-16.
std::optional<QList<std::pair<QString, QString>>> caseBlindRanges(QStringView text);

} // namespace varozidi::ado
