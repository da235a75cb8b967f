// Reading a collection's sample from the server, by the strategy chosen, into discovery's walk.
#include "discovery/discover.h"

#include "core/dbinfo.h"
#include "core/records.h"
#include "discovery/lookup.h"
#include "discovery/profile.h"

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mongoc/mongoc.h>
#include <string>

db_sample_t* sample_collection(DBINFO* dbinfo, const char* collection)
{
    return sample_collection_over(dbinfo, dbinfo->client, collection);
}

namespace {

const char* const strategy_names[] = {"first", "newest", "spread", "random"};

// Spread reads this many runs of neighbouring documents, the first and last at the ends
// of the _id range: a count and a few reads, whatever the sample size.
const int64_t spread_runs = 4;

// Walks what one cursor gives; false (the error kept) when it broke off.
bool walk_cursor(db_sample_t* sample, mongoc_cursor_t* cursor)
{
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc))
        walk_document(sample, doc);
    bool ok = !mongoc_cursor_error(cursor, &sample->error);
    mongoc_cursor_destroy(cursor);
    return ok;
}

bool find_walk(db_sample_t* sample, mongoc_collection_t* coll, int order, int64_t skip, int64_t limit)
{
    bson_t query = BSON_INITIALIZER;
    bson_t opts = BSON_INITIALIZER;
    if (order) {
        bson_t sort;
        BSON_APPEND_DOCUMENT_BEGIN(&opts, "sort", &sort);
        BSON_APPEND_INT32(&sort, "_id", order);
        bson_append_document_end(&opts, &sort);
    }
    if (skip > 0)
        BSON_APPEND_INT64(&opts, "skip", skip);
    if (limit > 0)
        BSON_APPEND_INT64(&opts, "limit", limit);
    bool ok = walk_cursor(sample, mongoc_collection_find_with_opts(coll, &query, &opts, nullptr));
    bson_destroy(&opts);
    bson_destroy(&query);
    return ok;
}

bool spread_walk(db_sample_t* sample, mongoc_collection_t* coll, int64_t rows)
{
    if (rows <= 0)
        return find_walk(sample, coll, 1, 0, 0);
    int64_t total = mongoc_collection_estimated_document_count(coll, nullptr, nullptr, nullptr, &sample->error);
    if (total < 0)
        return false;
    if (total <= rows)
        return find_walk(sample, coll, 1, 0, rows);
    int64_t runs = std::min(rows, spread_runs);
    int64_t take[spread_runs], start[spread_runs];
    for (int64_t k = 0; k < runs; ++k) {
        take[k] = rows / runs + (k < rows % runs ? 1 : 0);
        start[k] = runs == 1 ? 0 : k * (total - take[k]) / (runs - 1);
    }
    for (int64_t k = 0; k < runs; ++k) {
        // Runs never overlap, so that no document counts twice.
        int64_t limit = k + 1 < runs ? std::min(take[k], start[k + 1] - start[k]) : take[k];
        if (limit > 0 && !find_walk(sample, coll, 1, start[k], limit))
            return false;
    }
    return true;
}

bool random_walk(db_sample_t* sample, mongoc_collection_t* coll, int64_t rows)
{
    if (rows <= 0)
        return find_walk(sample, coll, 0, 0, 0); // all of them: nothing to choose
    bson_t pipeline = BSON_INITIALIZER;
    bson_t stages, stage, size;
    BSON_APPEND_ARRAY_BEGIN(&pipeline, "pipeline", &stages);
    BSON_APPEND_DOCUMENT_BEGIN(&stages, "0", &stage);
    BSON_APPEND_DOCUMENT_BEGIN(&stage, "$sample", &size);
    BSON_APPEND_INT64(&size, "size", rows);
    bson_append_document_end(&stage, &size);
    bson_append_document_end(&stages, &stage);
    bson_append_array_end(&pipeline, &stages);
    bool ok = walk_cursor(sample, mongoc_collection_aggregate(coll, MONGOC_QUERY_NONE, &pipeline, nullptr, nullptr));
    bson_destroy(&pipeline);
    return ok;
}

} // namespace

int sample_strategy_of(const char* word)
{
    for (int i = 0; i < static_cast<int>(std::size(strategy_names)); ++i)
        if (word && !std::strcmp(word, strategy_names[i]))
            return i;
    return -1;
}

const char* sample_strategy_name(int strategy)
{
    return strategy >= 0 && strategy < static_cast<int>(std::size(strategy_names)) ? strategy_names[strategy]
                                                                                   : strategy_names[0];
}

db_sample_t* sample_collection_over(DBINFO* dbinfo, mongoc_client_t* client, const char* collection)
{
    if (!client || !collection)
        return nullptr;
    mongoc_collection_t* coll = mongoc_client_get_collection(client, dbinfo->database, collection);
    if (!coll)
        return nullptr;

    db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    sample->dbinfo = dbinfo;
    profile_of(sample);
    int64_t rows = dbinfo->preview_rows;
    bool whole = false;
    switch (dbinfo->sample_strategy) {
    case SAMPLE_NEWEST: whole = find_walk(sample, coll, -1, 0, rows); break;
    case SAMPLE_SPREAD: whole = spread_walk(sample, coll, rows); break;
    case SAMPLE_RANDOM: whole = random_walk(sample, coll, rows); break;
    default: whole = find_walk(sample, coll, 0, 0, rows);
    }

    if (whole) {
        sample->items = static_cast<db_column_t**>(record_alloc(sizeof(db_column_t*) * sample->count));
        int32_t i = 0;
        for (db_column_t* c = sample->columns; c; c = c->next)
            sample->items[i++] = c;
    }
    mongoc_collection_destroy(coll);
    return sample;
}

db_column_t* discover_columns(DBINFO* dbinfo, const char* collection)
{
    db_sample_t* sample = sample_collection(dbinfo, collection);
    if (!sample)
        return nullptr;
    db_column_t* columns = sample->columns;
    free_column_lookup(sample->lookup);
    free_profile(sample->profile);
    std::free(sample->items);
    std::free(sample);
    return columns;
}

void free_sample(db_sample_t* sample)
{
    if (!sample)
        return;
    free_columns(sample->columns);
    free_column_lookup(sample->lookup);
    free_profile(sample->profile);
    std::free(sample->items);
    std::free(sample);
}
