// A change: what it replaces and adds, and the stamps of what its caller read.
#include "store/write/journal_parts.h"
#include "store/write/fields.h"

#include <cstring>
#include <ctime>
#include <map>

using namespace journal_internal;

namespace journal_internal {

void text_array(bson_t* parent, const char* key, const std::vector<std::string>& texts)
{
    bson_t list;
    BSON_APPEND_ARRAY_BEGIN(parent, key, &list);
    for (size_t i = 0; i < texts.size(); ++i)
        BSON_APPEND_UTF8(&list, std::to_string(i).c_str(), texts[i].c_str());
    bson_append_array_end(parent, &list);
}

// The one selector of every document of kind the change replaces (one $or), or false when
// it replaces none of that collection.
bool change_filter(const schema_change_t* change, int kind, bson_t* filter)
{
    bson_init(filter);
    if (change->rebuild)
        return true;
    bson_t any;
    int clauses = 0;
    BSON_APPEND_ARRAY_BEGIN(filter, "$or", &any);
    for (const std::string& catalog : change->catalogs) {
        bson_t clause;
        const std::string key = std::to_string(clauses++);
        BSON_APPEND_DOCUMENT_BEGIN(&any, key.c_str(), &clause);
        BSON_APPEND_UTF8(&clause, "sql_catalog", catalog.c_str());
        bson_append_document_end(&any, &clause);
    }
    for (const auto& scope : change->scopes) {
        if (!(std::get<3>(scope.first) & (1 << kind)))
            continue;
        bson_t clause, in;
        const std::string key = std::to_string(clauses++);
        BSON_APPEND_DOCUMENT_BEGIN(&any, key.c_str(), &clause);
        BSON_APPEND_UTF8(&clause, "sql_catalog", std::get<0>(scope.first).c_str());
        BSON_APPEND_UTF8(&clause, "sql_schema", std::get<1>(scope.first).c_str());
        const std::string& field = std::get<2>(scope.first);
        if (field == "virtual_parent")
            BSON_APPEND_BOOL(&clause, "virtual_array", true);
        BSON_APPEND_DOCUMENT_BEGIN(&clause, field.c_str(), &in);
        text_array(&in, "$in", scope.second);
        bson_append_document_end(&clause, &in);
        bson_append_document_end(&any, &clause);
    }
    bson_append_array_end(filter, &any);
    if (!clauses) {
        bson_reinit(filter);
        return false;
    }
    return true;
}

} // namespace journal_internal

namespace {

struct read_note_t {
    table_stamp_t stamp;
    int64_t at;
};

std::map<std::string, read_note_t> reads;

std::string describe_table_change(DBINFO* dbinfo, journal_place_t* place, const expected_t& e)
{
    std::string told;
    bson_t* filter = BCON_NEW("tables", BCON_UTF8(e.table.c_str()));
    bson_t* opts = BCON_NEW("sort", "{", "_id", BCON_INT32(-1), "}", "limit", BCON_INT64(1));
    place_find(dbinfo, place, "versions", filter, opts, [&](const doc_ref_t& doc) {
        version_t v;
        // A version older than the read (clocks of two machines allowed for) is not the change.
        if (!read_version_record(doc.doc, &v) || v.at + 120000 < e.read_at)
            return false;
        std::string when = local_minute(v.at), program = v.program;
        if (program.find(' ') == std::string::npos)
            program += " " + v.action; // "brolix save"; "brolix-cli sync" says it already
        told = "Table '" + e.table + "' was changed by " + program + " on host " + v.host + " at " +
               when.substr(when.size() > 5 ? when.size() - 5 : 0) + " since you opened it.";
        return false;
    }, nullptr);
    bson_destroy(opts);
    bson_destroy(filter);
    return told.empty() ? "Table '" + e.table + "' was changed by another program since you opened it." : told;
}

} // namespace

namespace journal_internal {

// The stamps of what the change is about to replace, against what its caller read.
bool holds_what_was_read(DBINFO* dbinfo, journal_place_t* place, schema_change_t* change, const doc_list_t* before)
{
    std::map<std::string, table_stamp_t> now;
    for (auto& e : change->expected)
        now[e.first];
    for (int kind : {KIND_COLUMNS, KIND_INDEX})
        for (const doc_ref_t& d : before[kind].docs) {
            auto found = now.find(table_key(schema_text(d.doc, "sql_catalog"), schema_text(d.doc, "sql_schema"),
                                            schema_text(d.doc, "sql_table")));
            if (found != now.end())
                stamp_add(&found->second, kind, d.doc);
        }
    for (auto& e : change->expected) {
        const table_stamp_t& was = e.second.stamp;
        const table_stamp_t& is = now[e.first];
        // Only the collections in which the change replaces this table's own documents.
        int mask = change->rebuild ? CHANGE_MASK_ALL : 0;
        for (const auto& scope : change->scopes)
            if (std::get<2>(scope.first) == "sql_table" &&
                table_key(std::get<0>(scope.first), std::get<1>(scope.first), e.second.table) == e.first)
                for (const std::string& name : scope.second)
                    if (name == e.second.table)
                        mask |= std::get<3>(scope.first);
        for (const std::string& catalog : change->catalogs)
            if (e.first.compare(0, catalog.size() + 1, catalog + '\x1f') == 0)
                mask = CHANGE_MASK_ALL;
        bool columns_differ = was.has_columns && (mask & CHANGE_MASK_COLUMNS) && was.columns != is.columns;
        bool index_differs = was.has_index && (mask & CHANGE_MASK_INDEX) && was.index != is.index;
        if (columns_differ || index_differs) {
            change->told = describe_table_change(dbinfo, place, e.second);
            return false;
        }
    }
    return true;
}

} // namespace journal_internal

