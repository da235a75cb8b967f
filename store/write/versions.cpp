// The versions: one record per change made, numbered in order.
#include "store/write/journal_parts.h"

#include "core/connect.h"
#include "store/write/fields.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

using namespace journal_internal;

namespace journal_internal {

std::map<const journal_place_t*, int64_t> seen_versions;

} // namespace journal_internal

namespace {

// Versions kept: the newest this many; older ones go fifty at a time.
const int64_t versions_kept = 1000;

// The tables a change touches: those it replaces and those it writes.
std::vector<std::string> touched_tables(const schema_change_t* change, const doc_list_t* before)
{
    std::set<std::string> names;
    for (const auto& scope : change->scopes)
        if (std::get<2>(scope.first) == "sql_table")
            names.insert(scope.second.begin(), scope.second.end());
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind) {
        for (const doc_ref_t& d : change->docs[kind].docs)
            names.insert(schema_text(d.doc, "sql_table"));
        for (const doc_ref_t& d : before[kind].docs)
            names.insert(schema_text(d.doc, "sql_table"));
    }
    names.erase("");
    return std::vector<std::string>(names.begin(), names.end());
}

// A columns or index document as the driver reads it: its fields by value, absent ones as
// their defaults, _id and field order left out.
std::string what_the_driver_reads(int kind, const bson_t* doc)
{
    std::string text;
    if (kind == KIND_COLUMNS) {
        db_column_t* c = new_column();
        read_column_document(doc, c);
        text = std::string(c->sql_name ? c->sql_name : "") + '\x1f' + (c->mongo_name ? c->mongo_name : "") + '\x1f' +
               std::to_string(c->index) + ' ' + std::to_string(c->sql_type) + ' ' + std::to_string(c->mongo_type) +
               ' ' + std::to_string(c->length) + ' ' + std::to_string(c->precision) + ' ' + std::to_string(c->scale) +
               ' ' + std::to_string(c->visible) + std::to_string(c->virtual_array) + '\x1f' +
               (c->virtual_parent ? c->virtual_parent : "");
        free_columns(c);
    } else {
        db_index_t e{};
        read_index_document(doc, &e);
        text = std::string(e.sql_col_name ? e.sql_col_name : "") + '\x1f' + (e.index_name ? e.index_name : "") +
               '\x1f' + std::to_string(e.index) + ' ' + std::to_string(e.primary) + std::to_string(e.unique) +
               std::to_string(e.native_id) + std::to_string(e.asc);
        std::free(e.sql_col_name), std::free(e.index_name);
    }
    return text;
}

// How much the change changed: tables added and removed, and the columns and index entries
// of the other tables added, removed or changed (as the driver reads them).
std::string change_counts(const doc_list_t* before, const doc_list_t* after)
{
    auto key = [](const bson_t* d) {
        return schema_text(d, "sql_catalog") + '\x1f' + schema_text(d, "sql_schema") + '\x1f' + schema_text(d, "sql_table");
    };
    std::set<std::string> tables[2];
    for (int side = 0; side < 2; ++side)
        for (const doc_ref_t& d : (side ? after : before)[KIND_TABLES].docs)
            tables[side].insert(key(d.doc));
    int32_t added = 0, removed = 0, changed[KIND_SLOTS] = {};
    for (const std::string& t : tables[1])
        added += !tables[0].count(t);
    for (const std::string& t : tables[0])
        removed += !tables[1].count(t);
    for (int kind : {KIND_COLUMNS, KIND_INDEX}) {
        // Each side's documents of tables on both sides, without _id; what is not on the
        // other side is a change.
        std::multiset<std::string> sides[2];
        for (int side = 0; side < 2; ++side)
            for (const doc_ref_t& d : (side ? after : before)[kind].docs)
                if (tables[0].count(key(d.doc)) == tables[1].count(key(d.doc)))
                    sides[side].insert(key(d.doc) + '\x1f' + what_the_driver_reads(kind, d.doc));
        int32_t gone = 0, come = 0;
        for (const std::string& d : sides[0])
            gone += !sides[1].count(d);
        for (const std::string& d : sides[1])
            come += !sides[0].count(d);
        changed[kind] = std::max(gone, come); // a document changed is one gone and one come
    }
    return std::to_string(added) + " " + std::to_string(removed) + " " + std::to_string(changed[KIND_COLUMNS]) +
           " " + std::to_string(changed[KIND_INDEX]);
}

