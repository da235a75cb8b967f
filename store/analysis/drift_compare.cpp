// Comparing a table of the schema with what creation would give it now, or with another
// state of the schema.
#include "store/analysis/drift_parts.h"

#include "discovery/discover.h"
#include "discovery/types.h"
#include "store/write/fields.h"
#include "store/write/write.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

using namespace drift_internal;

namespace {

void add_entry(expected_t* e, const char* name, int32_t position, const std::string& column, bool native_id)
{
    entry_ptr entry(static_cast<db_index_t*>(record_alloc(sizeof(db_index_t))));
    entry->index_name = copy_text(name);
    entry->index = position;
    entry->sql_col_name = copy_text(column.c_str());
    entry->primary = entry->unique = entry->asc = true;
    entry->native_id = native_id;
    e->entries.push_back(std::move(entry));
}

void add_column(expected_t* e, const std::string& sql_name, const std::string& mongo_name, int32_t mongo_type,
                int32_t sql_type, int32_t length)
{
    column_ptr c(new_column());
    c->sql_name = copy_text(sql_name.c_str());
    c->mongo_name = copy_text(mongo_name.c_str());
    c->mongo_type = mongo_type;
    c->sql_type = sql_type;
    c->length = length;
    e->columns.push_back(c.get());
    e->owned.push_back(std::move(c));
}

void take_column(drift_column_t* side, const db_column_t* c)
{
    side->sql_name = copy_text(c->sql_name ? c->sql_name : "");
    side->sql_type = c->sql_type;
    side->mongo_type = c->mongo_type;
    side->length = c->length;
    side->visible = c->visible;
}

void take_entry(drift_entry_t* side, const db_index_t* e, const char* sql_col_name)
{
    side->index_name = copy_text(e->index_name ? e->index_name : "");
    side->position = e->index;
    side->sql_col_name = copy_text(sql_col_name ? sql_col_name : "");
    side->primary = e->primary;
    side->unique = e->unique;
    side->native_id = e->native_id;
    side->asc = e->asc;
}

drift_t* column_drift(const table_diff_t& t, int kind, const db_column_t* saved, const db_column_t* data)
{
    drift_t* d = t.add(kind);
    const db_column_t* either = data ? data : saved;
    d->mongo_name = copy_text(either->mongo_name ? either->mongo_name : "");
    if ((d->in_schema = saved != nullptr))
        take_column(&d->schema_column, saved);
    if ((d->in_data = data != nullptr))
        take_column(&d->data_column, data);
    return d;
}

typedef std::tuple<std::string, int32_t, std::string, bool, bool, bool, bool> entry_key_t;

entry_key_t key_of(const db_index_t* e, const char* column)
{
    return entry_key_t(e->index_name ? e->index_name : "", e->index, column ? column : "", e->primary, e->unique,
                       e->native_id, e->asc);
}

void free_side(drift_column_t* c, drift_entry_t* e)
{
    std::free(c->sql_name);
    std::free(e->index_name);
    std::free(e->sql_col_name);
}

} // namespace

