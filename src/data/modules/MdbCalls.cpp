// SPDX-License-Identifier: GPL-3.0-or-later
// libmdb's functions as the Jet reader calls them, passed on to the module; hidden, as in
// PqCalls.cpp.
#include "data/modules/Mdb.h"
#include "data/modules/Module.h"
#include "data/transfer/Jet.h"

namespace {

const varozidi::modules::MdbFunctions& mdb() {
    using varozidi::modules::MdbFunctions;
    static const auto* const table = static_cast<const MdbFunctions*>(
        varozidi::modules::Load(varozidi::modules::kMdbModule, varozidi::modules::kMdbEntry,
                                {sizeof(MdbFunctions), varozidi::modules::kMdbNames},
                                QStringLiteral("Reading a Jet 4.0 database of the old program")));
    return *table;
}

} // namespace

void varozidi::transfer::LoadJetReader() {
    mdb();
}

extern "C" {

void mdb_close(MdbHandle* handle) {
    mdb().mdb_close(handle);
}
int mdb_crack_row(MdbTableDef* table, int rowStart, size_t rowSize, MdbField* fields) {
    return mdb().mdb_crack_row(table, rowStart, rowSize, fields);
}
int mdb_fetch_row(MdbTableDef* table) {
    return mdb().mdb_fetch_row(table);
}
int mdb_find_row(MdbHandle* handle, int row, int* start, size_t* len) {
    return mdb().mdb_find_row(handle, row, start, len);
}
void mdb_free_tabledef(MdbTableDef* table) {
    mdb().mdb_free_tabledef(table);
}
long mdb_get_int32(void* buf, int offset) {
    return mdb().mdb_get_int32(buf, offset);
}
size_t mdb_ole_read(MdbHandle* handle, MdbColumn* col, void* ole, size_t chunkSize) {
    return mdb().mdb_ole_read(handle, col, ole, chunkSize);
}
void* mdb_ole_read_full(MdbHandle* handle, MdbColumn* col, size_t* size) {
    return mdb().mdb_ole_read_full(handle, col, size);
}
size_t mdb_ole_read_next(MdbHandle* handle, MdbColumn* col, void* ole) {
    return mdb().mdb_ole_read_next(handle, col, ole);
}
MdbHandle* mdb_open(const char* filename, MdbFileFlags flags) {
    return mdb().mdb_open(filename, flags);
}
GPtrArray* mdb_read_catalog(MdbHandle* handle, int objType) {
    return mdb().mdb_read_catalog(handle, objType);
}
GPtrArray* mdb_read_columns(MdbTableDef* table) {
    return mdb().mdb_read_columns(table);
}
MdbTableDef* mdb_read_table(MdbCatalogEntry* entry) {
    return mdb().mdb_read_table(entry);
}
int mdb_rewind_table(MdbTableDef* table) {
    return mdb().mdb_rewind_table(table);
}

} // extern "C"
