#include "store/change/sync.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/schema_names.h"
#include "store/change/batch.h"
#include "store/read/seen.h"
#include "store/read/sync_plan.h"
#include "store/read/validate.h"
#include "store/write/journal.h"
#include "store/write/lock.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

int sync_outcome = CREATE_OK;
std::string sync_told;

} // namespace

int last_sync_outcome(void)
{
    return sync_outcome;
}

const char* last_sync_told(void)
{
    return sync_told.c_str();
}

namespace {

// The schema held from before it is read: what an earlier validation read (a window's
// start-up, before its question) is read again, and only what the user agreed to is done.
// False when the schema could not be held (the outcome says why).
bool hold_and_recheck(DBINFO* dbinfo, int* code)
{
    bool held = lock_held_here();
    std::string told;
    int begun = schema_write_begin(dbinfo, "synchronisation", dbinfo->database, &told);
    if (begun != CHANGE_APPLIED) {
        sync_outcome = begun;
        sync_told = told;
        return false;
    }
    if (!held && schema_changed_since_settle(dbinfo)) {
        // Another program wrote since: read again, and the out-of-step marks made again.
        bool marked = *code == VALIDATE_COLLECTIONS_NEW_AND_GONE && schema_out_of_step()[0];
        seen_columns_forget();
        int now = 0;
        validate_schema(dbinfo, &now);
        *code = agreed_synchronisation(*code, now);
        if (marked && schema_out_of_step()[0]) {
            mark_out_of_step(dbinfo);
            *code = VALIDATE_COLLECTIONS_NEW_AND_GONE;
        }
    }
    return true;
}

// Samples the collections the synchronisation adds or refreshes into the batch, each
// table it writes replaced in the change. False with why set when one could not be read.
bool read_added(DBINFO* dbinfo, int code, schema_change_t* change, schema_batch_t* batch,
                std::vector<std::string>* replaced, std::string* why)
{
    // Index entries of the tables kept name their saved columns, hand edits and all.
    if (!read_saved_columns(dbinfo, &batch->saved)) {
        *why = "The schema's columns could not be read.";
        return false;
    }
    int total = 0, done = 0;
    std::vector<db_table_ref_t*> refs;
    std::vector<const char*> collections;
    for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next, ++total) {
        refs.push_back(c);
        collections.push_back(c->sql_name);
    }
    brolix_progress(0, total, nullptr);
    bool whole = true;
    read_collections(dbinfo, collections, [&](int i, collection_read_t* read) {
        bool adds = sync_adds(code, refs[i]);
        size_t listed = batch->indexed.size();
        whole = describe_collection(dbinfo, collections[i], read, !adds, batch, why);
        if (whole && batch->indexed.size() > listed)
            schema_change_replace_table(change, dbinfo->database, SQL_SCHEMA, collections[i],
                                        adds ? CHANGE_MASK_ALL : CHANGE_MASK_INDEX);
        if (whole && adds)
            replaced->push_back(collections[i]);
        brolix_progress(++done, total, collections[i]);
        return whole;
    });
    return whole;
}

} // namespace

int synchronise_schema(DBINFO* dbinfo, int code)
{
    // One change: the tables gone, the tables added and the index entries of the tables
    // kept, written whole or not at all. A collection that could not be read (sampled, or
    // its indexes listed) stops it: nothing is written from a read that failed.
    sync_outcome = CREATE_OK;
    sync_told.clear();
    if (!hold_and_recheck(dbinfo, &code))
        return 1;
    schema_change_t* change = schema_change_new("synchronisation", dbinfo->database);
    std::vector<std::string> replaced;
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next)
        if (sync_removes(code, t) && t->sql_name) {
            schema_change_replace_table(change, dbinfo->database, SQL_SCHEMA, t->sql_name, CHANGE_MASK_ALL);
            replaced.push_back(t->sql_name);
        }
    schema_batch_t batch;
    batch.record = true;
    std::string read_error;
    bool whole = !sync_samples(code) || read_added(dbinfo, code, change, &batch, &replaced, &read_error);
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
