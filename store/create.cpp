#include "store/create.h"

#include "app/dbinfo.h"
#include "app/message.h"
#include "discovery/discover.h"
#include "store/indexes.h"
#include "store/records.h"
#include "store/sync_plan.h"
#include "store/validate.h"

#include <cstdio>
#include <cstring>

namespace {

struct schema_index_t {
    const char* name;
    const char* keys[6];
    int code;
    const char* diagnostic;
};

struct schema_collection_t {
    const char* name;
    int code;
    const char* diagnostic;
    schema_index_t indexes[2];
};

// The three collections in the order they are made, each with its unique indexes.
const schema_collection_t schema_collections[] = {
    {"tables", -6, "\n\n- - - - -ERROR_BROLIX_CREATE_TABLES",
     {{"tables_index_1", {"sql_catalog", "sql_schema", "sql_table"}, -9,
       "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX_TABLES"}}},
    {"columns", -7, "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS",
     {{"columns_index_1", {"sql_catalog", "sql_schema", "sql_table", "sql_name"}, -10,
       "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS_INDEX_1"},
      {"columns_index_2", {"sql_catalog", "sql_schema", "sql_table", "index"}, -11,
       "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS_INDEX_2"}}},
    {"index", -8, "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX",
     {{"index_index_1", {"sql_catalog", "sql_schema", "sql_table", "sql_col_name", "index", "index_name"}, -12,
       "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX_INDEX"}}},
};

bool fail(int* code, int value, const char* diagnostic)
{
    std::printf("%s", diagnostic);
    std::fflush(stdout);
    *code = value;
    return false;
}

bool create_index(mongoc_collection_t* coll, const schema_index_t& index)
{
    bson_t command = BSON_INITIALIZER;
    bson_t indexes, entry, key;
    BSON_APPEND_UTF8(&command, "createIndexes", mongoc_collection_get_name(coll));
    BSON_APPEND_ARRAY_BEGIN(&command, "indexes", &indexes);
    BSON_APPEND_DOCUMENT_BEGIN(&indexes, "0", &entry);
    BSON_APPEND_DOCUMENT_BEGIN(&entry, "key", &key);
    for (const char* field : index.keys)
        if (field)
            BSON_APPEND_INT32(&key, field, 1);
    bson_append_document_end(&entry, &key);
    BSON_APPEND_UTF8(&entry, "name", index.name);
    BSON_APPEND_BOOL(&entry, "unique", true);
    bson_append_document_end(&indexes, &entry);
    bson_append_array_end(&command, &indexes);

    mongoc_cursor_t* cursor = mongoc_collection_command(coll, MONGOC_QUERY_NONE, 0, 0, 0, &command, nullptr, nullptr);
    const bson_t* reply;
    while (mongoc_cursor_next(cursor, &reply)) {
    }
    bool ok = !mongoc_cursor_error(cursor, nullptr);
    mongoc_cursor_destroy(cursor);
    bson_destroy(&command);
    return ok;
}

void rebuild_lists(DBINFO* dbinfo)
{
    dbinfo->db_collections = list_data_collections(dbinfo);
    dbinfo->md_tables = list_schema_tables(dbinfo);
    compare_collections_with_schema(dbinfo->db_collections, dbinfo->md_tables);
}

// False when the sample broke off or the table's documents were not all written: the
// table would stand in the schema with fewer columns than its collection has.
bool describe_collection(DBINFO* dbinfo, const char* name)
{
    db_sample_t* sample = sample_collection(dbinfo, name);
    bool whole = sample && sample->items && add_table_to_schema(dbinfo, sample, name);
    if (whole)
        sync_table_indexes(dbinfo, sample, name);
    free_sample(sample);
    return whole;
}

} // namespace

bool create_schema_collections(DBINFO* dbinfo, int* code)
{
    for (const schema_collection_t& c : schema_collections) {
        bson_error_t error;
        mongoc_collection_t* coll = mongoc_database_create_collection(dbinfo->md_db, c.name, nullptr, &error);
        if (!coll)
            return fail(code, c.code, c.diagnostic);
        for (const schema_index_t& index : c.indexes) {
            if (!index.name)
                continue;
            if (!create_index(coll, index)) {
                mongoc_collection_destroy(coll);
                return fail(code, index.code, index.diagnostic);
            }
        }
        mongoc_collection_destroy(coll);
    }
    return true;
}

