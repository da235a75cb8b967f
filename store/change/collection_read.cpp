#include "store/change/collection_read.h"

#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/wire.h"
#include "core/work.h"
#include "discovery/discover.h"

#include <functional>
#include <vector>

namespace {

void read_collection(DBINFO* dbinfo, mongoc_client_t* client, const char* name, collection_read_t* read)
{
    read->sample = sample_collection_over(dbinfo, client, name);
    if (read->sample && read->sample->items && dbinfo->md_client && client) {
        read_index_listing(dbinfo, client, name, &read->listing);
        read->listed = true;
    }
}

void free_collection_read(collection_read_t* read)
{
    free_sample(read->sample);
    read->sample = nullptr;
    if (read->listed)
        free_index_listing(&read->listing);
    read->listed = false;
}

} // namespace

void read_collections(DBINFO* dbinfo, const std::vector<const char*>& names, const std::function<bool(int, collection_read_t*)>& use)
{
    int count = static_cast<int>(names.size());
    std::vector<collection_read_t> reads(names.size());
    data_pool_t* pool = dbinfo->pool_size > 1 && count > 1 ? open_data_pool(dbinfo, dbinfo->pool_size) : nullptr;
    bool cut_short = false;
    run_reads_in_order(
        count, pool ? dbinfo->pool_size : 1,
        [&](int i) {
            mongoc_client_t* client = pool ? pool_pop(pool) : dbinfo->client;
            read_collection(dbinfo, client, names[i], &reads[i]);
            if (pool)
                pool_push(pool, client);
        },
        [&](int i) {
            bool go_on = use(i, &reads[i]);
            free_collection_read(&reads[i]);
            cut_short = !go_on;
            return go_on;
        });
    for (collection_read_t& read : reads)
        free_collection_read(&read);
    // Closing ends the pool's sessions: a request that a hung server would hold until its
    // time ran out, after a run cut short by a server gone.
    set_wire_cancel(cut_short);
    close_data_pool(pool);
    set_wire_cancel(false);
}
