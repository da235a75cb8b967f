#include "sample/loaders.h"

#include "core/dbinfo.h"
#include "discovery/types.h"
#include "sample/render.h"
#include "store/read/listing.h"

#include <cstdlib>
#include <cstring>
#include <mongoc/mongoc.h>

namespace {

// The find of both loaders: every document in natural order, no limit (the loops stop).
struct find_t {
    mongoc_collection_t* collection = nullptr;
    mongoc_cursor_t* cursor = nullptr;
    find_t(DBINFO* d, const char* database, const char* name)
    {
        if (!d->client)
            return;
        collection = mongoc_client_get_collection(d->client, database, name);
        bson_t query = BSON_INITIALIZER;
        cursor = mongoc_collection_find_with_opts(collection, &query, nullptr, nullptr);
        bson_destroy(&query);
    }
    ~find_t()
    {
        if (cursor)
            mongoc_cursor_destroy(cursor);
        if (collection)
            mongoc_collection_destroy(collection);
    }
    bool next(const bson_t** doc) { return cursor && mongoc_cursor_next(cursor, doc); }
    bool whole(bson_error_t* error) { return !cursor || !mongoc_cursor_error(cursor, error); }
};

// The rendered cell text of the value the iterator stands on, cut to max_width bytes.
char* cell_text(DBINFO* d, const bson_iter_t* iter, const sample_column_t* column)
{
    const bson_value_t* value = bson_iter_value(const_cast<bson_iter_t*>(iter));
    char* rendered = value_to_text(iter, value);
    char* text = convert_for_sql_type(rendered, value, column);
    std::free(rendered);
    if (d->max_width > 0 && std::strlen(text) > static_cast<size_t>(d->max_width))
        text[d->max_width] = '\0';
    return text;
}

} // namespace

bool read_document_rows(DBINFO* d, sample_column_t* columns, const QString& catalog, const QString& table,
                        sample_rows_t* rows, bson_error_t* error)
{
    std::memset(error, 0, sizeof *error);
    QByteArray catalog8 = catalog.toLocal8Bit();
    char collection[DBINFO_TEXT] = "";
    // A table without a collection of its own shows an empty sample: no query is made
    // with a name nobody chose.
    if (!collection_of_table(d, catalog8.constData(), table.toLocal8Bit().constData(), collection))
        return true;
    find_t find(d, catalog8.constData(), collection);
    int documents_read = 0;
    const bson_t* doc;
    while (documents_read < d->preview_rows && find.next(&doc)) {
        bson_iter_t iter;
        if (!bson_iter_init(&iter, doc)) {
            ++documents_read;
            continue;
        }
        rows->emplace_back();
        std::vector<std::string>& cells = rows->back();
        for (sample_column_t* column = columns; column; column = column->next) {
            const char* name = column->mongo_name ? column->mongo_name : "";
            bson_iter_t found;
            bool have = bson_iter_init_find(&found, doc, name);
            if (!have) {
                bson_iter_t top;
                have = bson_iter_init(&top, doc) && bson_iter_find_descendant(&top, name, &found);
            }
            if (!have) {
                cells.push_back("<null>");
                continue;
            }
            char* text = cell_text(d, &found, column);
            cells.push_back(text);
            std::free(text);
        }
        ++documents_read;
    }
    return find.whole(error);
}

bool read_array_rows(DBINFO* d, const QString& key_name, const QString& array_name, sample_rows_t* rows,
                     bson_error_t* error)
{
    std::memset(error, 0, sizeof *error);
    QByteArray key8 = key_name.toUtf8();
    QByteArray array8 = array_name.toUtf8();
    char collection[DBINFO_TEXT] = "";
    QByteArray catalog8 = d->catalog.toLocal8Bit();
    if (!collection_of_table(d, catalog8.constData(), d->table.toLocal8Bit().constData(), collection))
        return true;
    find_t find(d, catalog8.constData(), collection);
    sample_column_t element_column = {const_cast<char*>(""), SQL_T_VARCHAR, 0, 0, 0, 0, nullptr};
    int documents_shown = 0;
    const bson_t* doc;
    while (documents_shown < d->preview_rows && find.next(&doc)) {
        bson_iter_t iter;
        if (!bson_iter_init(&iter, doc))
            continue;
        std::string key_text;
        while (bson_iter_next(&iter)) {
            const char* key = bson_iter_key(&iter);
            if (key8 == key && BSON_ITER_HOLDS_OID(&iter)) {
                char oid[25];
                bson_oid_to_string(bson_iter_oid(&iter), oid);
                key_text = oid;
                continue;
            }
            if (array8 == key && BSON_ITER_HOLDS_ARRAY(&iter)) {
                ++documents_shown;
                bson_iter_t element;
                int element_index = 0;
                if (bson_iter_recurse(&iter, &element)) {
                    while (bson_iter_next(&element)) {
                        element_column.mongo_type = bson_iter_type(&element);
                        char* text = cell_text(d, &element, &element_column);
                        rows->push_back({key_text, std::to_string(element_index), text});
                        std::free(text);
                        ++element_index;
                    }
                }
                break;
            }
        }
    }
    return find.whole(error);
}
