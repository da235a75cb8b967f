#include "store/read/indexes.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "discovery/discover.h"
#include "store/write/fields.h"
#include "store/write/write.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A growing NULL-terminated list of JSON texts (bson_as_json's, freed with bson_free).
struct text_list {
    char** texts = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    bool failed = false;

    bool start()
    {
        texts = static_cast<char**>(std::calloc(1, sizeof(char*)));
        capacity = 1;
        failed = !texts;
        return !failed;
    }
    void append(char* text)
    {
        if (failed || !text) {
            failed = true;
            bson_free(text);
            return;
        }
        if (count + 1 >= capacity) {
            size_t grown = capacity * 2;
            char** bigger = static_cast<char**>(std::realloc(texts, grown * sizeof(char*)));
            if (!bigger) {
                failed = true;
                bson_free(text);
                return;
            }
            texts = bigger;
            capacity = grown;
        }
        texts[count++] = text;
        texts[count] = nullptr;
    }
    // The list, or none when memory ran out on the way.
    char** take()
    {
        if (failed) {
            free_index_specs(texts);
            texts = nullptr;
        }
        return texts;
    }
};

void echo(const char* json) { brolix_diagnostic((std::string("\n") + json + "\n\n").c_str()); }

// Key order: true for a number above zero. A double is judged as it is, an integer by
// its low 32 bits (as a signed int32), as the driver reads them; any other number
// (decimal128) is not ascending. Keys that are not numbers ("text", "2dsphere",
// "hashed") carry no direction; they are taken as ascending, the order SQL assumes
// when none is given.
bool key_ascending(const bson_iter_t* key)
{
    switch (bson_iter_type(key)) {
    case BSON_TYPE_DOUBLE: return bson_iter_double(key) > 0.0;
    case BSON_TYPE_INT32: return bson_iter_int32(key) > 0;
    case BSON_TYPE_INT64:
        return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(bson_iter_int64(key)))) > 0;
    case BSON_TYPE_DECIMAL128: return false;
    default: return true;
    }
}

db_index_t* entries_of_index(const bson_t* described)
{
    bson_iter_t it;
    bool unique = false;
    if (bson_iter_init_find(&it, described, "unique") && BSON_ITER_HOLDS_BOOL(&it))
        unique = bson_iter_bool(&it);
    const char* name = nullptr;
    if (bson_iter_init_find(&it, described, "name") && BSON_ITER_HOLDS_UTF8(&it))
        name = bson_iter_utf8(&it, nullptr);
    bson_iter_t key;
    if (!bson_iter_init_find(&it, described, "key") || !BSON_ITER_HOLDS_DOCUMENT(&it) || !bson_iter_recurse(&it, &key))
        return nullptr;

    db_index_t* head = nullptr;
    db_index_t* tail = nullptr;
    int32_t position = 1;
    while (bson_iter_next(&key)) {
        db_index_t* entry = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
        entry->sql_col_name = copy_text(bson_iter_key(&key));
        entry->index = position++;
        entry->index_name = copy_text(name);
        entry->unique = std::strcmp(bson_iter_key(&key), "_id") == 0 ? true : unique;
        entry->asc = key_ascending(&key);
        if (tail)
            tail->next = entry;
        else
            head = entry;
        tail = entry;
    }
    return head;
}

void append_entries(DBINFO* dbinfo, const char* table, const db_index_t* entries, doc_list_t* docs)
{
    for (const db_index_t* e = entries; e; e = e->next) {
        bson_t* doc = docs->add();
        BSON_APPEND_UTF8(doc, "sql_catalog", dbinfo->database);
        BSON_APPEND_UTF8(doc, "sql_schema", SQL_SCHEMA);
        BSON_APPEND_UTF8(doc, "sql_table", table);
        BSON_APPEND_UTF8(doc, "sql_col_name", e->sql_col_name);
        BSON_APPEND_INT32(doc, "index", e->index);
        BSON_APPEND_BOOL(doc, "primary", false);
        if (e->index_name)
            BSON_APPEND_UTF8(doc, "index_name", e->index_name);
        else
            BSON_APPEND_NULL(doc, "index_name");
        BSON_APPEND_BOOL(doc, "unique", e->unique);
        BSON_APPEND_BOOL(doc, "native_id", false);
        BSON_APPEND_BOOL(doc, "asc", e->asc);
    }
}