bool create_schema(DBINFO* dbinfo, int* code)
{
    *code = 1;
    if (!dbinfo->md_db)
        return fail(code, -13, "\n\n- - - - -ERROR_BROLIX_DROP_SCHEMA");
    // A schema that could not be emptied is not built over: whatever is left of it
    // would be mixed with the new documents.
    bson_error_t error;
    if (!mongoc_database_drop(dbinfo->md_db, &error))
        return fail(code, -13, "\n\n- - - - -ERROR_BROLIX_DROP_SCHEMA");
    if (!create_schema_collections(dbinfo, code))
        return false;

    char** names = list_collection_names(dbinfo, dbinfo->db, &error);
    if (!names)
        return fail(code, -19, "\n\n- - - - -ERROR_BROLIX_LIST_COLLECTIONS");
    int total = 0, done = 0;
    for (char** p = names; *p; ++p)
        total += !is_system_collection(*p);
    brolix_progress(0, total, nullptr);
    bool whole = true;
    for (char** p = names; *p && whole; ++p)
        if (!is_system_collection(*p)) {
            // Stops at the first table not made whole: what was written stays a schema
            // that names fewer collections, which the next start offers to synchronise.
            whole = describe_collection(dbinfo, *p);
            if (!whole)
                std::printf("\n\n- - - - -ERROR_BROLIX_CREATE_TABLE %s", *p);
            brolix_progress(++done, total, *p);
        }
    free_collection_names(dbinfo, names);
    if (!whole)
        return fail(code, -19, "\n");
    rebuild_lists(dbinfo);
    return true;
}

bool add_table_to_schema(DBINFO* dbinfo, db_sample_t* sample, const char* collection)
{
    if (!dbinfo->md_client || !collection)
        return true;
    mongoc_collection_t* tables = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "tables");
    bson_t doc = BSON_INITIALIZER;
    BSON_APPEND_UTF8(&doc, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(&doc, "sql_schema", "dbo");
    BSON_APPEND_UTF8(&doc, "sql_table", collection);
    BSON_APPEND_UTF8(&doc, "mongo_name", collection);
    BSON_APPEND_UTF8(&doc, "mongo_database", dbinfo->database);
    BSON_APPEND_UTF8(&doc, "type", "TABLE");
    bool written = mongoc_collection_insert(tables, MONGOC_INSERT_NONE, &doc, nullptr, nullptr);
    bson_destroy(&doc);
    mongoc_collection_destroy(tables);

    mongoc_collection_t* columns = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "columns");
    int32_t position = 1;
    for (const db_column_t* c = sample ? sample->columns : nullptr; c; c = c->next) {
        bson_t column = BSON_INITIALIZER;
        BSON_APPEND_UTF8(&column, "sql_catalog", dbinfo->database);
        BSON_APPEND_UTF8(&column, "sql_schema", "dbo");
        BSON_APPEND_UTF8(&column, "sql_table", collection);
        BSON_APPEND_INT32(&column, "index", position++);
        BSON_APPEND_UTF8(&column, "sql_name", c->sql_name);
        BSON_APPEND_INT32(&column, "sql_type", c->sql_type);
        BSON_APPEND_UTF8(&column, "mongo_name", c->mongo_name);
        BSON_APPEND_INT32(&column, "mongo_type", c->mongo_type);
        if (c->length != 0)
            BSON_APPEND_INT32(&column, "length", c->length);
        if (c->precision > 0)
            BSON_APPEND_INT32(&column, "precision", c->precision);
        if (c->scale > 0)
            BSON_APPEND_INT32(&column, "scale", c->scale);
        BSON_APPEND_BOOL(&column, "visible", true);
        written = mongoc_collection_insert(columns, MONGOC_INSERT_NONE, &column, nullptr, nullptr) && written;
        bson_destroy(&column);
    }
    mongoc_collection_destroy(columns);
    return written;
}

int synchronise_schema(DBINFO* dbinfo, int code)
{
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next)
        if (sync_removes(code, t))
            remove_table_from_schema(dbinfo, t->sql_name);

    if (sync_samples(code)) {
        int total = 0, done = 0;
        for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next)
            ++total;
        brolix_progress(0, total, nullptr);
        for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next) {
            db_sample_t* sample = sample_collection(dbinfo, c->sql_name);
            if (!sync_adds(code, c)) {
                std::printf("- - - - - Updating INDEX for %s\n", c->sql_name);
                std::fflush(stdout);
            } else {
                add_table_to_schema(dbinfo, sample, c->sql_name);
            }
            sync_table_indexes(dbinfo, sample, c->sql_name);
            free_sample(sample);
            brolix_progress(++done, total, c->sql_name);
        }
    }

    rebuild_lists(dbinfo);
    return 1;
}

bool remove_table_from_schema(DBINFO* dbinfo, const char* table)
{
    if (!dbinfo->md_client || !table)
        return false;
    bson_t selector = BSON_INITIALIZER;
    BSON_APPEND_UTF8(&selector, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(&selector, "sql_schema", "dbo");
    BSON_APPEND_UTF8(&selector, "sql_table", table);
    bool ok = true;
    for (const char* name : {"index", "columns", "tables"}) {
        mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, name);
        ok = mongoc_collection_remove(coll, MONGOC_REMOVE_NONE, &selector, nullptr, nullptr);
        mongoc_collection_destroy(coll);
        if (!ok)
            break;
    }
    bson_destroy(&selector);
    return ok;
}
