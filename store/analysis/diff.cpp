// The differences between the schema and what creation would write now, read in one pass
// over the collections.
#include "store/analysis/drift_parts.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "discovery/discover.h"
#include "store/change/create.h"
#include "store/read/listing.h"
#include "store/write/write.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace drift_internal;

bool drift_take_read(DBINFO* dbinfo, const char* collection, collection_read_t* read, doc_list_t* index_docs,
                     drift_problem_t* problem)
{
    // A sample broken off would count the fields it did not reach as gone.
    if (!read->sample || !read->sample->items) {
        set_problem(problem, DRIFT_NOT_SAMPLED, collection, read->sample ? read->sample->error.message : "");
        return false;
    }
    if (!read->listed || !listing_index_docs(dbinfo, &read->listing, read->sample, collection, index_docs)) {
        set_problem(problem, DRIFT_INDEXES_UNREAD, collection, read->listing.error.message);
        return false;
    }
    return true;
}

bool diff_schema(DBINFO* dbinfo, const char* const* tables, size_t count, bool all, drift_t** differences,
                 drift_problem_t* problem)
{
    return diff_schema_seeing(dbinfo, tables, count, all, differences, problem, nullptr, nullptr);
}

namespace {

typedef std::map<std::string, virtual_t> virtuals_t;

// The data database's collections, system ones left out; false with problem set when
// they could not be listed.
bool list_data(DBINFO* dbinfo, std::vector<std::string>* collections, drift_problem_t* problem)
{
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    char** names = dbinfo->db ? list_collection_names(dbinfo, dbinfo->db, &error) : nullptr;
    if (!names) {
        set_problem(problem, DRIFT_NOT_LISTED, dbinfo->database, error.message);
        return false;
    }
    for (char** p = names; *p; ++p)
        if (!is_system_collection(*p))
            collections->push_back(*p);
    free_collection_names(dbinfo, names);
    return true;
}

// What one pass compares: the tables asked for (all when none were), and each
// collection's virtual tables.
struct scope_t {
    const saved_schema_t& saved;
    std::set<std::string> in_data, chosen;
    std::map<std::string, std::vector<const virtuals_t::value_type*>> virtuals_of; // by parent collection
    bool all_tables = true;

    explicit scope_t(const saved_schema_t& schema) : saved(schema) {}
    bool wanted(const std::string& table) const { return all_tables || chosen.count(table) > 0; }
    bool needed(const std::string& collection) const
    {
        if (wanted(collection))
            return true;
        auto found = virtuals_of.find(collection);
        if (found != virtuals_of.end())
            for (const auto* v : found->second)
                if (wanted(v->first))
                    return true;
        return false;
    }
};

// The differences of one collection read: its table's and its virtual tables'.
void diff_collection(const scope_t& scope, const std::string& c, const db_sample_t* sample,
                     const doc_list_t& docs, bool all, std::vector<drift_t*>* found)
{
    const std::string none;
    auto table = scope.saved.find(c);
    if (scope.wanted(c)) {
        table_diff_t t{c, false, none, found};
        expected_t e;
        base_expected(sample, docs, &e);
        if (table == scope.saved.end() || table->second.is_virtual)
            add_new_table(t, e)->columns = sample->count;
        else
            compare_table(t, table->second, e, all);
    }
    auto virtuals = scope.virtuals_of.find(c);
    if (virtuals == scope.virtuals_of.end())
        return;
    for (const auto* v : virtuals->second) {
        if (!scope.wanted(v->first))
            continue;
        table_diff_t t{v->first, true, v->second.parent, found};
        bool array = is_top_array(sample, v->second.mongo_name);
        expected_t e;
        if (array)
            virtual_expected(v->second.array, v->second.mongo_name, sample, &e);
        if (array && v->second.saved) {
            compare_table(t, *v->second.saved, e, all);
        } else if (array != (v->second.saved != nullptr)) {
            drift_t* d = array ? add_new_table(t, e) : t.add(DRIFT_TABLE_GONE);
            d->mongo_name = copy_text(v->second.mongo_name.c_str());
            d->columns = array ? 3 : 0;
        }
    }
}

// The tables of the schema whose collections are gone.
void diff_gone(const scope_t& scope, const virtuals_t& virtuals, std::vector<drift_t*>* found)
{
    const std::string none;
    for (const auto& t : scope.saved)
        if (!t.second.is_virtual && !scope.in_data.count(t.first) && scope.wanted(t.first))
            table_diff_t{t.first, false, none, found}.add(DRIFT_TABLE_GONE);
    for (const auto& v : virtuals)
        if (v.second.saved && !scope.in_data.count(v.second.parent) && scope.wanted(v.first))
            table_diff_t{v.first, true, v.second.parent, found}.add(DRIFT_TABLE_GONE)->mongo_name =
                copy_text(v.second.mongo_name.c_str());
}

} // namespace

bool diff_schema_seeing(DBINFO* dbinfo, const char* const* tables, size_t count, bool all, drift_t** differences,
                        drift_problem_t* problem, drift_doc_fn seen, void* context)
{
    *differences = nullptr;
    std::memset(problem, 0, sizeof *problem);
    problem->code = 1;
    saved_schema_t saved;
    std::vector<std::string> collections;
    if (!read_schema(dbinfo, &saved, problem, seen, context) || !list_data(dbinfo, &collections, problem))
        return false;
    const virtuals_t virtuals = virtual_tables(saved);
    scope_t scope(saved);
    scope.in_data.insert(collections.begin(), collections.end());
    for (const auto& v : virtuals)
        scope.virtuals_of[v.second.parent].push_back(&v);
    scope.all_tables = count == 0;
    for (size_t i = 0; i < count; ++i) {
        if (!saved.count(tables[i]) && !scope.in_data.count(tables[i]) && !virtuals.count(tables[i])) {
            set_problem(problem, DRIFT_NO_SUCH_TABLE, tables[i], "");
            return false;
        }
        scope.chosen.insert(tables[i]);
    }

    std::vector<const char*> read;
    for (const std::string& c : collections)
        if (scope.needed(c))
            read.push_back(c.c_str());
    int total = static_cast<int>(read.size()), done = 0;
    brolix_progress(0, total, nullptr);
    std::vector<drift_t*> found;
    bool ok = true;
    read_collections(dbinfo, read, [&](int i, collection_read_t* r) {
        doc_list_t docs;
        ok = drift_take_read(dbinfo, read[i], r, &docs, problem);
        if (ok)
            diff_collection(scope, read[i], r->sample, docs, all, &found);
        brolix_progress(++done, total, read[i]);
        return ok;
    });
    if (ok)
        diff_gone(scope, virtuals, &found);

    std::stable_sort(found.begin(), found.end(), listed_before);
    for (size_t i = found.size(); i-- > 0;) {
        found[i]->next = *differences;
        *differences = found[i];
    }
    if (!ok) {
        free_drift(*differences);
        *differences = nullptr;
    }
    return ok;
}
