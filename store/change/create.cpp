#include "store/change/create.h"

#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "core/wire.h"
#include "core/work.h"
#include "discovery/discover.h"
#include "store/write/fields.h"
#include "store/read/indexes.h"
#include "store/write/collections.h"
#include "store/write/journal.h"
#include "store/write/lock.h"
#include "store/read/seen.h"
#include "store/read/sync_plan.h"
#include "store/read/listing.h"
#include "store/read/validate.h"
#include "store/write/write.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

bool fail(int* code, int value, const char* diagnostic)
{
    brolix_diagnostic(diagnostic);
    *code = value;
    return false;
}

void rebuild_lists(DBINFO* dbinfo)
{
    dbinfo->db_collections = list_data_collections(dbinfo);
    dbinfo->md_tables = list_schema_tables(dbinfo);
    compare_collections_with_schema(dbinfo->db_collections, dbinfo->md_tables, dbinfo->database);
}

// The documents of several tables, written together as one change: each collection's in
// one request, in the order one table after the other would have written them.
struct schema_batch_t {
    doc_list_t tables, columns, index;
    std::vector<std::string> indexed; // tables whose old index entries go
    bool record = false;              // creation: what is written is what start-up has seen
    // The saved columns of the schema's tables, by table: a table kept keeps the SQL
    // names given by hand, and its index entries name those.
    std::map<std::string, db_sample_t*> saved;
    ~schema_batch_t()
    {
        for (auto& s : saved)
            free_sample(s.second);
    }
};

void table_docs(DBINFO* dbinfo, const db_sample_t* sample, const char* collection, schema_batch_t* batch)
{
    bson_t* doc = batch->tables.add();
    BSON_APPEND_UTF8(doc, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(doc, "sql_schema", SQL_SCHEMA);
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
        append_column_fields(column, dbinfo->database, SQL_SCHEMA, collection, position++, c);
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

// The index entries of one table from its collection's indexes, in place of its old ones.
// False when the data server was gone: nothing says the collection's indexes changed,
// and the entries the table has stay.
bool index_docs(DBINFO* dbinfo, collection_read_t* read, const char* collection, bool refresh_only,
                schema_batch_t* batch)
{
    if (!dbinfo->md_client)
        return true;
    db_sample_t* columns = read->sample;
    if (refresh_only) {
        auto saved = batch->saved.find(collection);
        columns = saved == batch->saved.end() ? nullptr : saved->second;
    }
    // A listing that failed, refused or cut short, says nothing of the indexes: never taken
    // for a collection without any.
    if (read->listed && !listing_index_docs(dbinfo, &read->listing, columns, collection, &batch->index))
        return false;
    if (*collection)
        batch->indexed.push_back(collection);
    return true;
}

mongoc_collection_t* schema_collection(DBINFO* dbinfo, const char* name)
{
    return mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, name);
}

// The saved columns of every table of the catalog, as samples by table, from what start-up
// read or with one query; false when they could not be read.
bool read_saved_columns(DBINFO* dbinfo, std::map<std::string, db_sample_t*>* saved)
{
    doc_refs_t docs;
    doc_list_t owned;
    bool ok = seen_catalog_columns(dbinfo, dbinfo->database, SQL_SCHEMA, &docs);
    if (!ok) {
        mongoc_collection_t* coll = schema_collection(dbinfo, collection_name(KIND_COLUMNS));
        bson_t* filter = BCON_NEW("sql_catalog", BCON_UTF8(dbinfo->database), "sql_schema", BCON_UTF8(SQL_SCHEMA));
        bson_t* opts = whole_collection_opts();
        mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, opts, nullptr);
        const bson_t* doc;
        while (mongoc_cursor_next(cursor, &doc)) {
            bson_t* copy = owned.add();
            bson_concat(copy, doc);
            docs.push_back({copy});
        }
        ok = !mongoc_cursor_error(cursor, nullptr);
        mongoc_cursor_destroy(cursor);
        bson_destroy(opts);
        bson_destroy(filter);
        mongoc_collection_destroy(coll);
    }
    for (const doc_ref_t& d : docs) {
        bson_iter_t it;
        auto text = [&](const char* field) {
            return bson_iter_init_find(&it, d.doc, field) && BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr)
                                                                                      : "";
        };
        db_sample_t*& sample = (*saved)[text("sql_table")];
        if (!sample)
            sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
        db_column_t* column = static_cast<db_column_t*>(record_alloc(sizeof(db_column_t)));
        column->sql_name = copy_text(text("sql_name"));
        column->mongo_name = copy_text(text("mongo_name"));
        column->visible = !bson_iter_init_find(&it, d.doc, "visible") || !BSON_ITER_HOLDS_BOOL(&it) ||
                          bson_iter_bool(&it);
        column->next = sample->columns;
        if (sample->columns)
            sample->columns->prev = column;
        sample->columns = column;
    }
    return ok;
}