schema_change_t* schema_change_new(const char* action, const char* label)
{
    schema_change_t* change = new schema_change_t;
    change->action = action ? action : "change";
    change->label = label ? label : "";
    return change;
}

void schema_change_free(schema_change_t* change)
{
    delete change;
}

void schema_change_replace_table(schema_change_t* change, const char* catalog, const char* schema,
                                 const char* table, int mask)
{
    change->scopes[scope_key_t(catalog ? catalog : "", schema ? schema : "", "sql_table", mask & CHANGE_MASK_ALL)]
        .push_back(table ? table : "");
}

void schema_change_replace_virtual(schema_change_t* change, const char* catalog, const char* schema,
                                   const char* parent)
{
    change->scopes[scope_key_t(catalog ? catalog : "", schema ? schema : "", "virtual_parent", CHANGE_MASK_ALL)]
        .push_back(parent ? parent : "");
}

void schema_change_replace_catalog(schema_change_t* change, const char* catalog)
{
    change->catalogs.push_back(catalog ? catalog : "");
}

void schema_change_replace_all(schema_change_t* change)
{
    change->rebuild = true;
}

void schema_change_replace_scope(schema_change_t* change, const bson_t* scope)
{
    bson_iter_t it, list, entry;
    if (bson_iter_init_find(&it, scope, "rebuild") && BSON_ITER_HOLDS_BOOL(&it) && bson_iter_bool(&it))
        change->rebuild = true;
    if (bson_iter_init_find(&it, scope, "catalogs") && bson_iter_recurse(&it, &list))
        while (bson_iter_next(&list))
            if (BSON_ITER_HOLDS_UTF8(&list))
                change->catalogs.push_back(bson_iter_utf8(&list, nullptr));
    if (!bson_iter_init_find(&it, scope, "tables") || !bson_iter_recurse(&it, &list))
        return;
    while (bson_iter_next(&list)) {
        const uint8_t* data;
        uint32_t length;
        bson_t one;
        if (!BSON_ITER_HOLDS_DOCUMENT(&list))
            continue;
        bson_iter_document(&list, &length, &data);
        if (!bson_init_static(&one, data, length))
            continue;
        int mask = bson_iter_init_find(&entry, &one, "mask") && BSON_ITER_HOLDS_INT32(&entry) ? bson_iter_int32(&entry)
                                                                                               : 0;
        std::vector<std::string>& names =
            change->scopes[scope_key_t(schema_text(&one, "catalog"), schema_text(&one, "schema"), schema_text(&one, "field"),
                                       mask & CHANGE_MASK_ALL)];
        bson_iter_t name;
        if (bson_iter_init_find(&entry, &one, "names") && bson_iter_recurse(&entry, &name))
            while (bson_iter_next(&name))
                if (BSON_ITER_HOLDS_UTF8(&name))
                    names.push_back(bson_iter_utf8(&name, nullptr));
    }
}

bool schema_change_read_replaced(DBINFO* dbinfo, const schema_change_t* change, doc_list_t* out, bson_error_t* error)
{
    bool ok = true;
    for (int kind = KIND_TABLES; kind <= KIND_INDEX && ok; ++kind) {
        bson_t filter;
        if (change_filter(change, kind, &filter))
            ok = read_selected(dbinfo, kind, &filter, &out[kind], error);
        bson_destroy(&filter);
    }
    return ok;
}

void schema_change_add(schema_change_t* change, int kind, const bson_t* doc)
{
    if (kind >= KIND_TABLES && kind <= KIND_INDEX && doc)
        bson_concat(change->docs[kind].add(), doc);
}

size_t schema_change_count(const schema_change_t* change, int kind)
{
    return kind >= KIND_TABLES && kind <= KIND_INDEX ? change->docs[kind].docs.size() : 0;
}

const bson_t* schema_change_doc(const schema_change_t* change, int kind, size_t position)
{
    return change->docs[kind].docs[position].doc;
}

void stamp_add(table_stamp_t* stamp, int kind, const bson_t* doc)
{
    if (kind == KIND_COLUMNS)
        stamp->columns += document_digest(doc), stamp->has_columns = true;
    else if (kind == KIND_INDEX)
        stamp->index += document_digest(doc), stamp->has_index = true;
}

void note_table_read(const char* catalog, const char* schema, const char* table, const table_stamp_t& stamp)
{
    reads[table_key(catalog ? catalog : "", schema ? schema : "", table ? table : "")] = {
        stamp, static_cast<int64_t>(std::time(nullptr)) * 1000};
}

bool table_read_stamp(const char* catalog, const char* schema, const char* table, table_stamp_t* stamp,
                      int64_t* read_at)
{
    auto found = reads.find(table_key(catalog ? catalog : "", schema ? schema : "", table ? table : ""));
    if (found == reads.end())
        return false;
    *stamp = found->second.stamp;
    *read_at = found->second.at;
    return true;
}

void schema_change_expect(schema_change_t* change, const char* catalog, const char* schema, const char* table,
                          const table_stamp_t& stamp, int64_t read_at)
{
    change->expected[table_key(catalog ? catalog : "", schema ? schema : "", table ? table : "")] = {
        stamp, read_at, table ? table : ""};
}

const std::string& schema_change_told(const schema_change_t* change)
{
    return change->told;
}

int64_t schema_change_version(const schema_change_t* change)
{
    return change->version;
}
