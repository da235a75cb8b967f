// Deriving SQL columns and types from sampled documents.
#ifndef BROLIX_DISCOVERY_DISCOVER_H
#define BROLIX_DISCOVERY_DISCOVER_H

#include <mongoc/mongoc.h>

#include "core/records.h"

struct DBINFO;

// Discovery's hash index of a sample's columns by SQL name (discovery/lookup.cpp).
struct db_column_lookup_t;
void free_column_lookup(db_column_lookup_t* lookup);

// The columns of one collection's sample, in the order their fields were first seen.
struct db_sample_t {
    int32_t count;
    db_column_t** items;
    db_column_t* columns;
    DBINFO* dbinfo;
    // Kept beside the list by discovery; NULL until the first field is walked.
    db_column_lookup_t* lookup;
};
void free_sample(db_sample_t* sample);

// Samples up to dbinfo->preview_rows documents (all when 0) of the data database's
// collection; NULL when no handle for it can be had. Free with free_sample.
db_sample_t* sample_collection(DBINFO* dbinfo, const char* collection);
// The same over a client of the caller's (one of a pool, on another thread).
db_sample_t* sample_collection_over(DBINFO* dbinfo, mongoc_client_t* client, const char* collection);
// The sample's column list alone; the caller owns it.
db_column_t* discover_columns(DBINFO* dbinfo, const char* collection);
void walk_field(db_sample_t* sample, bson_iter_t* iter, db_name_t* parent_path);
int first_sql_type(int bson_type, bool wide);
int settle_sql_type(int sql_type, int bson_type, bool wide);

#endif
