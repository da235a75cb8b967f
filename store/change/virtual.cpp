#include "store/change/virtual.h"

#include "core/dbinfo.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "store/write/journal.h"
#include "store/write/write.h"

#include <string>
#include <vector>

namespace {

void begin_table_fields(bson_t* doc, DBINFO* dbinfo, const char* name)
{
    BSON_APPEND_UTF8(doc, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(doc, "sql_schema", SQL_SCHEMA);
    BSON_APPEND_UTF8(doc, "sql_table", name);
}

void end_virtual_fields(bson_t* doc, const char* parent)
{
    BSON_APPEND_BOOL(doc, "virtual_array", true);
    BSON_APPEND_UTF8(doc, "virtual_parent", parent);
}

struct vt_column_t {
    int32_t index;
    std::string sql_name;
    const char* mongo_name;
    int32_t mongo_type;
    int32_t sql_type;
    int32_t length; // 0: not written
};

struct vt_key_t {
    std::string sql_col_name;
    int32_t index;
    bool native_id;
};

} // namespace

void add_virtual_table_docs(DBINFO* dbinfo, const char* parent_table, db_column_t* const* columns, size_t count,
                            schema_change_t* change)
{
    const std::string parent = parent_table ? parent_table : "";
    // Each collection's documents in one request: every table first, then the columns of
    // all, then their index entries; in each, the virtual tables in the order given.
    doc_list_t tables, column_docs, index_docs;
    for (size_t i = 0; i < count; ++i) {
        const db_column_t* column = columns[i];
        const std::string array = column->sql_name ? column->sql_name : "";
        const char* mongo_name = column->mongo_name ? column->mongo_name : "";
        const std::string name = parent + "_" + array;

        bson_t* table = tables.add();
        begin_table_fields(table, dbinfo, name.c_str());
        BSON_APPEND_UTF8(table, "mongo_name", parent.c_str());
        BSON_APPEND_UTF8(table, "mongo_database", dbinfo->database);
        BSON_APPEND_UTF8(table, "type", "TABLE");
        end_virtual_fields(table, parent.c_str());

        const vt_column_t vt_columns[] = {
            {1, "_id", "_id", 7, 1, 24},
            {2, array + "$index", mongo_name, -1, 4, 0},
            {3, array + "$value", mongo_name, -2, 12, 512},
        };
        for (const vt_column_t& c : vt_columns) {
            bson_t* doc = column_docs.add();
            begin_table_fields(doc, dbinfo, name.c_str());
            BSON_APPEND_INT32(doc, "index", c.index);
            BSON_APPEND_UTF8(doc, "sql_name", c.sql_name.c_str());
            BSON_APPEND_UTF8(doc, "mongo_name", c.mongo_name);
            BSON_APPEND_INT32(doc, "mongo_type", c.mongo_type);
            BSON_APPEND_INT32(doc, "sql_type", c.sql_type);
            BSON_APPEND_BOOL(doc, "visible", true);
            if (c.length)
                BSON_APPEND_INT32(doc, "length", c.length);
            end_virtual_fields(doc, parent.c_str());
        }

        const vt_key_t keys[] = {
            {"_id", 1, true},
            {array + "$index", 2, false},
        };
        for (const vt_key_t& k : keys) {
            bson_t* doc = index_docs.add();
            begin_table_fields(doc, dbinfo, name.c_str());
            BSON_APPEND_UTF8(doc, "sql_col_name", k.sql_col_name.c_str());
            BSON_APPEND_INT32(doc, "index", k.index);
            BSON_APPEND_BOOL(doc, "primary", true);
            BSON_APPEND_UTF8(doc, "index_name", "index1");
            BSON_APPEND_BOOL(doc, "unique", true);
            BSON_APPEND_BOOL(doc, "native_id", k.native_id);
            BSON_APPEND_BOOL(doc, "asc", true);
            end_virtual_fields(doc, parent.c_str());
        }
    }
    for (const doc_ref_t& d : tables.docs)
        schema_change_add(change, KIND_TABLES, d.doc);
    for (const doc_ref_t& d : column_docs.docs)
        schema_change_add(change, KIND_COLUMNS, d.doc);
    for (const doc_ref_t& d : index_docs.docs)
        schema_change_add(change, KIND_INDEX, d.doc);
}

