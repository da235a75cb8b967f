// Reading the schema database into the in-memory records.
#ifndef BROLIX_STORE_READ_H
#define BROLIX_STORE_READ_H

#include "store/write/write.h"

#include <bson/bson.h>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

struct DBINFO;
struct db_column_t;
struct db_index_t;
struct db_name_t;

// Replaces dbinfo->tables with the base tables named by the schema's tables collection.
void read_table_tree(DBINFO* dbinfo);
// Frees dbinfo->tables, and what start-up had seen of the columns with it.
void release_table_tree(DBINFO* dbinfo);

// The table's columns sorted by SQL name with "_id" moved to the head, each with its
// index entries; the virtual-table names go to *vt_names. The caller owns both lists.
// When the read stopped before its end, error (if given) says why and the lists hold only
// what was read: never the whole table, nothing to save or dump.
db_column_t* read_table_columns(DBINFO* dbinfo, const char* catalog, const char* schema,
                                const char* table, db_name_t** vt_names, bson_error_t* error = nullptr);

// The index entries of one column of the table selected in dbinfo, in natural order.
db_index_t* read_column_indexes(DBINFO* dbinfo, const char* sql_col_name);

// The virtual-table names of every table of one catalog and schema, from one query (what
// the tree needs, without index entries); tables without any are absent.
struct db_table_vts_t {
    char* table;
    db_name_t* names;
    db_table_vts_t* next;
};
db_table_vts_t* read_schema_virtual_names(DBINFO* dbinfo, const char* catalog, const char* schema);
void free_table_vts(db_table_vts_t* list);
// Each table's names in list, by table; the list keeps them (a tree of thousands of tables
// asks for each one's).
std::unordered_map<std::string_view, const db_name_t*> virtual_names_by_table(const db_table_vts_t* list);

// Each document of one schema collection (kind) of this catalog and the editor's schema:
// the columns from start-up's record when it holds them all, else one query (with the
// fields of projection only, when given). False with error set when the query stopped
// before its end; take has then seen what was read.
bool each_catalog_document(DBINFO* dbinfo, int kind, const bson_t* projection,
                           const std::function<void(const doc_ref_t&)>& take, bson_error_t* error);

// View Only mode: the data database's collections as the table tree. Always true, code 1.
bool load_tables_without_schema(DBINFO* dbinfo, int* code);

#endif
