#include "store/read/read.h"

#include "core/dbinfo.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "store/write/fields.h"
#include "store/write/journal.h"
#include "store/read/seen.h"
#include "store/read/listing.h"

#include <QByteArray>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

// A copy of an index entry read from the schema, given to the column of that name.
db_index_t* make_entry(const db_index_t* read, const char* sql_col_name)
{
    db_index_t* entry = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
    *entry = *read;
    entry->sql_col_name = copy_text(sql_col_name);
    entry->index_name = copy_text(read->index_name);
    entry->next = nullptr;
    return entry;
}

db_index_t* read_index_entry(const bson_t* doc)
{
    db_index_t* entry = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
    read_index_document(doc, entry);
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
    explicit table_indexes(DBINFO* d) : dbinfo(d) { std::memset(&error, 0, sizeof error); }
    ~table_indexes()
    {
        for (db_index_t* entry : docs)
            free_indexes(entry);
    }

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

    // Set when the entries could not be read to the end.
    bson_error_t error;
    // What was read of the entries, when given.
    table_stamp_t* stamp = nullptr;

private:
    void load()
    {
        loaded = true;
        if (!dbinfo->md_client)
            return;
        selected_table sel(dbinfo);
        mongoc_collection_t* coll =
            mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(KIND_INDEX));
        bson_t* query = table_selector(sel.catalog.constData(), sel.schema.constData(), sel.table.constData());
        mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, query, nullptr, nullptr);
        const bson_t* doc;
        while (mongoc_cursor_next(cursor, &doc)) {
            size_t at = docs.size();
            docs.push_back(read_index_entry(doc));
            if (stamp)
                stamp_add(stamp, KIND_INDEX, doc);
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
        // Entries cut short would be saved back as all the table has.
        if (!mongoc_cursor_error(cursor, &error) && stamp)
            stamp->has_index = true;
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
    std::vector<db_index_t*> docs;
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

// Reads one columns document into column, the last of the list headed by *head.
// Index entries come from indexes when given.
void read_column_fields(const bson_t* doc, db_column_t* column, db_column_t** head, table_indexes* indexes)
{
    if (read_column_document(doc, column))
        move_to_head(head, column);
    if (indexes && column->sql_name) {
        free_indexes(column->indexes);
        column->indexes = indexes->for_column(column->sql_name);
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

// Hands each columns document of the query to take, in the server's order: from what
// start-up has already seen when it can (see store/read/seen.h), else from the server. False,
// with error set, when the server's answer stopped before its end (a table of more than
// one batch, cut short by Cancel, a time-out or a lost server): what was taken is a part.
template <typename Take>
bool each_columns_doc(DBINFO* dbinfo, const bson_t* query, const bson_t* fields,
                      const doc_refs_t* seen, bson_error_t* error, Take take)
{
    std::memset(error, 0, sizeof *error);
    if (seen) {
        for (const doc_ref_t& d : *seen)
            take(d.doc);
        return true;
    }
    mongoc_collection_t* coll =
        mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(KIND_COLUMNS));
    mongoc_cursor_t* cursor = mongoc_collection_find(coll, MONGOC_QUERY_NONE, 0, 0, 0, query, fields, nullptr);
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc))
        take(doc);
    bool failed = mongoc_cursor_error(cursor, error);
    mongoc_cursor_destroy(cursor);
    mongoc_collection_destroy(coll);
    return !failed;
}

// Walks a table's columns documents in SQL name order. Builds the column list when
// columns is given and the virtual-table names always; index entries when indexes is
// given. A document whose virtual_array is true names a virtual table by its
// sql_name (the editor writes sql_name first; a document without one names none).
// False, with error set, when the columns or their index entries were not read to the end.
bool walk_columns(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                  db_column_t** columns, db_name_t** vt_names, table_indexes* indexes, bson_error_t* error,
                  table_stamp_t* stamp = nullptr)
{
    bson_t query = BSON_INITIALIZER;
    columns_query(&query, catalog, schema, table ? table : "");
    doc_refs_t seen;
    bool known = seen_table_columns(dbinfo, catalog ? catalog : "", schema ? schema : "", table ? table : "", &seen);

    db_column_t* head = nullptr;
    db_column_t* tail = nullptr;
    db_name_t* names = nullptr;
    bool whole = each_columns_doc(dbinfo, &query, nullptr, known ? &seen : nullptr, error, [&](const bson_t* doc) {
        if (stamp)
            stamp_add(stamp, KIND_COLUMNS, doc);
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
    });
    bson_destroy(&query);

    if (columns)
        *columns = head;
    else
        free_columns(head);
    *vt_names = names;
    if (whole && indexes && indexes->error.domain) {
        *error = indexes->error;
        whole = false;
    }
    return whole;
}

} // namespace