// The change that writes what the batch holds, with the old documents it replaces: every
// document of the tables added and the index entries of the tables kept.
void add_batch(const schema_batch_t& batch, schema_change_t* change)
{
    for (const doc_ref_t& d : batch.columns.docs)
        schema_change_add(change, KIND_COLUMNS, d.doc);
    for (const doc_ref_t& d : batch.index.docs)
        schema_change_add(change, KIND_INDEX, d.doc);
    for (const doc_ref_t& d : batch.tables.docs)
        schema_change_add(change, KIND_TABLES, d.doc);
}

// What was written is what the columns collection holds now, for start-up to serve.
void record_written(const schema_change_t* change)
{
    for (size_t i = 0; i < schema_change_count(change, KIND_COLUMNS); ++i)
        seen_columns_add(schema_change_doc(change, KIND_COLUMNS, i));
}

// Why the last creation or synchronisation could not read a collection, in the server's words.
std::string read_error;

// Takes one collection's read into the batch: its table (unless it is only refreshed) and
// its index entries. False when the sample broke off (the table would stand in the schema
// with fewer columns than its collection has) or its index listing failed (read_error
// says which and why).
bool describe_collection(DBINFO* dbinfo, const char* name, collection_read_t* read, bool refresh_only,
                         schema_batch_t* batch)
{
    bool whole = read->sample && read->sample->items;
    if (refresh_only) {
        brolix_diagnostic((std::string("- - - - - Updating INDEX for ") + name + "\n").c_str());
    }
    // A sample broken off maps no index key: the entries the table has stay as they are.
    // A table is written whole, with its index entries, or not at all.
    if (!whole)
        read_error = std::string("The collection '") + name + "' could not be sampled: " +
                     (read->sample && read->sample->error.message[0] ? read->sample->error.message
                                                                     : "the read stopped early");
    else if (!(whole = index_docs(dbinfo, read, name, refresh_only, batch)))
        read_error = std::string("The indexes of the collection '") + name + "' could not be listed: " +
                     read->listing.error.message;
    if (whole && !refresh_only)
        table_docs(dbinfo, read->sample, name, batch);
    return whole;
}

int sync_outcome = CREATE_OK;
std::string sync_told;

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
    return make_schema_collections(dbinfo, code, true);
}


const char* creation_read_error(void)
{
    return read_error.c_str();
}

bool create_schema(DBINFO* dbinfo, int* code)
{
    *code = CREATE_OK;
    read_error.clear();
    seen_columns_forget();
    if (!dbinfo->md_db)
        return fail(code, CREATE_DROP_FAILED, "\n\n- - - - -ERROR_BROLIX_DROP_SCHEMA");
    // Everything is read from the data database before the schema is touched: a read that
    // fails leaves the schema as it was.
    schema_batch_t batch;
    batch.record = true;
    bson_error_t error;
    char** names = list_collection_names(dbinfo, dbinfo->db, &error);
    if (!names)
        return fail(code, CREATE_STOPPED, "\n\n- - - - -ERROR_BROLIX_LIST_COLLECTIONS");
    std::vector<const char*> collections;
    for (char** p = names; *p; ++p)
        if (!is_system_collection(*p))
            collections.push_back(*p);
    int total = static_cast<int>(collections.size()), done = 0;
    brolix_progress(0, total, nullptr);
    bool whole = true;
    read_collections(dbinfo, collections, [&](int i, collection_read_t* read) {
        whole = describe_collection(dbinfo, collections[i], read, false, &batch);
        if (!whole)
            brolix_diagnostic((std::string("\n\n- - - - -ERROR_BROLIX_CREATE_TABLE ") + collections[i]).c_str());
        brolix_progress(++done, total, collections[i]);
        return whole;
    });
    free_collection_names(dbinfo, names);
    if (!whole)
        return fail(code, CREATE_STOPPED, "\n");

    // The schema database dropped and made again with these documents, or left as it was.
    schema_change_t* change = schema_change_new("creation", dbinfo->md_database);
    schema_change_replace_all(change);
    add_batch(batch, change);
    int outcome = 0;
    bool applied = schema_change_apply(dbinfo, change, &outcome, &error);
    if (applied) {
        // The columns collection is new: what creation wrote is all it holds.
        seen_columns_start(dbinfo);
        record_written(change);
        seen_columns_finish(true);
    }
    schema_change_free(change);
    if (!applied) {
        read_error = error.message;
        if (outcome == CREATE_DROP_FAILED)
            return fail(code, CREATE_DROP_FAILED, "\n\n- - - - -ERROR_BROLIX_DROP_SCHEMA");
        // A collection or index not made has printed its own line.
        bool made = !create_collection_failed(outcome);
        return fail(code, made ? CREATE_STOPPED : outcome, made ? "\n" : "");
    }
    rebuild_lists(dbinfo);
    return true;
}

