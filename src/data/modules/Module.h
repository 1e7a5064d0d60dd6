// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The parts that need a large library stack (libpq for a server, libmdb for the old
// program's files) are modules beside the program, loaded on first use, so that every other
// start maps none of that stack.

#include "data/modules/Table.h"

#include <QString>

namespace varozidi::modules {

// The folder the modules are looked for in: the running program's own, unless set (the tests
// run from another folder than the build's programs).
QString Folder();
void SetFolder(const QString& folder);

// Loads the module file from Folder() and returns the table its entry function gives, which
// begins with a TableHeader. A module that is missing, damaged or of another build (a header
// other than expected) is an Error naming it and what needed it (purpose, e.g. "Reaching a
// collection on a PostgreSQL server").
const void* Load(const char* file, const char* entry, const TableHeader& expected,
                 const QString& purpose);

// Whether a library file holds all its headers promise: the loader maps a file without
// reading it whole, and one cut short faults when a part past its end is touched.
bool IsWholeLibrary(const QString& path);

} // namespace varozidi::modules
