// Applying a plan: the chosen items on the documents read, written as one change.
#include "store/analysis/plan_parts.h"

#include "core/dbinfo.h"
#include "core/wire.h"
#include "store/read/read.h"
#include "store/read/seen.h"
#include "store/write/fields.h"
#include "store/write/journal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

using namespace plan_internal;

namespace {

// Every document of the catalog, one query per collection (the columns as validation has
// just read them, when it read them whole), grouped by table.
bool read_catalog(DBINFO* dbinfo, std::map<std::string, table_state_t>* tables, doc_texts_t* texts,
                  plan_problem_t* problem)
{
    auto take = [&](int kind, const bson_t* doc) {
        note_doc(texts, kind, doc);
        table_state_t& t = (*tables)[schema_text(doc, "sql_table")];
        if (kind == KIND_TABLES) {
            t.tables.emplace_back(bson_copy(doc));
        } else if (kind == KIND_INDEX) {
            t.index.emplace_back(bson_copy(doc));
        } else {
            column_slot_t slot;
            slot.doc.reset(bson_copy(doc));
            slot.column.reset(new_column());
            read_column_document(doc, slot.column.get());
            t.columns.push_back(std::move(slot));
        }
    };
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind) {
        bson_error_t error;
        if (!each_catalog_document(dbinfo, kind, nullptr, [&](const doc_ref_t& d) { take(kind, d.doc); }, &error)) {
            set_problem(problem, PLAN_READ_FAILED, 0, error.message);
            return false;
        }
    }
    return true;
}

void begin_fields(bson_t* doc, DBINFO* dbinfo, const char* table)
{
    BSON_APPEND_UTF8(doc, "sql_catalog", dbinfo->database);
    BSON_APPEND_UTF8(doc, "sql_schema", SQL_SCHEMA);
    BSON_APPEND_UTF8(doc, "sql_table", table);
}

void end_virtual(bson_t* doc, const drift_t* d)
{
    if (!d->is_virtual)
        return;
    BSON_APPEND_BOOL(doc, "virtual_array", true);
    BSON_APPEND_UTF8(doc, "virtual_parent", d->parent ? d->parent : "");
}

bson_t* entry_doc(DBINFO* dbinfo, const drift_t* d)
{
    const drift_entry_t& e = d->data_entry;
    bson_t* doc = bson_new();
    begin_fields(doc, dbinfo, d->table);
    BSON_APPEND_UTF8(doc, "sql_col_name", e.sql_col_name);
    BSON_APPEND_INT32(doc, "index", e.position);
    BSON_APPEND_BOOL(doc, "primary", e.primary);
    BSON_APPEND_UTF8(doc, "index_name", e.index_name);
    BSON_APPEND_BOOL(doc, "unique", e.unique);
    BSON_APPEND_BOOL(doc, "native_id", e.native_id);
    BSON_APPEND_BOOL(doc, "asc", e.asc);
    end_virtual(doc, d);
    return doc;
}

column_slot_t new_slot(const drift_t* d, int32_t position)
{
    column_slot_t slot;
    slot.column.reset(new_column());
    db_column_t* c = slot.column.get();
    c->index = position;
    c->sql_name = copy_text(d->data_column.sql_name);
    c->mongo_name = copy_text(d->mongo_name ? d->mongo_name : "");
    c->sql_type = d->data_column.sql_type;
    c->mongo_type = d->data_column.mongo_type;
    c->length = d->data_column.length;
    c->visible = true;
    if (d->is_virtual) {
        c->virtual_array = true;
        c->virtual_parent = copy_text(d->parent ? d->parent : "");
    }
    slot.changed = true;
    return slot;
}

column_slot_t* column_named(table_state_t& t, const char* sql_name)
{
    for (column_slot_t& s : t.columns)
        if (s.column->sql_name && sql_name && !std::strcmp(s.column->sql_name, sql_name))
            return &s;
    return nullptr;
}

