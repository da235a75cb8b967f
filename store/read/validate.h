// Validation of the schema database against the data database.
#ifndef BROLIX_STORE_VALIDATE_H
#define BROLIX_STORE_VALIDATE_H

#include "core/outcomes.h"
#include "core/schema_names.h"

#include <bson/bson.h>
#include <mongoc/mongoc.h>

struct DBINFO;
struct db_table_ref_t;


// A validation code (core/outcomes.h): VALIDATE_OK; VALIDATE_NO_COLLECTIONS;
// VALIDATE_DOCUMENTS_INVALID where no tables would be lost to a creation (an empty tables
// collection, or fields no document may hold and no tables documents);
// VALIDATE_FOREIGN_COLLECTION; VALIDATE_NOT_LISTED; VALIDATE_READ_FAILED (schema_read_error
// says why); VALIDATE_SAME_DATABASE on the same server; VALIDATE_COLLECTIONS_NEW, _GONE or
// _NEW_AND_GONE; VALIDATE_DATA_NOT_LISTED (schema_read_error says why: never taken for a
// database without collections); VALIDATE_OUT_OF_STEP in step by name, but in a way a
// synchronisation mends (schema_out_of_step says what); VALIDATE_UNKNOWN_FIELDS while the
// schema holds tables (schema_unknown_fields says which; the lists are not built). True
// exactly when the code is VALIDATE_OK. May set mode 0 or 1.
bool validate_schema(DBINFO* dbinfo, int* code);
// The server's message of the read that made the last validation give VALIDATE_READ_FAILED
// or VALIDATE_DATA_NOT_LISTED.
const char* schema_read_error(void);
// What the last validation found out of step, also beside the VALIDATE_COLLECTIONS_ codes
// ("" when nothing): a table without columns whose collection holds documents, an index
// entry naming no column of its table; the first named, with "(and N more)". bare_tables
// (may be null) gets how many tables have no columns.
const char* schema_out_of_step(int* bare_tables = nullptr);
// Marks the lists so that synchronise_schema(VALIDATE_COLLECTIONS_NEW_AND_GONE) takes again
// exactly the tables without columns (every other table and collection counts as matched)
// and refreshes the index entries of every table kept.
void mark_out_of_step(DBINFO* dbinfo);
// The unknown fields of the last validation (VALIDATE_UNKNOWN_FIELDS): the first, its
// collection and how many documents hold it, with "(and N more)".
const char* schema_unknown_fields(void);
// Removes them as one journalled change: every table holding such a document gets copies
// of its documents of that collection without them (_id kept). False with error set when
// the documents could not be read or the change not applied.
bool remove_unknown_fields(DBINFO* dbinfo, bson_error_t* error);

// Edit Mode when the index collection may be validated (a right of its user), else Read Only.
void check_index_access(DBINFO* dbinfo);

#endif
