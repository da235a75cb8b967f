#include "store/validate.h"

#include "core/dbinfo.h"
#include "core/records.h"
#include "store/fields.h"
#include "store/seen.h"

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

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
bool allowed(const char* const (&list)[N], const char* field)
{
    for (const char* name : list)
        if (std::strcmp(name, field) == 0)
            return true;
    return false;
}

} // namespace

bool schema_field_allowed(int kind, const char* field)
{
    switch (kind) {
    case 1: return allowed(tables_fields, field);
    case 2: return allowed(columns_fields, field);
    case 3: return allowed(index_fields, field);
    default: return false;
    }
}

namespace {

// A growing NULL-terminated array of heap strings, freed string by string.
struct name_array {
    char** names = nullptr;
    size_t count = 0;
    size_t capacity = 0;

    void append(const char* name)
    {
        if (count + 1 >= capacity) {
            size_t grown = capacity ? capacity * 2 : 8;
            char** bigger = static_cast<char**>(std::realloc(names, grown * sizeof(char*)));
            if (!bigger)
                std::exit(0);
            names = bigger;
            capacity = grown;
        }
        names[count++] = copy_text(name);
        names[count] = nullptr;
    }
    char** take()
    {
        if (!names)
            append_empty();
        char** out = names;
        names = nullptr;
        count = capacity = 0;
        return out;
    }
    void append_empty()
    {
        names = static_cast<char**>(record_alloc(sizeof(char*)));
        capacity = 1;
    }
    void release()
    {
        for (size_t i = 0; i < count; ++i)
            std::free(names[i]);
        std::free(names);
        names = nullptr;
        count = capacity = 0;
    }
};

db_table_ref_t* append_ref(db_table_ref_t** head, db_table_ref_t* tail, const std::string& key,
                           const char* mongo_name, const char* sql_name, bool is_virtual)
{
    db_table_ref_t* ref = static_cast<db_table_ref_t*>(record_alloc(sizeof(db_table_ref_t)));
    ref->key = copy_text(key.c_str());
    ref->mongo_name = copy_text(mongo_name);
    ref->sql_name = copy_text(sql_name);
    ref->is_virtual = is_virtual;
    if (tail)
        tail->next = ref;
    else
        *head = ref;
    return ref;
}

} // namespace

int schema_collection_kind(const char* name)
{
    if (!name)
        return 0;
    if (std::strcmp(name, "tables") == 0)
        return 1;
    if (std::strcmp(name, "columns") == 0)
        return 2;
    if (std::strcmp(name, "index") == 0)
        return 3;
    if (std::strcmp(name, "system.indexes") == 0)
        return 4;
    return 0;
}

char** list_collection_names(DBINFO* dbinfo, mongoc_database_t* database, bson_error_t* error)
{
    dbinfo->legacy_collection_list = 0;
    bson_error_t local;
    if (!error)
        error = &local;
    std::memset(error, 0, sizeof *error);
    if (!database)
        return nullptr;

    name_array names;
    bson_t command = BSON_INITIALIZER;
    BSON_APPEND_INT32(&command, "listCollections", 1);
    mongoc_cursor_t* cursor =
        mongoc_database_command(database, MONGOC_QUERY_NONE, 0, 0, 0, &command, nullptr, nullptr);
    const bson_t* reply;
    while (mongoc_cursor_next(cursor, &reply)) {
        bson_iter_t element;
        // The names of a schema or data database fit in the first batch.
        if (!first_batch(reply, &element))
            continue;
        while (bson_iter_next(&element)) {
            bson_iter_t field;
            if (!BSON_ITER_HOLDS_DOCUMENT(&element) || !bson_iter_recurse(&element, &field))
                continue;
            while (bson_iter_next(&field))
                if (std::strcmp(bson_iter_key(&field), "name") == 0 && BSON_ITER_HOLDS_UTF8(&field))
                    names.append(bson_iter_utf8(&field, nullptr));
        }
    }
    bool failed = mongoc_cursor_error(cursor, error);
    mongoc_cursor_destroy(cursor);
    bson_destroy(&command);

    if (!failed)
        return names.take();
    names.release();
    if (std::strcmp(error->message, "no such cmd: listCollections") != 0)
        return nullptr;
    // Servers without the command: the library's own listing, freed as a string vector.
    char** legacy = mongoc_database_get_collection_names(database, error);
    if (legacy)
        dbinfo->legacy_collection_list = 1;
    return legacy;
}

