#include "store/files/export.h"

#include "core/dbinfo.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "store/change/create.h"
#include "store/write/fields.h"
#include "store/write/journal.h"
#include "store/read/seen.h"
#include "store/read/listing.h"
#include "store/write/write.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

int32_t number_of(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    return bson_iter_init_find(&it, doc, field) ? schema_number(&it) : 0;
}

std::string canonical_json(const bson_t* doc)
{
    size_t length = 0;
    char* json = bson_as_canonical_extended_json(doc, &length);
    std::string text = json ? std::string(json, length) : "{ }";
    bson_free(json);
    return text;
}

// Table, then name of the index, then position; the text itself settles any tie.
typedef std::tuple<std::string, std::string, std::string, int32_t, std::string> sort_key_t;

bool export_collection(DBINFO* dbinfo, int kind, std::string* out)
{
    mongoc_collection_t* coll =
        mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(kind));
    bson_t* filter = BCON_NEW("sql_catalog", BCON_UTF8(dbinfo->database));
    bson_t* opts = whole_collection_opts();
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, opts, nullptr);
    std::vector<sort_key_t> docs;
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        bson_t copy = BSON_INITIALIZER;
        bson_copy_to_excluding_noinit(doc, &copy, "_id", nullptr);
        docs.emplace_back(schema_text(&copy, "sql_schema"), schema_text(&copy, "sql_table"),
                          kind == KIND_INDEX ? schema_text(&copy, "index_name") : "",
                          kind == KIND_TABLES ? 0 : number_of(&copy, "index"),
                          canonical_json(&copy));
        bson_destroy(&copy);
    }
    bool ok = !mongoc_cursor_error(cursor, nullptr);
    mongoc_cursor_destroy(cursor);
    bson_destroy(opts);
    bson_destroy(filter);
    mongoc_collection_destroy(coll);

    std::sort(docs.begin(), docs.end());
    *out += std::string("  \"") + collection_name(kind) + "\": [";
    for (size_t i = 0; i < docs.size(); ++i)
        *out += (i ? ",\n    " : "\n    ") + std::get<4>(docs[i]);
    *out += docs.empty() ? "]" : "\n  ]";
    return ok;
}

} // namespace

bool export_schema(DBINFO* dbinfo, std::string* text, int* code)
{
    *code = 1;
    text->clear();
    if (!dbinfo->md_client) {
        *code = SCHEMA_EXPORT_READ_FAILED;
        return false;
    }
    *text = std::string("{\n  \"format\": \"") + schema_file_format() + "\",\n";
    bool ok = true;
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind) {
        ok = export_collection(dbinfo, kind, text) && ok;
        *text += kind < KIND_INDEX ? ",\n" : "\n";
    }
    *text += "}\n";
    if (!ok)
        *code = SCHEMA_EXPORT_READ_FAILED;
    return ok;
}

bool import_schema(DBINFO* dbinfo, const schema_file_t* file, bool replace, int* code, schema_file_problem_t* problem)
{
    seen_columns_forget(); // the columns collection changes under what start-up read
    *code = 1;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    auto failed = [&](int value) {
        *code = value;
        if (problem)
            std::snprintf(problem->detail, sizeof problem->detail, "%s", error.message);
        return false;
    };
    char** names = dbinfo->md_client ? list_collection_names(dbinfo, dbinfo->md_db, &error) : nullptr;
    if (!names)
        return failed(SCHEMA_IMPORT_NO_LISTING);
    bool empty = !names[0];
    free_collection_names(dbinfo, names);
    if (empty && !create_schema_collections(dbinfo, code))
        return false;

    if (!empty) {
        bson_t* selector = BCON_NEW("sql_catalog", BCON_UTF8(dbinfo->database));
        bool held = false, counted = true;
        for (int kind = KIND_TABLES; kind <= KIND_INDEX && !held && counted; ++kind) {
            mongoc_collection_t* coll =
                mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(kind));
            bson_t* opts = BCON_NEW("limit", BCON_INT64(1));
            int64_t count = mongoc_collection_count_documents(coll, selector, opts, nullptr, nullptr, &error);
            held = count > 0;
            counted = count >= 0; // a failed count is no empty catalog
            bson_destroy(opts);
            mongoc_collection_destroy(coll);
        }
        bson_destroy(selector);
        if (!counted)
            return failed(SCHEMA_IMPORT_WRITE_FAILED);
        if (held && !replace)
            return failed(SCHEMA_IMPORT_EXISTS);
    }
    // The catalog's documents replaced by the file's, whole or not at all.
    schema_change_t* change = schema_change_new("import", dbinfo->database);
    schema_change_replace_catalog(change, dbinfo->database);
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        for (const schema_file_t::doc_t& d : file->docs[kind])
            schema_change_add(change, kind, d.doc);
    int outcome = 0;
    bool applied = schema_change_apply(dbinfo, change, &outcome, &error);
    // The outcome's own words (who holds the schema, what the server refused) say more.
    if (!applied && !schema_change_told(change).empty())
        bson_strncpy(error.message, schema_change_told(change).c_str(), sizeof error.message);
    schema_change_free(change);
    if (!applied)
        return failed(outcome == CHANGE_PENDING ? SCHEMA_IMPORT_PENDING : SCHEMA_IMPORT_WRITE_FAILED);
    return true;
}
