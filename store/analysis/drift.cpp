#include "store/analysis/drift.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "discovery/discover.h"
#include "discovery/types.h"
#include "store/change/create.h"
#include "store/write/fields.h"
#include "store/read/indexes.h"
#include "store/read/seen.h"
#include "store/read/listing.h"
#include "store/write/write.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <tuple>
#include <vector>

namespace {

struct column_free {
    void operator()(db_column_t* c) const { free_column(c); }
};
struct entry_free {
    void operator()(db_index_t* e) const { free_indexes(e); }
};
typedef std::unique_ptr<db_column_t, column_free> column_ptr;
typedef std::unique_ptr<db_index_t, entry_free> entry_ptr;

void set_problem(drift_problem_t* problem, int code, const char* name, const char* detail)
{
    problem->code = code;
    std::snprintf(problem->name, sizeof problem->name, "%.255s", name ? name : "");
    std::snprintf(problem->detail, sizeof problem->detail, "%.511s", detail ? detail : "");
}

std::string text_field(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    if (bson_iter_init_find(&it, doc, field) && BSON_ITER_HOLDS_UTF8(&it))
        return bson_iter_utf8(&it, nullptr);
    return "";
}

// A table of the schema: its columns by position and its index entries.
struct saved_table_t {
    std::string parent;
    bool is_virtual = false;
    std::vector<column_ptr> columns;
    std::vector<entry_ptr> entries;
};

typedef std::map<std::string, saved_table_t> saved_schema_t;

// Every document of one schema collection of this catalog, in one query.
template <typename Take>
bool read_saved(DBINFO* dbinfo, const char* collection, Take take, drift_problem_t* problem)
{
    if (!dbinfo->md_client) {
        set_problem(problem, DRIFT_SCHEMA_UNREAD, collection, "");
        return false;
    }
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection);
    bson_t* filter = BCON_NEW("sql_catalog", BCON_UTF8(dbinfo->database), "sql_schema", BCON_UTF8(SQL_SCHEMA));
    bson_t* opts = whole_collection_opts();
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, opts, nullptr);
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc))
        take(doc);
    bson_error_t error;
    bool ok = !mongoc_cursor_error(cursor, &error);
    if (!ok)
        set_problem(problem, DRIFT_SCHEMA_UNREAD, collection, error.message);
    mongoc_cursor_destroy(cursor);
    bson_destroy(opts);
    bson_destroy(filter);
    mongoc_collection_destroy(coll);
    return ok;
}

