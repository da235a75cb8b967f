// The record of one collection's sample: what discovery made of its documents.
#ifndef BROLIX_DISCOVERY_SAMPLE_H
#define BROLIX_DISCOVERY_SAMPLE_H

#include <mongoc/mongoc.h>

#include "core/records.h"

struct DBINFO;
struct db_profile_t;

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
    // What was seen of each column, by its place in the list; NULL until a field is walked.
    db_profile_t* profile;
    // Why the read broke off (items NULL), as the server or library said it.
    bson_error_t error;
};

#endif