namespace {

// The message of the read that made validation give -5.
char read_error[sizeof(bson_error_t::message)] = "";

// What validation read of the columns and index documents, for the damage check: the
// keys "catalog.schema.table" of tables with columns, those keys with ".sql_name" of each
// column, and each index entry's table key, column and index name.
struct damage_input_t {
    std::set<std::string> tables_with_columns, columns;
    struct entry_t {
        std::string table, column, index_name;
    };
    std::vector<entry_t> entries;
} read_docs;
char damage_text[1024] = "";

std::string text_field(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    return bson_iter_init_find(&it, doc, field) && BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : "";
}

std::string table_key_of(const bson_t* doc)
{
    return text_field(doc, "sql_catalog") + "." + text_field(doc, "sql_schema") + "." + text_field(doc, "sql_table");
}

void note_for_damage(const bson_t* doc, int kind)
{
    if (kind == 2) {
        read_docs.tables_with_columns.insert(table_key_of(doc));
        read_docs.columns.insert(table_key_of(doc) + "." + text_field(doc, "sql_name"));
        return;
    }
    bson_iter_t it;
    if (kind != 3 || !bson_iter_init_find(&it, doc, "sql_col_name"))
        return;
    std::vector<std::string> named;
    if (BSON_ITER_HOLDS_UTF8(&it)) {
        named.push_back(bson_iter_utf8(&it, nullptr));
    } else if (BSON_ITER_HOLDS_ARRAY(&it)) {
        bson_iter_t element;
        if (bson_iter_recurse(&it, &element))
            while (bson_iter_next(&element))
                if (BSON_ITER_HOLDS_UTF8(&element))
                    named.push_back(bson_iter_utf8(&element, nullptr));
    }
    for (const std::string& column : named)
        read_docs.entries.push_back({table_key_of(doc), column, text_field(doc, "index_name")});
}

// True when the data collection holds a document (one small request): a table without
// columns is damage only then, an empty collection gives none.
bool collection_has_documents(DBINFO* dbinfo, const char* collection)
{
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->client, dbinfo->database, collection);
    bson_t filter = BSON_INITIALIZER;
    bson_t* opts = BCON_NEW("limit", BCON_INT64(1), "projection", "{", "_id", BCON_INT32(1), "}");
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &filter, opts, nullptr);
    const bson_t* doc;
    bool found = mongoc_cursor_next(cursor, &doc);
    // A read that failed says nothing: the table is taken for damaged, which repairs
    // nothing before the user agrees.
    bool failed = !found && mongoc_cursor_error(cursor, nullptr);
    mongoc_cursor_destroy(cursor);
    bson_destroy(opts);
    bson_destroy(&filter);
    mongoc_collection_destroy(coll);
    return found || failed;
}

// Tables of the catalog without columns (their collection not empty) and index entries
// naming no column of their table. The tables without columns are unmarked on both
// lists, so that the synchronisation of both kinds (-32) takes them again from their
// collections; every other table keeps its documents. True when something is damaged.
bool find_damage(DBINFO* dbinfo)
{
    std::string told;
    int more = 0;
    auto tell = [&](const std::string& what) {
        if (told.empty())
            told = what;
        else
            ++more;
    };
    std::string ours = std::string(dbinfo->database) + ".dbo.";
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next) {
        if (t->is_virtual || !t->key || std::strncmp(t->key, ours.c_str(), ours.size()) != 0 ||
            read_docs.tables_with_columns.count(t->key))
            continue;
        db_table_ref_t* c = dbinfo->db_collections;
        while (c && (!c->key || std::strcmp(c->key, t->key) != 0))
            c = c->next;
        if (!c || !collection_has_documents(dbinfo, c->mongo_name))
            continue;
        tell("table '" + std::string(t->sql_name) + "' has no columns");
        t->matched = c->matched = false;
    }
    for (const damage_input_t::entry_t& e : read_docs.entries)
        if (e.table.compare(0, ours.size(), ours) == 0 && read_docs.tables_with_columns.count(e.table) &&
            !read_docs.columns.count(e.table + "." + e.column))
            tell("index '" + e.index_name + "' of table '" + e.table.substr(ours.size()) + "' names no column '" +
                 e.column + "'");
    if (told.empty())
        return false;
    if (more)
        told += " (and " + std::to_string(more) + " more)";
    bson_strncpy(damage_text, told.c_str(), sizeof damage_text);
    return true;
}