// Columns and index entries of tables no tables document names are left out: the
// driver does not see them either.
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
        t.parent = text_field(doc, "virtual_parent");
    }
    saved_schema_t::iterator table_of(const bson_t* doc)
    {
        const std::string name = text_field(doc, "sql_table");
        auto found = saved->find(name);
        if (found == saved->end() && make_tables) {
            found = saved->emplace(name, saved_table_t()).first;
            found->second.parent = text_field(doc, "virtual_parent");
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

bool read_schema(DBINFO* dbinfo, saved_schema_t* saved, drift_problem_t* problem, drift_doc_fn seen, void* context)
{
    schema_taker_t taker{saved, seen, context};
    auto table_doc = [&](const bson_t* doc) { taker.table(doc); };
    auto column_doc = [&](const bson_t* doc) { taker.column(doc); };
    auto index_doc = [&](const bson_t* doc) { taker.entry(doc); };
    if (!read_saved(dbinfo, collection_name(KIND_TABLES), table_doc, problem))
        return false;
    // The columns as validation has just read them, when it read them whole.
    doc_refs_t cached;
    if (seen_catalog_columns(dbinfo, dbinfo->database, SQL_SCHEMA, &cached)) {
        for (const doc_ref_t& doc : cached)
            column_doc(doc.doc);
    } else if (!read_saved(dbinfo, collection_name(KIND_COLUMNS), column_doc, problem)) {
        return false;
    }
    if (!read_saved(dbinfo, collection_name(KIND_INDEX), index_doc, problem))
        return false;
    sort_columns(saved);
    return true;
}

// What creation would give a table now.
struct expected_t {
    std::vector<const db_column_t*> columns;
    std::vector<column_ptr> owned; // a virtual table's columns
    std::vector<entry_ptr> entries;
};

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

// A virtual table of the schema or one a marked array column gives.
struct virtual_t {
    std::string parent, array, mongo_name;
    const saved_table_t* saved = nullptr;
};

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

// The differences of one table, as they are found.
struct table_diff_t {
    const std::string& table;
    bool is_virtual;
    const std::string& parent;
    std::vector<drift_t*>* out;

    drift_t* add(int kind) const
    {
        drift_t* d = static_cast<drift_t*>(record_alloc(sizeof(drift_t)));
        d->kind = kind;
        d->table = copy_text(table.c_str());
        d->is_virtual = is_virtual;
        d->parent = is_virtual ? copy_text(parent.c_str()) : nullptr;
        out->push_back(d);
        return d;
    }
};

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

// Columns are paired by MongoDB name (the same MongoDB type first), so that names,
// types and visibility changed by hand pair as they are; index entries are compared
// after the data's SQL names have become the paired columns' saved ones.
void compare_table(const table_diff_t& t, const saved_table_t& saved, const expected_t& data, bool all,
                   bool exact = false)
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

// A table creation would write now, with what it would hold.
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

// Table, then kind, then the column or index entry.
bool listed_before(const drift_t* a, const drift_t* b)
{
    auto key = [](const drift_t* d) {
        const drift_entry_t& e = d->in_data ? d->data_entry : d->schema_entry;
        return std::make_tuple(std::string(d->table), d->kind, std::string(d->mongo_name ? d->mongo_name : ""),
                               std::string(e.index_name ? e.index_name : ""), e.position);
    };
    return key(a) < key(b);
}

void free_side(drift_column_t* c, drift_entry_t* e)
{
    std::free(c->sql_name);
    std::free(e->index_name);
    std::free(e->sql_col_name);
}

} // namespace

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

bool diff_schema_seeing(DBINFO* dbinfo, const char* const* tables, size_t count, bool all, drift_t** differences,
                        drift_problem_t* problem, drift_doc_fn seen, void* context)
{
    *differences = nullptr;
    std::memset(problem, 0, sizeof *problem);
    problem->code = 1;
    saved_schema_t saved;
    if (!read_schema(dbinfo, &saved, problem, seen, context))
        return false;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    char** names = dbinfo->db ? list_collection_names(dbinfo, dbinfo->db, &error) : nullptr;
    if (!names) {
        set_problem(problem, DRIFT_NOT_LISTED, dbinfo->database, error.message);
        return false;
    }
    std::vector<std::string> collections;
    for (char** p = names; *p; ++p)
        if (!is_system_collection(*p))
            collections.push_back(*p);
    free_collection_names(dbinfo, names);
    const std::set<std::string> in_data(collections.begin(), collections.end());
    const std::map<std::string, virtual_t> virtuals = virtual_tables(saved);

    std::set<std::string> chosen;
    for (size_t i = 0; i < count; ++i) {
        if (!saved.count(tables[i]) && !in_data.count(tables[i]) && !virtuals.count(tables[i])) {
            set_problem(problem, DRIFT_NO_SUCH_TABLE, tables[i], "");
            return false;
        }
        chosen.insert(tables[i]);
    }
    auto wanted = [&](const std::string& table) { return count == 0 || chosen.count(table) > 0; };
    auto needed = [&](const std::string& collection) {
        if (wanted(collection))
            return true;
        for (const auto& v : virtuals)
            if (v.second.parent == collection && wanted(v.first))
                return true;
        return false;
    };

    std::vector<drift_t*> found;
    const std::string none;
    int total = 0, done = 0;
    for (const std::string& c : collections)
        total += needed(c);
    brolix_progress(0, total, nullptr);
    bool ok = true;
    std::vector<const char*> read;
    for (const std::string& c : collections)
        if (needed(c))
            read.push_back(c.c_str());
    read_collections(dbinfo, read, [&](int i, collection_read_t* r) {
        const std::string c = read[i];
        db_sample_t* sample = r->sample;
        doc_list_t docs;
        ok = drift_take_read(dbinfo, c.c_str(), r, &docs, problem);
        auto table = saved.find(c);
        if (ok && wanted(c)) {
            table_diff_t t{c, false, none, &found};
            expected_t e;
            base_expected(sample, docs, &e);
            if (table == saved.end() || table->second.is_virtual)
                add_new_table(t, e)->columns = sample->count;
            else
                compare_table(t, table->second, e, all);
        }
        for (const auto& v : virtuals) {
            if (!ok || v.second.parent != c || !wanted(v.first))
                continue;
            table_diff_t t{v.first, true, v.second.parent, &found};
            bool array = is_top_array(sample, v.second.mongo_name);
            expected_t e;
            if (array)
                virtual_expected(v.second.array, v.second.mongo_name, sample, &e);
            if (array && v.second.saved) {
                compare_table(t, *v.second.saved, e, all);
            } else if (array != (v.second.saved != nullptr)) {
                drift_t* d = array ? add_new_table(t, e) : t.add(DRIFT_TABLE_GONE);
                d->mongo_name = copy_text(v.second.mongo_name.c_str());
                d->columns = array ? 3 : 0;
            }
        }
        brolix_progress(++done, total, c.c_str());
        return ok;
    });
    for (const auto& t : saved)
        if (ok && !t.second.is_virtual && !in_data.count(t.first) && wanted(t.first))
            table_diff_t{t.first, false, none, &found}.add(DRIFT_TABLE_GONE);
    for (const auto& v : virtuals)
        if (ok && v.second.saved && !in_data.count(v.second.parent) && wanted(v.first))
            table_diff_t{v.first, true, v.second.parent, &found}.add(DRIFT_TABLE_GONE)->mongo_name =
                copy_text(v.second.mongo_name.c_str());

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

namespace {

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
            documented.insert(text_field(d.doc, "sql_table"));
    for (const doc_list_t* side : {docs, other})
        for (int kind = KIND_COLUMNS; kind <= KIND_INDEX; ++kind)
            for (const doc_ref_t& d : side[kind].docs)
                if (!documented.count(text_field(d.doc, "sql_table")))
                    saved[text_field(d.doc, "sql_table")];
    for (const doc_ref_t& d : docs[KIND_COLUMNS].docs)
        taker.column(d.doc);
    for (const doc_ref_t& d : docs[KIND_INDEX].docs)
        taker.entry(d.doc);
    sort_columns(&saved);
    return saved;
}

} // namespace

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
