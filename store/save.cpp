#include "store/save.h"

#include "app/dbinfo.h"
#include "store/indexes.h"
#include "store/records.h"
#include "store/virtual.h"

#include <QByteArray>
#include <cstdio>
#include <cstdlib>

namespace {

// Errors that mean the schema server is gone (not a refused document): once one is
// seen, the remaining inserts would only wait for the server again.
bool server_gone(const bson_error_t& error)
{
    return error.domain == MONGOC_ERROR_SERVER_SELECTION || error.domain == MONGOC_ERROR_STREAM;
}

void append_column(bson_t* doc, const char* catalog, const char* schema, const char* table, int32_t position,
                   const db_column_t* c)
{
    BSON_APPEND_UTF8(doc, "sql_catalog", catalog);
    BSON_APPEND_UTF8(doc, "sql_schema", schema);
    BSON_APPEND_UTF8(doc, "sql_table", table);
    BSON_APPEND_INT32(doc, "index", position);
    BSON_APPEND_UTF8(doc, "sql_name", c->sql_name);
    BSON_APPEND_INT32(doc, "sql_type", c->sql_type);
    BSON_APPEND_UTF8(doc, "mongo_name", c->mongo_name);
    BSON_APPEND_INT32(doc, "mongo_type", c->mongo_type);
    if (c->length != 0)
        BSON_APPEND_INT32(doc, "length", c->length);
    if (c->precision > 0)
        BSON_APPEND_INT32(doc, "precision", c->precision);
    if (c->scale > 0)
        BSON_APPEND_INT32(doc, "scale", c->scale);
    BSON_APPEND_BOOL(doc, "visible", c->visible);
    BSON_APPEND_BOOL(doc, "virtual_array", c->virtual_array);
}

} // namespace

void save_table_columns(DBINFO* dbinfo, db_column_t* columns)
{
    if (!dbinfo->md_client)
        return;
    QByteArray catalog = dbinfo->catalog.toLocal8Bit();
    QByteArray schema = dbinfo->schema.toLocal8Bit();
    QByteArray table = dbinfo->table.toLocal8Bit();

    int total = 0;
    for (const db_column_t* c = columns; c; c = c->next)
        ++total;

    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "columns");
    bson_t selector = BSON_INITIALIZER;
    BSON_APPEND_UTF8(&selector, "sql_catalog", catalog.constData());
    BSON_APPEND_UTF8(&selector, "sql_schema", schema.constData());
    BSON_APPEND_UTF8(&selector, "sql_table", table.constData());
    bson_error_t error;
    bool removed = mongoc_collection_remove(coll, MONGOC_REMOVE_NONE, &selector, nullptr, &error);
    bson_destroy(&selector);

    int written = 0;
    if (removed) {
        int32_t position = 1;
        for (const db_column_t* c = columns; c; c = c->next) {
            bson_t doc = BSON_INITIALIZER;
            append_column(&doc, catalog.constData(), schema.constData(), table.constData(), position++, c);
            bool ok = mongoc_collection_insert(coll, MONGOC_INSERT_NONE, &doc, nullptr, &error);
            bson_destroy(&doc);
            if (ok)
                ++written;
            else if (server_gone(error))
                break;
        }
    }
    mongoc_collection_destroy(coll);

    // Diagnostic only, nothing reads it: the table whose column documents did not all
    // reach the schema, and how many are missing ("- - - - - Columns of orders not
    // saved: 3 of 5 column documents not written"). A failed removal writes none.
    if (!removed || written < total) {
        std::printf("- - - - - Columns of %s not saved: %d of %d column documents not written\n",
                    table.constData(), total - written, total);
        std::fflush(stdout);
    }

    // The wrapper lends the list to the index metadata; the list stays the caller's.
    db_sample_t* wrapper = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    wrapper->columns = columns;
    wrapper->dbinfo = dbinfo;
    sync_table_indexes(dbinfo, wrapper, table.constData());
    std::free(wrapper);

    remove_virtual_tables(dbinfo);
    for (db_column_t* c = columns; c; c = c->next)
        if (c->virtual_array)
            add_virtual_table(dbinfo, table.constData(), c);
}
