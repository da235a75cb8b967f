#include "discovery/discover.h"

#include "app/dbinfo.h"
#include "discovery/lookup.h"
#include "discovery/types.h"
#include "store/records.h"

#include <cstdlib>
#include <cstring>
#include <mongoc/mongoc.h>

namespace {

int text_type(bool wide) { return wide ? SQL_T_WVARCHAR : SQL_T_VARCHAR; }

bool wide_of(const db_sample_t* sample) { return sample->dbinfo && sample->dbinfo->default_wide; }

// Lengths are int32 in the records but compared unsigned, so a negative length
// stands for a very long one.
int32_t longer(int32_t current, uint32_t seen)
{
    return static_cast<uint32_t>(current) >= seen ? current : static_cast<int32_t>(seen);
}

// Length of a scalar field's value as discovery counts it.
uint32_t scalar_length(const bson_iter_t* iter, int type)
{
    if (type == BSON_TYPE_UTF8) {
        uint32_t len = 0;
        bson_iter_utf8(iter, &len);
        return len;
    }
    if (type == BSON_TYPE_BINARY) {
        bson_subtype_t subtype;
        uint32_t len = 0;
        const uint8_t* data = nullptr;
        bson_iter_binary(iter, &subtype, &len, &data);
        return len;
    }
    return type == BSON_TYPE_OID ? 24 : 255;
}

// Byte length of the JSON text of a sub-document or array.
uint32_t json_length(const bson_iter_t* iter, int type)
{
    const uint8_t* data = nullptr;
    uint32_t len = 0;
    if (type == BSON_TYPE_DOCUMENT)
        bson_iter_document(iter, &len, &data);
    else
        bson_iter_array(iter, &len, &data);
    bson_t sub;
    if (!data || !bson_init_static(&sub, data, len))
        return 0;
    size_t json_len = 0;
    char* json = bson_as_json(&sub, &json_len);
    bson_free(json);
    return json ? static_cast<uint32_t>(json_len) : 0;
}

void walk_container(db_sample_t* sample, bson_iter_t* iter, db_name_t* parent_path, int type, bool wide)
{
    db_name_t* path = append_name(copy_names(parent_path), bson_iter_key(iter));
    char* sql_name = join_names(path, "_");
    uint32_t len = json_length(iter, type);

    db_column_t* column = lookup_column(sample, sql_name);
    if (!column) {
        column = new_column();
        column->sql_name = sql_name;
        column->mongo_name = join_names(path, ".");
        column->sql_type = first_sql_type(type, wide);
        column->mongo_type = type;
        column->length = static_cast<int32_t>(len);
        column->path = path;
        lookup_append(sample, column);
    } else {
        std::free(sql_name);
        column->sql_type = settle_sql_type(column->sql_type, type, wide);
        column->mongo_type = type;
        column->length = longer(column->length, len);
        free_names(column->path);
        column->path = path;
    }

    // The members walk under this column's path. No member can land on this column
    // (or an ancestor's) and replace the path under our feet: a member's SQL name
    // joins more keys, so it is always longer.
    bson_iter_t member;
    if (bson_iter_recurse(iter, &member))
        while (bson_iter_next(&member))
            walk_field(sample, &member, path);
}

} // namespace

int first_sql_type(int bson_type, bool wide)
{
    switch (bson_type) {
    case BSON_TYPE_DOUBLE: return SQL_T_DOUBLE;
    case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
    case BSON_TYPE_BOOL: return SQL_T_TINYINT;
    case BSON_TYPE_DATE_TIME: return SQL_T_TYPE_TIMESTAMP;
    case BSON_TYPE_INT32: return SQL_T_INTEGER;
    case BSON_TYPE_TIMESTAMP: return SQL_T_VARCHAR; // narrow even when wide
    case BSON_TYPE_INT64: return SQL_T_BIGINT;
    default: return text_type(wide);
    }
}