// 1 the collection passes, 0 it fails its document check, -1 it could not be read to
// its end (error set). The columns documents read are kept for start-up (seen.h).
int read_schema_collection(DBINFO* dbinfo, const char* name, int kind, bson_error_t* error)
{
    std::memset(error, 0, sizeof *error);
    if (!dbinfo->md_client)
        return 0;
    if (kind == 4)
        return 1;
    if (kind < 1 || kind > 3)
        return 0;

    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, name);
    if (!coll)
        return 0;
    if (kind == 2)
        seen_columns_start(dbinfo);
    bson_t query = BSON_INITIALIZER;
    bson_t* opts = whole_collection_opts();
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &query, opts, nullptr);
    bson_destroy(opts);
    bool refused = false;
    long documents = 0;
    const bson_t* doc;
    while (!refused && mongoc_cursor_next(cursor, &doc)) {
        ++documents;
        refused = !schema_document_allowed(doc, kind);
        if (kind == 2)
            seen_columns_add(doc);
        note_for_damage(doc, kind);
    }
    // A collection that cannot be read to its end cannot be vouched for either.
    bool read_failed = !refused && mongoc_cursor_error(cursor, error);
    mongoc_cursor_destroy(cursor);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);
    if (kind == 2)
        seen_columns_finish(!refused && !read_failed);

    if (read_failed)
        return -1;
    if (refused)
        return 0;
    // Columns gone from under the tables are damage, told per table: no reason to offer a
    // creation that would drop every hand edit.
    return kind != 1 || documents > 0 ? 1 : 0;
}

// The comparison list of the tables collection; a read that fails on the way sets error.
db_table_ref_t* read_schema_tables(DBINFO* dbinfo, bson_error_t* error)
{
    std::memset(error, 0, sizeof *error);
    free_table_refs(dbinfo->md_tables);
    dbinfo->md_tables = nullptr;
    if (!dbinfo->md_client)
        return nullptr;

    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "tables");
    bson_t query = BSON_INITIALIZER;
    bson_t* opts = whole_collection_opts();
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &query, opts, nullptr);
    bson_destroy(opts);
    db_table_ref_t* head = nullptr;
    db_table_ref_t* tail = nullptr;
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        // A field of another type than expected leaves its name empty.
        db_table_doc_t tree, ref;
        read_tables_document(doc, &tree, &ref);
        tail = append_ref(&head, tail, std::string(ref.catalog) + "." + ref.schema + "." + ref.table,
                          ref.mongo_name, ref.table, ref.is_virtual);
    }
    mongoc_cursor_error(cursor, error);
    mongoc_cursor_destroy(cursor);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);
    return head;
}

} // namespace

const char* schema_read_error(void)
{
    return read_error;
}

const char* schema_damage(void)
{
    return damage_text;
}

void check_index_access(DBINFO* dbinfo)
{
    if (dbinfo->mode == MODE_VIEW_ONLY || !dbinfo->md_client)
        return;
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "index");
    bson_t reply;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    bool ok = mongoc_collection_validate(coll, nullptr, &reply, &error);
    bson_destroy(&reply);
    mongoc_collection_destroy(coll);
    if (ok) {
        dbinfo->mode = MODE_EDIT;
        return;
    }
    // A missing collection is not a matter of rights.
    if (std::strcmp(error.message, "ns not found") == 0 || std::strstr(error.message, "does not exist to validate"))
        return;
    dbinfo->mode = MODE_READ_ONLY;
}

db_table_ref_t* list_data_collections(DBINFO* dbinfo, bson_error_t* error)
{
    free_table_refs(dbinfo->db_collections);
    dbinfo->db_collections = nullptr;

    bson_error_t local;
    if (!error)
        error = &local;
    char** names = list_collection_names(dbinfo, dbinfo->db, error);
    if (!names) {
        // Without an answer there is no list at all, not an empty one.
        if (!error->domain)
            bson_set_error(error, MONGOC_ERROR_CLIENT, MONGOC_ERROR_CLIENT_NOT_READY, "no connection to the data server");
        return nullptr;
    }
    db_table_ref_t* head = nullptr;
    db_table_ref_t* tail = nullptr;
    for (char** p = names; *p; ++p) {
        if (is_system_collection(*p))
            continue;
        tail = append_ref(&head, tail, std::string(dbinfo->database) + ".dbo." + *p, *p, *p, false);
    }
    free_collection_names(dbinfo, names);
    return head;
}

