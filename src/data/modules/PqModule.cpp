// SPDX-License-Identifier: GPL-3.0-or-later
// The module libvarozidi_pq.so: libpq's functions, for the program that loads it.
#include "data/modules/Pq.h"

extern "C" __attribute__((visibility("default"))) const void* varozidi_pq_functions() {
    using namespace varozidi::modules;
#define VAROZIDI_PQ_ADDRESS(name) &::name,
    static const PqFunctions table{{sizeof(PqFunctions), kPqNames},
                                   VAROZIDI_PQ_FUNCTIONS(VAROZIDI_PQ_ADDRESS)};
#undef VAROZIDI_PQ_ADDRESS
    return &table;
}
