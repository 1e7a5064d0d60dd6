#pragma once

// Bounds for case-blind equality that a plain (binary) index can use.

#include <QString>
#include <optional>
#include <utility>

namespace varozidi::ado {

// The least and the greatest text, in code point order, that equal text when letter case is
// ignored character by character (as the program's collation compares). Every text equal to
// it lies between the two, so a range over a binary index finds them all. Nothing for text
// that is not valid UTF-16.
std::optional<std::pair<QString, QString>> caseBlindBounds(QStringView text);

} // namespace varozidi::ado
