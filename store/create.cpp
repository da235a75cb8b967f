#include "store/create.h"

#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "core/wire.h"
#include "core/work.h"
#include "discovery/discover.h"
#include "store/indexes.h"
#include "store/seen.h"
#include "store/sync_plan.h"
#include "store/validate.h"
#include "store/write.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

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
    compare_collections_with_schema(dbinfo->db_collections, dbinfo->md_tables, dbinfo->database);
}

// The documents of several tables, written together: each collection's in one request,
// in the order one table after the other would have written them.
struct schema_batch_t {
    doc_list_t tables, columns, index;
    std::vector<std::string> indexed; // tables whose old index entries go
    std::vector<bool> refused; // of columns, by position
    bool record = false;       // creation: what is written is what start-up has seen
    bool whole = true;         // every columns document is known written or refused

    size_t held() const { return tables.docs.size() + columns.docs.size() + index.docs.size(); }
};

// Creation holds up to this many documents before it writes them (a few megabytes).
const size_t batch_documents = 10000;

void note_refused(void* context, size_t position, const bson_error_t*)
{
    static_cast<schema_batch_t*>(context)->refused[position] = true;
}

void table_docs(DBINFO* dbinfo, const db_sample_t* sample, const char* collection, schema_batch_t* batch)
{
    bson_t* doc = batch->tables.add();
    BSON_APPEND_UTF8(doc, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(doc, "sql_schema", "dbo");
    BSON_APPEND_UTF8(doc, "sql_table", collection);
    BSON_APPEND_UTF8(doc, "mongo_name", collection);
    BSON_APPEND_UTF8(doc, "mongo_database", dbinfo->database);
    BSON_APPEND_UTF8(doc, "type", "TABLE");

    int32_t position = 1;
    for (const db_column_t* c = sample ? sample->columns : nullptr; c; c = c->next) {
        bson_t* column = batch->columns.add();
        // With the _id the library would give it, creation knows what the collection holds.
        if (batch->record)
            begin_with_id(column);
        append_column_fields(column, dbinfo->database, "dbo", collection, position++, c);
        BSON_APPEND_BOOL(column, "visible", true);
    }
}

void read_collection(DBINFO* dbinfo, mongoc_client_t* client, const char* name, collection_read_t* read)
{
    read->sample = sample_collection_over(dbinfo, client, name);
    if (read->sample && read->sample->items && dbinfo->md_client && client) {
        read_index_listing(dbinfo, client, name, &read->listing);
        read->listed = true;
    }
}

void free_collection_read(collection_read_t* read)
{
    free_sample(read->sample);
    read->sample = nullptr;
    if (read->listed)
        free_index_listing(&read->listing);
    read->listed = false;
}

// What sync_table_indexes does for one table: its old entries go, then the entries of
// its collection's indexes are written. False when the data server was gone: nothing
// says the collection's indexes changed, and the entries the table has stay.
bool index_docs(DBINFO* dbinfo, collection_read_t* read, const char* collection, schema_batch_t* batch)
{
    if (!dbinfo->md_client)
        return true;
    if (read->listed && !listing_index_docs(dbinfo, &read->listing, read->sample, collection, &batch->index) &&
        server_gone(&read->listing.error))
        return false;
    if (*collection)
        batch->indexed.push_back(collection);
    return true;
}

mongoc_collection_t* schema_collection(DBINFO* dbinfo, const char* name)
{
    return mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, name);
}

