// Creating a schema, and taking a table out of it.
#ifndef BROLIX_STORE_CREATE_H
#define BROLIX_STORE_CREATE_H

#include "core/outcomes.h"

struct DBINFO;

// Why the last creation could not sample a collection, in the server's words (empty when
// it could or when the server said nothing).
const char* creation_read_error(void);

// Codes (core/outcomes.h): CREATE_OK; a collection or index could not be made
// (create_collection_failed); CREATE_DROP_FAILED the schema database could not be dropped
// (nothing is created then); CREATE_STOPPED the collections could not be listed, or a
// collection could not be sampled or its documents not all written (creation stops there).
bool create_schema(DBINFO* dbinfo, int* code);
bool create_schema_collections(DBINFO* dbinfo, int* code);
bool remove_table_from_schema(DBINFO* dbinfo, const char* table);

#endif