// The specifications of a collection's indexes; none when the listing failed, with the
// error (or when memory ran out, without one). What the listing echoes goes to echoes.
char** list_specs(mongoc_database_t* db, const char* collection, text_list* echoes, bson_error_t* error)
{
    text_list list;
    if (!db || !collection || !list.start())
        return nullptr;
    bson_t command = BSON_INITIALIZER;
    BSON_APPEND_UTF8(&command, "listIndexes", collection);
    mongoc_cursor_t* cursor = mongoc_database_command(db, MONGOC_QUERY_NONE, 0, 0, 0, &command, nullptr, nullptr);
    const bson_t* reply;
    while (mongoc_cursor_next(cursor, &reply)) {
        char* json = bson_as_json(reply, nullptr);
        if (json)
            echoes->append(json);
        bson_iter_t element;
        if (!first_batch(reply, &element))
            continue;
        while (bson_iter_next(&element)) {
            const uint8_t* data = nullptr;
            uint32_t len = 0;
            bson_t described;
            if (!BSON_ITER_HOLDS_DOCUMENT(&element))
                continue;
            bson_iter_document(&element, &len, &data);
            if (!bson_init_static(&described, data, len))
                continue;
            char* text = bson_as_json(&described, nullptr);
            if (text)
                echoes->append(bson_strdup(text));
            list.append(text);
        }
    }
    // A failed listing (a collection without indexes, a refused command) gives what
    // was read, usually nothing.
    mongoc_cursor_error(cursor, error);
    mongoc_cursor_destroy(cursor);
    bson_destroy(&command);
    return list.take();
}

char** list_specs_by_query(DBINFO* dbinfo, mongoc_client_t* client, const char* collection, text_list* echoes,
                           bson_error_t* error)
{
    text_list list;
    if (!client || !collection || !list.start())
        return nullptr;
    std::string ns = std::string(dbinfo->database) + "." + collection;
    mongoc_collection_t* coll = mongoc_client_get_collection(client, dbinfo->database, "system.indexes");
    bson_t query = BSON_INITIALIZER;
    bson_t inner;
    BSON_APPEND_DOCUMENT_BEGIN(&query, "$query", &inner);
    BSON_APPEND_UTF8(&inner, "ns", ns.c_str());
    bson_append_document_end(&query, &inner);
    mongoc_cursor_t* cursor = mongoc_collection_find(coll, MONGOC_QUERY_NONE, 0, 0, 0, &query, nullptr, nullptr);
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        char* text = bson_as_json(doc, nullptr);
        if (text)
            echoes->append(bson_strdup(text));
        list.append(text);
    }
    mongoc_cursor_error(cursor, error);
    mongoc_cursor_destroy(cursor);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);
    return list.take();
}

// Echoes what a listing read, as it came.
void echo_listing(char** texts)
{
    for (char** p = texts; p && *p; ++p)
        echo(*p);
}

} // namespace

void free_index_specs(char** listing)
{
    if (!listing)
        return;
    for (char** p = listing; *p; ++p)
        bson_free(*p);
    std::free(listing);
}

bool map_index_keys(db_index_t* entries, db_sample_t* sample)
{
    if (!entries)
        return false;
    for (db_index_t* e = entries; e; e = e->next) {
        const db_column_t* match = nullptr;
        for (const db_column_t* c = sample ? sample->columns : nullptr; c; c = c->next)
            if (c->visible && c->mongo_name && std::strcmp(c->mongo_name, e->sql_col_name) == 0) {
                match = c;
                break;
            }
        if (!match || !match->sql_name)
            return false;
        std::free(e->sql_col_name);
        e->sql_col_name = copy_text(match->sql_name);
    }
    return true;
}

void read_index_listing(DBINFO* dbinfo, mongoc_client_t* client, const char* table, index_listing_t* listing)
{
    std::memset(listing, 0, sizeof *listing);
    text_list echoes;
    echoes.start();
    if (dbinfo->legacy_collection_list) {
        listing->specs = list_specs_by_query(dbinfo, client, table, &echoes, &listing->error);
    } else {
        mongoc_database_t* db = client ? mongoc_client_get_database(client, dbinfo->database) : nullptr;
        listing->specs = list_specs(db, table, &echoes, &listing->error);
        if (db)
            mongoc_database_destroy(db);
    }
    listing->echo = echoes.take();
}

void free_index_listing(index_listing_t* listing)
{
    free_index_specs(listing->echo);
    free_index_specs(listing->specs);
    listing->echo = listing->specs = nullptr;
}

bool listing_index_docs(DBINFO* dbinfo, index_listing_t* listing, db_sample_t* sample, const char* table,
                        doc_list_t* docs)
{
    echo_listing(listing->echo);
    for (char** p = listing->specs; p && *p; ++p) {
        bson_t described;
        bson_error_t invalid;
        if (!bson_init_from_json(&described, *p, -1, &invalid))
            continue;
        db_index_t* entries = entries_of_index(&described);
        bson_destroy(&described);
        if (entries && map_index_keys(entries, sample))
            append_entries(dbinfo, table, entries, docs);
        free_indexes(entries);
    }
    return !listing->error.domain;
}

bool table_index_docs(DBINFO* dbinfo, db_sample_t* sample, const char* table, doc_list_t* docs,
                      bson_error_t* error)
{
    index_listing_t listing;
    read_index_listing(dbinfo, dbinfo->client, table, &listing);
    bool listed = listing_index_docs(dbinfo, &listing, sample, table, docs);
    *error = listing.error;
    free_index_listing(&listing);
    return listed;
}
