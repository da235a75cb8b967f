#include "store/analysis/plan.h"

#include "core/dbinfo.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "discovery/types.h"
#include "core/wire.h"
#include "store/write/fields.h"
#include "store/write/journal.h"
#include "store/read/seen.h"
#include "store/write/write.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace {

const char* const plan_format = "brolix-plan-1";

const char* const kind_keys[] = {"",           "table_new",   "table_gone",    "column_new",
                                 "column_gone", "column_type", "column_length", "sql_name",
                                 "sql_type",    "hidden",      "index_new",     "index_gone"};

void set_problem(plan_problem_t* problem, int code, int item, const std::string& detail)
{
    problem->code = code;
    problem->item = item;
    std::snprintf(problem->detail, sizeof problem->detail, "%.511s", detail.c_str());
}

// The documents of the catalog, each as kind and canonical text, in any order.
typedef std::vector<std::string> doc_texts_t;

void note_doc(void* context, int kind, const bson_t* doc)
{
    char* json = bson_as_canonical_extended_json(doc, nullptr);
    static_cast<doc_texts_t*>(context)->push_back(std::to_string(kind) + (json ? json : ""));
    bson_free(json);
}

std::string fingerprint_of(doc_texts_t texts)
{
    std::sort(texts.begin(), texts.end());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const std::string& t : texts) {
        hash.addData(QByteArray::fromRawData(t.data(), static_cast<int>(t.size())));
        hash.addData(QByteArray("\n"));
    }
    return hash.result().toHex().toStdString();
}

int kept_of(const drift_t* d)
{
    if ((d->kind != DRIFT_COLUMN_TYPE && d->kind != DRIFT_COLUMN_LENGTH) || !d->in_schema || !d->in_data)
        return 0;
    const drift_column_t &s = d->schema_column, &n = d->data_column;
    int kept = 0;
    if (std::strcmp(s.sql_name ? s.sql_name : "", n.sql_name ? n.sql_name : "") != 0)
        kept |= PLAN_KEPT_SQL_NAME;
    // A type item takes the data's SQL type: that field is what it is about.
    if (d->kind == DRIFT_COLUMN_LENGTH && s.sql_type != n.sql_type)
        kept |= PLAN_KEPT_SQL_TYPE;
    if (!s.visible)
        kept |= PLAN_KEPT_HIDDEN;
    return kept;
}

void number_items(plan_t* plan)
{
    plan->items.clear();
    int id = 0;
    for (const drift_t* d = plan->changes; d; d = d->next)
        plan->items.push_back({++id, d, kept_of(d)});
}

// ---- the plan file

void append_json(bson_t* list, int i, const drift_t* d, const plan_item_t* item)
{
    bson_t entry;
    const std::string key = std::to_string(i);
    BSON_APPEND_DOCUMENT_BEGIN(list, key.c_str(), &entry);
    if (item)
        BSON_APPEND_INT32(&entry, "id", item->id);
    drift_append_json(&entry, d);
    if (item) {
        bson_t kept;
        BSON_APPEND_ARRAY_BEGIN(&entry, "kept", &kept);
        int k = 0;
        for (const auto& flag : {std::make_pair(PLAN_KEPT_SQL_NAME, "sql_name"), {PLAN_KEPT_SQL_TYPE, "sql_type"},
                                 {PLAN_KEPT_HIDDEN, "hidden"}})
            if (item->kept & flag.first) {
                const std::string at = std::to_string(k++);
                BSON_APPEND_UTF8(&kept, at.c_str(), flag.second);
            }
        bson_append_array_end(&entry, &kept);
    }
    if (d->contents) {
        bson_t contents;
        BSON_APPEND_ARRAY_BEGIN(&entry, "contents", &contents);
        int c = 0;
        for (const drift_t* x = d->contents; x; x = x->next)
            append_json(&contents, c++, x, nullptr);
        bson_append_array_end(&entry, &contents);
    }
    bson_append_document_end(list, &entry);
}

// Reading it back: every member checked, a wrong one named.
struct reader_t {
    std::string problem;

