// The differences as a user reads them: one line each, or one JSON object.
#include "store/analysis/drift.h"

#include "discovery/types.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kind_keys[] = {"",           "table_new",     "table_gone", "column_new",
                                 "column_gone", "column_type",   "column_length", "sql_name",
                                 "sql_type",    "hidden",        "index_new",  "index_gone"};

std::string sql_type_text(int32_t code)
{
    for (int i = 0; i < sql_type_name_count; ++i)
        if (sql_type_names[i].code == code)
            return sql_type_names[i].name;
    if (code == SQL_T_CHAR)
        return "SQL_CHAR";
    if (code == SQL_T_VARBINARY)
        return "SQL_VARBINARY";
    return "SQL type " + std::to_string(code);
}

std::string mongo_type_text(int32_t code)
{
    for (int i = 0; i < mongo_type_name_count; ++i)
        if (mongo_type_names[i].code == code)
            return mongo_type_names[i].name;
    if (code == MONGO_T_VT_INDEX || code == MONGO_T_VT_VALUE)
        return driver_mongo_type_name(code);
    return "BSON type " + std::to_string(code);
}

std::string column_text(const drift_column_t& c)
{
    return mongo_type_text(c.mongo_type) + ", " + sql_type_text(c.sql_type) + ", length " +
           std::to_string(static_cast<uint32_t>(c.length));
}

std::string entry_text(const drift_entry_t& e)
{
    std::string flags = e.primary ? "primary, " : "";
    flags += e.unique ? "unique, " : "";
    flags += e.native_id ? "native id, " : "";
    return std::string(e.index_name) + " key " + std::to_string(e.position) + ": " + e.sql_col_name + " (" + flags +
           (e.asc ? "ascending)" : "descending)");
}

void append_column_side(bson_t* doc, const char* key, const drift_column_t& c)
{
    bson_t side;
    BSON_APPEND_DOCUMENT_BEGIN(doc, key, &side);
    BSON_APPEND_UTF8(&side, "sql_name", c.sql_name);
    BSON_APPEND_INT32(&side, "sql_type", c.sql_type);
    BSON_APPEND_INT32(&side, "mongo_type", c.mongo_type);
    BSON_APPEND_INT64(&side, "length", static_cast<uint32_t>(c.length));
    BSON_APPEND_BOOL(&side, "visible", c.visible);
    bson_append_document_end(doc, &side);
}

void append_entry_side(bson_t* doc, const char* key, const drift_entry_t& e)
{
    bson_t side;
    BSON_APPEND_DOCUMENT_BEGIN(doc, key, &side);
    BSON_APPEND_UTF8(&side, "index_name", e.index_name);
    BSON_APPEND_INT32(&side, "position", e.position);
    BSON_APPEND_UTF8(&side, "sql_col_name", e.sql_col_name);
    BSON_APPEND_BOOL(&side, "primary", e.primary);
    BSON_APPEND_BOOL(&side, "unique", e.unique);
    BSON_APPEND_BOOL(&side, "native_id", e.native_id);
    BSON_APPEND_BOOL(&side, "asc", e.asc);
    bson_append_document_end(doc, &side);
}

} // namespace