// The one selector of every document of the tables: a scan of the collection for all
// of them, not one each.
void tables_selector(DBINFO* dbinfo, const std::vector<std::string>& names, bson_t* selector)
{
    bson_t in, list;
    BSON_APPEND_UTF8(selector, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(selector, "sql_schema", "dbo");
    BSON_APPEND_DOCUMENT_BEGIN(selector, "sql_table", &in);
    BSON_APPEND_ARRAY_BEGIN(&in, "$in", &list);
    for (size_t i = 0; i < names.size(); ++i)
        BSON_APPEND_UTF8(&list, std::to_string(i).c_str(), names[i].c_str());
    bson_append_array_end(&in, &list);
    bson_append_document_end(selector, &in);
}

// Removes the documents of the tables from one schema collection, in one request.
bool remove_by_tables(DBINFO* dbinfo, const char* collection, const std::vector<std::string>& names,
                      bson_error_t* error)
{
    std::memset(error, 0, sizeof *error);
    if (!dbinfo->md_client || names.empty())
        return true;
    bson_t selector = BSON_INITIALIZER;
    tables_selector(dbinfo, names, &selector);
    mongoc_collection_t* coll = schema_collection(dbinfo, collection);
    bool ok = mongoc_collection_remove(coll, MONGOC_REMOVE_NONE, &selector, nullptr, error);
    mongoc_collection_destroy(coll);
    bson_destroy(&selector);
    return ok;
}

// Writes what the batch holds and empties it; false when a document was not written.
// A table's tables document goes last: cut short, a write leaves columns and index
// entries that no table names (a later synchronisation clears them when it adds the
// table), never a table that stands with fewer columns than it has.
// Failed inserts show no box; a failed removal of old index entries shows its box.
bool flush(DBINFO* dbinfo, schema_batch_t* batch)
{
    bool all = true;
    if (dbinfo->md_client) {
        mongoc_collection_t* columns = schema_collection(dbinfo, "columns");
        batch->refused.assign(batch->columns.docs.size(), false);
        write_result_t written = insert_in_order(columns, batch->columns.docs, note_refused, batch);
        mongoc_collection_destroy(columns);
        // A request that failed as a whole may or may not have been carried out.
        if (written.failed) {
            batch->whole = false;
            seen_columns_forget();
        }
        all = written.written == batch->columns.docs.size();
        if (batch->record && batch->whole)
            for (size_t i = 0; i < batch->columns.docs.size(); ++i)
                if (!batch->refused[i])
                    seen_columns_add(batch->columns.docs[i].doc);

        bson_error_t error;
        if (!remove_by_tables(dbinfo, "index", batch->indexed, &error))
            tell_index_removal_failed(&error);
        mongoc_collection_t* index = schema_collection(dbinfo, "index");
        all = insert_in_order(index, batch->index.docs, nullptr, nullptr).written == batch->index.docs.size() && all;
        mongoc_collection_destroy(index);

        mongoc_collection_t* tables = schema_collection(dbinfo, "tables");
        if (insert_in_order(tables, batch->tables.docs, nullptr, nullptr).written != batch->tables.docs.size()) {
            all = batch->whole = false;
            seen_columns_forget(); // it would hold columns of tables the schema does not name
        }
        mongoc_collection_destroy(tables);
    }
    batch->tables.clear();
    batch->columns.clear();
    batch->index.clear();
    batch->indexed.clear();
    return all;
}

// Takes one collection's read into the batch: its table (unless it is only refreshed) and
// its index entries; writes the batch when it is full, this was the last collection or the
// sample broke off. False when the sample broke off (the table would stand in the schema
// with fewer columns than its collection has) or a written document was not taken.
bool describe_collection(DBINFO* dbinfo, const char* name, collection_read_t* read, bool refresh_only, bool last,
                         schema_batch_t* batch)
{
    bool whole = read->sample && read->sample->items;
    if (refresh_only) {
        std::printf("- - - - - Updating INDEX for %s\n", name);
        std::fflush(stdout);
    }
    // A sample broken off maps no index key: the entries the table has stay as they are.
    // A table is written whole, with its index entries, or not at all.
    if (whole)
        whole = index_docs(dbinfo, read, name, batch);
    if (whole && !refresh_only)
        table_docs(dbinfo, read->sample, name, batch);
    if (last || !whole || batch->held() >= batch_documents)
        whole = flush(dbinfo, batch) && whole;
    return whole;
}

} // namespace