    bool fail(const std::string& why)
    {
        if (problem.empty())
            problem = why;
        return false;
    }
    bool find(const bson_t* doc, const char* field, bson_iter_t* it, bool required = true)
    {
        if (bson_iter_init_find(it, doc, field))
            return true;
        return required ? fail(std::string("\"") + field + "\" missing") : false;
    }
    bool text(const bson_t* doc, const char* field, char** out)
    {
        bson_iter_t it;
        if (!find(doc, field, &it))
            return false;
        if (!BSON_ITER_HOLDS_UTF8(&it))
            return fail(std::string("\"") + field + "\" must be text");
        *out = copy_text(bson_iter_utf8(&it, nullptr));
        return true;
    }
    bool number(const bson_t* doc, const char* field, int64_t* out)
    {
        bson_iter_t it;
        if (!find(doc, field, &it))
            return false;
        if (!BSON_ITER_HOLDS_INT32(&it) && !BSON_ITER_HOLDS_INT64(&it))
            return fail(std::string("\"") + field + "\" must be a whole number");
        *out = bson_iter_as_int64(&it);
        return true;
    }
    bool int32(const bson_t* doc, const char* field, int32_t* out)
    {
        int64_t n = 0;
        if (!number(doc, field, &n))
            return false;
        if (n < INT32_MIN || n > INT32_MAX)
            return fail(std::string("\"") + field + "\" is out of range");
        *out = static_cast<int32_t>(n);
        return true;
    }
    bool flag(const bson_t* doc, const char* field, bool* out)
    {
        bson_iter_t it;
        if (!find(doc, field, &it))
            return false;
        if (!BSON_ITER_HOLDS_BOOL(&it))
            return fail(std::string("\"") + field + "\" must be true or false");
        *out = bson_iter_bool(&it);
        return true;
    }
    bool sub(const bson_t* doc, const char* field, bson_t* out, bool array)
    {
        bson_iter_t it;
        if (!find(doc, field, &it))
            return false;
        if (array ? !BSON_ITER_HOLDS_ARRAY(&it) : !BSON_ITER_HOLDS_DOCUMENT(&it))
            return fail(std::string("\"") + field + (array ? "\" must be an array" : "\" must be an object"));
        const uint8_t* data;
        uint32_t length;
        if (array)
            bson_iter_array(&it, &length, &data);
        else
            bson_iter_document(&it, &length, &data);
        return bson_init_static(out, data, length) || fail(std::string("\"") + field + "\" is damaged");
    }
    bool column(const bson_t* doc, const char* field, drift_column_t* c)
    {
        bson_t side;
        int64_t length = 0;
        if (!sub(doc, field, &side, false) || !text(&side, "sql_name", &c->sql_name) ||
            !int32(&side, "sql_type", &c->sql_type) || !int32(&side, "mongo_type", &c->mongo_type) ||
            !number(&side, "length", &length) || !flag(&side, "visible", &c->visible))
            return false;
        if (length < 0 || length > UINT32_MAX)
            return fail("\"length\" is out of range");
        c->length = static_cast<int32_t>(static_cast<uint32_t>(length));
        return true;
    }
    bool entry(const bson_t* doc, const char* field, drift_entry_t* e)
    {
        bson_t side;
        return sub(doc, field, &side, false) && text(&side, "index_name", &e->index_name) &&
               int32(&side, "position", &e->position) && text(&side, "sql_col_name", &e->sql_col_name) &&
               flag(&side, "primary", &e->primary) && flag(&side, "unique", &e->unique) &&
               flag(&side, "native_id", &e->native_id) && flag(&side, "asc", &e->asc);
    }

