// Creating and synchronising a schema.
#ifndef BROLIX_STORE_CREATE_H
#define BROLIX_STORE_CREATE_H

struct DBINFO;
struct db_sample_t;

// Codes: 1 success; -6 to -12 a collection or index could not be made; -13 the schema
// database could not be dropped (nothing is created then); -19 the collections could not
// be listed, or a collection could not be sampled or its documents not all written
// (creation stops there).
bool create_schema(DBINFO* dbinfo, int* code);
bool create_schema_collections(DBINFO* dbinfo, int* code);
// False when a document of the table was not written.
bool add_table_to_schema(DBINFO* dbinfo, db_sample_t* sample, const char* collection);
// Brings the schema in line after validation gave -30, -31 or -32; returns 1.
int synchronise_schema(DBINFO* dbinfo, int code);
bool remove_table_from_schema(DBINFO* dbinfo, const char* table);

#endif
