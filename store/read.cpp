#include "store/read.h"

#include "app/dbinfo.h"
#include "store/fields.h"
#include "store/records.h"
#include "store/validate.h"

#include <QByteArray>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

// Index entry fields of one `index` document, before it is given to a column.
struct index_doc_t {
    int32_t index = 0;
    std::string index_name;
    bool has_name = false;
    bool primary = false;
    bool unique = false;
    bool native_id = false;
    bool asc = false;
};

// The reader takes primary, unique, native_id and asc from the documents (false when
// absent or not boolean), so that what the dump prints is what the schema says.
index_doc_t read_index_doc(const bson_t* doc)
{
    index_doc_t entry;
    bson_iter_t it;
    if (!bson_iter_init(&it, doc))
        return entry;
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        if (std::strcmp(key, "index") == 0)
            entry.index = schema_number(&it);
        else if (std::strcmp(key, "index_name") == 0) {
            entry.has_name = BSON_ITER_HOLDS_UTF8(&it);
            entry.index_name = entry.has_name ? bson_iter_utf8(&it, nullptr) : "";
        } else if (std::strcmp(key, "primary") == 0)
            entry.primary = schema_flag(&it, false);
        else if (std::strcmp(key, "unique") == 0)
            entry.unique = schema_flag(&it, false);
        else if (std::strcmp(key, "native_id") == 0)
            entry.native_id = schema_flag(&it, false);
        else if (std::strcmp(key, "asc") == 0)
            entry.asc = schema_flag(&it, false);
    }
    return entry;
}

db_index_t* make_entry(const index_doc_t& doc, const char* sql_col_name)
{
    db_index_t* entry = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
    entry->sql_col_name = copy_text(sql_col_name);
    entry->index = doc.index;
    entry->primary = doc.primary;
    entry->index_name = doc.has_name ? copy_text(doc.index_name.c_str()) : nullptr;
    entry->unique = doc.unique;
    entry->native_id = doc.native_id;
    entry->asc = doc.asc;
    entry->from_schema = true;
    return entry;
}

void append_entry(db_index_t** head, db_index_t** tail, db_index_t* entry)
{
    if (*tail)
        (*tail)->next = entry;
    else
        *head = entry;
    *tail = entry;
}

// The selected table of the record, as the index entries are looked up for it.
struct selected_table {
    QByteArray catalog, schema, table;
    explicit selected_table(const DBINFO* d)
        : catalog(d->catalog.toLocal8Bit()), schema(d->schema.toLocal8Bit()), table(d->table.toLocal8Bit())
    {
    }
};

bson_t* table_selector(const char* catalog, const char* schema, const char* table)
{
    bson_t* selector = bson_new();
    BSON_APPEND_UTF8(selector, "sql_catalog", catalog);
    BSON_APPEND_UTF8(selector, "sql_schema", schema);
    BSON_APPEND_UTF8(selector, "sql_table", table);
    return selector;
}

// Every index entry of the selected table, read with one query and handed out per
// column in natural order: the same lists as one query per column would give. A
// document matches a column as the server's equality would: its sql_col_name is the
// column's name, or an array holding it.
class table_indexes {
public:
    explicit table_indexes(DBINFO* d) : dbinfo(d) {}

    db_index_t* for_column(const char* sql_name)
    {
        if (!loaded)
            load();
        db_index_t* head = nullptr;
        db_index_t* tail = nullptr;
        auto found = by_name.find(sql_name);
        if (found != by_name.end())
            for (size_t i : found->second)
                append_entry(&head, &tail, make_entry(docs[i], sql_name));
        return head;
    }

private:
    void load()
    {
        loaded = true;
        if (!dbinfo->md_client)
            return;
        selected_table sel(dbinfo);
        mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "index");
        bson_t* query = table_selector(sel.catalog.constData(), sel.schema.constData(), sel.table.constData());
        mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, query, nullptr, nullptr);
        const bson_t* doc;
        while (mongoc_cursor_next(cursor, &doc)) {
            size_t at = docs.size();
            docs.push_back(read_index_doc(doc));
            bson_iter_t it;
            if (!bson_iter_init_find(&it, doc, "sql_col_name"))
                continue;
            if (BSON_ITER_HOLDS_UTF8(&it)) {
                add(bson_iter_utf8(&it, nullptr), at);
            } else if (BSON_ITER_HOLDS_ARRAY(&it)) {
                bson_iter_t element;
                if (bson_iter_recurse(&it, &element))
                    while (bson_iter_next(&element))
                        if (BSON_ITER_HOLDS_UTF8(&element))
                            add(bson_iter_utf8(&element, nullptr), at);
            }
        }
        mongoc_cursor_destroy(cursor);
        bson_destroy(query);
        mongoc_collection_destroy(coll);
    }

    void add(const char* name, size_t at)
    {
        std::vector<size_t>& list = by_name[name];
        if (list.empty() || list.back() != at) // an array naming a column twice matches once
            list.push_back(at);
    }

    DBINFO* dbinfo;
    bool loaded = false;
    std::vector<index_doc_t> docs;
    std::unordered_map<std::string, std::vector<size_t>> by_name;
};