    // One difference; with kept (an item), also its id and kept edits.
    drift_t* change(const bson_t* doc, int* id, int* kept)
    {
        drift_t* d = static_cast<drift_t*>(record_alloc(sizeof(drift_t)));
        char* kind = nullptr;
        bool ok = text(doc, "table", &d->table) && text(doc, "kind", &kind) && flag(doc, "virtual", &d->is_virtual);
        for (int k = DRIFT_TABLE_NEW; ok && k <= DRIFT_INDEX_GONE; ++k)
            if (!std::strcmp(kind, kind_keys[k]))
                d->kind = k;
        std::free(kind);
        if (ok && (d->kind == 0 || d->kind == DRIFT_SQL_NAME || d->kind == DRIFT_SQL_TYPE || d->kind == DRIFT_HIDDEN))
            ok = fail("\"kind\" is not a kind of change");
        bson_iter_t it;
        if (ok && d->is_virtual)
            ok = text(doc, "parent", &d->parent);
        const bool is_column = d->kind >= DRIFT_COLUMN_NEW && d->kind <= DRIFT_HIDDEN;
        const char* field = is_column ? "column" : "array";
        if (ok && (is_column || find(doc, field, &it, false)))
            ok = text(doc, field, &d->mongo_name);
        // A table change has no sides: members of those names are left unread.
        const bool sided = is_column || d->kind == DRIFT_INDEX_NEW || d->kind == DRIFT_INDEX_GONE;
        d->in_schema = ok && sided && find(doc, "schema", &it, false);
        d->in_data = ok && sided && find(doc, "data", &it, false);
        if (ok && is_column)
            ok = (!d->in_schema || column(doc, "schema", &d->schema_column)) &&
                 (!d->in_data || column(doc, "data", &d->data_column));
        else if (ok && (d->kind == DRIFT_INDEX_NEW || d->kind == DRIFT_INDEX_GONE))
            ok = (!d->in_schema || entry(doc, "schema", &d->schema_entry)) &&
                 (!d->in_data || entry(doc, "data", &d->data_entry));
        // What applying reads of each kind must be there.
        const bool needs_schema = d->kind == DRIFT_COLUMN_GONE || d->kind == DRIFT_COLUMN_TYPE ||
                                  d->kind == DRIFT_COLUMN_LENGTH || d->kind == DRIFT_INDEX_GONE;
        const bool needs_data = d->kind == DRIFT_COLUMN_NEW || d->kind == DRIFT_COLUMN_TYPE ||
                                d->kind == DRIFT_COLUMN_LENGTH || d->kind == DRIFT_INDEX_NEW;
        if (ok && ((needs_schema && !d->in_schema) || (needs_data && !d->in_data)))
            ok = fail(std::string("\"") + (needs_schema && !d->in_schema ? "schema" : "data") + "\" missing");
        if (ok && id)
            ok = int32(doc, "id", id) && kept_flags(doc, kept);
        // Only a retyped or longer column keeps edits: it has both sides.
        if (ok && id && *kept && (!d->in_schema || !d->in_data ||
                                  (d->kind != DRIFT_COLUMN_TYPE && d->kind != DRIFT_COLUMN_LENGTH)))
            ok = fail("\"kept\" on a change that keeps nothing");
        if (ok && d->kind == DRIFT_TABLE_NEW && d->parent == nullptr && !d->is_virtual)
            ok = int32(doc, "columns", &d->columns);
        if (ok && d->kind == DRIFT_TABLE_NEW && id)
            ok = contents(doc, d);
        if (!ok) {
            free_drift(d);
            return nullptr;
        }
        return d;
    }
    bool kept_flags(const bson_t* doc, int* kept)
    {
        bson_t list;
        bson_iter_t it;
        if (!sub(doc, "kept", &list, true) || !bson_iter_init(&it, &list))
            return false;
        *kept = 0;
        while (bson_iter_next(&it)) {
            const char* word = BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : "";
            int flag = !std::strcmp(word, "sql_name") ? PLAN_KEPT_SQL_NAME
                       : !std::strcmp(word, "sql_type") ? PLAN_KEPT_SQL_TYPE
                       : !std::strcmp(word, "hidden")   ? PLAN_KEPT_HIDDEN
                                                        : 0;
            if (!flag)
                return fail("\"kept\" holds something other than sql_name, sql_type and hidden");
            *kept |= flag;
        }
        return true;
    }
    bool contents(const bson_t* doc, drift_t* table)
    {
        bson_t list;
        bson_iter_t it;
        if (!sub(doc, "contents", &list, true) || !bson_iter_init(&it, &list))
            return false;
        drift_t** tail = &table->contents;
        while (bson_iter_next(&it)) {
            bson_t part;
            const uint8_t* data;
            uint32_t length;
            if (!BSON_ITER_HOLDS_DOCUMENT(&it))
                return fail("\"contents\" must hold objects");
            bson_iter_document(&it, &length, &data);
            if (!bson_init_static(&part, data, length))
                return fail("\"contents\" is damaged");
            drift_t* d = change(&part, nullptr, nullptr);
            if (!d)
                return false;
            if ((d->kind != DRIFT_COLUMN_NEW && d->kind != DRIFT_INDEX_NEW) || std::strcmp(d->table, table->table)) {
                free_drift(d);
                return fail("\"contents\" holds more than the new table's columns and index entries");
            }
            *tail = d;
            tail = &d->next;
        }
        return true;
    }
};

