#include "store/write/fields.h"

#include "core/records.h"
#include "core/schema_names.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <unordered_set>

namespace {

const char* const tables_fields[] = {"_id", "sql_catalog", "sql_schema", "sql_table", "mongo_name",
                                     "mongo_database", "type", "virtual_array", "virtual_parent"};
const char* const columns_fields[] = {"_id", "sql_catalog", "sql_schema", "sql_table", "index",
                                      "sql_name", "mongo_name", "mongo_type", "sql_type", "length",
                                      "precision", "scale", "visible", "virtual_array", "virtual_parent"};
const char* const index_fields[] = {"_id", "sql_catalog", "sql_schema", "sql_table", "sql_col_name",
                                    "index", "primary", "index_name", "native_id", "unique", "asc",
                                    "virtual_array", "virtual_parent"};

template <size_t N>
std::unordered_set<std::string_view> field_set(const char* const (&list)[N])
{
    return std::unordered_set<std::string_view>(std::begin(list), std::end(list));
}

} // namespace

bool schema_field_allowed(int kind, const char* field)
{
    // Asked for every field of every schema document: by hash, not a walk of the list.
    static const std::unordered_set<std::string_view> tables = field_set(tables_fields),
                                                      columns = field_set(columns_fields),
                                                      index = field_set(index_fields);
    switch (kind) {
    case KIND_TABLES: return tables.count(field) > 0;
    case KIND_COLUMNS: return columns.count(field) > 0;
    case KIND_INDEX: return index.count(field) > 0;
    default: return false;
    }
}

void read_column_keys(const bson_t* doc, column_keys_t* keys)
{
    static const char* const names[4] = {"sql_catalog", "sql_schema", "sql_table", "sql_name"};
    *keys = column_keys_t{};
    keys->fit = true;
    bool flagged = false;
    bson_iter_t it;
    if (!bson_iter_init(&it, doc)) {
        keys->fit = false;
        return;
    }
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        if (key[0] == 'v' && !std::strcmp(key, "virtual_array")) {
            keys->fit = keys->fit && BSON_ITER_HOLDS_BOOL(&it) && !flagged;
            keys->is_virtual = BSON_ITER_HOLDS_BOOL(&it) && bson_iter_bool(&it);
            flagged = true;
            continue;
        }
        if (std::strncmp(key, "sql_", 4) != 0)
            continue;
        for (int f = 0; f < 4; ++f) {
            if (std::strcmp(key + 4, names[f] + 4) != 0)
                continue;
            const char* text = BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, &keys->len[f]) : nullptr;
            if (!text || keys->has[f]) {
                keys->fit = false;
            } else {
                keys->text[f] = text;
                keys->has[f] = true;
            }
        }
    }
}

int schema_collection_kind(const char* name)
{
    if (name && std::strcmp(name, "system.indexes") == 0)
        return KIND_SYSTEM_INDEXES;
    return collection_kind(name);
}

int32_t schema_number(const bson_iter_t* iter)
{
    if (BSON_ITER_HOLDS_INT32(iter))
        return bson_iter_int32(iter);
    if (BSON_ITER_HOLDS_DOUBLE(iter)) {
        double v = std::trunc(bson_iter_double(iter));
        if (std::isnan(v))
            return 0;
        if (v >= 2147483647.0)
            return INT32_MAX;
        if (v <= -2147483648.0)
            return INT32_MIN;
        return static_cast<int32_t>(v);
    }
    return 0;
}

bool schema_flag(const bson_iter_t* iter, bool otherwise)
{
    return BSON_ITER_HOLDS_BOOL(iter) ? bson_iter_bool(iter) : otherwise;
}

bool first_batch(const bson_t* reply, bson_iter_t* elements)
{
    bson_iter_t batch;
    return bson_iter_init(&batch, reply) && bson_iter_find_descendant(&batch, "cursor.firstBatch", &batch) &&
           BSON_ITER_HOLDS_ARRAY(&batch) && bson_iter_recurse(&batch, elements);
}

bson_t* whole_collection_opts(void)
{
    return BCON_NEW("batchSize", BCON_INT32(20000));
}

namespace {

// Replaces a string member by a copy of the iterator's text; false when it holds none.
bool take_text(const bson_iter_t* it, char** member)
{
    if (!BSON_ITER_HOLDS_UTF8(it))
        return false;
    std::free(*member);
    *member = copy_text(bson_iter_utf8(it, nullptr));
    return true;
}

} // namespace