void move_to_head(db_column_t** head, db_column_t* column)
{
    if (*head == column)
        return;
    column->prev->next = column->next;
    if (column->next)
        column->next->prev = column->prev;
    column->prev = nullptr;
    column->next = *head;
    (*head)->prev = column;
    *head = column;
}

// Reads one columns document into column. Index entries come from indexes when given.
void read_column_fields(const bson_t* doc, db_column_t* column, db_column_t** head, table_indexes* indexes)
{
    bson_iter_t it;
    if (!bson_iter_init(&it, doc))
        return;
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        if (std::strcmp(key, "sql_catalog") == 0 || std::strcmp(key, "sql_schema") == 0 ||
            std::strcmp(key, "sql_table") == 0)
            continue;
        if (std::strcmp(key, "_id") == 0) {
            if (BSON_ITER_HOLDS_OID(&it))
                bson_oid_to_string(bson_iter_oid(&it), column->id);
        } else if (std::strcmp(key, "sql_name") == 0) {
            if (!BSON_ITER_HOLDS_UTF8(&it))
                continue;
            std::free(column->sql_name);
            column->sql_name = copy_text(bson_iter_utf8(&it, nullptr));
            if (indexes) {
                free_indexes(column->indexes);
                column->indexes = indexes->for_column(column->sql_name);
            }
        } else if (std::strcmp(key, "mongo_name") == 0) {
            if (!BSON_ITER_HOLDS_UTF8(&it))
                continue;
            std::free(column->mongo_name);
            column->mongo_name = copy_text(bson_iter_utf8(&it, nullptr));
            if (std::strcmp(column->mongo_name, "_id") == 0)
                move_to_head(head, column);
        } else if (std::strcmp(key, "virtual_parent") == 0) {
            if (!BSON_ITER_HOLDS_UTF8(&it))
                continue;
            std::free(column->virtual_parent);
            column->virtual_parent = copy_text(bson_iter_utf8(&it, nullptr));
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
}

// The columns documents of one table, or with no table the flagged virtual-array
// documents of the whole catalog and schema, in SQL name order.
void columns_query(bson_t* query, const char* catalog, const char* schema, const char* table)
{
    bson_t selector;
    bson_t order;
    BSON_APPEND_DOCUMENT_BEGIN(query, "$query", &selector);
    BSON_APPEND_UTF8(&selector, "sql_catalog", catalog ? catalog : "");
    BSON_APPEND_UTF8(&selector, "sql_schema", schema ? schema : "");
    if (table)
        BSON_APPEND_UTF8(&selector, "sql_table", table);
    else
        BSON_APPEND_BOOL(&selector, "virtual_array", true);
    bson_append_document_end(query, &selector);
    BSON_APPEND_DOCUMENT_BEGIN(query, "$orderby", &order);
    BSON_APPEND_INT32(&order, "sql_name", 1);
    bson_append_document_end(query, &order);
}

// Walks a table's columns documents in SQL name order. Builds the column list when
// columns is given and the virtual-table names always; index entries when indexes is
// given. A document whose virtual_array is true names a virtual table by its
// sql_name (the editor writes sql_name first; a document without one names none).
void walk_columns(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                  db_column_t** columns, db_name_t** vt_names, table_indexes* indexes)
{
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "columns");
    bson_t query = BSON_INITIALIZER;
    columns_query(&query, catalog, schema, table ? table : "");

    mongoc_cursor_t* cursor = mongoc_collection_find(coll, MONGOC_QUERY_NONE, 0, 0, 0, &query, nullptr, nullptr);
    db_column_t* head = nullptr;
    db_column_t* tail = nullptr;
    db_name_t* names = nullptr;
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        db_column_t* column = new_column();
        db_column_t* before = tail;
        if (tail) {
            tail->next = column;
            column->prev = tail;
        } else {
            head = column;
        }
        read_column_fields(doc, column, &head, indexes);
        // A column moved to the head leaves the tail where it was.
        tail = column->next ? before : column;
        if (column->virtual_array && column->sql_name)
            names = append_name(names, column->sql_name);
    }
    mongoc_cursor_destroy(cursor);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);

    if (columns)
        *columns = head;
    else
        free_columns(head);
    *vt_names = names;
}

} // namespace

