// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>

namespace varozidi::modules {

// What every module's table begins with, so that a module of another build is refused rather
// than called: the table's size, and the names of its functions in their order.
struct TableHeader {
    std::size_t size;
    const char* names;
};

} // namespace varozidi::modules
