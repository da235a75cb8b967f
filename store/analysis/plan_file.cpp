// The plan file: written as JSON, read back checked whole.
#include "store/analysis/plan_parts.h"

#include <cstdlib>
#include <cstring>
#include <set>

using namespace plan_internal;

namespace {

const char* const plan_format = "brolix-plan-1";

const char* const kind_keys[] = {"",           "table_new",   "table_gone",    "column_new",
                                 "column_gone", "column_type", "column_length", "sql_name",
                                 "sql_type",    "hidden",      "index_new",     "index_gone"};

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

} // namespace

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