namespace drift_internal {

// A virtual table as its writer makes it for the array: the value column as long as the
// longest element the sample saw.
void virtual_expected(const std::string& array, const std::string& mongo_name, const db_sample_t* sample,
                      expected_t* e)
{
    uint32_t longest = 0;
    const std::string element = mongo_name + ".";
    for (const db_column_t* c = sample->columns; c; c = c->next)
        if (c->mongo_name && !std::strncmp(c->mongo_name, element.c_str(), element.size()) &&
            std::strspn(c->mongo_name + element.size(), "0123456789") == std::strlen(c->mongo_name + element.size()))
            longest = std::max(longest, static_cast<uint32_t>(c->length));
    add_column(e, "_id", "_id", BSON_TYPE_OID, SQL_T_CHAR, 24);
    add_column(e, array + "$index", mongo_name, MONGO_T_VT_INDEX, SQL_T_INTEGER, 0);
    add_column(e, array + "$value", mongo_name, MONGO_T_VT_VALUE, SQL_T_VARCHAR, static_cast<int32_t>(longest));
    add_entry(e, "index1", 1, "_id", true);
    add_entry(e, "index1", 2, array + "$index", false);
}

bool is_top_array(const db_sample_t* sample, const std::string& mongo_name)
{
    for (const db_column_t* c = sample->columns; c; c = c->next)
        if (c->mongo_name && mongo_name == c->mongo_name)
            return c->mongo_type == BSON_TYPE_ARRAY && mongo_name.find('.') == std::string::npos;
    return false;
}

void compare_table(const table_diff_t& t, const saved_table_t& saved, const expected_t& data, bool all,
                   bool exact)
{
    std::map<std::string, std::vector<const db_column_t*>> unpaired;
    for (const column_ptr& c : saved.columns)
        unpaired[c->mongo_name ? c->mongo_name : ""].push_back(c.get());
    std::map<std::string, const db_column_t*> saved_of; // by the data's SQL name
    for (int pass = 0; pass < 2; ++pass)
        for (const db_column_t* c : data.columns) {
            auto& candidates = unpaired[c->mongo_name ? c->mongo_name : ""];
            if (saved_of.count(c->sql_name))
                continue;
            for (auto s = candidates.begin(); s != candidates.end(); ++s)
                if (pass == 1 || (*s)->mongo_type == c->mongo_type) {
                    saved_of[c->sql_name] = *s;
                    candidates.erase(s);
                    break;
                }
        }
    for (const db_column_t* c : data.columns) {
        auto paired = saved_of.find(c->sql_name);
        if (paired == saved_of.end()) {
            column_drift(t, DRIFT_COLUMN_NEW, nullptr, c);
            continue;
        }
        const db_column_t* s = paired->second;
        if (s->mongo_type != c->mongo_type)
            column_drift(t, DRIFT_COLUMN_TYPE, s, c);
        else if (all && s->sql_type != c->sql_type)
            column_drift(t, DRIFT_SQL_TYPE, s, c);
        if (exact ? c->length != s->length : static_cast<uint32_t>(c->length) > static_cast<uint32_t>(s->length))
            column_drift(t, DRIFT_COLUMN_LENGTH, s, c);
        if (all && std::strcmp(s->sql_name ? s->sql_name : "", c->sql_name ? c->sql_name : "") != 0)
            column_drift(t, DRIFT_SQL_NAME, s, c);
        // Two sides of the schema (a version's before and after) tell hiding either way.
        if (exact ? s->visible != c->visible : all && !s->visible)
            column_drift(t, DRIFT_HIDDEN, s, c)->shown = exact && c->visible;
    }
    for (const auto& left : unpaired)
        for (const db_column_t* s : left.second)
            column_drift(t, DRIFT_COLUMN_GONE, s, nullptr);

    // Saving writes no entry of an index with a hidden column.
    std::set<std::string> hidden;
    for (const entry_ptr& e : data.entries) {
        auto paired = saved_of.find(e->sql_col_name ? e->sql_col_name : "");
        if (paired != saved_of.end() && !paired->second->visible)
            hidden.insert(e->index_name ? e->index_name : "");
    }
    std::vector<std::pair<entry_key_t, const db_index_t*>> wanted, have;
    for (const entry_ptr& e : data.entries) {
        if (hidden.count(e->index_name ? e->index_name : ""))
            continue;
        auto paired = saved_of.find(e->sql_col_name ? e->sql_col_name : "");
        const char* column = paired != saved_of.end() ? paired->second->sql_name : e->sql_col_name;
        wanted.push_back({key_of(e.get(), column), e.get()});
    }
    for (const entry_ptr& e : saved.entries)
        have.push_back({key_of(e.get(), e->sql_col_name), e.get()});
    std::sort(wanted.begin(), wanted.end());
    std::sort(have.begin(), have.end());
    auto report = [&](int kind, const std::pair<entry_key_t, const db_index_t*>& e) {
        drift_t* d = t.add(kind);
        bool in_data = kind == DRIFT_INDEX_NEW;
        take_entry(in_data ? &d->data_entry : &d->schema_entry, e.second, std::get<2>(e.first).c_str());
        d->in_data = in_data;
        d->in_schema = !in_data;
    };
    size_t w = 0, h = 0;
    while (w < wanted.size() || h < have.size()) {
        if (h == have.size() || (w < wanted.size() && wanted[w].first < have[h].first))
            report(DRIFT_INDEX_NEW, wanted[w++]);
        else if (w == wanted.size() || have[h].first < wanted[w].first)
            report(DRIFT_INDEX_GONE, have[h++]);
        else
            ++w, ++h;
    }
}

void base_expected(const db_sample_t* sample, const doc_list_t& docs, expected_t* e)
{
    for (const db_column_t* c = sample->columns; c; c = c->next)
        e->columns.push_back(c);
    for (const doc_ref_t& doc : docs.docs) {
        entry_ptr entry(static_cast<db_index_t*>(record_alloc(sizeof(db_index_t))));
        read_index_document(doc.doc, entry.get());
        e->entries.push_back(std::move(entry));
    }
}

drift_t* add_new_table(const table_diff_t& t, const expected_t& e)
{
    drift_t* d = t.add(DRIFT_TABLE_NEW);
    std::vector<drift_t*> contents;
    const table_diff_t inside{t.table, t.is_virtual, t.parent, &contents};
    saved_table_t empty;
    compare_table(inside, empty, e, false);
    for (size_t i = contents.size(); i-- > 0;) {
        contents[i]->next = d->contents;
        d->contents = contents[i];
    }
    return d;
}

bool listed_before(const drift_t* a, const drift_t* b)
{
    auto key = [](const drift_t* d) {
        const drift_entry_t& e = d->in_data ? d->data_entry : d->schema_entry;
        return std::make_tuple(std::string(d->table), d->kind, std::string(d->mongo_name ? d->mongo_name : ""),
                               std::string(e.index_name ? e.index_name : ""), e.position);
    };
    return key(a) < key(b);
}

} // namespace drift_internal

