// The collections of the data database and the tables of the schema as two lists of keys,
// and their comparison.
#include "store/read/listing.h"

#include "core/dbinfo.h"
#include "core/outcomes.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "store/write/fields.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

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
        tail = append_ref(&head, tail, table_key(dbinfo->database, *p), *p, *p, false);
    }
    free_collection_names(dbinfo, names);
    return head;
}

db_table_ref_t* list_schema_tables(DBINFO* dbinfo, bson_error_t* error)
{
    bson_error_t local;
    if (!error)
        error = &local;
    std::memset(error, 0, sizeof *error);
    free_table_refs(dbinfo->md_tables);
    dbinfo->md_tables = nullptr;
    if (!dbinfo->md_client)
        return nullptr;

    mongoc_collection_t* coll =
        mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(KIND_TABLES));
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

int compare_collections_with_schema(db_table_ref_t* collections, db_table_ref_t* tables, const char* catalog)
{
    // Another catalog's tables describe another database: they are neither matched nor
    // gone, and nothing done for this catalog touches them.
    std::string ours = catalog ? table_key(catalog) : std::string();
    for (db_table_ref_t* t = tables; t; t = t->next)
        if (catalog && (!t->key || std::strncmp(t->key, ours.c_str(), ours.size()) != 0))
            t->matched = true;
    // Each collection takes the first table of its key not yet taken: by key, in one pass,
    // as a schema of thousands of tables needs (a vector and the next to take: a deque a key
    // would hold half a kilobyte each).
    std::unordered_map<std::string, std::pair<std::vector<db_table_ref_t*>, size_t>> open;
    for (db_table_ref_t* t = tables; t; t = t->next)
        if (!t->matched && t->key)
            open[t->key].first.push_back(t);
    for (db_table_ref_t* c = collections; c; c = c->next) {
        if (c->matched || !c->key)
            continue;
        auto found = open.find(c->key);
        if (found == open.end() || found->second.second == found->second.first.size())
            continue;
        c->matched = found->second.first[found->second.second++]->matched = true;
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
        return VALIDATE_COLLECTIONS_NEW_AND_GONE;
    if (tables_fail)
        return VALIDATE_COLLECTIONS_GONE;
    if (collections_fail)
        return VALIDATE_COLLECTIONS_NEW;
    return VALIDATE_OK;
}

table_refs_t table_refs_by_key(const db_table_ref_t* list)
{
    table_refs_t refs;
    for (; list; list = list->next)
        if (list->key)
            refs.emplace(list->key, list); // the first of a key, as a walk of the list finds it
    return refs;
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
        std::string key = table_key(catalog ? catalog : "", t->mongo_name);
        if (key == t->key)
            return dbinfo_set_text(out, t->mongo_name);
    }
    return false;
}