bool read_tables_document(const bson_t* doc, db_table_doc_t* tree, db_table_doc_t* ref)
{
    *tree = *ref = db_table_doc_t{"", "", "", "", false};
    bson_iter_t it;
    if (!bson_iter_init(&it, doc))
        return false;
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        const char* text = BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : nullptr;
        const char** tree_name = nullptr;
        const char** ref_name = nullptr;
        if (std::strcmp(key, "sql_catalog") == 0) {
            tree_name = &tree->catalog;
            ref_name = &ref->catalog;
        } else if (std::strcmp(key, "sql_schema") == 0) {
            tree_name = &tree->schema;
            ref_name = &ref->schema;
        } else if (std::strcmp(key, "sql_table") == 0) {
            tree_name = &tree->table;
            ref_name = &ref->table;
        } else if (std::strcmp(key, "mongo_name") == 0) {
            ref_name = &ref->mongo_name;
        } else if (std::strcmp(key, "virtual_array") == 0) {
            tree->is_virtual = ref->is_virtual = schema_flag(&it, ref->is_virtual);
        }
        if (tree_name && !**tree_name && text)
            *tree_name = text;
        if (ref_name)
            *ref_name = text ? text : "";
    }
    return true;
}

bool read_column_document(const bson_t* doc, db_column_t* column)
{
    bson_iter_t it;
    if (!bson_iter_init(&it, doc))
        return false;
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        if (std::strcmp(key, "_id") == 0) {
            if (BSON_ITER_HOLDS_OID(&it))
                bson_oid_to_string(bson_iter_oid(&it), column->id);
        } else if (std::strcmp(key, "sql_name") == 0) {
            take_text(&it, &column->sql_name);
        } else if (std::strcmp(key, "mongo_name") == 0) {
            take_text(&it, &column->mongo_name);
        } else if (std::strcmp(key, "virtual_parent") == 0) {
            take_text(&it, &column->virtual_parent);
        } else if (std::strcmp(key, "index") == 0) {
            column->index = schema_number(&it);
        } else if (std::strcmp(key, "mongo_type") == 0) {
            column->mongo_type = schema_number(&it);
        } else if (std::strcmp(key, "sql_type") == 0) {
            column->sql_type = schema_number(&it);
        } else if (std::strcmp(key, "length") == 0) {
            column->length = schema_number(&it);
        } else if (std::strcmp(key, "precision") == 0) {
            column->precision = schema_number(&it);
        } else if (std::strcmp(key, "scale") == 0) {
            column->scale = schema_number(&it);
        } else if (std::strcmp(key, "visible") == 0) {
            // Not a boolean: the column stays visible, rather than vanish from SQL clients.
            column->visible = schema_flag(&it, column->visible);
        } else if (std::strcmp(key, "virtual_array") == 0) {
            column->virtual_array = schema_flag(&it, column->virtual_array);
        }
    }
    // The last mongo_name read decides, as it is the one the column keeps.
    return column->mongo_name && std::strcmp(column->mongo_name, "_id") == 0;
}

void read_index_document(const bson_t* doc, db_index_t* entry)
{
    entry->from_schema = true;
    bson_iter_t it;
    if (!bson_iter_init(&it, doc))
        return;
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        if (std::strcmp(key, "sql_col_name") == 0)
            take_text(&it, &entry->sql_col_name);
        else if (std::strcmp(key, "index") == 0)
            entry->index = schema_number(&it);
        else if (std::strcmp(key, "index_name") == 0) {
            std::free(entry->index_name);
            entry->index_name = nullptr;
            take_text(&it, &entry->index_name);
        } else if (std::strcmp(key, "primary") == 0)
            entry->primary = schema_flag(&it, false);
        else if (std::strcmp(key, "unique") == 0)
            entry->unique = schema_flag(&it, false);
        else if (std::strcmp(key, "native_id") == 0)
            entry->native_id = schema_flag(&it, false);
        else if (std::strcmp(key, "asc") == 0)
            entry->asc = schema_flag(&it, false);
    }
}

bool schema_document_allowed(const bson_t* doc, int kind)
{
    bson_iter_t it;
    if (!bson_iter_init(&it, doc))
        return false;
    while (bson_iter_next(&it))
        if (!schema_field_allowed(kind, bson_iter_key(&it)))
            return false;
    return true;
}

std::string schema_text(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    return bson_iter_init_find(&it, doc, field) && BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : "";
}