std::string drift_text(const drift_t* d)
{
    std::string text;
    for (; d; d = d->next) {
        const std::string table = d->table, parent = d->parent ? d->parent : "";
        const drift_column_t &s = d->schema_column, &n = d->data_column;
        // The generated columns of a virtual table share their field: they go by SQL name.
        std::string field = d->mongo_name ? d->mongo_name : "";
        const drift_column_t& either = d->in_data ? n : s;
        if ((d->in_data || d->in_schema) && either.mongo_type < 0 && either.sql_name)
            field = either.sql_name;
        std::string line;
        switch (d->kind) {
        case DRIFT_TABLE_NEW:
            line = d->is_virtual ? "new virtual table of " + parent + " (array " + field + ")"
                                 : "new table (" + std::to_string(d->columns) + " columns)";
            break;
        case DRIFT_TABLE_GONE:
            // Between two versions of the schema a table gone is told with the columns it had.
            line = d->is_virtual   ? "virtual table gone (" + parent + " has no array " + field + ")"
                   : d->columns > 0 ? "table gone (" + std::to_string(d->columns) + " columns)"
                                    : "table gone (no collection " + table + ")";
            break;
        case DRIFT_COLUMN_NEW: line = "new column " + field + " (" + column_text(n) + ")"; break;
        case DRIFT_COLUMN_GONE: line = "column gone " + field + " (" + column_text(s) + ")"; break;
        case DRIFT_COLUMN_TYPE:
            line = "column " + field + ": MongoDB type " + mongo_type_text(s.mongo_type) + " -> " +
                   mongo_type_text(n.mongo_type) + ", SQL type " + sql_type_text(s.sql_type) +
                   (s.sql_type != n.sql_type ? " -> " + sql_type_text(n.sql_type) : "");
            break;
        case DRIFT_COLUMN_LENGTH:
            line = "column " + field + ": length " + std::to_string(static_cast<uint32_t>(s.length)) + " -> " +
                   std::to_string(static_cast<uint32_t>(n.length));
            break;
        case DRIFT_SQL_NAME:
            line = "column " + field + ": SQL name " + s.sql_name + " -> " + n.sql_name;
            break;
        case DRIFT_SQL_TYPE:
            line = "column " + field + ": SQL type " + sql_type_text(s.sql_type) + " -> " + sql_type_text(n.sql_type);
            break;
        case DRIFT_HIDDEN: line = "column " + field + (d->shown ? ": shown" : ": hidden"); break;
        case DRIFT_INDEX_NEW: line = "new index entry " + entry_text(d->data_entry); break;
        case DRIFT_INDEX_GONE: line = "index entry gone " + entry_text(d->schema_entry); break;
        }
        text += table + ": " + line + "\n";
    }
    return text;
}

std::string drift_side_text(const drift_t* d, bool schema_side)
{
    const bool is_column = d->kind >= DRIFT_COLUMN_NEW && d->kind <= DRIFT_HIDDEN;
    const bool is_entry = d->kind == DRIFT_INDEX_NEW || d->kind == DRIFT_INDEX_GONE;
    if (!is_column && !is_entry) // a table: on the side that has it
        return (d->kind == DRIFT_TABLE_GONE) == schema_side ? (d->is_virtual ? "virtual table" : "table") : "";
    if (!(schema_side ? d->in_schema : d->in_data))
        return "";
    if (is_entry)
        return entry_text(schema_side ? d->schema_entry : d->data_entry);
    const drift_column_t& c = schema_side ? d->schema_column : d->data_column;
    return std::string(c.sql_name ? c.sql_name : "") + ": " + column_text(c) + (c.visible ? "" : ", hidden");
}

void drift_append_json(bson_t* doc, const drift_t* d)
{
    BSON_APPEND_UTF8(doc, "table", d->table);
    BSON_APPEND_UTF8(doc, "kind", kind_keys[d->kind]);
    BSON_APPEND_BOOL(doc, "virtual", d->is_virtual);
    if (d->parent)
        BSON_APPEND_UTF8(doc, "parent", d->parent);
    bool is_column = d->kind >= DRIFT_COLUMN_NEW && d->kind <= DRIFT_HIDDEN;
    if (d->mongo_name)
        BSON_APPEND_UTF8(doc, is_column ? "column" : "array", d->mongo_name);
    if (d->kind == DRIFT_TABLE_NEW)
        BSON_APPEND_INT32(doc, "columns", d->columns);
    if (is_column && d->in_schema)
        append_column_side(doc, "schema", d->schema_column);
    if (is_column && d->in_data)
        append_column_side(doc, "data", d->data_column);
    if (!is_column && d->in_schema)
        append_entry_side(doc, "schema", d->schema_entry);
    if (!is_column && d->in_data)
        append_entry_side(doc, "data", d->data_entry);
}

std::string drift_json(const drift_t* d, const char* database, const char* schema, bool all)
{
    bson_t doc = BSON_INITIALIZER, list;
    BSON_APPEND_UTF8(&doc, "outcome", d ? "drift" : "agree");
    BSON_APPEND_UTF8(&doc, "database", database);
    BSON_APPEND_UTF8(&doc, "schema", schema);
    BSON_APPEND_BOOL(&doc, "all", all);
    BSON_APPEND_ARRAY_BEGIN(&doc, "differences", &list);
    for (int i = 0; d; d = d->next, ++i) {
        bson_t entry;
        const std::string key = std::to_string(i);
        BSON_APPEND_DOCUMENT_BEGIN(&list, key.c_str(), &entry);
        drift_append_json(&entry, d);
        bson_append_document_end(&list, &entry);
    }
    bson_append_array_end(&doc, &list);
    char* json = bson_as_relaxed_extended_json(&doc, nullptr);
    std::string text = json ? json : "{ }";
    bson_free(json);
    bson_destroy(&doc);
    return text + "\n";
}