void read_table_tree(DBINFO* dbinfo)
{
    free_table_tree(dbinfo);
    if (!dbinfo->md_client)
        return;
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "tables");
    bson_t query = BSON_INITIALIZER;
    bson_t* opts = whole_collection_opts();
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &query, opts, nullptr);
    bson_destroy(opts);
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        const char* catalog = "";
        const char* schema = "";
        const char* table = "";
        bool is_virtual = false;
        bson_iter_t it;
        if (!bson_iter_init(&it, doc))
            continue;
        while (bson_iter_next(&it)) {
            const char* key = bson_iter_key(&it);
            // The first name of each level wins; a value that is not a string is no name.
            const char* text = BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : nullptr;
            if (std::strcmp(key, "sql_catalog") == 0) {
                if (!*catalog && text)
                    catalog = text;
            } else if (std::strcmp(key, "sql_schema") == 0) {
                if (!*schema && text)
                    schema = text;
            } else if (std::strcmp(key, "sql_table") == 0) {
                if (!*table && text)
                    table = text;
            } else if (std::strcmp(key, "virtual_array") == 0) {
                is_virtual = schema_flag(&it, is_virtual);
            }
        }
        if (!is_virtual)
            add_to_table_tree(dbinfo, catalog, schema, table);
    }
    mongoc_cursor_destroy(cursor);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);
}

db_column_t* read_table_columns(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                                db_name_t** vt_names)
{
    db_name_t* ignored = nullptr;
    if (!vt_names)
        vt_names = &ignored;
    *vt_names = nullptr;
    if (!dbinfo->md_client)
        return nullptr;
    db_column_t* columns = nullptr;
    table_indexes indexes(dbinfo);
    walk_columns(dbinfo, catalog, schema, table, &columns, vt_names, &indexes);
    free_names(ignored);
    return columns;
}

db_name_t* read_virtual_table_names(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table)
{
    if (!dbinfo->md_client)
        return nullptr;
    db_name_t* names = nullptr;
    walk_columns(dbinfo, catalog, schema, table, nullptr, &names, nullptr);
    return names;
}

db_table_vts_t* read_schema_virtual_names(DBINFO* dbinfo, const char* catalog, const char* schema)
{
    if (!dbinfo->md_client)
        return nullptr;
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "columns");
    bson_t query = BSON_INITIALIZER;
    // Only the flagged documents travel, and only the fields that decide a name.
    columns_query(&query, catalog, schema, nullptr);
    bson_t* fields = BCON_NEW("sql_table", BCON_INT32(1), "sql_name", BCON_INT32(1), "mongo_name", BCON_INT32(1),
                              "virtual_array", BCON_INT32(1));

    mongoc_cursor_t* cursor = mongoc_collection_find(coll, MONGOC_QUERY_NONE, 0, 0, 0, &query, fields, nullptr);
    db_table_vts_t* head = nullptr;
    std::unordered_map<std::string, db_table_vts_t*> by_table;
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        bson_iter_t it;
        if (!bson_iter_init_find(&it, doc, "sql_table") || !BSON_ITER_HOLDS_UTF8(&it))
            continue;
        const char* table = bson_iter_utf8(&it, nullptr);
        // The same reading of the document as the table-by-table walk.
        db_column_t* column = new_column();
        db_column_t* alone = column;
        read_column_fields(doc, column, &alone, nullptr);
        if (column->virtual_array && column->sql_name) {
            db_table_vts_t*& entry = by_table[table];
            if (!entry) {
                entry = static_cast<db_table_vts_t*>(record_alloc(sizeof(db_table_vts_t)));
                entry->table = copy_text(table);
                entry->next = head;
                head = entry;
            }
            entry->names = append_name(entry->names, column->sql_name);
        }
        free_columns(column);
    }
    mongoc_cursor_destroy(cursor);
    bson_destroy(fields);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);
    return head;
}

void free_table_vts(db_table_vts_t* list)
{
    while (list) {
        db_table_vts_t* next = list->next;
        std::free(list->table);
        free_names(list->names);
        std::free(list);
        list = next;
    }
}

const db_name_t* virtual_names_of(const db_table_vts_t* list, const char* table)
{
    for (; list; list = list->next)
        if (table && std::strcmp(list->table, table) == 0)
            return list->names;
    return nullptr;
}

db_index_t* read_column_indexes(DBINFO* dbinfo, const char* sql_col_name)
{
    if (!dbinfo->md_client || !sql_col_name)
        return nullptr;
    selected_table sel(dbinfo);
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "index");
    bson_t* query = table_selector(sel.catalog.constData(), sel.schema.constData(), sel.table.constData());
    BSON_APPEND_UTF8(query, "sql_col_name", sql_col_name);
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, query, nullptr, nullptr);
    db_index_t* head = nullptr;
    db_index_t* tail = nullptr;
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc))
        append_entry(&head, &tail, make_entry(read_index_doc(doc), sql_col_name));
    mongoc_cursor_destroy(cursor);
    bson_destroy(query);
    mongoc_collection_destroy(coll);
    return head;
}

bool load_tables_without_schema(DBINFO* dbinfo, int* code)
{
    *code = 1;
    bson_error_t error;
    char** names = list_collection_names(dbinfo, dbinfo->db, &error);
    if (!names)
        return true;
    for (char** p = names; *p; ++p)
        if (!is_system_collection(*p))
            add_to_table_tree(dbinfo, dbinfo->database, "dbo", *p);
    free_collection_names(dbinfo, names);
    return true;
}
