// The collections of the data database and the tables of the schema as two lists of keys,
// and their comparison.
#ifndef BROLIX_STORE_LISTING_H
#define BROLIX_STORE_LISTING_H

#include <bson/bson.h>
#include <mongoc/mongoc.h>

#include <string>
#include <unordered_map>

struct DBINFO;
struct db_table_ref_t;

// NULL-terminated heap strings, or NULL; free with free_collection_names (records.h).
char** list_collection_names(DBINFO* dbinfo, mongoc_database_t* database, bson_error_t* error);

// Release the previous list and return the new head (the caller stores it). A listing
// that failed gives null with error (if given) set; an empty database gives null with
// error clear.
db_table_ref_t* list_data_collections(DBINFO* dbinfo, bson_error_t* error = nullptr);
// The tables of the schema; a read that fails on the way sets error (if given).
db_table_ref_t* list_schema_tables(DBINFO* dbinfo, bson_error_t* error = nullptr);

// VALIDATE_OK or a VALIDATE_COLLECTIONS_ code; sets the matched flags. With a catalog, only that catalog's tables
// are compared: the others count as matched (neither gone nor removed).
int compare_collections_with_schema(db_table_ref_t* collections, db_table_ref_t* tables,
                                    const char* catalog = nullptr);

// Writes into out (2048 bytes) the collection that holds the table's data. Returns false,
// leaving out as the caller filled it, when no schema table fits.
bool collection_of_table(DBINFO* dbinfo, const char* catalog, const char* table, char* out);

// The first reference of each key of a list, for look-ups in lists of thousands.
typedef std::unordered_map<std::string, const db_table_ref_t*> table_refs_t;
table_refs_t table_refs_by_key(const db_table_ref_t* list);

#endif
