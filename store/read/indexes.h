// Index metadata: a table's index documents copied from its collection's real indexes.
#ifndef BROLIX_STORE_INDEXES_H
#define BROLIX_STORE_INDEXES_H

#include <mongoc/mongoc.h>

struct DBINFO;
struct db_index_t;
struct db_sample_t;

void free_index_specs(char** specs);
bool map_index_keys(db_index_t* entries, db_sample_t* sample);

struct doc_list_t;

// The index documents of a table from its collection's indexes, appended to docs (each
// listing echoed). False when the listing failed (error says why).
bool table_index_docs(DBINFO* dbinfo, db_sample_t* sample, const char* table, doc_list_t* docs,
                      bson_error_t* error);

// The same in two steps, so that the listing can be read on another thread over a client
// of its own and used later: what the listing will echo, in order, and the specifications
// (both NULL-terminated JSON texts; specs null when none could be read), with the error.
struct index_listing_t {
    char** echo;
    char** specs;
    bson_error_t error;
};
void read_index_listing(DBINFO* dbinfo, mongoc_client_t* client, const char* table, index_listing_t* listing);
bool listing_index_docs(DBINFO* dbinfo, index_listing_t* listing, db_sample_t* sample, const char* table,
                        doc_list_t* docs);
void free_index_listing(index_listing_t* listing);

#endif