void read_collections(DBINFO* dbinfo, const std::vector<const char*>& names, const std::function<bool(int, collection_read_t*)>& use)
{
    int count = static_cast<int>(names.size());
    std::vector<collection_read_t> reads(names.size());
    data_pool_t* pool = dbinfo->pool_size > 1 && count > 1 ? open_data_pool(dbinfo, dbinfo->pool_size) : nullptr;
    bool cut_short = false;
    run_reads_in_order(
        count, pool ? dbinfo->pool_size : 1,
        [&](int i) {
            mongoc_client_t* client = pool ? pool_pop(pool) : dbinfo->client;
            read_collection(dbinfo, client, names[i], &reads[i]);
            if (pool)
                pool_push(pool, client);
        },
        [&](int i) {
            bool go_on = use(i, &reads[i]);
            free_collection_read(&reads[i]);
            cut_short = !go_on;
            return go_on;
        });
    for (collection_read_t& read : reads)
        free_collection_read(&read);
    // Closing ends the pool's sessions: a request that a hung server would hold until its
    // time ran out, after a run cut short by a server gone.
    set_wire_cancel(cut_short);
    close_data_pool(pool);
    set_wire_cancel(false);
}

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
    seen_columns_forget();
    if (!dbinfo->md_db)
        return fail(code, -13, "\n\n- - - - -ERROR_BROLIX_DROP_SCHEMA");
    // A schema that could not be emptied is not built over: whatever is left of it
    // would be mixed with the new documents.
    bson_error_t error;
    if (!mongoc_database_drop(dbinfo->md_db, &error))
        return fail(code, -13, "\n\n- - - - -ERROR_BROLIX_DROP_SCHEMA");
    if (!create_schema_collections(dbinfo, code))
        return false;

    // The columns collection is new: what creation writes is all it holds.
    schema_batch_t batch;
    batch.record = true;
    seen_columns_start(dbinfo);
    char** names = list_collection_names(dbinfo, dbinfo->db, &error);
    if (!names) {
        seen_columns_finish(false);
        return fail(code, -19, "\n\n- - - - -ERROR_BROLIX_LIST_COLLECTIONS");
    }
    std::vector<const char*> collections;
    for (char** p = names; *p; ++p)
        if (!is_system_collection(*p))
            collections.push_back(*p);
    int total = static_cast<int>(collections.size()), done = 0;
    brolix_progress(0, total, nullptr);
    bool whole = true;
    read_collections(dbinfo, collections, [&](int i, collection_read_t* read) {
        // Stops at the first table not made whole: what was written stays a schema
        // that names fewer collections, which the next start offers to synchronise.
        whole = describe_collection(dbinfo, collections[i], read, false, i + 1 == total, &batch);
        if (!whole)
            std::printf("\n\n- - - - -ERROR_BROLIX_CREATE_TABLE %s", collections[i]);
        brolix_progress(++done, total, collections[i]);
        return whole;
    });
    free_collection_names(dbinfo, names);
    seen_columns_finish(batch.whole && whole);
    if (!whole)
        return fail(code, -19, "\n");
    rebuild_lists(dbinfo);
    return true;
}

int synchronise_schema(DBINFO* dbinfo, int code)
{
    // What validation read of the columns follows the changes, so that the tree is still
    // built without reading them again. Failures are ignored; one stops the removals
    // from the collections after it.
    std::vector<std::string> gone;
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next)
        if (sync_removes(code, t) && t->sql_name)
            gone.push_back(t->sql_name);
    bson_error_t error;
    for (const char* collection : {"index", "columns", "tables"}) {
        bool removed = remove_by_tables(dbinfo, collection, gone, &error);
        if (!std::strcmp(collection, "columns")) {
            if (removed)
                seen_columns_remove_tables(dbinfo->database, "dbo", gone);
            else
                seen_columns_forget();
        }
        if (!removed)
            break;
    }

    if (sync_samples(code)) {
        // Columns of a table to add were left by a write cut short: no table names them.
        // What validation read says whether there are any; asking the server to look costs
        // a scan of the collection.
        std::vector<std::string> added;
        int total = 0, done = 0;
        for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next, ++total)
            if (sync_adds(code, c) && c->sql_name &&
                !seen_table_without_columns(dbinfo, dbinfo->database, "dbo", c->sql_name))
                added.push_back(c->sql_name);
        if (remove_by_tables(dbinfo, "columns", added, &error))
            seen_columns_remove_tables(dbinfo->database, "dbo", added);
        else
            seen_columns_forget();
        brolix_progress(0, total, nullptr);
        schema_batch_t batch;
        batch.record = true;
        std::vector<db_table_ref_t*> refs;
        std::vector<const char*> collections;
        for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next) {
            refs.push_back(c);
            collections.push_back(c->sql_name);
        }
        read_collections(dbinfo, collections, [&](int i, collection_read_t* read) {
            describe_collection(dbinfo, collections[i], read, !sync_adds(code, refs[i]), i + 1 == total, &batch);
            brolix_progress(++done, total, collections[i]);
            return true;
        });
    }

    rebuild_lists(dbinfo);
    return 1;
}

bool remove_table_from_schema(DBINFO* dbinfo, const char* table)
{
    if (!dbinfo->md_client || !table)
        return false;
    seen_columns_forget();
    bson_t selector = BSON_INITIALIZER;
    BSON_APPEND_UTF8(&selector, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(&selector, "sql_schema", "dbo");
    BSON_APPEND_UTF8(&selector, "sql_table", table);
    bool ok = true;
    for (const char* name : {"index", "columns", "tables"}) {
        mongoc_collection_t* coll = schema_collection(dbinfo, name);
        ok = mongoc_collection_remove(coll, MONGOC_REMOVE_NONE, &selector, nullptr, nullptr);
        mongoc_collection_destroy(coll);
        if (!ok)
            break;
    }
    bson_destroy(&selector);
    return ok;
}