bool same_entry(const bson_t* doc, const drift_entry_t& e)
{
    db_index_t entry;
    std::memset(&entry, 0, sizeof entry);
    read_index_document(doc, &entry);
    bool same = entry.index == e.position && entry.sql_col_name && entry.index_name &&
                !std::strcmp(entry.sql_col_name, e.sql_col_name) && !std::strcmp(entry.index_name, e.index_name);
    std::free(entry.sql_col_name);
    std::free(entry.index_name);
    return same;
}

} // namespace

namespace plan_internal {

bool apply_item(DBINFO* dbinfo, const drift_t* d, table_state_t& t)
{
    t.touched = true;
    int32_t last = 0;
    for (const column_slot_t& s : t.columns)
        last = std::max(last, s.column->index);
    switch (d->kind) {
    case DRIFT_TABLE_NEW: {
        if (!t.tables.empty() || !t.columns.empty())
            return false;
        bson_t* doc = bson_new();
        begin_fields(doc, dbinfo, d->table);
        BSON_APPEND_UTF8(doc, "mongo_name", d->is_virtual && d->parent ? d->parent : d->table);
        BSON_APPEND_UTF8(doc, "mongo_database", dbinfo->database);
        BSON_APPEND_UTF8(doc, "type", "TABLE");
        end_virtual(doc, d);
        t.tables.emplace_back(doc);
        t.index.clear(); // entries no table named
        int32_t position = 0;
        for (const drift_t* x = d->contents; x; x = x->next)
            if (x->kind == DRIFT_COLUMN_NEW)
                t.columns.push_back(new_slot(x, ++position));
            else
                t.index.emplace_back(entry_doc(dbinfo, x));
        return true;
    }
    case DRIFT_TABLE_GONE:
        t.tables.clear();
        t.columns.clear();
        t.index.clear();
        return true;
    case DRIFT_COLUMN_NEW:
        if (column_named(t, d->data_column.sql_name))
            return false;
        t.columns.push_back(new_slot(d, last + 1));
        return true;
    case DRIFT_COLUMN_GONE:
    case DRIFT_COLUMN_TYPE:
    case DRIFT_COLUMN_LENGTH: {
        column_slot_t* s = column_named(t, d->schema_column.sql_name);
        if (!s)
            return false;
        if (d->kind == DRIFT_COLUMN_GONE) {
            t.columns.erase(t.columns.begin() + (s - t.columns.data()));
        } else if (d->kind == DRIFT_COLUMN_TYPE) {
            s->column->mongo_type = d->data_column.mongo_type;
            s->column->sql_type = d->data_column.sql_type;
            s->changed = true;
        } else {
            s->column->length = d->data_column.length;
            s->changed = true;
        }
        return true;
    }
    case DRIFT_INDEX_NEW:
        for (const doc_ptr& e : t.index)
            if (same_entry(e.get(), d->data_entry))
                return false;
        t.index.emplace_back(entry_doc(dbinfo, d));
        return true;
    case DRIFT_INDEX_GONE:
        for (auto e = t.index.begin(); e != t.index.end(); ++e)
            if (same_entry(e->get(), d->schema_entry)) {
                t.index.erase(e);
                return true;
            }
        return false;
    }
    return false;
}

} // namespace plan_internal

