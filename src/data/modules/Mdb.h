// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The libmdb functions the Jet reader calls, handed over by the module libvarozidi_mdb.so,
// which links libmdb (and with it glib). See Pq.h for how the data layer calls through it.

#include "data/modules/Table.h"

// glib first: mdbtools.h includes it inside extern "C", where its C++ parts cannot go.
#include <glib.h>
#include <mdbtools.h>

#define VAROZIDI_MDB_FUNCTIONS(X)                                                                  \
    X(mdb_close)                                                                                   \
    X(mdb_crack_row)                                                                               \
    X(mdb_fetch_row)                                                                               \
    X(mdb_find_row)                                                                                \
    X(mdb_free_tabledef)                                                                           \
    X(mdb_get_int32)                                                                               \
    X(mdb_ole_read)                                                                                \
    X(mdb_ole_read_full)                                                                           \
    X(mdb_ole_read_next)                                                                           \
    X(mdb_open)                                                                                    \
    X(mdb_read_catalog)                                                                            \
    X(mdb_read_columns)                                                                            \
    X(mdb_read_table)                                                                              \
    X(mdb_rewind_table)

namespace varozidi::modules {

struct MdbFunctions {
    TableHeader header;
#define VAROZIDI_MDB_MEMBER(name) decltype(&::name) name;
    VAROZIDI_MDB_FUNCTIONS(VAROZIDI_MDB_MEMBER)
#undef VAROZIDI_MDB_MEMBER
};

#define VAROZIDI_MDB_NAME(name) #name " "
constexpr char kMdbNames[] = VAROZIDI_MDB_FUNCTIONS(VAROZIDI_MDB_NAME);
#undef VAROZIDI_MDB_NAME
constexpr char kMdbModule[] = "libvarozidi_mdb.so";
constexpr char kMdbEntry[] = "varozidi_mdb_functions";

} // namespace varozidi::modules
