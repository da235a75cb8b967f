// Validation of the schema database against the data database.
#ifndef BROLIX_STORE_VALIDATE_H
#define BROLIX_STORE_VALIDATE_H

#include <bson/bson.h>
#include <mongoc/mongoc.h>

struct DBINFO;
struct db_table_ref_t;

// Schema collection kinds: "tables" 1, "columns" 2, "index" 3, "system.indexes" 4, else 0.
int schema_collection_kind(const char* name);
// A field name that documents of the collection kind (1 to 3) may hold.
bool schema_field_allowed(int kind, const char* field);

// Code 1 valid; -1 no collections; -2 a collection failed its document check where no
// tables would be lost to a creation (an empty tables collection, or fields no document may
// hold and no tables documents); -3 a foreign collection; -4 the names could not be read;
// -5 a schema collection could not be read to its end (schema_read_error says why); -18
// same database on the same server; -30 / -31 / -32 out of step; -33 the data database's
// collections could not be listed (schema_read_error says why: never taken for a database
// without collections); -34 in step by name, but out of step in a way a synchronisation
// mends (schema_out_of_step says what); -35 documents hold fields no schema document may
// hold while the schema holds tables (schema_unknown_fields says which; the lists are not
// built). True exactly when the code is 1. May set mode 0 or 1.
bool validate_schema(DBINFO* dbinfo, int* code);
// The server's message of the read that made the last validation give -5 or -33.
const char* schema_read_error(void);
// What the last validation found out of step, also beside -30 to -32 ("" when nothing): a
// table without columns whose collection holds documents, an index entry naming no column
// of its table; the first named, with "(and N more)". bare_tables (may be null) gets how
// many tables have no columns.
const char* schema_out_of_step(int* bare_tables = nullptr);
// Marks the lists so that synchronise_schema(-32) takes again exactly the tables without
// columns (every other table and collection counts as matched) and refreshes the index
// entries of every table kept.
void mark_out_of_step(DBINFO* dbinfo);
// The unknown fields of the last validation (-35): the first, its collection and how many
// documents hold it, with "(and N more)".
const char* schema_unknown_fields(void);
// Removes them as one journalled change: every table holding such a document gets copies
// of its documents of that collection without them (_id kept). False with error set when
// the documents could not be read or the change not applied.
bool remove_unknown_fields(DBINFO* dbinfo, bson_error_t* error);

// NULL-terminated heap strings, or NULL; free with free_collection_names (records.h).
char** list_collection_names(DBINFO* dbinfo, mongoc_database_t* database, bson_error_t* error);

void check_index_access(DBINFO* dbinfo);

// Release the previous list and return the new head (the caller stores it). A listing
// that failed gives null with error (if given) set; an empty database gives null with
// error clear.
db_table_ref_t* list_data_collections(DBINFO* dbinfo, bson_error_t* error = nullptr);
db_table_ref_t* list_schema_tables(DBINFO* dbinfo);

// 1, -30, -31 or -32; sets the matched flags. With a catalog, only that catalog's tables
// are compared: the others count as matched (neither gone nor removed).
int compare_collections_with_schema(db_table_ref_t* collections, db_table_ref_t* tables,
                                    const char* catalog = nullptr);

// Writes into out (2048 bytes) the collection that holds the table's data. Returns false,
// leaving out as the caller filled it, when no schema table fits.
bool collection_of_table(DBINFO* dbinfo, const char* catalog, const char* table, char* out);

#endif
