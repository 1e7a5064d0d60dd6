// SPDX-License-Identifier: GPL-3.0-or-later
// The module libvarozidi_mdb.so: libmdb's functions, for the program that loads it.
#include "data/modules/Mdb.h"

extern "C" __attribute__((visibility("default"))) const void* varozidi_mdb_functions() {
    using namespace varozidi::modules;
#define VAROZIDI_MDB_ADDRESS(name) &::name,
    static const MdbFunctions table{{sizeof(MdbFunctions), kMdbNames},
                                    VAROZIDI_MDB_FUNCTIONS(VAROZIDI_MDB_ADDRESS)};
#undef VAROZIDI_MDB_ADDRESS
    return &table;
}
