#include "store/change/save.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "core/wire.h"
#include "discovery/discover.h"
#include "store/read/indexes.h"
#include "store/write/journal.h"
#include "store/read/seen.h"
#include "store/change/virtual.h"
#include "store/write/write.h"

#include <QByteArray>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {
int save_outcome = CHANGE_APPLIED;
std::string save_told;

// The table's column documents, numbered in the grid's order; how many.
int add_column_docs(schema_change_t* change, const char* catalog, const char* schema, const char* table,
                    const db_column_t* columns)
{
    int32_t position = 1;
    for (const db_column_t* c = columns; c; c = c->next) {
        bson_t doc = BSON_INITIALIZER;
        append_column_fields(&doc, catalog, schema, table, position++, c);
        BSON_APPEND_BOOL(&doc, "visible", c->visible);
        BSON_APPEND_BOOL(&doc, "virtual_array", c->virtual_array);
        schema_change_add(change, KIND_COLUMNS, &doc);
        bson_destroy(&doc);
    }
    return position - 1;
}

// The index entries follow the collection's indexes; a listing that failed (or no data
// server) says nothing about them, and the entries the table has stay. True when they
// are part of the change.
bool add_index_entries(DBINFO* dbinfo, schema_change_t* change, const char* table, db_column_t* columns, int* left,
                       bson_error_t* error)
{
    db_sample_t* wrapper = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    wrapper->columns = columns;
    wrapper->dbinfo = dbinfo;
    doc_list_t entries;
    bool indexed = dbinfo->client && table_index_docs(dbinfo, wrapper, table, &entries, error);
    if (indexed) {
        schema_change_replace_table(change, dbinfo->database, SQL_SCHEMA, table, CHANGE_MASK_INDEX);
        for (const doc_ref_t& d : entries.docs)
            schema_change_add(change, KIND_INDEX, d.doc);
    } else if (!dbinfo->client || server_gone(error)) {
        *left |= SAVE_LEFT_INDEXES;
    }
    std::free(wrapper);
    return indexed;
}

// What the table holds now is what was written: the next save of it starts from here.
void note_written(const schema_change_t* change, const char* catalog, const char* schema, const char* table,
                  const table_stamp_t& read, bool indexed)
{
    table_stamp_t written;
    written.has_columns = true;
    written.index = read.index, written.has_index = read.has_index;
    if (indexed)
        written.index = 0, written.has_index = true;
    for (int kind : {KIND_COLUMNS, KIND_INDEX})
        for (size_t i = 0; i < schema_change_count(change, kind); ++i) {
            const bson_t* doc = schema_change_doc(change, kind, i);
            bson_iter_t it;
            if (bson_iter_init_find(&it, doc, "sql_table") && BSON_ITER_HOLDS_UTF8(&it) &&
                std::strcmp(table, bson_iter_utf8(&it, nullptr)) == 0 && (kind == KIND_COLUMNS || written.has_index))
                stamp_add(&written, kind, doc);
        }
    note_table_read(catalog, schema, table, written);
}

} // namespace

int last_save_outcome(void) { return save_outcome; }
const char* last_save_told(void) { return save_told.c_str(); }

bool save_table(DBINFO* dbinfo, db_column_t* columns, int* left, bool over)
{
    *left = 0;
    save_outcome = CHANGE_APPLIED;
    save_told.clear();
    if (!dbinfo->md_client)
        return true;
    seen_columns_forget();
    QByteArray catalog = dbinfo->catalog.toLocal8Bit();
    QByteArray schema = dbinfo->schema.toLocal8Bit();
    QByteArray table = dbinfo->table.toLocal8Bit();

    // The table's columns, its index entries and its virtual tables are one change: the
    // schema holds them as they were or as saved, never a part.
    schema_change_t* change = schema_change_new("save", table.constData());
    schema_change_replace_table(change, catalog.constData(), schema.constData(), table.constData(),
                                CHANGE_MASK_COLUMNS);
    int total = add_column_docs(change, catalog.constData(), schema.constData(), table.constData(), columns);
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    bool indexed = add_index_entries(dbinfo, change, table.constData(), columns, left, &error);

    schema_change_replace_virtual(change, catalog.constData(), schema.constData(), table.constData());
    std::vector<db_column_t*> arrays;
    for (db_column_t* c = columns; c; c = c->next)
        if (c->virtual_array)
            arrays.push_back(c);
    add_virtual_table_docs(dbinfo, table.constData(), arrays.data(), arrays.size(), change);

    // Only over what this program read of the table: another program's save since is not
    // written over unseen.
    table_stamp_t stamp;
    int64_t read_at = 0;
    if (!over && table_read_stamp(catalog.constData(), schema.constData(), table.constData(), &stamp, &read_at))
        schema_change_expect(change, catalog.constData(), schema.constData(), table.constData(), stamp, read_at);

    // A cancelled save writes nothing: the table stays as it was.
    int code = CHANGE_CANCELLED;
    bool applied = !wire_cancelled() && schema_change_apply(dbinfo, change, &code, &error);
    save_outcome = code;
    save_told = schema_change_told(change);
    if (applied)
        note_written(change, catalog.constData(), schema.constData(), table.constData(), stamp, indexed);
    schema_change_free(change);
    if (applied)
        return *left == 0;

    *left |= SAVE_LEFT_COLUMNS | SAVE_LEFT_INDEXES | SAVE_LEFT_VIRTUAL;
    if (code == CHANGE_PENDING || code == CHANGE_FENCED) // kept in the journal, undone at the next claim
        *left |= SAVE_INCOMPLETE;
    // A write the server refused is no server gone: say what it refused.
    if (code == CHANGE_REFUSED)
        brolix_message("Mongo error saving table.", save_told.empty() ? error.message : save_told.c_str(), BTN_OK,
                       BTN_OK);
    // Diagnostic only, nothing reads it: the table whose column documents did not reach
    // the schema ("- - - - - Columns of orders not saved: 5 of 5 column documents not written").
    brolix_diagnostic(("- - - - - Columns of " + table + " not saved: " + QByteArray::number(total) + " of " +
                       QByteArray::number(total) + " column documents not written\n")
                          .constData());
    return false;
}

void save_table_columns(DBINFO* dbinfo, db_column_t* columns)
{
    int left = 0;
    save_table(dbinfo, columns, &left);
}