int settle_sql_type(int sql_type, int bson_type, bool wide)
{
    const int text = text_type(wide);
    switch (sql_type) {
    case SQL_T_TINYINT:
        switch (bson_type) {
        case BSON_TYPE_DOUBLE: return SQL_T_DOUBLE;
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_BOOL: return SQL_T_TINYINT;
        case BSON_TYPE_INT32: return SQL_T_INTEGER;
        case BSON_TYPE_INT64: return SQL_T_BIGINT;
        default: return text;
        }
    case SQL_T_BIGINT:
        switch (bson_type) {
        case BSON_TYPE_DOUBLE: return SQL_T_DOUBLE;
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_BOOL:
        case BSON_TYPE_INT32:
        case BSON_TYPE_INT64: return SQL_T_BIGINT;
        default: return text;
        }
    case SQL_T_VARBINARY:
        if ((bson_type >= 0 && bson_type <= 18) || bson_type == 127 || bson_type == 255)
            return SQL_T_VARBINARY;
        return text;
    case SQL_T_INTEGER:
        switch (bson_type) {
        case BSON_TYPE_DOUBLE: return SQL_T_DOUBLE;
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_BOOL:
        case BSON_TYPE_INT32: return SQL_T_INTEGER;
        case BSON_TYPE_INT64: return SQL_T_BIGINT;
        default: return text;
        }
    case SQL_T_DOUBLE:
        switch (bson_type) {
        case BSON_TYPE_DOUBLE:
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_INT32:
        case BSON_TYPE_INT64: return SQL_T_DOUBLE;
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        default: return text;
        }
    case SQL_T_TYPE_TIMESTAMP:
        switch (bson_type) {
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_DATE_TIME: return SQL_T_TYPE_TIMESTAMP;
        default: return text;
        }
    default:
        return bson_type == BSON_TYPE_BINARY ? SQL_T_VARBINARY : text;
    }
}

void walk_field(db_sample_t* sample, bson_iter_t* iter, db_name_t* parent_path)
{
    const int type = static_cast<int>(bson_iter_type(iter));
    const bool wide = wide_of(sample);
    if (type == BSON_TYPE_DOCUMENT || type == BSON_TYPE_ARRAY) {
        walk_container(sample, iter, parent_path, type, wide);
        return;
    }

    const char* key = bson_iter_key(iter);
    // At the top level the key is the name and there is no path to keep.
    db_name_t* path = nullptr;
    char* joined = nullptr;
    if (parent_path) {
        path = append_name(copy_names(parent_path), key);
        joined = join_names(path, "_");
    }
    const char* sql_name = joined ? joined : key;
    uint32_t len = scalar_length(iter, type);

    db_column_t* column = lookup_column(sample, sql_name);
    if (!column) {
        column = new_column();
        column->sql_name = joined ? joined : copy_text(key);
        column->mongo_name = path ? join_names(path, ".") : copy_text(key);
        column->sql_type = first_sql_type(type, wide);
        column->mongo_type = type;
        column->length = static_cast<int32_t>(len);
        column->path = path;
        lookup_append(sample, column);
        return;
    }

    std::free(joined);
    column->sql_type = settle_sql_type(column->sql_type, type, wide);
    column->mongo_type = type;
    free_names(column->path);
    column->path = path;
    if (type == BSON_TYPE_UTF8 || type == BSON_TYPE_BINARY) {
        column->length = longer(column->length, len);
    } else {
        column->length = longer(column->length, 255);
        if (type == BSON_TYPE_OID)
            column->length = 24;
    }
}

db_sample_t* sample_collection(DBINFO* dbinfo, const char* collection)
{
    if (!dbinfo->client || !collection)
        return nullptr;
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->client, dbinfo->database, collection);
    if (!coll)
        return nullptr;

    bson_t query = BSON_INITIALIZER;
    bson_t opts = BSON_INITIALIZER;
    if (dbinfo->preview_rows > 0)
        BSON_APPEND_INT64(&opts, "limit", dbinfo->preview_rows);
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &query, &opts, nullptr);

    db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    sample->dbinfo = dbinfo;

    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        bson_iter_t it;
        if (bson_iter_init(&it, doc))
            while (bson_iter_next(&it))
                walk_field(sample, &it, nullptr);
    }

    if (!mongoc_cursor_error(cursor, nullptr)) {
        sample->items = static_cast<db_column_t**>(record_alloc(sizeof(db_column_t*) * sample->count));
        int32_t i = 0;
        for (db_column_t* c = sample->columns; c; c = c->next)
            sample->items[i++] = c;
    }

    mongoc_cursor_destroy(cursor);
    bson_destroy(&opts);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);
    return sample;
}

db_column_t* discover_columns(DBINFO* dbinfo, const char* collection)
{
    db_sample_t* sample = sample_collection(dbinfo, collection);
    if (!sample)
        return nullptr;
    db_column_t* columns = sample->columns;
    free_column_lookup(sample->lookup);
    std::free(sample->items);
    std::free(sample);
    return columns;
}
