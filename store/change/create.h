// Creating and synchronising a schema.
#ifndef BROLIX_STORE_CREATE_H
#define BROLIX_STORE_CREATE_H

#include "core/outcomes.h"
#include "store/read/indexes.h"

#include <functional>
#include <vector>

struct DBINFO;
struct db_sample_t;

// Why the last creation could not sample a collection, in the server's words (empty when
// it could or when the server said nothing).
const char* creation_read_error(void);

// Codes (core/outcomes.h): CREATE_OK; a collection or index could not be made
// (create_collection_failed); CREATE_DROP_FAILED the schema database could not be dropped
// (nothing is created then); CREATE_STOPPED the collections could not be listed, or a
// collection could not be sampled or its documents not all written (creation stops there).
bool create_schema(DBINFO* dbinfo, int* code);
bool create_schema_collections(DBINFO* dbinfo, int* code);
// Brings the schema in line after validation gave a VALIDATE_COLLECTIONS_ code; returns 1.
int synchronise_schema(DBINFO* dbinfo, int code);
// How the last synchronisation ended: CREATE_OK written (or nothing to write),
// CREATE_STOPPED a collection could not be read (nothing written), or the outcome of its
// change (store/journal.h); and the words of a failure.
int last_sync_outcome(void);
const char* last_sync_told(void);
bool remove_table_from_schema(DBINFO* dbinfo, const char* table);

// What creation reads of one collection, on whichever thread: its sample and, when the
// sample is whole and there is a schema to write to, its index listing.
struct collection_read_t {
    db_sample_t* sample = nullptr;
    bool listed = false;
    index_listing_t listing{};
};
// Reads the collections over up to dbinfo->pool_size data connections at once and hands
// each read to use, on this thread and in their order; once use gives false no more are
// read. Each read is freed after its use. One connection reads them one after the other.
void read_collections(DBINFO* dbinfo, const std::vector<const char*>& names,
                      const std::function<bool(int, collection_read_t*)>& use);

#endif
