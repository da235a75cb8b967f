// Deriving SQL columns and types from sampled documents.
#ifndef BROLIX_DISCOVERY_DISCOVER_H
#define BROLIX_DISCOVERY_DISCOVER_H

#include <mongoc/mongoc.h>

#include "core/records.h"

#include "discovery/sample.h"

struct DBINFO;
struct db_profile_t;

void free_sample(db_sample_t* sample);

// The words of -sample and of a data source's Sample value; -1 for any other word.
int sample_strategy_of(const char* word);
const char* sample_strategy_name(int strategy);

// Samples up to dbinfo->preview_rows documents (all when 0) of the data database's
// collection, chosen by dbinfo->sample_strategy: the first in natural order, the newest
// by _id, ones spread over the _id range (a count and a few reads), or the server's
// $sample. NULL when no handle for it can be had. Free with free_sample.
db_sample_t* sample_collection(DBINFO* dbinfo, const char* collection);
// The same over a client of the caller's (one of a pool, on another thread).
db_sample_t* sample_collection_over(DBINFO* dbinfo, mongoc_client_t* client, const char* collection);
// The sample's column list alone; the caller owns it.
db_column_t* discover_columns(DBINFO* dbinfo, const char* collection);
void walk_field(db_sample_t* sample, bson_iter_t* iter, db_name_t* parent_path);
// Walks every field of one sampled document, counting it in the profile.
void walk_document(db_sample_t* sample, const bson_t* document);
// The sample's profile, made on first use.
db_profile_t* profile_of(db_sample_t* sample);
int first_sql_type(int bson_type, bool wide);
int settle_sql_type(int sql_type, int bson_type, bool wide);

#endif
