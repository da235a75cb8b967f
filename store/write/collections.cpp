#include "store/write/collections.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/outcomes.h"
#include "core/schema_names.h"

#include <mongoc/mongoc.h>

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
    {collection_name(KIND_TABLES), CREATE_NO_TABLES_COLLECTION, "\n\n- - - - -ERROR_BROLIX_CREATE_TABLES",
     {{"tables_index_1", {"sql_catalog", "sql_schema", "sql_table"}, CREATE_NO_TABLES_INDEX_1,
       "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX_TABLES"}}},
    {collection_name(KIND_COLUMNS), CREATE_NO_COLUMNS_COLLECTION, "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS",
     {{"columns_index_1", {"sql_catalog", "sql_schema", "sql_table", "sql_name"}, CREATE_NO_COLUMNS_INDEX_1,
       "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS_INDEX_1"},
      {"columns_index_2", {"sql_catalog", "sql_schema", "sql_table", "index"}, CREATE_NO_COLUMNS_INDEX_2,
       "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS_INDEX_2"}}},
    {collection_name(KIND_INDEX), CREATE_NO_INDEX_COLLECTION, "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX",
     {{"index_index_1", {"sql_catalog", "sql_schema", "sql_table", "sql_col_name", "index", "index_name"},
       CREATE_NO_INDEX_INDEX_1,
       "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX_INDEX"}}},
};

bool fail(int* code, int value, const char* diagnostic)
{
    brolix_diagnostic(diagnostic);
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

} // namespace

bool make_schema_collections(DBINFO* dbinfo, int* code, bool tell)
{
    for (const schema_collection_t& c : schema_collections) {
        bson_error_t error;
        mongoc_collection_t* coll = mongoc_database_create_collection(dbinfo->md_db, c.name, nullptr, &error);
        if (!coll)
            return fail(code, c.code, tell ? c.diagnostic : "");
        for (const schema_index_t& index : c.indexes) {
            if (!index.name)
                continue;
            if (!create_index(coll, index)) {
                mongoc_collection_destroy(coll);
                return fail(code, index.code, tell ? index.diagnostic : "");
            }
        }
        mongoc_collection_destroy(coll);
    }
    return true;
}
