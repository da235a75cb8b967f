#include "store/read/seen.h"

#include "core/dbinfo.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// What a query compares of one document. A field of a type the server would compare
// otherwise than as a string (an array matches by its elements) makes the whole record
// unfit to stand for the server's answers.
struct seen_doc_t {
    bson_t* doc;
    std::string field[4]; // sql_catalog, sql_schema, sql_table, sql_name
    bool has[4];
    bool is_virtual;
};

const char* const key_fields[4] = {"sql_catalog", "sql_schema", "sql_table", "sql_name"};

struct seen_t {
    mongoc_client_t* client = nullptr;
    std::string database;
    bool recording = false;
    bool whole = false;
    bool fit = true;
    std::vector<seen_doc_t> docs;

    void clear()
    {
        for (seen_doc_t& d : docs)
            bson_destroy(d.doc);
        docs.clear();
        client = nullptr;
        recording = whole = false;
        fit = true;
    }
    ~seen_t() { clear(); }
};

seen_t seen;

// The record stands for the whole collection of d's schema database.
bool holds_all(const DBINFO* d)
{
    return seen.whole && seen.fit && d->md_client == seen.client && seen.database == d->md_database;
}

bool serves(const DBINFO* d)
{
    // Only start-up holds the table tree: a later pick always asks the server.
    return holds_all(d) && d->tables;
}

bool by_name(const seen_doc_t* a, const seen_doc_t* b) { return a->field[3] < b->field[3]; }

// Sorted by name; false when a document has no name or two of one table share one
// (the server's order is not known then).
bool sorted(std::vector<const seen_doc_t*>& found, doc_refs_t* docs)
{
    for (const seen_doc_t* d : found)
        if (!d->has[3])
            return false;
    std::stable_sort(found.begin(), found.end(), by_name);
    for (size_t i = 1; i < found.size(); ++i)
        if (found[i]->field[3] == found[i - 1]->field[3] && found[i]->field[2] == found[i - 1]->field[2])
            return false;
    docs->clear();
    for (const seen_doc_t* d : found)
        docs->push_back({d->doc});
    return true;
}

bool same(const seen_doc_t& d, int field, const char* value)
{
    return d.has[field] && d.field[field] == (value ? value : "");
}

} // namespace

void seen_columns_start(const DBINFO* dbinfo)
{
    seen.clear();
    seen.client = dbinfo->md_client;
    seen.database = dbinfo->md_database;
    seen.recording = true;
}

void seen_columns_add(const bson_t* doc)
{
    if (!(seen.recording || seen.whole) || !seen.fit)
        return;
    seen_doc_t d;
    d.is_virtual = false;
    for (bool& h : d.has)
        h = false;
    bool flagged = false;
    bson_iter_t it;
    if (!bson_iter_init(&it, doc)) {
        seen.fit = false;
        return;
    }
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        if (!std::strcmp(key, "virtual_array")) {
            if (!BSON_ITER_HOLDS_BOOL(&it) || flagged)
                seen.fit = false;
            d.is_virtual = BSON_ITER_HOLDS_BOOL(&it) && bson_iter_bool(&it);
            flagged = true;
        }
        for (int f = 0; f < 4; ++f) {
            if (std::strcmp(key, key_fields[f]) != 0)
                continue;
            uint32_t len = 0;
            const char* text = BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, &len) : nullptr;
            // A second field of the name, or one that is not text: leave it to the server.
            if (!text || d.has[f]) {
                seen.fit = false;
            } else {
                d.field[f].assign(text, len);
                d.has[f] = true;
            }
        }
    }
    if (seen.fit) {
        d.doc = bson_copy(doc);
        seen.docs.push_back(std::move(d));
    }
}

void seen_columns_finish(bool whole)
{
    seen.whole = seen.recording && whole;
    seen.recording = false;
    if (!seen.whole)
        seen.clear();
}

void seen_columns_remove_tables(const char* catalog, const char* schema, const std::vector<std::string>& tables)
{
    auto gone = [&](const seen_doc_t& d) {
        if (!same(d, 0, catalog) || !same(d, 1, schema) || !d.has[2])
            return false;
        return std::find(tables.begin(), tables.end(), d.field[2]) != tables.end();
    };
    for (seen_doc_t& d : seen.docs)
        if (gone(d))
            bson_destroy(d.doc);
    seen.docs.erase(std::remove_if(seen.docs.begin(), seen.docs.end(), gone), seen.docs.end());
}

void seen_columns_forget(void) { seen.clear(); }

bool seen_table_without_columns(const DBINFO* dbinfo, const char* catalog, const char* schema, const char* table)
{
    if (!holds_all(dbinfo))
        return false;
    for (const seen_doc_t& d : seen.docs)
        if (same(d, 0, catalog) && same(d, 1, schema) && same(d, 2, table))
            return false;
    return true;
}

bool seen_table_columns(const DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                        doc_refs_t* docs)
{
    if (!serves(dbinfo))
        return false;
    std::vector<const seen_doc_t*> found;
    for (const seen_doc_t& d : seen.docs)
        if (same(d, 0, catalog) && same(d, 1, schema) && same(d, 2, table))
            found.push_back(&d);
    return sorted(found, docs);
}

bool seen_catalog_columns(const DBINFO* dbinfo, const char* catalog, const char* schema, doc_refs_t* docs)
{
    if (!holds_all(dbinfo))
        return false;
    docs->clear();
    for (const seen_doc_t& d : seen.docs)
        if (same(d, 0, catalog) && same(d, 1, schema))
            docs->push_back({d.doc});
    return true;
}

bool seen_virtual_columns(const DBINFO* dbinfo, const char* catalog, const char* schema,
                          doc_refs_t* docs)
{
    if (!serves(dbinfo))
        return false;
    std::vector<const seen_doc_t*> found;
    for (const seen_doc_t& d : seen.docs)
        if (d.is_virtual && same(d, 0, catalog) && same(d, 1, schema))
            found.push_back(&d);
    return sorted(found, docs);
}