void release_table_tree(DBINFO* dbinfo)
{
    // What start-up had seen of the columns served the tree; later reads ask the server.
    seen_columns_forget();
    free_table_tree(dbinfo);
}

void read_table_tree(DBINFO* dbinfo)
{
    // Start-up reads the tree once, into an empty record: what it has seen of the
    // columns stays for building the tree.
    if (dbinfo->tables)
        release_table_tree(dbinfo);
    if (!dbinfo->md_client)
        return;
    mongoc_collection_t* coll =
        mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(KIND_TABLES));
    bson_t query = BSON_INITIALIZER;
    bson_t* opts = whole_collection_opts();
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &query, opts, nullptr);
    bson_destroy(opts);
    const bson_t* doc;
    std::unordered_set<std::string> added; // catalog, schema and table: a new one is appended at once
    while (mongoc_cursor_next(cursor, &doc)) {
        db_table_doc_t tree, ref;
        if (!read_tables_document(doc, &tree, &ref) || tree.is_virtual)
            continue;
        std::string key = std::string(tree.catalog ? tree.catalog : "") + '\0' + (tree.schema ? tree.schema : "") +
                          '\0' + (tree.table ? tree.table : "");
        if (added.insert(std::move(key)).second)
            append_to_table_tree(dbinfo, tree.catalog, tree.schema, tree.table, ref.mongo_name);
        else
            add_to_table_tree(dbinfo, tree.catalog, tree.schema, tree.table, ref.mongo_name);
    }
    mongoc_cursor_destroy(cursor);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);
}

db_column_t* read_table_columns(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                                db_name_t** vt_names, bson_error_t* error)
{
    bson_error_t local;
    if (!error)
        error = &local;
    std::memset(error, 0, sizeof *error);
    db_name_t* ignored = nullptr;
    if (!vt_names)
        vt_names = &ignored;
    *vt_names = nullptr;
    if (!dbinfo->md_client)
        return nullptr;
    db_column_t* columns = nullptr;
    table_indexes indexes(dbinfo);
    // What this read saw: a save of the table writes only over the same documents.
    table_stamp_t stamp;
    selected_table sel(dbinfo);
    if (table && sel.table == table && sel.catalog == catalog && sel.schema == schema)
        indexes.stamp = &stamp; // the entries are looked up for the selected table
    if (walk_columns(dbinfo, catalog, schema, table, &columns, vt_names, &indexes, error, &stamp)) {
        stamp.has_columns = true;
        note_table_read(catalog, schema, table, stamp);
    }
    free_names(ignored);
    return columns;
}

