#include "store/save.h"

#include "core/dbinfo.h"
#include "core/records.h"
#include "discovery/discover.h"
#include "core/wire.h"
#include "store/indexes.h"
#include "store/seen.h"
#include "store/virtual.h"
#include "store/write.h"

#include <QByteArray>
#include <cstdio>
#include <cstdlib>
#include <vector>


bool save_table(DBINFO* dbinfo, db_column_t* columns, int* left)
{
    *left = 0;
    if (!dbinfo->md_client)
        return true;
    seen_columns_forget();
    QByteArray catalog = dbinfo->catalog.toLocal8Bit();
    QByteArray schema = dbinfo->schema.toLocal8Bit();
    QByteArray table = dbinfo->table.toLocal8Bit();

    // Every document is made before the old ones go, so that removal and inserts are
    // two requests in a row.
    doc_list_t docs;
    int32_t position = 1;
    for (const db_column_t* c = columns; c; c = c->next) {
        bson_t* doc = docs.add();
        append_column_fields(doc, catalog.constData(), schema.constData(), table.constData(), position++, c);
        BSON_APPEND_BOOL(doc, "visible", c->visible);
        BSON_APPEND_BOOL(doc, "virtual_array", c->virtual_array);
    }
    int total = position - 1;

    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, "columns");
    bson_t selector = BSON_INITIALIZER;
    BSON_APPEND_UTF8(&selector, "sql_catalog", catalog.constData());
    BSON_APPEND_UTF8(&selector, "sql_schema", schema.constData());
    BSON_APPEND_UTF8(&selector, "sql_table", table.constData());
    bson_error_t error;
    bool removed = mongoc_collection_remove(coll, MONGOC_REMOVE_NONE, &selector, nullptr, &error);
    bson_destroy(&selector);

    size_t written = 0;
    if (removed) {
        // A refused document (two columns of one name) is skipped, the rest written.
        write_result_t result = insert_in_order(coll, docs.docs, nullptr, nullptr);
        written = result.written;
        if (result.failed && server_gone(&result.error))
            *left |= SAVE_LEFT_COLUMNS | SAVE_INCOMPLETE;
    } else if (server_gone(&error)) {
        // Sent and unanswered (a hung or lost server on an open connection), the removal
        // may have been or may still be carried out: the table counts as incomplete.
        *left |= SAVE_LEFT_COLUMNS | (error.domain == MONGOC_ERROR_STREAM ? SAVE_INCOMPLETE : 0);
    }
    mongoc_collection_destroy(coll);

    // Diagnostic only, nothing reads it: the table whose column documents did not all
    // reach the schema, and how many are missing ("- - - - - Columns of orders not
    // saved: 3 of 5 column documents not written"). A failed removal writes none.
    if (!removed || static_cast<int>(written) < total) {
        std::printf("- - - - - Columns of %s not saved: %d of %d column documents not written\n",
                    table.constData(), total - static_cast<int>(written), total);
        std::fflush(stdout);
    }

    // A cancelled save writes nothing more: every request now would fail, each after the
    // library's wait between two looks for the server.
    if (wire_cancelled()) {
        *left |= SAVE_LEFT_COLUMNS | SAVE_LEFT_INDEXES | SAVE_LEFT_VIRTUAL | SAVE_INCOMPLETE;
        return false;
    }
    // The wrapper lends the list to the index metadata; the list stays the caller's.
    db_sample_t* wrapper = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    wrapper->columns = columns;
    wrapper->dbinfo = dbinfo;
    bool emptied = false;
    if (!refresh_table_indexes(dbinfo, wrapper, table.constData(), &emptied))
        *left |= SAVE_LEFT_INDEXES | (emptied ? SAVE_INCOMPLETE : 0);
    std::free(wrapper);

    if (wire_cancelled()) {
        *left |= SAVE_LEFT_INDEXES | SAVE_LEFT_VIRTUAL | SAVE_INCOMPLETE;
        return false;
    }
    bool vt_removed = remove_virtual_tables_reporting(dbinfo);
    if (!vt_removed)
        *left |= SAVE_LEFT_VIRTUAL;
    std::vector<db_column_t*> arrays;
    for (db_column_t* c = columns; c; c = c->next)
        if (c->virtual_array)
            arrays.push_back(c);
    if (!arrays.empty() && !add_virtual_tables(dbinfo, table.constData(), arrays.data(), arrays.size()))
        *left |= SAVE_LEFT_VIRTUAL | (vt_removed ? SAVE_INCOMPLETE : 0);
    return *left == 0;
}

void save_table_columns(DBINFO* dbinfo, db_column_t* columns)
{
    int left = 0;
    save_table(dbinfo, columns, &left);
}
