// The schema as drift compares it: its documents read into tables, columns and entries.
#include "store/analysis/drift_parts.h"

#include "core/dbinfo.h"
#include "core/schema_names.h"
#include "discovery/types.h"
#include "store/read/read.h"
#include "store/write/fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>

using namespace drift_internal;

namespace drift_internal {

void set_problem(drift_problem_t* problem, int code, const char* name, const char* detail)
{
    problem->code = code;
    std::snprintf(problem->name, sizeof problem->name, "%.255s", name ? name : "");
    std::snprintf(problem->detail, sizeof problem->detail, "%.511s", detail ? detail : "");
}

} // namespace drift_internal

namespace {

// Every document of one schema collection of this catalog (the columns as validation has
// just read them, when it read them whole).
template <typename Take>
bool read_saved(DBINFO* dbinfo, int kind, Take take, drift_problem_t* problem)
{
    bson_error_t error;
    if (each_catalog_document(dbinfo, kind, nullptr, [&](const doc_ref_t& d) { take(d.doc); }, &error))
        return true;
    set_problem(problem, DRIFT_SCHEMA_UNREAD, collection_name(kind), dbinfo->md_client ? error.message : "");
    return false;
}

// Takes schema documents into tables, their columns and their index entries.
struct schema_taker_t {
    saved_schema_t* saved;
    drift_doc_fn seen;
    void* context;
    // Columns and entries of a table no tables document names make one (a version that
    // replaced a table's columns only), else they are left out.
    bool make_tables = false;
    void table(const bson_t* doc)
    {
        if (seen)
            seen(context, 1, doc);
        db_table_doc_t tree, ref;
        if (!read_tables_document(doc, &tree, &ref) || saved->count(ref.table))
            return;
        saved_table_t& t = (*saved)[ref.table];
        t.is_virtual = ref.is_virtual;
        t.parent = schema_text(doc, "virtual_parent");
    }
    saved_schema_t::iterator table_of(const bson_t* doc)
    {
        const std::string name = schema_text(doc, "sql_table");
        auto found = saved->find(name);
        if (found == saved->end() && make_tables) {
            found = saved->emplace(name, saved_table_t()).first;
            found->second.parent = schema_text(doc, "virtual_parent");
            found->second.is_virtual = !found->second.parent.empty();
        }
        return found;
    }
    void column(const bson_t* doc)
    {
        if (seen)
            seen(context, 2, doc);
        auto found = table_of(doc);
        column_ptr column(new_column());
        read_column_document(doc, column.get());
        if (found != saved->end())
            found->second.columns.push_back(std::move(column));
    }
    void entry(const bson_t* doc)
    {
        if (seen)
            seen(context, 3, doc);
        auto found = table_of(doc);
        entry_ptr entry(static_cast<db_index_t*>(record_alloc(sizeof(db_index_t))));
        read_index_document(doc, entry.get());
        if (found != saved->end())
            found->second.entries.push_back(std::move(entry));
    }
};

void sort_columns(saved_schema_t* saved)
{
    for (auto& t : *saved)
        std::stable_sort(t.second.columns.begin(), t.second.columns.end(),
                         [](const column_ptr& a, const column_ptr& b) { return a->index < b->index; });
}

} // namespace

namespace drift_internal {

bool read_schema(DBINFO* dbinfo, saved_schema_t* saved, drift_problem_t* problem, drift_doc_fn seen, void* context)
{
    schema_taker_t taker{saved, seen, context};
    auto table_doc = [&](const bson_t* doc) { taker.table(doc); };
    auto column_doc = [&](const bson_t* doc) { taker.column(doc); };
    auto index_doc = [&](const bson_t* doc) { taker.entry(doc); };
    if (!read_saved(dbinfo, KIND_TABLES, table_doc, problem) || !read_saved(dbinfo, KIND_COLUMNS, column_doc, problem) ||
        !read_saved(dbinfo, KIND_INDEX, index_doc, problem))
        return false;
    sort_columns(saved);
    return true;
}

std::map<std::string, virtual_t> virtual_tables(const saved_schema_t& saved)
{
    std::map<std::string, virtual_t> found;
    for (const auto& t : saved) {
        if (!t.second.is_virtual) {
            for (const column_ptr& c : t.second.columns)
                if (c->virtual_array && c->sql_name && c->mongo_name)
                    found[t.first + "_" + c->sql_name] = {t.first, c->sql_name, c->mongo_name, nullptr};
            continue;
        }
        virtual_t& v = found[t.first];
        v.saved = &t.second;
        if (!v.parent.empty())
            continue; // its parent's column names it
        v.parent = t.second.parent;
        const std::string prefix = v.parent + "_";
        v.array = t.first.compare(0, prefix.size(), prefix) == 0 ? t.first.substr(prefix.size()) : t.first;
        v.mongo_name = v.array;
        // Without a parent column that names it, the field is the one its columns read.
        for (const column_ptr& c : t.second.columns)
            if ((c->mongo_type == MONGO_T_VT_INDEX || c->mongo_type == MONGO_T_VT_VALUE) && c->mongo_name) {
                v.mongo_name = c->mongo_name;
                break;
            }
    }
    return found;
}

// One side's documents by table. A change that left a table's document as it was (a save
// replaces only its columns and index entries) holds that table on neither side: it is
// taken as there on both, so that its columns are compared.
saved_schema_t saved_of_docs(const doc_list_t* docs, const doc_list_t* other)
{
    saved_schema_t saved;
    schema_taker_t taker{&saved, nullptr, nullptr, true};
    for (const doc_ref_t& d : docs[KIND_TABLES].docs)
        taker.table(d.doc);
    std::set<std::string> documented;
    for (const doc_list_t* side : {docs, other})
        for (const doc_ref_t& d : side[KIND_TABLES].docs)
            documented.insert(schema_text(d.doc, "sql_table"));
    for (const doc_list_t* side : {docs, other})
        for (int kind = KIND_COLUMNS; kind <= KIND_INDEX; ++kind)
            for (const doc_ref_t& d : side[kind].docs)
                if (!documented.count(schema_text(d.doc, "sql_table")))
                    saved[schema_text(d.doc, "sql_table")];
    for (const doc_ref_t& d : docs[KIND_COLUMNS].docs)
        taker.column(d.doc);
    for (const doc_ref_t& d : docs[KIND_INDEX].docs)
        taker.entry(d.doc);
    sort_columns(&saved);
    return saved;
}

} // namespace drift_internal
