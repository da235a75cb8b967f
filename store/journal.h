// The one write path of the schema database: a change replaces what some tables hold in
// the schema with new documents, all or nothing. The server may not make several writes
// one (FerretDB and a standalone server have no transactions), so before the first write
// the documents that the change replaces are kept in a journal, and the journal goes
// only after the last write. Whoever opens the schema next and finds a journal puts those
// documents back first: the schema holds what it held before the change or after it,
// whatever failed or was killed in between.
//
// The journal lives on the schema server, in a database of its own named after the
// schema database (the schema database may hold only its three collections, and the
// driver reads it at any time): a start on any machine finds it.
#ifndef BROLIX_STORE_JOURNAL_H
#define BROLIX_STORE_JOURNAL_H

#include <mongoc/mongoc.h>

#include <cstddef>

struct DBINFO;
struct schema_change_t;

// The schema collections, as the kinds of a document.
enum { CHANGE_TABLES = 1, CHANGE_COLUMNS = 2, CHANGE_INDEX = 3 };
// Which collections a replaced table covers.
enum { CHANGE_MASK_TABLES = 1 << CHANGE_TABLES, CHANGE_MASK_COLUMNS = 1 << CHANGE_COLUMNS,
       CHANGE_MASK_INDEX = 1 << CHANGE_INDEX,
       CHANGE_MASK_ALL = CHANGE_MASK_TABLES | CHANGE_MASK_COLUMNS | CHANGE_MASK_INDEX };

// action names what is done, as the recovery line tells it ("save", "creation",
// "synchronisation", "import"); label what it is done to (a table, a catalog), or null.
schema_change_t* schema_change_new(const char* action, const char* label);
void schema_change_free(schema_change_t* change);

// What the change replaces: every document it selects is removed and the documents added
// are written instead. A table's documents in the collections of mask; the virtual tables
// whose parent is a table (every collection); a catalog's documents; or the whole schema
// database, dropped and made again with its collections and indexes.
void schema_change_replace_table(schema_change_t* change, const char* catalog, const char* schema,
                                 const char* table, int mask);
void schema_change_replace_virtual(schema_change_t* change, const char* catalog, const char* schema,
                                   const char* parent);
void schema_change_replace_catalog(schema_change_t* change, const char* catalog);
void schema_change_replace_all(schema_change_t* change);

// A document to write (copied), in the order of its collection's insert. The documents of
// a kind go in one request whatever their number.
void schema_change_add(schema_change_t* change, int kind, const bson_t* doc);
// The documents added of a kind, in order (to record what was written).
size_t schema_change_count(const schema_change_t* change, int kind);
const bson_t* schema_change_doc(const schema_change_t* change, int kind, size_t position);

// Outcomes of schema_change_apply.
enum {
    CHANGE_APPLIED = 1,
    CHANGE_NOT_STARTED = -60, // what it replaces could not be read, or the journal not kept: nothing written
    CHANGE_UNDONE = -61,      // a write failed (refused or a server gone): the schema is as it was
    CHANGE_PENDING = -62,     // a write failed and so did putting back: the journal stays for the next start
    CHANGE_DROP_FAILED = -13, // the whole schema could not be dropped (nothing written)
};
// Applies the change, journalled: a constant number of requests per collection. True with
// CHANGE_APPLIED; else false with an outcome above, or a code of create_schema_collections
// when the whole schema was made again and a collection or index could not be (then undone,
// or left in the journal when that failed too).
// error (may be null) gets the server's words of the first failure.
bool schema_change_apply(DBINFO* dbinfo, schema_change_t* change, int* code, bson_error_t* error);

// Settles a journal left by a change that did not finish: the documents it replaced are
// put back and the journal goes. True when there was none or it was settled, with line set
// to the one line that says which (empty when there was nothing to settle). False when
// the journal could not be read or settled (line says why): nothing should read the schema
// then. Can itself be cut at any point and run again.
bool settle_schema_journal(DBINFO* dbinfo, char* line, size_t size);

// The name of the journal's database for a schema database.
void schema_journal_database(const char* md_database, char* name, size_t size);

#endif