int last_sync_outcome(void)
{
    return sync_outcome;
}

const char* last_sync_told(void)
{
    return sync_told.c_str();
}

int synchronise_schema(DBINFO* dbinfo, int code)
{
    // One change: the tables gone, the tables added and the index entries of the tables
    // kept, written whole or not at all. A collection that could not be read (sampled, or
    // its indexes listed) stops it: nothing is written from a read that failed.
    sync_outcome = CREATE_OK;
    sync_told.clear();
    read_error.clear();
    // The schema held from before it is read: what an earlier validation read (a window's
    // start-up, before its question) is read again, and only what the user agreed to is done.
    bool held = lock_held_here();
    std::string told;
    int begun = schema_write_begin(dbinfo, "synchronisation", dbinfo->database, &told);
    if (begun != CHANGE_APPLIED) {
        sync_outcome = begun;
        sync_told = told;
        return 1;
    }
    if (!held && schema_changed_since_settle(dbinfo)) {
        // Another program wrote since: read again, and the out-of-step marks made again.
        bool marked = code == VALIDATE_COLLECTIONS_NEW_AND_GONE && schema_out_of_step()[0];
        seen_columns_forget();
        int now = 0;
        validate_schema(dbinfo, &now);
        code = agreed_synchronisation(code, now);
        if (marked && schema_out_of_step()[0]) {
            mark_out_of_step(dbinfo);
            code = VALIDATE_COLLECTIONS_NEW_AND_GONE;
        }
    }
    schema_change_t* change = schema_change_new("synchronisation", dbinfo->database);
    std::vector<std::string> replaced;
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next)
        if (sync_removes(code, t) && t->sql_name) {
            schema_change_replace_table(change, dbinfo->database, SQL_SCHEMA, t->sql_name, CHANGE_MASK_ALL);
            replaced.push_back(t->sql_name);
        }

    bool whole = true;
    schema_batch_t batch;
    batch.record = true;
    if (sync_samples(code)) {
        // Index entries of the tables kept name their saved columns, hand edits and all.
        if (!read_saved_columns(dbinfo, &batch.saved)) {
            whole = false;
            read_error = "The schema's columns could not be read.";
        }
        int total = 0, done = 0;
        std::vector<db_table_ref_t*> refs;
        std::vector<const char*> collections;
        for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next, ++total) {
            refs.push_back(c);
            collections.push_back(c->sql_name);
        }
        brolix_progress(0, total, nullptr);
        if (whole)
            read_collections(dbinfo, collections, [&](int i, collection_read_t* read) {
                bool adds = sync_adds(code, refs[i]);
                size_t listed = batch.indexed.size();
                whole = describe_collection(dbinfo, collections[i], read, !adds, &batch);
                if (whole && batch.indexed.size() > listed)
                    schema_change_replace_table(change, dbinfo->database, SQL_SCHEMA, collections[i],
                                                adds ? CHANGE_MASK_ALL : CHANGE_MASK_INDEX);
                if (whole && adds)
                    replaced.push_back(collections[i]);
                brolix_progress(++done, total, collections[i]);
                return whole;
            });
    }
    add_batch(batch, change);
    int outcome = 0;
    bson_error_t error;
    if (whole && schema_change_apply(dbinfo, change, &outcome, &error)) {
        seen_columns_remove_tables(dbinfo->database, SQL_SCHEMA, replaced);
        record_written(change);
    } else {
        seen_columns_forget();
        sync_outcome = whole ? outcome : static_cast<int>(CREATE_STOPPED);
        sync_told = whole ? schema_change_told(change) : read_error;
        if (sync_told.empty() && whole)
            sync_told = error.message;
    }
    schema_change_free(change);
    rebuild_lists(dbinfo);
    schema_write_end(dbinfo);
    return 1;
}

bool remove_table_from_schema(DBINFO* dbinfo, const char* table)
{
    if (!dbinfo->md_client || !table)
        return false;
    seen_columns_forget();
    schema_change_t* change = schema_change_new("removal", table);
    schema_change_replace_table(change, dbinfo->database, SQL_SCHEMA, table, CHANGE_MASK_ALL);
    int outcome = 0;
    bool ok = schema_change_apply(dbinfo, change, &outcome, nullptr);
    schema_change_free(change);
    return ok;
}
