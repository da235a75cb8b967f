// Reading the data database's collections, over several connections when asked.
#ifndef BROLIX_STORE_COLLECTION_READ_H
#define BROLIX_STORE_COLLECTION_READ_H

#include "store/read/indexes.h"

#include <functional>
#include <vector>

struct DBINFO;
struct db_sample_t;

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