// ---- applying

// One document owned (a unique_ptr of bson_t would drop the type's alignment attribute).
struct doc_ptr {
    bson_t* doc = nullptr;
    doc_ptr() = default;
    explicit doc_ptr(bson_t* d) : doc(d) {}
    doc_ptr(doc_ptr&& other) noexcept : doc(other.doc) { other.doc = nullptr; }
    doc_ptr& operator=(doc_ptr&& other) noexcept
    {
        std::swap(doc, other.doc);
        return *this;
    }
    ~doc_ptr()
    {
        if (doc)
            bson_destroy(doc);
    }
    const bson_t* get() const { return doc; }
    void reset(bson_t* d) { *this = doc_ptr(d); }
};
struct column_free {
    void operator()(db_column_t* c) const { free_column(c); }
};

// One column of a table being changed: its document as read, until an item changes it.
struct column_slot_t {
    doc_ptr doc;
    std::unique_ptr<db_column_t, column_free> column;
    bool changed = false;
};

// A table's documents, as read, then as the chosen items leave them.
struct table_state_t {
    std::vector<doc_ptr> tables, index;
    std::vector<column_slot_t> columns;
    bool touched = false;
};

std::string text_field(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    if (bson_iter_init_find(&it, doc, field) && BSON_ITER_HOLDS_UTF8(&it))
        return bson_iter_utf8(&it, nullptr);
    return "";
}

// Every document of the catalog, one query per collection (the columns as validation has
// just read them, when it read them whole), grouped by table.
bool read_catalog(DBINFO* dbinfo, std::map<std::string, table_state_t>* tables, doc_texts_t* texts,
                  plan_problem_t* problem)
{
    auto take = [&](int kind, const bson_t* doc) {
        note_doc(texts, kind, doc);
        table_state_t& t = (*tables)[text_field(doc, "sql_table")];
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
        doc_refs_t cached;
        if (kind == KIND_COLUMNS && seen_catalog_columns(dbinfo, dbinfo->database, SQL_SCHEMA, &cached)) {
            for (const doc_ref_t& doc : cached)
                take(kind, doc.doc);
            continue;
        }
        mongoc_collection_t* coll =
            mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(kind));
        bson_t* filter = BCON_NEW("sql_catalog", BCON_UTF8(dbinfo->database), "sql_schema", BCON_UTF8(SQL_SCHEMA));
        bson_t* opts = whole_collection_opts();
        mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, opts, nullptr);
        const bson_t* doc;
        while (mongoc_cursor_next(cursor, &doc))
            take(kind, doc);
        bson_error_t error;
        bool ok = !mongoc_cursor_error(cursor, &error);
        if (!ok)
            set_problem(problem, PLAN_READ_FAILED, 0, error.message);
        mongoc_cursor_destroy(cursor);
        bson_destroy(opts);
        bson_destroy(filter);
        mongoc_collection_destroy(coll);
        if (!ok)
            return false;
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

// What one item changes in its table; false when the table does not hold what it names.
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

} // namespace

bool make_plan(DBINFO* dbinfo, const char* const* tables, size_t count, plan_t** plan, drift_problem_t* problem)
{
    *plan = nullptr;
    doc_texts_t texts;
    drift_t* changes = nullptr;
    if (!diff_schema_seeing(dbinfo, tables, count, false, &changes, problem, note_doc, &texts))
        return false;
    plan_t* p = new plan_t;
    p->database = dbinfo->database;
    p->schema = dbinfo->md_database;
    p->fingerprint = fingerprint_of(std::move(texts));
    p->changes = changes;
    number_items(p);
    *plan = p;
    return true;
}

void free_plan(plan_t* plan)
{
    if (!plan)
        return;
    free_drift(plan->changes);
    delete plan;
}

std::string plan_item_text(const plan_item_t& item)
{
    drift_t one = *item.change;
    one.next = nullptr;
    std::string line = drift_text(&one);
    return line.substr(0, line.size() - 1);
}

namespace {

std::string sql_type_word(int32_t code)
{
    for (int i = 0; i < sql_type_name_count; ++i)
        if (sql_type_names[i].code == code)
            return sql_type_names[i].name;
    return std::to_string(code);
}

} // namespace