db_table_vts_t* read_schema_virtual_names(DBINFO* dbinfo, const char* catalog, const char* schema)
{
    if (!dbinfo->md_client)
        return nullptr;
    db_table_vts_t* head = nullptr;
    std::unordered_map<std::string_view, db_table_vts_t*> by_table; // views of each entry's own copy
    auto add = [&](const char* table, const char* name) {
        // A table's documents mostly come together: the last one's entry first.
        db_table_vts_t* entry = head && !std::strcmp(head->table, table) ? head : nullptr;
        if (!entry) {
            auto found = by_table.find(table);
            entry = found == by_table.end() ? nullptr : found->second;
        }
        if (!entry) {
            entry = static_cast<db_table_vts_t*>(record_alloc(sizeof(db_table_vts_t)));
            entry->table = copy_text(table);
            entry->next = head;
            head = entry;
            by_table.emplace(entry->table, entry);
        }
        entry->names = append_name(entry->names, name);
    };
    // Start-up's record has every name read already (fifty thousand at scale).
    if (seen_virtual_names(dbinfo, catalog ? catalog : "", schema ? schema : "",
                           [&](const char* table, const char* name) {
                               if (table && name)
                                   add(table, name);
                           }))
        return head;

    bson_t query = BSON_INITIALIZER;
    // Only the flagged documents travel, and only the fields that decide a name.
    columns_query(&query, catalog, schema, nullptr);
    bson_t* fields = BCON_NEW("sql_table", BCON_INT32(1), "sql_name", BCON_INT32(1), "mongo_name", BCON_INT32(1),
                              "virtual_array", BCON_INT32(1));
    // The tree shows what was read; a table's own read tells when it is cut short.
    bson_error_t error;
    each_columns_doc(dbinfo, &query, fields, nullptr, &error, [&](const bson_t* doc) {
        bson_iter_t it;
        if (!bson_iter_init_find(&it, doc, "sql_table") || !BSON_ITER_HOLDS_UTF8(&it))
            return;
        const char* table = bson_iter_utf8(&it, nullptr);
        // The same reading of the document as the table-by-table walk; one that holds each
        // of the names once, as text, is read by its keys alone.
        column_keys_t keys;
        read_column_keys(doc, &keys);
        db_column_t* column = keys.fit ? nullptr : new_column();
        if (column)
            read_column_document(doc, column);
        const char* name = column ? column->sql_name : keys.has[3] ? keys.text[3] : nullptr;
        if ((column ? column->virtual_array : keys.is_virtual) && name)
            add(table, name);
        free_columns(column);
    });
    bson_destroy(fields);
    bson_destroy(&query);
    return head;
}

bool each_catalog_document(DBINFO* dbinfo, int kind, const bson_t* projection,
                           const std::function<void(const doc_ref_t&)>& take, bson_error_t* error)
{
    std::memset(error, 0, sizeof *error);
    if (kind == KIND_COLUMNS && seen_catalog_columns(dbinfo, dbinfo->database, SQL_SCHEMA, take))
        return true;
    if (!dbinfo->md_client) {
        bson_set_error(error, MONGOC_ERROR_CLIENT, MONGOC_ERROR_CLIENT_NOT_READY, "no connection to the schema");
        return false;
    }
    mongoc_collection_t* coll =
        mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(kind));
    bson_t* filter = BCON_NEW("sql_catalog", BCON_UTF8(dbinfo->database), "sql_schema", BCON_UTF8(SQL_SCHEMA));
    bson_t* opts = whole_collection_opts();
    if (projection)
        BSON_APPEND_DOCUMENT(opts, "projection", projection);
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, opts, nullptr);
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc))
        take({doc});
    bool failed = mongoc_cursor_error(cursor, error);
    mongoc_cursor_destroy(cursor);
    bson_destroy(opts);
    bson_destroy(filter);
    mongoc_collection_destroy(coll);
    return !failed;
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

std::unordered_map<std::string_view, const db_name_t*> virtual_names_by_table(const db_table_vts_t* list)
{
    std::unordered_map<std::string_view, const db_name_t*> by_table;
    for (; list; list = list->next)
        by_table.emplace(list->table, list->names);
    return by_table;
}

db_index_t* read_column_indexes(DBINFO* dbinfo, const char* sql_col_name)
{
    if (!dbinfo->md_client || !sql_col_name)
        return nullptr;
    selected_table sel(dbinfo);
    mongoc_collection_t* coll =
        mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(KIND_INDEX));
    bson_t* query = table_selector(sel.catalog.constData(), sel.schema.constData(), sel.table.constData());
    BSON_APPEND_UTF8(query, "sql_col_name", sql_col_name);
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, query, nullptr, nullptr);
    db_index_t* head = nullptr;
    db_index_t* tail = nullptr;
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        db_index_t* read = read_index_entry(doc);
        append_entry(&head, &tail, make_entry(read, sql_col_name));
        free_indexes(read);
    }
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
            add_to_table_tree(dbinfo, dbinfo->database, SQL_SCHEMA, *p);
    free_collection_names(dbinfo, names);
    return true;
}