// One field of a record's text: no tab or line break of its own.
std::string field(std::string text)
{
    std::replace(text.begin(), text.end(), '\t', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

} // namespace

namespace journal_internal {

// The version that records the change: its making. Old versions go fifty at a time.
bool record_version(DBINFO* dbinfo, journal_place_t* place, const schema_change_t* change, const bson_oid_t* id,
                    int64_t version, const doc_list_t* before, bson_error_t* error)
{
    char journal[25];
    bson_oid_to_string(id, journal);
    const std::string text = std::to_string(lock_claimed_at()) + '\t' + field(side_user(dbinfo, SIDE_SCHEMA)) + '\t' +
                             field(this_host()) + '\t' + field(writer_program()) + '\t' + field(change->action) +
                             '\t' + field(change->label) + '\t' + field(dbinfo->database) + '\t' + journal + '\t' +
                             change_counts(before, change->docs);
    bson_t doc = BSON_INITIALIZER;
    BSON_APPEND_INT64(&doc, "_id", version);
    BSON_APPEND_UTF8(&doc, "v", text.c_str());
    // A change of the whole schema touches every table, also those made later.
    text_array(&doc, "tables", change->rebuild ? std::vector<std::string>{"*"} : touched_tables(change, before));
    doc_refs_t docs{{&doc}};
    bool ok = place_insert(dbinfo, place, "versions", docs, error);
    bson_destroy(&doc);
    if (ok && version > versions_kept && version % 50 == 0) {
        std::vector<int64_t> old;
        bson_t filter = BSON_INITIALIZER, in, ids;
        BSON_APPEND_DOCUMENT_BEGIN(&filter, "_id", &in);
        BSON_APPEND_ARRAY_BEGIN(&in, "$in", &ids);
        for (int64_t n = version - versions_kept - 49; n <= version - versions_kept; ++n)
            BSON_APPEND_INT64(&ids, std::to_string(n - version + versions_kept + 49).c_str(), n);
        bson_append_array_end(&in, &ids);
        bson_append_document_end(&filter, &in);
        std::vector<bson_oid_t> journals;
        place_find(dbinfo, place, "versions", &filter, nullptr, [&](const doc_ref_t& v) {
            version_t old;
            if (read_version_record(v.doc, &old))
                journals.push_back(old.journal);
            return true;
        }, nullptr);
        bson_t gone = BSON_INITIALIZER, list;
        BSON_APPEND_DOCUMENT_BEGIN(&gone, "journal", &in);
        BSON_APPEND_ARRAY_BEGIN(&in, "$in", &list);
        for (size_t i = 0; i < journals.size(); ++i)
            BSON_APPEND_OID(&list, std::to_string(i).c_str(), &journals[i]);
        bson_append_array_end(&in, &list);
        bson_append_document_end(&gone, &in);
        if (!journals.empty() && place_delete(dbinfo, place, "journal", &gone, nullptr))
            place_delete(dbinfo, place, "versions", &filter, nullptr);
        bson_destroy(&gone);
        bson_destroy(&filter);
    }
    return ok;
}

// The number the next version gets: one more than the last one recorded.
bool next_version(DBINFO* dbinfo, journal_place_t* place, int64_t* version, bson_error_t* error)
{
    int64_t last = 0;
    if (lock_found_clean(&last) && last > 0) {
        *version = last + 1;
        return true;
    }
    bson_t filter = BSON_INITIALIZER;
    bson_t* opts = BCON_NEW("sort", "{", "_id", BCON_INT32(-1), "}", "limit", BCON_INT64(1), "projection", "{", "_id",
                            BCON_INT32(1), "}");
    bool ok = place_find(dbinfo, place, "versions", &filter, opts, [&](const doc_ref_t& doc_ref) {
        const bson_t* doc = doc_ref.doc;
        bson_iter_t it;
        if (bson_iter_init_find(&it, doc, "_id") && BSON_ITER_HOLDS_NUMBER(&it))
            last = bson_iter_as_int64(&it);
        return false;
    }, error);
    bson_destroy(opts);
    *version = last + 1;
    return ok;
}

bool version_recorded(DBINFO* dbinfo, journal_place_t* place, const header_t& h, bool* recorded, bson_error_t* error)
{
    *recorded = false;
    bson_t* filter = BCON_NEW("_id", BCON_INT64(h.version));
    bool ok = place_find(dbinfo, place, "versions", filter, nullptr, [&](const doc_ref_t& v) {
        version_t found;
        *recorded = read_version_record(v.doc, &found) && bson_oid_equal(&found.journal, &h.journal);
        return false;
    }, error);
    bson_destroy(filter);
    return ok;
}

int64_t newest_version(DBINFO* dbinfo, journal_place_t* place)
{
    int64_t next = 0;
    return next_version(dbinfo, place, &next, nullptr) ? next - 1 : -1;
}

} // namespace journal_internal

bool schema_changed_since_settle(DBINFO* dbinfo)
{
    journal_place_t* place = journal_place(dbinfo);
    auto seen = seen_versions.find(place);
    return seen == seen_versions.end() || seen->second < 0 || newest_version(dbinfo, place) != seen->second;
}

bool read_version_record(const bson_t* doc, version_t* v)
{
    bson_iter_t it;
    if (!bson_iter_init_find(&it, doc, "_id") || !BSON_ITER_HOLDS_NUMBER(&it))
        return false;
    v->number = bson_iter_as_int64(&it);
    if (!bson_iter_init_find(&it, doc, "v") || !BSON_ITER_HOLDS_UTF8(&it))
        return false;
    std::vector<std::string> f;
    std::string text = bson_iter_utf8(&it, nullptr);
    for (size_t at = 0;; ) {
        size_t tab = text.find('\t', at);
        f.push_back(text.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos)
            break;
        at = tab + 1;
    }
    if (f.size() != 9 || !bson_oid_is_valid(f[7].c_str(), f[7].size()))
        return false;
    v->at = std::atoll(f[0].c_str());
    v->user = f[1], v->host = f[2], v->program = f[3], v->action = f[4], v->label = f[5], v->catalog = f[6];
    bson_oid_init_from_string(&v->journal, f[7].c_str());
    if (std::sscanf(f[8].c_str(), "%d %d %d %d", &v->tables_added, &v->tables_removed, &v->columns_changed,
                    &v->index_changed) != 4)
        return false;
    v->tables.clear();
    bson_iter_t list;
    if (bson_iter_init_find(&it, doc, "tables") && BSON_ITER_HOLDS_ARRAY(&it) && bson_iter_recurse(&it, &list))
        while (bson_iter_next(&list))
            if (BSON_ITER_HOLDS_UTF8(&list))
                v->tables.push_back(bson_iter_utf8(&list, nullptr));
    return true;
}
