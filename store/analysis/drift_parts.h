#pragma once

// What the files of drift share (drift_schema, drift_compare, diff); nothing outside
// store/analysis includes this but the unit tests of the comparison.

#include "core/records.h"
#include "store/analysis/drift.h"

#include <bson/bson.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

struct db_sample_t;

namespace drift_internal {

struct column_free {
    void operator()(db_column_t* c) const { free_column(c); }
};
struct entry_free {
    void operator()(db_index_t* e) const { free_indexes(e); }
};
typedef std::unique_ptr<db_column_t, column_free> column_ptr;
typedef std::unique_ptr<db_index_t, entry_free> entry_ptr;

// A table of the schema: its columns by position and its index entries.
struct saved_table_t {
    std::string parent;
    bool is_virtual = false;
    std::vector<column_ptr> columns;
    std::vector<entry_ptr> entries;
};

typedef std::map<std::string, saved_table_t> saved_schema_t;

// What creation would give a table now.
struct expected_t {
    std::vector<const db_column_t*> columns;
    std::vector<column_ptr> owned; // a virtual table's columns
    std::vector<entry_ptr> entries;
};

// A virtual table of the schema or one a marked array column gives.
struct virtual_t {
    std::string parent, array, mongo_name;
    const saved_table_t* saved = nullptr;
};

// The differences of one table, as they are found.
struct table_diff_t {
    const std::string& table;
    bool is_virtual;
    const std::string& parent;
    std::vector<drift_t*>* out;

    drift_t* add(int kind) const
    {
        drift_t* d = static_cast<drift_t*>(record_alloc(sizeof(drift_t)));
        d->kind = kind;
        d->table = copy_text(table.c_str());
        d->is_virtual = is_virtual;
        d->parent = is_virtual ? copy_text(parent.c_str()) : nullptr;
        out->push_back(d);
        return d;
    }
};

void set_problem(drift_problem_t* problem, int code, const char* name, const char* detail);

// The tables of the catalog with their columns (by position) and index entries, in one
// query per collection (the columns as validation read them, when it read them whole).
bool read_schema(DBINFO* dbinfo, saved_schema_t* saved, drift_problem_t* problem, drift_doc_fn seen, void* context);
// The virtual tables of the schema and those its marked array columns give, by SQL name.
std::map<std::string, virtual_t> virtual_tables(const saved_schema_t& saved);
// One side's documents (of a version) by table; other is the other side.
saved_schema_t saved_of_docs(const doc_list_t* docs, const doc_list_t* other);

// What creation gives a table from its sample and index documents, or a virtual table
// from the array's field.
void base_expected(const db_sample_t* sample, const doc_list_t& docs, expected_t* e);
void virtual_expected(const std::string& array, const std::string& mongo_name, const db_sample_t* sample,
                      expected_t* e);
bool is_top_array(const db_sample_t* sample, const std::string& mongo_name);

// Columns are paired by MongoDB name (the same MongoDB type first), so that names,
// types and visibility changed by hand pair as they are; index entries are compared
// after the data's SQL names have become the paired columns' saved ones. all: hand edits
// (SQL name, SQL type, hidden) count too; exact: two states of the schema, a length that
// shrank and a column shown again count.
void compare_table(const table_diff_t& t, const saved_table_t& saved, const expected_t& data, bool all,
                   bool exact = false);
// A table creation would write now, with what it would hold.
drift_t* add_new_table(const table_diff_t& t, const expected_t& e);
// Table, then kind, then the column or index entry.
bool listed_before(const drift_t* a, const drift_t* b);

} // namespace drift_internal
