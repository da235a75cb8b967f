#include "store/change/batch.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/schema_names.h"
#include "store/read/listing.h"
#include "store/read/read.h"
#include "store/read/seen.h"
#include "store/write/fields.h"
#include "store/write/journal.h"

#include <cstring>
#include <map>
#include <string>

namespace {

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

} // namespace

bool describe_collection(DBINFO* dbinfo, const char* name, collection_read_t* read, bool refresh_only,
                         schema_batch_t* batch, std::string* why)
{
    bool whole = read->sample && read->sample->items;
    if (refresh_only) {
        brolix_diagnostic((std::string("- - - - - Updating INDEX for ") + name + "\n").c_str());
    }
    // A sample broken off maps no index key: the entries the table has stay as they are.
    // A table is written whole, with its index entries, or not at all.
    if (!whole)
        *why = std::string("The collection '") + name + "' could not be sampled: " +
                     (read->sample && read->sample->error.message[0] ? read->sample->error.message
                                                                     : "the read stopped early");
    else if (!(whole = index_docs(dbinfo, read, name, refresh_only, batch)))
        *why = std::string("The indexes of the collection '") + name + "' could not be listed: " +
                     read->listing.error.message;
    if (whole && !refresh_only)
        table_docs(dbinfo, read->sample, name, batch);
    return whole;
}

bool read_saved_columns(DBINFO* dbinfo, std::map<std::string, db_sample_t*>* saved)
{
    auto take = [&](const bson_t* doc) {
        bson_iter_t it;
        auto text = [&](const char* field) {
            return bson_iter_init_find(&it, doc, field) && BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr)
                                                                                    : "";
        };
        db_sample_t*& sample = (*saved)[text("sql_table")];
        if (!sample)
            sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
        db_column_t* column = static_cast<db_column_t*>(record_alloc(sizeof(db_column_t)));
        column->sql_name = copy_text(text("sql_name"));
        column->mongo_name = copy_text(text("mongo_name"));
        column->visible = !bson_iter_init_find(&it, doc, "visible") || !BSON_ITER_HOLDS_BOOL(&it) ||
                          bson_iter_bool(&it);
        column->next = sample->columns;
        if (sample->columns)
            sample->columns->prev = column;
        sample->columns = column;
    };
    bson_error_t error;
    return each_catalog_document(dbinfo, KIND_COLUMNS, nullptr, [&](const doc_ref_t& d) { take(d.doc); }, &error);
}

void add_batch(const schema_batch_t& batch, schema_change_t* change)
{
    for (const doc_ref_t& d : batch.columns.docs)
        schema_change_add(change, KIND_COLUMNS, d.doc);
    for (const doc_ref_t& d : batch.index.docs)
        schema_change_add(change, KIND_INDEX, d.doc);
    for (const doc_ref_t& d : batch.tables.docs)
        schema_change_add(change, KIND_TABLES, d.doc);
}

void record_written(const schema_change_t* change)
{
    for (size_t i = 0; i < schema_change_count(change, KIND_COLUMNS); ++i)
        seen_columns_add(schema_change_doc(change, KIND_COLUMNS, i));
}

void rebuild_lists(DBINFO* dbinfo)
{
    dbinfo->db_collections = list_data_collections(dbinfo);
    dbinfo->md_tables = list_schema_tables(dbinfo);
    compare_collections_with_schema(dbinfo->db_collections, dbinfo->md_tables, dbinfo->database);
}
