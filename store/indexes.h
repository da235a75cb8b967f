// Index metadata: a table's index documents copied from its collection's real indexes.
#ifndef BROLIX_STORE_INDEXES_H
#define BROLIX_STORE_INDEXES_H

#include <mongoc/mongoc.h>

struct DBINFO;
struct db_index_t;
struct db_sample_t;

bool sync_table_indexes(DBINFO* dbinfo, db_sample_t* sample, const char* table);
void remove_table_indexes(DBINFO* dbinfo, const char* table);
// NULL-terminated lists of index specifications as JSON texts; free with free_index_specs.
char** list_indexes_by_command(mongoc_database_t* db, const char* collection);
char** list_indexes_by_query(DBINFO* dbinfo, const char* collection);
void free_index_specs(char** specs);
bool map_index_keys(db_index_t* entries, db_sample_t* sample);

#endif