std::string plan_kept_text(const plan_item_t& item)
{
    const drift_column_t& s = item.change->schema_column;
    std::string text;
    auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
    if (item.kept & PLAN_KEPT_SQL_NAME)
        add(std::string("SQL name ") + (s.sql_name ? s.sql_name : ""));
    if (item.kept & PLAN_KEPT_SQL_TYPE)
        add("SQL type " + sql_type_word(s.sql_type));
    if (item.kept & PLAN_KEPT_HIDDEN)
        add("hidden");
    return text;
}

std::string plan_text(const plan_t* plan)
{
    std::string text;
    for (const plan_item_t& item : plan->items) {
        text += std::to_string(item.id) + " " + plan_item_text(item);
        std::string kept = plan_kept_text(item);
        if (!kept.empty())
            text += " (kept by hand: " + kept + ")";
        text += "\n";
    }
    return text;
}

std::string plan_json(const plan_t* plan)
{
    bson_t doc = BSON_INITIALIZER, list;
    BSON_APPEND_UTF8(&doc, "format", plan_format);
    BSON_APPEND_UTF8(&doc, "database", plan->database.c_str());
    BSON_APPEND_UTF8(&doc, "schema", plan->schema.c_str());
    BSON_APPEND_UTF8(&doc, "fingerprint", plan->fingerprint.c_str());
    BSON_APPEND_ARRAY_BEGIN(&doc, "items", &list);
    int i = 0;
    for (const plan_item_t& item : plan->items)
        append_json(&list, i++, item.change, &item);
    bson_append_array_end(&doc, &list);
    char* json = bson_as_relaxed_extended_json(&doc, nullptr);
    std::string text = json ? json : "{ }";
    bson_free(json);
    bson_destroy(&doc);
    return text + "\n";
}

plan_t* read_plan(const char* text, size_t size, plan_problem_t* problem)
{
    std::memset(problem, 0, sizeof *problem);
    bson_error_t error;
    bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(text), static_cast<ssize_t>(size), &error);
    if (!doc) {
        set_problem(problem, PLAN_UNREADABLE, 0, std::string("not JSON: ") + error.message);
        return nullptr;
    }
    reader_t r;
    char *format = nullptr, *database = nullptr, *schema = nullptr, *fingerprint = nullptr;
    bson_t items;
    bson_iter_t it;
    plan_t* plan = new plan_t;
    bool ok = r.text(doc, "format", &format) &&
              (!std::strcmp(format, plan_format) ||
               r.fail(std::string("\"format\" must be \"") + plan_format + "\"")) &&
              r.text(doc, "database", &database) && r.text(doc, "schema", &schema) &&
              r.text(doc, "fingerprint", &fingerprint) && r.sub(doc, "items", &items, true) &&
              bson_iter_init(&it, &items);
    drift_t** tail = &plan->changes;
    std::set<int> ids;
    int at = 0;
    while (ok && bson_iter_next(&it)) {
        ++at;
        bson_t item;
        const uint8_t* data;
        uint32_t length;
        int id = 0, kept = 0;
        if (!BSON_ITER_HOLDS_DOCUMENT(&it)) {
            ok = r.fail("\"items\" must hold objects");
            break;
        }
        bson_iter_document(&it, &length, &data);
        drift_t* d = bson_init_static(&item, data, length) ? r.change(&item, &id, &kept) : nullptr;
        if (!d) {
            ok = r.fail("damaged");
            break;
        }
        *tail = d;
        tail = &d->next;
        plan->items.push_back({id, d, kept});
        if (!ids.insert(id).second)
            ok = r.fail("\"id\" " + std::to_string(id) + " given twice");
    }
    if (ok) {
        plan->database = database;
        plan->schema = schema;
        plan->fingerprint = fingerprint;
    } else {
        set_problem(problem, PLAN_UNREADABLE, at, r.problem);
        free_plan(plan);
        plan = nullptr;
    }
    std::free(format);
    std::free(database);
    std::free(schema);
    std::free(fingerprint);
    bson_destroy(doc);
    return plan;
}

namespace {
bool apply_held(DBINFO* dbinfo, const plan_t* plan, const std::vector<int>& chosen, plan_problem_t* problem);
}

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

namespace {

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
