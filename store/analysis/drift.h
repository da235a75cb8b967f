// How far the data has drifted from the saved schema: what creation would write now for
// each table (sampled and indexed as creation samples and indexes) against what the
// schema holds. Reads both databases, writes neither.
#ifndef BROLIX_STORE_DRIFT_H
#define BROLIX_STORE_DRIFT_H

#include "core/outcomes.h"

#include <bson/bson.h>
#include <cstddef>
#include <cstdint>
#include <string>

struct DBINFO;
struct db_sample_t;
struct doc_list_t;

// In the order a table's differences are listed.
enum drift_kind {
    DRIFT_TABLE_NEW = 1,  // a collection no table names; a virtual table its marked array gives
    DRIFT_TABLE_GONE,     // the collection is gone; a virtual table: its array is gone
    DRIFT_COLUMN_NEW,     // a MongoDB field no column maps
    DRIFT_COLUMN_GONE,    // a column whose field the sample no longer has
    DRIFT_COLUMN_TYPE,    // another MongoDB type (the SQL types of both sides told with it)
    DRIFT_COLUMN_LENGTH,  // the data is longer than the saved length
    DRIFT_SQL_NAME,       // the next three are edits by hand, listed only when all are asked for
    DRIFT_SQL_TYPE,       // the same MongoDB type, another SQL type
    DRIFT_HIDDEN,
    DRIFT_INDEX_NEW,      // an index key entry creation would write that the schema lacks
    DRIFT_INDEX_GONE      // and the reverse
};

// One side of a column difference.
struct drift_column_t {
    char* sql_name;
    int32_t sql_type;
    int32_t mongo_type;
    int32_t length;
    bool visible;
};

// One side of an index difference.
struct drift_entry_t {
    char* index_name;
    int32_t position;
    char* sql_col_name;
    bool primary;
    bool unique;
    bool native_id;
    bool asc;
};

struct drift_t {
    int kind;
    char* table;          // SQL name
    bool is_virtual;
    char* parent;         // virtual tables: the parent table
    char* mongo_name;     // columns: the field; virtual tables: the array
    int32_t columns;      // DRIFT_TABLE_NEW: the columns creation would give the table
    bool in_schema;       // which sides the schema and data records hold
    bool in_data;
    drift_column_t schema_column, data_column;
    drift_entry_t schema_entry, data_entry;
    bool shown;           // DRIFT_HIDDEN between two states of the schema: hidden before, shown after
    drift_t* contents;    // DRIFT_TABLE_NEW: its columns and index entries as new ones
    drift_t* next;
};

struct drift_problem_t {
    int code;
    char name[256];
    char detail[512]; // the server's message, when there is one
};

// The index documents of what creation read of one collection (as table_index_docs writes
// them). False with problem set when the sample broke off or the indexes were not listed.
struct collection_read_t;
bool drift_take_read(DBINFO* dbinfo, const char* collection, collection_read_t* read, doc_list_t* index_docs,
                     drift_problem_t* problem);

// The differences of the tables named (all tables and collections of this catalog when
// count is 0), sorted by table, kind and name; null when nothing differs. With all, the
// edits by hand too. False with problem set when something could not be read.
bool diff_schema(DBINFO* dbinfo, const char* const* tables, size_t count, bool all, drift_t** differences,
                 drift_problem_t* problem);
void free_drift(drift_t* differences);

// The differences between two states of the schema's documents (by kind: [1] tables,
// [2] columns, [3] index), in diff's words and order: "schema" is before, "data" after.
// SQL names, SQL types, lengths and hiding changed either way are told.
void diff_documents(const doc_list_t* before, const doc_list_t* after, drift_t** differences);

// diff_schema, also handing each schema document it read of this catalog to seen (kind
// 1 tables, 2 columns, 3 index), so that what the comparison saw can be told apart later.
typedef void (*drift_doc_fn)(void* context, int kind, const bson_t* doc);
bool diff_schema_seeing(DBINFO* dbinfo, const char* const* tables, size_t count, bool all, drift_t** differences,
                        drift_problem_t* problem, drift_doc_fn seen, void* context);

// The report (drift_report.cpp): one line per difference, "TABLE: what".
std::string drift_text(const drift_t* differences);
// One JSON object: outcome, database, schema, all, and the differences as an array.
std::string drift_json(const drift_t* differences, const char* database, const char* schema, bool all);
// One side of a difference as the report words it ("no: NumberInt32, SQL_INTEGER, length
// 255", an index entry, "table"); empty when the side holds nothing.
std::string drift_side_text(const drift_t* difference, bool schema_side);
// One difference's members of that object (table, kind, virtual, parent, field, sides).
void drift_append_json(bson_t* entry, const drift_t* difference);

#endif
