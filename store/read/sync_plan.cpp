#include "store/read/sync_plan.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "discovery/discover.h"
#include "store/write/fields.h"

#include <cstdlib>
#include <map>
#include <string>

bool sync_removes(int code, const db_table_ref_t* table)
{
    return (code == VALIDATE_COLLECTIONS_GONE || code == VALIDATE_COLLECTIONS_NEW_AND_GONE) && !table->matched &&
           !table->is_virtual;
}

bool sync_samples(int code)
{
    return code == VALIDATE_COLLECTIONS_NEW || code == VALIDATE_COLLECTIONS_NEW_AND_GONE;
}

bool sync_adds(int code, const db_table_ref_t* collection)
{
    return sync_samples(code) && !collection->matched;
}

namespace {

// Columns documents per table of this catalog, as remove_table_from_schema selects them.
std::map<std::string, int32_t> schema_column_counts(DBINFO* dbinfo)
{
    std::map<std::string, int32_t> counts;
    if (!dbinfo->md_client)
        return counts;
    mongoc_collection_t* coll =
        mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(KIND_COLUMNS));
    bson_t* filter = BCON_NEW("sql_catalog", BCON_UTF8(dbinfo->database), "sql_schema", BCON_UTF8(SQL_SCHEMA));
    bson_t* opts = whole_collection_opts();
    bson_t* fields = BCON_NEW("sql_table", BCON_INT32(1));
    BSON_APPEND_DOCUMENT(opts, "projection", fields);
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, opts, nullptr);
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        bson_iter_t it;
        if (bson_iter_init_find(&it, doc, "sql_table") && BSON_ITER_HOLDS_UTF8(&it))
            ++counts[bson_iter_utf8(&it, nullptr)];
    }
    mongoc_cursor_destroy(cursor);
    bson_destroy(fields);
    bson_destroy(opts);
    bson_destroy(filter);
    mongoc_collection_destroy(coll);
    return counts;
}

void append_step(sync_step_t*** tail, int action, const char* table, int32_t columns)
{
    sync_step_t* step = static_cast<sync_step_t*>(record_alloc(sizeof(sync_step_t)));
    step->action = action;
    step->table = copy_text(table ? table : "");
    step->columns = columns;
    **tail = step;
    *tail = &step->next;
}

} // namespace

sync_step_t* plan_synchronisation(DBINFO* dbinfo, int code)
{
    sync_step_t* head = nullptr;
    sync_step_t** tail = &head;
    std::map<std::string, int32_t> counts = schema_column_counts(dbinfo);
    auto counted = [&](const char* table) {
        auto found = counts.find(table ? table : "");
        return found == counts.end() ? 0 : found->second;
    };

    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next)
        if (sync_removes(code, t))
            append_step(&tail, SYNC_REMOVE, t->sql_name, counted(t->sql_name));

    if (sync_samples(code)) {
        int total = 0, done = 0;
        for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next)
            total += sync_adds(code, c);
        brolix_progress(0, total, nullptr);
        for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next) {
            if (!sync_adds(code, c)) {
                append_step(&tail, SYNC_REFRESH_INDEXES, c->sql_name, counted(c->sql_name));
                continue;
            }
            if (int32_t left = counted(c->sql_name))
                append_step(&tail, SYNC_CLEAR_LEFTOVERS, c->sql_name, left);
            db_sample_t* sample = sample_collection(dbinfo, c->sql_name);
            int32_t columns = 0;
            for (const db_column_t* column = sample ? sample->columns : nullptr; column; column = column->next)
                ++columns;
            free_sample(sample);
            append_step(&tail, SYNC_ADD, c->sql_name, columns);
            brolix_progress(++done, total, c->sql_name);
        }
    }

    // Every virtual table stays; those of this catalog are listed.
    std::string ours = table_key(dbinfo->database);
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next)
        if (t->is_virtual && t->key && std::string(t->key).compare(0, ours.size(), ours) == 0)
            append_step(&tail, SYNC_KEEP_VIRTUAL, t->sql_name, counted(t->sql_name));
    return head;
}

void free_sync_steps(sync_step_t* steps)
{
    while (steps) {
        sync_step_t* next = steps->next;
        std::free(steps->table);
        std::free(steps);
        steps = next;
    }
}

int agreed_synchronisation(int agreed, int now)
{
    auto adds = [](int code) {
        return code == VALIDATE_COLLECTIONS_NEW || code == VALIDATE_COLLECTIONS_NEW_AND_GONE ||
               code == VALIDATE_OUT_OF_STEP;
    };
    auto removes = [](int code) {
        return code == VALIDATE_COLLECTIONS_GONE || code == VALIDATE_COLLECTIONS_NEW_AND_GONE ||
               code == VALIDATE_OUT_OF_STEP;
    };
    bool add = adds(agreed) && adds(now), remove = removes(agreed) && removes(now);
    return add && remove ? VALIDATE_COLLECTIONS_NEW_AND_GONE
           : add         ? VALIDATE_COLLECTIONS_NEW
           : remove      ? VALIDATE_COLLECTIONS_GONE
                         : 0;
}
