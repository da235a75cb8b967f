#include "store/read/seen.h"

#include "core/dbinfo.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

// What a query compares of one document. A field of a type the server would compare
// otherwise than as a string (an array matches by its elements) makes the whole record
// unfit to stand for the server's answers. A schema of ten thousand tables has hundreds
// of thousands of these: the document's bytes sit in the record's blocks and the names
// are places in them, with no allocation of their own.
struct seen_doc_t {
    const uint8_t* data;
    uint32_t len;
    uint32_t at[4], size[4]; // sql_catalog, sql_schema, sql_table, sql_name within data
    bool has[4];
    bool is_virtual;
    int32_t view; // its bson_t in seen_t::views once handed out, else -1

    std::string_view field(int f) const { return {reinterpret_cast<const char*>(data) + at[f], size[f]}; }
};

struct seen_t {
    static constexpr size_t block_size = 1 << 20;

    mongoc_client_t* client = nullptr;
    std::string database;
    bool recording = false;
    bool whole = false;
    bool fit = true;
    std::deque<seen_doc_t> docs;
    std::vector<std::unique_ptr<uint8_t[]>> blocks, large;
    size_t block_used = block_size;
    // A document's bson_t is made when a query first hands it out: most are never asked for.
    struct view_t {
        bson_t doc;
    };
    std::deque<view_t> views;

    const uint8_t* keep(const uint8_t* data, size_t len)
    {
        if (len > block_size) { // not in the blocks: the one being filled stays last
            large.emplace_back(new uint8_t[len]);
            std::memcpy(large.back().get(), data, len);
            return large.back().get();
        }
        if (block_used + len > block_size) {
            blocks.emplace_back(new uint8_t[block_size]);
            block_used = 0;
        }
        uint8_t* at = blocks.back().get() + block_used;
        std::memcpy(at, data, len);
        block_used += len;
        return at;
    }
    const bson_t* view_of(seen_doc_t& d)
    {
        if (d.view < 0) {
            views.emplace_back();
            bson_init_static(&views.back().doc, d.data, d.len);
            d.view = static_cast<int32_t>(views.size() - 1);
        }
        return &views[static_cast<size_t>(d.view)].doc;
    }
    void clear()
    {
        docs.clear();
        views.clear();
        blocks.clear();
        large.clear();
        block_used = block_size;
        client = nullptr;
        recording = whole = false;
        fit = true;
    }
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

bool by_name(const seen_doc_t* a, const seen_doc_t* b) { return a->field(3) < b->field(3); }

// Sorted by name; false when a document has no name or two of one table share one
// (the server's order is not known then).
bool in_name_order(std::vector<seen_doc_t*>& found)
{
    for (const seen_doc_t* d : found)
        if (!d->has[3])
            return false;
    if (found.size() <= 16) { // a table's handful, without the buffer a stable sort takes
        for (size_t i = 1; i < found.size(); ++i)
            for (size_t j = i; j > 0 && by_name(found[j], found[j - 1]); --j)
                std::swap(found[j], found[j - 1]);
    } else {
        std::stable_sort(found.begin(), found.end(), by_name);
    }
    for (size_t i = 1; i < found.size(); ++i)
        if (found[i]->field(3) == found[i - 1]->field(3) && found[i]->field(2) == found[i - 1]->field(2))
            return false;
    return true;
}

bool sorted(std::vector<seen_doc_t*>& found, doc_refs_t* docs)
{
    if (!in_name_order(found))
        return false;
    docs->clear();
    for (seen_doc_t* d : found)
        docs->push_back({seen.view_of(*d)});
    return true;
}

bool same(const seen_doc_t& d, int field, std::string_view value)
{
    return d.has[field] && d.field(field) == value;
}

std::string_view text_of(const char* value) { return value ? value : ""; }

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
    column_keys_t keys;
    read_column_keys(doc, &keys);
    seen_columns_add(doc, keys);
}

void seen_columns_add(const bson_t* doc, const column_keys_t& keys)
{
    if (!(seen.recording || seen.whole) || !seen.fit)
        return;
    // A name twice, or one that is not text: leave it to the server.
    seen.fit = keys.fit;
    if (!seen.fit)
        return;
    seen_doc_t d{};
    d.view = -1;
    d.is_virtual = keys.is_virtual;
    const char* base = reinterpret_cast<const char*>(bson_get_data(doc));
    for (int f = 0; f < 4; ++f) {
        d.has[f] = keys.has[f];
        d.at[f] = keys.has[f] ? static_cast<uint32_t>(keys.text[f] - base) : 0;
        d.size[f] = keys.len[f];
    }
    d.data = seen.keep(bson_get_data(doc), doc->len);
    d.len = doc->len;
    seen.docs.push_back(d);
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
    const std::string_view cat = text_of(catalog), sch = text_of(schema);
    auto gone = [&](const seen_doc_t& d) {
        if (!same(d, 0, cat) || !same(d, 1, sch) || !d.has[2])
            return false;
        return std::find(tables.begin(), tables.end(), d.field(2)) != tables.end();
    };
    // Their bytes stay in the blocks until the record goes.
    seen.docs.erase(std::remove_if(seen.docs.begin(), seen.docs.end(), gone), seen.docs.end());
}

void seen_columns_forget(void) { seen.clear(); }

bool seen_table_columns(const DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                        doc_refs_t* docs)
{
    const std::string_view cat = text_of(catalog), sch = text_of(schema), tab = text_of(table);
    if (!serves(dbinfo))
        return false;
    std::vector<seen_doc_t*> found;
    for (seen_doc_t& d : seen.docs)
        if (same(d, 0, cat) && same(d, 1, sch) && same(d, 2, tab))
            found.push_back(&d);
    return sorted(found, docs);
}

bool seen_catalog_columns(const DBINFO* dbinfo, const char* catalog, const char* schema,
                          const std::function<void(const doc_ref_t&)>& take)
{
    const std::string_view cat = text_of(catalog), sch = text_of(schema);
    if (!holds_all(dbinfo))
        return false;
    for (const seen_doc_t& d : seen.docs)
        if (same(d, 0, cat) && same(d, 1, sch)) {
            bson_t doc;
            if (bson_init_static(&doc, d.data, d.len))
                take({&doc});
        }
    return true;
}

bool seen_virtual_names(const DBINFO* dbinfo, const char* catalog, const char* schema,
                        const std::function<void(const char* table, const char* name)>& take)
{
    const std::string_view cat = text_of(catalog), sch = text_of(schema);
    if (!serves(dbinfo))
        return false;
    // By table in the order met, each table's by name: the order each table's names are read
    // in, with a sort of a handful a table rather than one of them all.
    std::vector<std::vector<seen_doc_t*>> tables;
    std::unordered_map<std::string_view, size_t> table_at;
    for (seen_doc_t& d : seen.docs) {
        if (!d.is_virtual || !same(d, 0, cat) || !same(d, 1, sch))
            continue;
        auto at = table_at.emplace(d.has[2] ? d.field(2) : std::string_view(), tables.size()).first->second;
        if (at == tables.size())
            tables.emplace_back();
        tables[at].push_back(&d);
    }
    for (std::vector<seen_doc_t*>& found : tables)
        if (!in_name_order(found))
            return false;
    // The names end where the document's text does, as the server's would be read.
    auto text = [](const seen_doc_t* d, int f) {
        return d->has[f] ? reinterpret_cast<const char*>(d->data) + d->at[f] : nullptr;
    };
    for (const std::vector<seen_doc_t*>& found : tables)
        for (const seen_doc_t* d : found)
            take(text(d, 2), text(d, 3));
    return true;
}
