#include "store/change/create.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "store/change/batch.h"
#include "store/read/listing.h"
#include "store/read/seen.h"
#include "store/write/collections.h"
#include "store/write/journal.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

bool fail(int* code, int value, const char* diagnostic)
{
    brolix_diagnostic(diagnostic);
    *code = value;
    return false;
}

// Why the last creation could not read a collection, in the server's words.
std::string read_error;

} // namespace

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
        whole = describe_collection(dbinfo, collections[i], read, false, &batch, &read_error);
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
