// The one write path of the schema database: a change replaces what some tables hold in
// the schema with new documents, all or nothing. The server may not make several writes
// one (FerretDB and a standalone server have no transactions), so before the first write
// the documents that the change replaces are kept in a journal, and the change counts as
// made only once its version is recorded after the last write. Whoever claims the schema
// next and finds a journal of a change that was not recorded puts those documents back
// first: the schema holds what it held before the change or after it, whatever failed or
// was killed in between.
//
// A change runs under the writers' lock (store/write/lock.h), claimed before anything it
// replaces is read; what the caller read of a table earlier (a window's pick) can be
// given as an expectation, and the change is refused when the table no longer holds it.
// The journal, the lock and the versions are kept where store/write/place.h says.
#ifndef BROLIX_STORE_JOURNAL_H
#define BROLIX_STORE_JOURNAL_H

#include "core/outcomes.h"
#include "core/schema_names.h"

#include <mongoc/mongoc.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct DBINFO;
struct schema_change_t;

// Which collections a replaced table covers (by kind, core/schema_names.h).
enum { CHANGE_MASK_TABLES = 1 << KIND_TABLES, CHANGE_MASK_COLUMNS = 1 << KIND_COLUMNS,
       CHANGE_MASK_INDEX = 1 << KIND_INDEX,
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

// What a version recorded of a change's replacing (its "scope"), replaced again.
void schema_change_replace_scope(schema_change_t* change, const bson_t* scope);
// The documents the change would replace now, by kind (out[KIND_TABLES] .. out[KIND_INDEX]).
struct doc_list_t;
bool schema_change_read_replaced(DBINFO* dbinfo, const schema_change_t* change, doc_list_t* out,
                                 bson_error_t* error);

// A document to write (copied), in the order of its collection's insert. The documents of
// a kind go in one request whatever their number.
void schema_change_add(schema_change_t* change, int kind, const bson_t* doc);
// The documents added of a kind, in order (to record what was written).
size_t schema_change_count(const schema_change_t* change, int kind);
const bson_t* schema_change_doc(const schema_change_t* change, int kind, size_t position);

// What a reader saw of one table: a digest of its columns documents and one of its index
// entries, each without _id (a table written again with the same documents is the same).
struct table_stamp_t {
    uint64_t columns = 0, index = 0;
    bool has_columns = false, has_index = false;
};
void stamp_add(table_stamp_t* stamp, int kind, const bson_t* doc);
// The stamp of the last whole read of a table in this process, and when it was made
// (ms, this machine's clock); false when it was not read here.
void note_table_read(const char* catalog, const char* schema, const char* table, const table_stamp_t& stamp);
bool table_read_stamp(const char* catalog, const char* schema, const char* table, table_stamp_t* stamp,
                      int64_t* read_at);
// The change is made only if the table still holds what stamp says (it must be among the
// tables the change replaces); otherwise nothing is written: CHANGE_CONFLICT.
void schema_change_expect(schema_change_t* change, const char* catalog, const char* schema, const char* table,
                          const table_stamp_t& stamp, int64_t read_at);

// Applies the change, journalled: a constant number of requests per collection. True with
// CHANGE_APPLIED; else false with a change outcome (core/outcomes.h), or when the whole
// schema was made again CREATE_DROP_FAILED or a code of create_schema_collections when a
// collection or index could not be made (then undone, or left in the journal when that
// failed too).
// error (may be null) gets the server's words of the first failure.
bool schema_change_apply(DBINFO* dbinfo, schema_change_t* change, int* code, bson_error_t* error);
// The words for an outcome other than CHANGE_APPLIED: who holds the schema ("Another
// program ... is writing"), which table changed since it was read and by whom, what the
// server refused and why. Empty when there is nothing to add to the outcome.
const std::string& schema_change_told(const schema_change_t* change);
// The number of the version an applied change recorded (0 before).
int64_t schema_change_version(const schema_change_t* change);

// Several reads and one change as one writer: the lock is claimed (and a change left
// unfinished settled) before the caller reads what it will replace, and held until
// schema_write_end. CHANGE_APPLIED, or CHANGE_HELD / CHANGE_NOT_STARTED with told set.
int schema_write_begin(DBINFO* dbinfo, const char* action, const char* label, std::string* told);
void schema_write_end(DBINFO* dbinfo);

// Settles a journal left by a change that did not finish: the documents it replaced are
// put back and the journal goes. True when there was none or it was settled, with line set
// to the one line that says which (empty when there was nothing to settle). False when
// the journal could not be read or settled (line says why and what to do): nothing should
// read the schema then. may_write (null: yes) is asked once a journal is found: a start
// that may not write the schema leaves it and says so, and goes on. Can itself be cut at
// any point and run again.
// lasting (may be null) is set when the failure will not pass by starting again (the
// server refused the undo, or the journal is damaged): the journal may then be set aside.
bool settle_schema_journal(DBINFO* dbinfo, char* line, size_t size, bool (*may_write)(DBINFO*) = nullptr,
                           bool* lasting = nullptr);
// Under the lock: true when a change was recorded since the last settle_schema_journal
// looked (or that is not known): what was read in between may be out of date.
bool schema_changed_since_settle(DBINFO* dbinfo);

// A journal that cannot be settled (its undo refused, or the journal damaged) is set
// aside: kept whole in the journal's place, no longer settled or in the way of a start.
// True when there was one; line says what was done.
bool set_journal_aside(DBINFO* dbinfo, char* line, size_t size);

// A version of the schema as its record keeps it (store/analysis/history.h lists, shows and reverts
// them). The record is its number and one text of its fields, besides the tables it
// touched: a server that reads documents field by field lists a long history fast.
struct version_t {
    int64_t number = 0;
    int64_t at = 0; // ms since the epoch, the server's clock (this machine's for a journal kept here)
    std::string user, host, program, action, label, catalog;
    bson_oid_t journal{};            // the journal entries of its documents and what it replaced
    std::vector<std::string> tables; // "*": the whole schema
    int32_t tables_added = 0, tables_removed = 0, columns_changed = 0, index_changed = 0;
};
// False when doc is no version record.
bool read_version_record(const bson_t* doc, version_t* version);

// The name of the journal's database for a schema database.
void schema_journal_database(const char* md_database, char* name, size_t size);

#endif