void diff_documents(const doc_list_t* before, const doc_list_t* after, drift_t** differences)
{
    *differences = nullptr;
    saved_schema_t was = saved_of_docs(before, after), is = saved_of_docs(after, before);
    std::vector<drift_t*> found;
    std::set<std::string> names;
    for (const auto* side : {&was, &is})
        for (const auto& t : *side)
            names.insert(t.first);
    for (const std::string& name : names) {
        auto b = was.find(name);
        auto a = is.find(name);
        const saved_table_t& one = a != is.end() ? a->second : b->second;
        table_diff_t t{name, one.is_virtual, one.parent, &found};
        if (a == is.end()) {
            drift_t* d = t.add(DRIFT_TABLE_GONE);
            d->columns = static_cast<int32_t>(b->second.columns.size());
            continue;
        }
        expected_t e;
        for (const column_ptr& c : a->second.columns)
            e.columns.push_back(c.get());
        for (entry_ptr& entry : a->second.entries)
            e.entries.push_back(std::move(entry));
        if (b == was.end())
            add_new_table(t, e)->columns = static_cast<int32_t>(e.columns.size());
        else
            compare_table(t, b->second, e, true, true);
    }
    std::stable_sort(found.begin(), found.end(), listed_before);
    for (size_t i = found.size(); i-- > 0;) {
        found[i]->next = *differences;
        *differences = found[i];
    }
}

void free_drift(drift_t* d)
{
    while (d) {
        drift_t* next = d->next;
        std::free(d->table);
        std::free(d->parent);
        std::free(d->mongo_name);
        free_side(&d->schema_column, &d->schema_entry);
        free_side(&d->data_column, &d->data_entry);
        free_drift(d->contents);
        std::free(d);
        d = next;
    }
}
