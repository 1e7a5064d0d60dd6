// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The parts that need a large library stack (libpq for a server, libmdb for the old
// program's files, Qt WebEngine for the help) are modules beside the program, loaded on first
// use, so that every other start maps none of that stack. One loader serves them all.

#include "data/modules/Table.h"

#include <QString>

namespace varozidi::modules {

// The folder the modules are looked for in: the running program's own, unless set (the tests
// run from another folder than the build's programs).
QString Folder();
void SetFolder(const QString& folder);

// Why a module could not be had.
enum class ModuleFault {
    None,
    Missing,     // nothing at its path
    NotAFile,    // a folder or the like in its place
    CutShort,    // a library file that holds less than its headers promise
    DoesNotLoad, // the system's loader refuses it (detail says why)
    NoEntry,     // a library without the entry function: another library in its place
    OtherBuild,  // its table is not the one this build expects
};

struct LoadedModule {
    const void* table = nullptr; // null where fault says why
    ModuleFault fault = ModuleFault::None;
    QString detail; // the system loader's words, for DoesNotLoad
};

// When the system binds a module's calls to the libraries it needs: all at once (a missing
// one is found at the load), or on each first call (a large stack starts sooner).
enum class Binding { Now, Lazy };

// Loads the module file at path and returns the table its entry function gives, which begins
// with a TableHeader, where that header is expected (the table's size and names, which say the
// build): a module of another build is refused rather than called. A module once loaded stays
// loaded until the program ends, as what it made runs its code.
LoadedModule OpenModule(const QString& path, const char* entry, const TableHeader& expected,
                        Binding binding);

// The same for a module of the data layer in Folder(), as a varozidi::Error naming it and what
// needed it (purpose, e.g. "Reaching a collection on a PostgreSQL server") where it cannot be
// had.
const void* Load(const char* file, const char* entry, const TableHeader& expected,
                 const QString& purpose);

// Whether a library file holds all its headers promise: the loader maps a file without
// reading it whole, and one cut short faults when a part past its end is touched.
bool IsWholeLibrary(const QString& path);

} // namespace varozidi::modules