db_table_ref_t* list_schema_tables(DBINFO* dbinfo)
{
    bson_error_t error;
    return read_schema_tables(dbinfo, &error);
}

int compare_collections_with_schema(db_table_ref_t* collections, db_table_ref_t* tables, const char* catalog)
{
    // Another catalog's tables describe another database: they are neither matched nor
    // gone, and nothing done for this catalog touches them.
    std::string ours = catalog ? std::string(catalog) + ".dbo." : std::string();
    for (db_table_ref_t* t = tables; t; t = t->next)
        if (catalog && (!t->key || std::strncmp(t->key, ours.c_str(), ours.size()) != 0))
            t->matched = true;
    for (db_table_ref_t* c = collections; c; c = c->next) {
        if (c->matched)
            continue;
        for (db_table_ref_t* t = tables; t; t = t->next) {
            if (!t->matched && std::strcmp(c->key, t->key) == 0) {
                c->matched = t->matched = true;
                break;
            }
        }
    }
    bool tables_fail = false;
    for (db_table_ref_t* t = tables; t; t = t->next)
        if (!t->is_virtual && !t->matched)
            tables_fail = true;
    bool collections_fail = false;
    for (db_table_ref_t* c = collections; c; c = c->next)
        if (!c->matched)
            collections_fail = true;
    if (tables_fail && collections_fail)
        return -32;
    if (tables_fail)
        return -31;
    if (collections_fail)
        return -30;
    return 1;
}

bool validate_schema(DBINFO* dbinfo, int* code)
{
    // The lists of an earlier run are released rather than dropped.
    free_table_refs(dbinfo->db_collections);
    dbinfo->db_collections = nullptr;
    free_table_refs(dbinfo->md_tables);
    dbinfo->md_tables = nullptr;
    *code = 1;

    if (std::strcmp(dbinfo->database, dbinfo->md_database) == 0 &&
        std::strcmp(dbinfo->server, dbinfo->md_server) == 0) {
        *code = -18;
        return false;
    }

    bson_error_t error;
    read_error[0] = '\0';
    damage_text[0] = '\0';
    read_docs = damage_input_t();
    char** names = list_collection_names(dbinfo, dbinfo->md_db, &error);
    if (!names) {
        *code = -4;
    } else {
        int walked = 0;
        for (char** p = names; *p; ++p) {
            ++walked;
            int kind = schema_collection_kind(*p);
            if (kind == 0) {
                *code = -3;
                break;
            }
            int checked = read_schema_collection(dbinfo, *p, kind, &error);
            // A read that failed says nothing about the documents: not -2, which offers
            // to create the schema anew.
            if (checked != 1) {
                *code = checked < 0 ? -5 : -2;
                break;
            }
        }
        free_collection_names(dbinfo, names);
        if (walked == 0 && *code == 1)
            *code = -1;
        if (walked > 0 && *code == 1) {
            bson_error_t listing;
            dbinfo->db_collections = list_data_collections(dbinfo, &listing);
            dbinfo->md_tables = read_schema_tables(dbinfo, &error);
            if (listing.domain) {
                *code = -33;
                error = listing;
            } else if (error.code || error.domain) {
                *code = -5;
            } else {
                *code = compare_collections_with_schema(dbinfo->db_collections, dbinfo->md_tables, dbinfo->database);
                if (find_damage(dbinfo))
                    *code = -34;
            }
        }
        if (*code == -5 || *code == -33)
            bson_strncpy(read_error, error.message, sizeof read_error);
    }

    check_index_access(dbinfo);
    return *code == 1;
}

bool collection_of_table(DBINFO* dbinfo, const char* catalog, const char* table, char* out)
{
    if (!table || !out)
        return false;
    if (dbinfo->mode == MODE_VIEW_ONLY)
        return dbinfo_set_text(out, table);
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next) {
        if (!t->sql_name || std::strcmp(t->sql_name, table) != 0)
            continue;
        std::string key = std::string(catalog ? catalog : "") + ".dbo." + t->mongo_name;
        if (key == t->key)
            return dbinfo_set_text(out, t->mongo_name);
    }
    return false;
}