namespace {

// A changed column's document as saving writes it; a virtual table's with its marks.
bson_t* column_doc(DBINFO* dbinfo, const char* table, const db_column_t* c)
{
    bson_t* doc = bson_new();
    append_column_fields(doc, dbinfo->database, SQL_SCHEMA, table, c->index, c);
    BSON_APPEND_BOOL(doc, "visible", c->visible);
    if (c->virtual_array)
        BSON_APPEND_BOOL(doc, "virtual_array", true);
    if (c->virtual_parent)
        BSON_APPEND_UTF8(doc, "virtual_parent", c->virtual_parent);
    return doc;
}

// The full set of documents one table holds after the change.
struct table_after_t {
    std::string table;
    doc_list_t tables, columns, index;
};

void copy_into(doc_list_t* list, const bson_t* doc)
{
    bson_t* to = list->add();
    bson_copy_to_excluding_noinit(doc, to, "_id", nullptr);
}

// The one write of a plan, through the journal: each table touched replaced whole, all
// tables or none. False with the journal's outcome in *code.
bool write_tables(DBINFO* dbinfo, const std::vector<std::unique_ptr<table_after_t>>& after, int* code,
                  bson_error_t* error)
{
    schema_change_t* change = schema_change_new("application of a plan", dbinfo->database);
    for (const auto& t : after)
        schema_change_replace_table(change, dbinfo->database, SQL_SCHEMA, t->table.c_str(), CHANGE_MASK_ALL);
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        for (const auto& t : after)
            for (const doc_ref_t& d : (kind == KIND_TABLES ? t->tables : kind == KIND_COLUMNS ? t->columns
                                                                                              : t->index).docs)
                schema_change_add(change, kind, d.doc);
    *code = CHANGE_CANCELLED;
    bool ok = !wire_cancelled() && schema_change_apply(dbinfo, change, code, error);
    if (!ok && !schema_change_told(change).empty())
        bson_strncpy(error->message, schema_change_told(change).c_str(), sizeof error->message);
    schema_change_free(change);
    return ok;
}

bool apply_held(DBINFO* dbinfo, const plan_t* plan, const std::vector<int>& chosen, plan_problem_t* problem)
{
    std::map<std::string, table_state_t> tables;
    doc_texts_t texts;
    if (!read_catalog(dbinfo, &tables, &texts, problem))
        return false;
    if (fingerprint_of(std::move(texts)) != plan->fingerprint) {
        set_problem(problem, PLAN_STALE, 0, "");
        return false;
    }
    for (const plan_item_t& item : plan->items)
        if (std::find(chosen.begin(), chosen.end(), item.id) != chosen.end() &&
            !apply_item(dbinfo, item.change, tables[item.change->table])) {
            set_problem(problem, PLAN_DOES_NOT_FIT, item.id, "");
            return false;
        }

    std::vector<std::unique_ptr<table_after_t>> after;
    for (auto& t : tables) {
        if (!t.second.touched)
            continue;
        std::unique_ptr<table_after_t> a(new table_after_t);
        a->table = t.first;
        for (const doc_ptr& doc : t.second.tables)
            copy_into(&a->tables, doc.get());
        for (const column_slot_t& s : t.second.columns)
            if (s.changed)
                a->columns.docs.push_back({column_doc(dbinfo, t.first.c_str(), s.column.get())});
            else
                copy_into(&a->columns, s.doc.get());
        for (const doc_ptr& doc : t.second.index)
            copy_into(&a->index, doc.get());
        after.push_back(std::move(a));
    }
    if (after.empty())
        return true;
    seen_columns_forget();
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    int code = 0;
    if (!write_tables(dbinfo, after, &code, &error)) {
        set_problem(problem, code == CHANGE_PENDING ? PLAN_WRITE_PENDING : PLAN_WRITE_FAILED, 0, error.message);
        return false;
    }
    return true;
}

} // namespace

bool apply_plan(DBINFO* dbinfo, const plan_t* plan, const std::vector<int>& chosen, plan_problem_t* problem)
{
    std::memset(problem, 0, sizeof *problem);
    if (plan->database != dbinfo->database) {
        set_problem(problem, PLAN_OTHER_DATABASE, 0, plan->database);
        return false;
    }
    std::map<int, const plan_item_t*> by_id;
    for (const plan_item_t& item : plan->items)
        by_id[item.id] = &item;
    for (int id : chosen)
        if (!by_id.count(id)) {
            set_problem(problem, PLAN_NO_SUCH_ITEM, id, "");
            return false;
        }
    if (!dbinfo->md_client) {
        set_problem(problem, PLAN_READ_FAILED, 0, "");
        return false;
    }
    // The schema held from before it is read until the plan is written.
    std::string told;
    if (schema_write_begin(dbinfo, "application of a plan", dbinfo->database, &told) != CHANGE_APPLIED) {
        set_problem(problem, PLAN_WRITE_FAILED, 0, told);
        return false;
    }
    bool applied = apply_held(dbinfo, plan, chosen, problem);
    schema_write_end(dbinfo);
    return applied;
}
