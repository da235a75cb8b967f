#include "store/virtual.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "store/seen.h"
#include "store/write.h"

#include <QByteArray>
#include <string>
#include <vector>

namespace {

// A document to write and the box its failure shows.
struct vt_doc_t {
    doc_list_t docs;
    std::vector<const char*> texts;
    bool left = false; // a document was not written because the server was gone

    bson_t* add(const char* text)
    {
        texts.push_back(text);
        return docs.add();
    }
};

void tell(void* context, size_t position, const bson_error_t* error)
{
    vt_doc_t* list = static_cast<vt_doc_t*>(context);
    if (server_gone(error))
        list->left = true;
    brolix_message(list->texts[position], error->message, BTN_OK, BTN_OK);
}

void write_all(DBINFO* dbinfo, const char* collection, vt_doc_t* list)
{
    if (list->docs.docs.empty())
        return;
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection);
    insert_in_order(coll, list->docs.docs, tell, list);
    mongoc_collection_destroy(coll);
}

void begin_table_fields(bson_t* doc, DBINFO* dbinfo, const char* name)
{
    BSON_APPEND_UTF8(doc, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(doc, "sql_schema", "dbo");
    BSON_APPEND_UTF8(doc, "sql_table", name);
}

void end_virtual_fields(bson_t* doc, const char* parent)
{
    BSON_APPEND_BOOL(doc, "virtual_array", true);
    BSON_APPEND_UTF8(doc, "virtual_parent", parent);
}

struct vt_column_t {
    int32_t index;
    std::string sql_name;
    const char* mongo_name;
    int32_t mongo_type;
    int32_t sql_type;
    int32_t length; // 0: not written
    const char* error_text;
};

struct vt_key_t {
    std::string sql_col_name;
    int32_t index;
    bool native_id;
    const char* error_text;
};

} // namespace

bool remove_virtual_tables_reporting(DBINFO* dbinfo)
{
    if (!dbinfo->md_client)
        return true;
    seen_columns_forget();
    QByteArray catalog = dbinfo->catalog.toLocal8Bit();
    QByteArray schema = dbinfo->schema.toLocal8Bit();
    QByteArray table = dbinfo->table.toLocal8Bit();
    bson_t selector = BSON_INITIALIZER;
    BSON_APPEND_UTF8(&selector, "sql_catalog", catalog.constData());
    BSON_APPEND_UTF8(&selector, "sql_schema", schema.constData());
    BSON_APPEND_UTF8(&selector, "virtual_parent", table.constData());
    BSON_APPEND_BOOL(&selector, "virtual_array", true);

    const struct {
        const char* collection;
        const char* error_text;
    } removals[] = {
        {"tables", "Mongo error removing virtual table."},
        {"columns", "Mongo error removing virtual table column."},
        {"index", "Mongo error removing virtual table index."},
    };
    bool complete = true;
    for (const auto& r : removals) {
        mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, r.collection);
        bson_error_t error;
        if (!mongoc_collection_remove(coll, MONGOC_REMOVE_NONE, &selector, nullptr, &error)) {
            brolix_message(r.error_text, error.message, BTN_OK, BTN_OK);
            complete = complete && !server_gone(&error);
        }
        mongoc_collection_destroy(coll);
    }
    bson_destroy(&selector);
    return complete;
}

bool add_virtual_tables(DBINFO* dbinfo, const char* parent_table, db_column_t* const* columns, size_t count)
{
    seen_columns_forget();
    const std::string parent = parent_table ? parent_table : "";
    // Each collection's documents in one request: every table first, then the columns of
    // all, then their index entries; in each, the virtual tables in the order given.
    vt_doc_t tables, column_docs, index_docs;
    for (size_t i = 0; i < count; ++i) {
        const db_column_t* column = columns[i];
        const std::string array = column->sql_name ? column->sql_name : "";
        const char* mongo_name = column->mongo_name ? column->mongo_name : "";
        const std::string name = parent + "_" + array;

        bson_t* table = tables.add("Mongo error adding virtual table.");
        begin_table_fields(table, dbinfo, name.c_str());
        BSON_APPEND_UTF8(table, "mongo_name", parent.c_str());
        BSON_APPEND_UTF8(table, "mongo_database", dbinfo->database);
        BSON_APPEND_UTF8(table, "type", "TABLE");
        end_virtual_fields(table, parent.c_str());

        // The texts of the column and index boxes are the ones the driver's users know.
        const vt_column_t vt_columns[] = {
            {1, "_id", "_id", 7, 1, 24, "Mongo error removing virtual table index _id."},
            {2, array + "$index", mongo_name, -1, 4, 0, "Mongo error removing virtual column $index."},
            {3, array + "$value", mongo_name, -2, 12, 512, "Mongo error removing virtual column $value."},
        };
        for (const vt_column_t& c : vt_columns) {
            bson_t* doc = column_docs.add(c.error_text);
            begin_table_fields(doc, dbinfo, name.c_str());
            BSON_APPEND_INT32(doc, "index", c.index);
            BSON_APPEND_UTF8(doc, "sql_name", c.sql_name.c_str());
            BSON_APPEND_UTF8(doc, "mongo_name", c.mongo_name);
            BSON_APPEND_INT32(doc, "mongo_type", c.mongo_type);
            BSON_APPEND_INT32(doc, "sql_type", c.sql_type);
            BSON_APPEND_BOOL(doc, "visible", true);
            if (c.length)
                BSON_APPEND_INT32(doc, "length", c.length);
            end_virtual_fields(doc, parent.c_str());
        }

        const vt_key_t keys[] = {
            {"_id", 1, true, "Mongo error removing virtual index _id."},
            {array + "$index", 2, false, "Mongo error removing virtual index $index."},
        };
        for (const vt_key_t& k : keys) {
            bson_t* doc = index_docs.add(k.error_text);
            begin_table_fields(doc, dbinfo, name.c_str());
            BSON_APPEND_UTF8(doc, "sql_col_name", k.sql_col_name.c_str());
            BSON_APPEND_INT32(doc, "index", k.index);
            BSON_APPEND_BOOL(doc, "primary", true);
            BSON_APPEND_UTF8(doc, "index_name", "index1");
            BSON_APPEND_BOOL(doc, "unique", true);
            BSON_APPEND_BOOL(doc, "native_id", k.native_id);
            BSON_APPEND_BOOL(doc, "asc", true);
            end_virtual_fields(doc, parent.c_str());
        }
    }
    // Every insert is independent: a failed one shows its box and the next is written.
    write_all(dbinfo, "tables", &tables);
    write_all(dbinfo, "columns", &column_docs);
    write_all(dbinfo, "index", &index_docs);
    return !(tables.left || column_docs.left || index_docs.left);
}

