#include "store/write/journal.h"

#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "core/wire.h"
#include "store/write/collections.h"
#include "store/write/fields.h"
#include "store/write/lock.h"
#include "store/write/place.h"
#include "store/write/write.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

const char* const header_id = "header";
// The newest version this process knows the schema to be at, by place (-1: not known).
std::map<const journal_place_t*, int64_t> seen_versions;
// Versions kept: the newest this many; older ones go fifty at a time.
const int64_t versions_kept = 1000;

// Tables of one catalog and schema selected by one field, for the collections of mask.
typedef std::tuple<std::string, std::string, std::string, int> scope_key_t; // catalog, schema, field, mask

std::string table_key(const std::string& catalog, const std::string& schema, const std::string& table)
{
    return catalog + '\x1f' + schema + '\x1f' + table;
}

struct expected_t {
    table_stamp_t stamp;
    int64_t read_at;
    std::string table;
};

} // namespace

struct schema_change_t {
    std::string action, label;
    bool rebuild = false;
    std::map<scope_key_t, std::vector<std::string>> scopes;
    std::vector<std::string> catalogs;
    doc_list_t docs[KIND_SLOTS];
    std::map<std::string, expected_t> expected; // by table_key
    std::string told;
    int64_t version = 0;
};

namespace {

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

mongoc_collection_t* schema_coll(DBINFO* dbinfo, int kind)
{
    return mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(kind));
}

void keep_first(bson_error_t* first, const bson_error_t* error)
{
    if (first && !first->domain && error)
        *first = *error;
}

std::string text_of(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    return bson_iter_init_find(&it, doc, field) && BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : "";
}

// Every document of a collection the filter selects, as it is (with its _id).
bool read_selected(DBINFO* dbinfo, int kind, const bson_t* filter, doc_list_t* into, bson_error_t* error)
{
    mongoc_collection_t* coll = schema_coll(dbinfo, kind);
    bson_t* opts = whole_collection_opts();
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, opts, nullptr);
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc))
        bson_concat(into->add(), doc);
    bson_error_t failed;
    bool ok = !mongoc_cursor_error(cursor, &failed);
    if (!ok)
        keep_first(error, &failed);
    mongoc_cursor_destroy(cursor);
    bson_destroy(opts);
    mongoc_collection_destroy(coll);
    return ok;
}

// One run of writes to the schema: before each request it makes sure the work was not
// cancelled and the lock is still this program's, and it remembers whether anything may
// have been written (a request refused as a whole by the server wrote nothing).
struct writer_t {
    DBINFO* dbinfo;
    bool stoppable = true;        // Cancel stops it (a change), or not (putting back)
    const bson_t* opts = nullptr; // a transaction's session, or null
    bool changed = false, cancelled = false, fenced = false, unconfirmed = false;
    std::string refused;          // the document the server refused, named

    writer_t(DBINFO* d, bool may_stop = true) : dbinfo(d), stoppable(may_stop) {}

    bool step()
    {
        if (stoppable && wire_cancelled())
            cancelled = true;
        else if (!lock_confirm(dbinfo))
            (lock_lost() ? fenced : unconfirmed) = true;
        return !cancelled && !fenced && !unconfirmed;
    }
    void after(bool ok, const bson_error_t* error)
    {
        if (ok || !server_refused(error))
            changed = true;
    }
};

struct refusal_t {
    writer_t* writer;
    const doc_list_t* docs;
    int kind;
    bson_error_t first;
};

void note_refusal(void* context, size_t position, const bson_error_t* error)
{
    refusal_t* r = static_cast<refusal_t*>(context);
    keep_first(&r->first, error);
    if (!r->writer->refused.empty() || !server_refused(error))
        return;
    const bson_t* doc = r->docs->docs[position].doc;
    std::string table = text_of(doc, "sql_table"), name = text_of(doc, r->kind == KIND_INDEX ? "index_name"
                                                                                              : "sql_name");
    r->writer->refused = std::string("the ") + collection_name(r->kind) + " document of '" + table + "'" +
                         (r->kind == KIND_TABLES || name.empty() ? "" : " ('" + name + "')") + ": " +
                         error->message;
}

bool insert_all(writer_t* w, int kind, const doc_list_t& docs, bson_error_t* error)
{
    if (docs.docs.empty())
        return true;
    if (!w->step())
        return false;
    mongoc_collection_t* coll = schema_coll(w->dbinfo, kind);
    refusal_t refusal{w, &docs, kind, {}};
    std::memset(&refusal.first, 0, sizeof refusal.first);
    write_result_t result = insert_in_order(coll, docs.docs, note_refusal, &refusal, w->opts);
    mongoc_collection_destroy(coll);
    keep_first(error, &refusal.first);
    if (result.written > 0 || result.failed)
        w->changed = true;
    return !refusal.first.domain && !result.failed && result.written == docs.docs.size();
}

bool remove_selected(writer_t* w, int kind, const bson_t* filter, bson_error_t* error)
{
    if (!w->step())
        return false;
    mongoc_collection_t* coll = schema_coll(w->dbinfo, kind);
    bson_error_t failed;
    std::memset(&failed, 0, sizeof failed);
    bool ok = mongoc_collection_delete_many(coll, filter, w->opts, nullptr, &failed);
    w->after(ok, &failed);
    if (!ok)
        keep_first(error, &failed);
    mongoc_collection_destroy(coll);
    return ok;
}

// The schema database emptied and made again with its collections and their indexes. A
// user who may not drop it (roles on its collections only) empties its collections.
bool remake_database(writer_t* w, int* code, bool tell, bool may_empty, bson_error_t* error)
{
    if (!w->step())
        return false;
    bson_error_t failed;
    std::memset(&failed, 0, sizeof failed);
    DBINFO* dbinfo = w->dbinfo;
    bool dropped = mongoc_database_drop(dbinfo->md_db, &failed) ||
                   (server_refused(&failed) && failed.code == 26); // NamespaceNotFound: nothing to drop
    if (!dropped && may_empty && refused_privilege(&failed)) {
        for (int kind = KIND_INDEX; kind >= KIND_TABLES; --kind) {
            bson_t all = BSON_INITIALIZER;
            if (!remove_selected(w, kind, &all, error))
                return false;
        }
        return true;
    }
    w->after(dropped, &failed);
    if (!dropped) {
        keep_first(error, &failed);
        *code = CREATE_DROP_FAILED;
        return false;
    }
    if (!w->step())
        return false;
    if (!make_schema_collections(dbinfo, code, tell)) {
        bson_set_error(&failed, MONGOC_ERROR_COLLECTION, 0, "the schema collections could not be made");
        keep_first(error, &failed);
        return false;
    }
    return true;
}

// Replaces what the filters select with docs (written columns, index, tables). code gets
// the outcome of a failed remake, whose line is printed when tell is set.
bool write_over(writer_t* w, bool rebuild, const bson_t* filters, const bool* selects, const doc_list_t* docs,
                bool tell, int* code, bson_error_t* error)
{
    if (rebuild) {
        if (!remake_database(w, code, tell, !tell, error))
            return false;
    } else {
        for (int kind = KIND_INDEX; kind >= KIND_TABLES; --kind)
            if (selects[kind] && !remove_selected(w, kind, &filters[kind], error))
                return false;
    }
    for (int kind : {KIND_COLUMNS, KIND_INDEX, KIND_TABLES})
        if (!insert_all(w, kind, docs[kind], error))
            return false;
    return true;
}

// A session in a transaction when the schema server offers them (a replica set's primary,
// a router): the driver then never reads a change half-written, and a program killed
// half-way leaves the server a transaction it aborts. None otherwise.
mongoc_client_session_t* start_transaction(DBINFO* dbinfo)
{
    bson_error_t error;
    mongoc_server_description_t* server = mongoc_client_select_server(dbinfo->md_client, true, nullptr, &error);
    if (!server)
        return nullptr;
    const char* type = mongoc_server_description_type(server);
    const bson_t* hello = mongoc_server_description_hello_response(server);
    bson_iter_t it;
    int32_t wire =
        bson_iter_init_find(&it, hello, "maxWireVersion") && BSON_ITER_HOLDS_INT32(&it) ? bson_iter_int32(&it) : 0;
    bool sessions = bson_iter_init_find(&it, hello, "logicalSessionTimeoutMinutes") && !BSON_ITER_HOLDS_NULL(&it);
    bool offers = sessions && ((std::strcmp(type, "RSPrimary") == 0 && wire >= 7) ||
                               (std::strcmp(type, "Mongos") == 0 && wire >= 8));
    mongoc_server_description_destroy(server);
    if (!offers)
        return nullptr;
    mongoc_client_session_t* session = mongoc_client_start_session(dbinfo->md_client, nullptr, &error);
    if (session && !mongoc_client_session_start_transaction(session, nullptr, &error)) {
        mongoc_client_session_destroy(session);
        session = nullptr;
    }
    return session;
}

// Writes the change, in a transaction where the server offers one, committed once every
// write went through and aborted otherwise (the undo then puts back what was there).
bool write_change(writer_t* w, const schema_change_t* change, const bson_t* filters, const bool* selects, int* code,
                  bson_error_t* error)
{
    DBINFO* dbinfo = w->dbinfo;
    mongoc_client_session_t* session = change->rebuild ? nullptr : start_transaction(dbinfo);
    bson_t opts = BSON_INITIALIZER;
    bson_error_t failed;
    bool ok = !session || mongoc_client_session_append(session, &opts, &failed);
    if (!ok)
        keep_first(error, &failed);
    w->opts = session ? &opts : nullptr;
    ok = ok && write_over(w, change->rebuild, filters, selects, change->docs, true, code, error);
    w->opts = nullptr;
    bson_destroy(&opts);
    if (session) {
        if (ok && !mongoc_client_session_commit_transaction(session, nullptr, &failed)) {
            keep_first(error, &failed);
            ok = false;
        }
        if (!ok && mongoc_client_session_in_transaction(session))
            mongoc_client_session_abort_transaction(session, nullptr);
        mongoc_client_session_destroy(session);
    }
    return ok;
}

// A journal as its header keeps it.
struct header_t {
    bool found = false, damaged = false, undone = false, aside = false, rebuild = false;
    bson_oid_t journal;
    int64_t version = 0, started = 0;
    std::string action = "change", label;
    bson_t filters[KIND_SLOTS];
    bool selects[KIND_SLOTS] = {};
    header_t()
    {
        for (bson_t& f : filters)
            bson_init(&f);
    }
    ~header_t()
    {
        for (bson_t& f : filters)
            bson_destroy(&f);
    }
    header_t(const header_t&) = delete;
    header_t& operator=(const header_t&) = delete;
};

void read_header_fields(const bson_t* doc, header_t* h)
{
    bson_iter_t it;
    bool has_id = false;
    h->found = true;
    if (bson_iter_init(&it, doc))
        while (bson_iter_next(&it)) {
            const char* key = bson_iter_key(&it);
            if (!std::strcmp(key, "action") && BSON_ITER_HOLDS_UTF8(&it))
                h->action = bson_iter_utf8(&it, nullptr);
            else if (!std::strcmp(key, "label") && BSON_ITER_HOLDS_UTF8(&it))
                h->label = bson_iter_utf8(&it, nullptr);
            else if (!std::strcmp(key, "rebuild") && BSON_ITER_HOLDS_BOOL(&it))
                h->rebuild = bson_iter_bool(&it);
            else if (!std::strcmp(key, "undone") && BSON_ITER_HOLDS_BOOL(&it))
                h->undone = bson_iter_bool(&it);
            else if (!std::strcmp(key, "aside") && BSON_ITER_HOLDS_BOOL(&it))
                h->aside = bson_iter_bool(&it);
            else if (!std::strcmp(key, "version") && BSON_ITER_HOLDS_NUMBER(&it))
                h->version = bson_iter_as_int64(&it);
            else if (!std::strcmp(key, "started") && BSON_ITER_HOLDS_DATE_TIME(&it))
                h->started = bson_iter_date_time(&it);
            else if (!std::strcmp(key, "journal") && BSON_ITER_HOLDS_OID(&it))
                bson_oid_copy(bson_iter_oid(&it), &h->journal), has_id = true;
            else if (!std::strcmp(key, "filters") && BSON_ITER_HOLDS_DOCUMENT(&it)) {
                bson_iter_t f;
                bson_iter_recurse(&it, &f);
                while (bson_iter_next(&f))
                    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
                        if (!std::strcmp(bson_iter_key(&f), collection_name(kind)) && BSON_ITER_HOLDS_BINARY(&f)) {
                            uint32_t length = 0;
                            const uint8_t* data = nullptr;
                            bson_iter_binary(&f, nullptr, &length, &data);
                            bson_t stored;
                            if (bson_init_static(&stored, data, length)) {
                                bson_destroy(&h->filters[kind]);
                                bson_copy_to(&stored, &h->filters[kind]);
                                h->selects[kind] = true;
                            }
                        }
            }
        }
    h->damaged = !has_id || h->version <= 0;
}

bool read_header(DBINFO* dbinfo, journal_place_t* place, header_t* h, bson_error_t* error)
{
    bson_t* filter = BCON_NEW("_id", BCON_UTF8(header_id));
    bool ok = place_find(dbinfo, place, "journal", filter, nullptr, [&](const doc_ref_t& doc_ref) {
        const bson_t* doc = doc_ref.doc;
        read_header_fields(doc, h);
        return false;
    }, error);
    bson_destroy(filter);
    return ok;
}

// The digest of one document without its _id.
uint64_t document_digest(const bson_t* doc)
{
    bson_t copy = BSON_INITIALIZER;
    bson_copy_to_excluding_noinit(doc, &copy, "_id", nullptr);
    uint64_t hash = 1469598103934665603ull;
    const uint8_t* data = bson_get_data(&copy);
    for (uint32_t i = 0; i < copy.len; ++i)
        hash = (hash ^ data[i]) * 1099511628211ull;
    bson_destroy(&copy);
    // Mixed, so that a sum of digests does not depend on the documents' order.
    hash += 0x9e3779b97f4a7c15ull;
    hash = (hash ^ (hash >> 30)) * 0xbf58476d1ce4e5b9ull;
    hash = (hash ^ (hash >> 27)) * 0x94d049bb133111ebull;
    return hash ^ (hash >> 31);
}

// What the change replaces, as it was given, so that a revert replaces the same.
void append_scope(bson_t* doc, const schema_change_t* change)
{
    bson_t scope, list;
    BSON_APPEND_DOCUMENT_BEGIN(doc, "scope", &scope);
    BSON_APPEND_BOOL(&scope, "rebuild", change->rebuild);
    text_array(&scope, "catalogs", change->catalogs);
    BSON_APPEND_ARRAY_BEGIN(&scope, "tables", &list);
    int i = 0;
    for (const auto& entry : change->scopes) {
        bson_t one;
        const std::string key = std::to_string(i++); // the macro reads its key twice
        BSON_APPEND_DOCUMENT_BEGIN(&list, key.c_str(), &one);
        BSON_APPEND_UTF8(&one, "catalog", std::get<0>(entry.first).c_str());
        BSON_APPEND_UTF8(&one, "schema", std::get<1>(entry.first).c_str());
        BSON_APPEND_UTF8(&one, "field", std::get<2>(entry.first).c_str());
        BSON_APPEND_INT32(&one, "mask", std::get<3>(entry.first));
        text_array(&one, "names", entry.second);
        bson_append_document_end(&list, &one);
    }
    bson_append_array_end(&scope, &list);
    bson_append_document_end(doc, &scope);
}

// What a schema document describes: a table, a table's column (its field), an index entry.
std::string described(int kind, const bson_t* doc)
{
    std::string key = text_of(doc, "sql_catalog") + '\x1f' + text_of(doc, "sql_schema") + '\x1f' +
                      text_of(doc, "sql_table");
    if (kind == KIND_COLUMNS)
        key += '\x1f' + text_of(doc, "mongo_name");
    else if (kind == KIND_INDEX)
        key += '\x1f' + text_of(doc, "index_name") + '\x1f' + text_of(doc, "sql_col_name");
    return key;
}

// A document written as the fields that differ from the one it replaced ("set", values
// as written; "unset", names gone), when that is smaller than the document; else false.
bool append_delta(bson_t* entry, const bson_t* was, const bson_t* is)
{
    bson_t set = BSON_INITIALIZER, unset = BSON_INITIALIZER;
    bson_iter_t it, other;
    if (bson_iter_init(&it, is))
        while (bson_iter_next(&it)) {
            const char* key = bson_iter_key(&it);
            if (!std::strcmp(key, "_id"))
                continue;
            bool same = bson_iter_init_find(&other, was, key) && bson_iter_type(&other) == bson_iter_type(&it);
            if (same) {
                const bson_value_t *a = bson_iter_value(&it), *b = bson_iter_value(&other);
                bson_t x = BSON_INITIALIZER, y = BSON_INITIALIZER;
                bson_append_value(&x, "v", 1, a), bson_append_value(&y, "v", 1, b);
                same = x.len == y.len && !std::memcmp(bson_get_data(&x), bson_get_data(&y), x.len);
                bson_destroy(&x), bson_destroy(&y);
            }
            if (!same)
                bson_append_iter(&set, key, -1, &it);
        }
    int gone = 0;
    if (bson_iter_init(&it, was))
        while (bson_iter_next(&it))
            if (std::strcmp(bson_iter_key(&it), "_id") && !bson_has_field(is, bson_iter_key(&it))) {
                const std::string key = std::to_string(gone++); // the macro reads its key twice
                BSON_APPEND_UTF8(&unset, key.c_str(), bson_iter_key(&it));
            }
    bool smaller = set.len + unset.len + 16 < is->len;
    if (smaller) {
        BSON_APPEND_DOCUMENT(entry, "set", &set);
        BSON_APPEND_ARRAY(entry, "unset", &unset);
    }
    bson_destroy(&set), bson_destroy(&unset);
    return smaller;
}

// Two documents the same but for their _id.
bool same_but_id(const bson_t* a, const bson_t* b)
{
    bson_t x = BSON_INITIALIZER, y = BSON_INITIALIZER;
    bson_copy_to_excluding_noinit(a, &x, "_id", nullptr);
    bson_copy_to_excluding_noinit(b, &y, "_id", nullptr);
    bool same = x.len == y.len && !std::memcmp(bson_get_data(&x), bson_get_data(&y), x.len);
    bson_destroy(&x), bson_destroy(&y);
    return same;
}

// The journal: each document the change replaces, numbered, then each document it writes
// (as a reference to a replaced one where they are the same but for _id: a save of one
// column does not copy the others again), then the header that makes it count. One
// ordered request: a header written means every document before it was. The documents
// stay after the change was made, as its version's.
bool write_journal(DBINFO* dbinfo, journal_place_t* place, const schema_change_t* change, const bson_oid_t* id,
                   int64_t version, const bson_t* filters, const bool* selects, const doc_list_t* before,
                   bson_error_t* error)
{
    doc_list_t entries;
    std::multimap<uint64_t, std::pair<int32_t, const bson_t*>> replaced; // digest -> number, document
    std::map<std::string, std::pair<int32_t, const bson_t*>> by_key;       // what it describes -> the same
    int32_t at = 0;
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind) {
        std::map<std::string, int> seen;
        for (const doc_ref_t& d : before[kind].docs) {
            bson_t* entry = entries.add();
            BSON_APPEND_OID(entry, "journal", id);
            BSON_APPEND_INT32(entry, "kind", kind);
            BSON_APPEND_INT32(entry, "at", at);
            BSON_APPEND_DOCUMENT(entry, "doc", d.doc);
            replaced.emplace(document_digest(d.doc) ^ static_cast<uint64_t>(kind), std::make_pair(at, d.doc));
            const std::string key = described(kind, d.doc);
            by_key.emplace(key + '\x1e' + std::to_string(seen[key]++), std::make_pair(at++, d.doc));
        }
    }
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind) {
        std::map<std::string, int> seen;
        for (const doc_ref_t& d : change->docs[kind].docs) {
            bson_t* entry = entries.add();
            BSON_APPEND_OID(entry, "journal", id);
            BSON_APPEND_INT32(entry, "kind", kind);
            BSON_APPEND_BOOL(entry, "after", true);
            int32_t same = -1;
            auto range = replaced.equal_range(document_digest(d.doc) ^ static_cast<uint64_t>(kind));
            for (auto r = range.first; r != range.second && same < 0; ++r)
                if (same_but_id(r->second.second, d.doc))
                    same = r->second.first;
            const std::string key = described(kind, d.doc);
            auto paired = by_key.find(key + '\x1e' + std::to_string(seen[key]++));
            if (same >= 0) {
                BSON_APPEND_INT32(entry, "same", same);
            } else if (paired != by_key.end() && append_delta(entry, paired->second.second, d.doc)) {
                BSON_APPEND_INT32(entry, "same", paired->second.first); // the fields changed only
            } else {
                BSON_APPEND_DOCUMENT(entry, "doc", d.doc);
            }
        }
    }
    // What it replaces, as given: a revert of its version replaces the same.
    bson_t* scope = entries.add();
    BSON_APPEND_OID(scope, "journal", id);
    BSON_APPEND_INT32(scope, "kind", KIND_NONE);
    append_scope(scope, change);
    bson_t* header = entries.add();
    BSON_APPEND_UTF8(header, "_id", header_id);
    BSON_APPEND_OID(header, "journal", id);
    BSON_APPEND_INT64(header, "version", version);
    BSON_APPEND_UTF8(header, "action", change->action.c_str());
    BSON_APPEND_UTF8(header, "label", change->label.c_str());
    BSON_APPEND_DATE_TIME(header, "started", lock_claimed_at());
    BSON_APPEND_UTF8(header, "host", this_host().c_str());
    BSON_APPEND_UTF8(header, "program", writer_program());
    BSON_APPEND_BOOL(header, "rebuild", change->rebuild);
    bson_t selected;
    BSON_APPEND_DOCUMENT_BEGIN(header, "filters", &selected);
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        if (selects[kind]) // as bytes: a stored document may hold no $ operator
            BSON_APPEND_BINARY(&selected, collection_name(kind), BSON_SUBTYPE_BINARY, bson_get_data(&filters[kind]),
                               filters[kind].len);
    bson_append_document_end(header, &selected);
    return place_insert(dbinfo, place, "journal", entries.docs, error);
}

// The tables a change touches: those it replaces and those it writes.
std::vector<std::string> touched_tables(const schema_change_t* change, const doc_list_t* before)
{
    std::set<std::string> names;
    for (const auto& scope : change->scopes)
        if (std::get<2>(scope.first) == "sql_table")
            names.insert(scope.second.begin(), scope.second.end());
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind) {
        for (const doc_ref_t& d : change->docs[kind].docs)
            names.insert(text_of(d.doc, "sql_table"));
        for (const doc_ref_t& d : before[kind].docs)
            names.insert(text_of(d.doc, "sql_table"));
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
        return text_of(d, "sql_catalog") + '\x1f' + text_of(d, "sql_schema") + '\x1f' + text_of(d, "sql_table");
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

// A change made: its journal documents stay as its version's, the header goes.
bool clear_header(DBINFO* dbinfo, journal_place_t* place, bson_error_t* error)
{
    bson_t* filter = BCON_NEW("_id", BCON_UTF8(header_id));
    bool ok = place_delete(dbinfo, place, "journal", filter, error);
    bson_destroy(filter);
    return ok;
}

// Puts the documents of before back, marks the journal as undone, then clears it: each
// step can be cut and the whole run again.
bool undo(writer_t* w, journal_place_t* place, const bson_oid_t* id, bool rebuild, const bson_t* filters,
          const bool* selects, const doc_list_t* before, bson_error_t* error)
{
    int code = 0;
    DBINFO* dbinfo = w->dbinfo;
    if (!write_over(w, rebuild, filters, selects, before, false, &code, error))
        return false;
    bson_t* selector = BCON_NEW("_id", BCON_UTF8(header_id));
    bson_t* update = BCON_NEW("$set", "{", "undone", BCON_BOOL(true), "}");
    int64_t matched = 0;
    bool ok = w->step() && place_update_one(dbinfo, place, "journal", selector, update, &matched, error);
    bson_destroy(update);
    bson_destroy(selector);
    bson_t* all = BCON_NEW("journal", BCON_OID(id));
    ok = ok && place_delete(dbinfo, place, "journal", all, error);
    bson_destroy(all);
    return ok;
}

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

// The stamps of what the change is about to replace, against what its caller read.
bool holds_what_was_read(DBINFO* dbinfo, journal_place_t* place, schema_change_t* change, const doc_list_t* before)
{
    std::map<std::string, table_stamp_t> now;
    for (auto& e : change->expected)
        now[e.first];
    for (int kind : {KIND_COLUMNS, KIND_INDEX})
        for (const doc_ref_t& d : before[kind].docs) {
            auto found = now.find(table_key(text_of(d.doc, "sql_catalog"), text_of(d.doc, "sql_schema"),
                                            text_of(d.doc, "sql_table")));
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

std::string outcome_what(const header_t& h)
{
    return "The " + h.action + (h.label.empty() ? std::string() : " of '" + h.label + "'") + " that did not finish (" +
           local_minute(h.started) + ")";
}

// Settles the journal of this place, the lock held: a change recorded as a version is
// done, one undone is done; any other is put back. line says what was done or why not.
bool settle_held(DBINFO* dbinfo, journal_place_t* place, std::string* line, bool* permanent)
{
    *permanent = false;
    header_t h;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    if (!read_header(dbinfo, place, &h, &error)) {
        *line = std::string("The journal of the schema '") + dbinfo->md_database + "' (database '" +
                place_database(dbinfo->md_database) + "') could not be read: " + error.message;
        return false;
    }
    if (!h.found || h.aside)
        return true;
    std::string what = outcome_what(h);
    const char* state = h.action == "save" ? "the table is as it was before it." : "the schema is as it was before it.";
    if (h.damaged) {
        *permanent = true;
        *line = what + " could not be undone: its journal is damaged.";
        return false;
    }
    bool recorded = false;
    if (!version_recorded(dbinfo, place, h, &recorded, &error)) {
        *line = what + " could not be looked up: " + error.message + ". The next start tries again.";
        return false;
    }
    writer_t w{dbinfo, false};
    bool ok;
    if (recorded || h.undone) {
        ok = recorded ? clear_header(dbinfo, place, &error) : [&] {
            bson_t* all = BCON_NEW("journal", BCON_OID(&h.journal));
            bool cleared = place_delete(dbinfo, place, "journal", all, &error);
            bson_destroy(all);
            return cleared;
        }();
        if (ok)
            *line = recorded ? "The " + h.action + (h.label.empty() ? "" : " of '" + h.label + "'") + " (" +
                                   local_minute(h.started) + ") had finished; its journal was cleared."
                             : what + " was undone: " + state;
    } else {
        doc_list_t before[KIND_SLOTS];
        bson_t* wanted = BCON_NEW("journal", BCON_OID(&h.journal), "after", BCON_NULL, "kind", "{", "$in", "[",
                                  BCON_INT32(KIND_TABLES), BCON_INT32(KIND_COLUMNS), BCON_INT32(KIND_INDEX), "]", "}");
        bson_t* opts = whole_collection_opts();
        ok = place_find(dbinfo, place, "journal", wanted, opts, [&](const doc_ref_t& found_ref) {
        const bson_t* found = found_ref.doc;
            bson_iter_t it, doc;
            int kind = bson_iter_init_find(&it, found, "kind") && BSON_ITER_HOLDS_INT32(&it) ? bson_iter_int32(&it) : 0;
            if (kind >= KIND_TABLES && kind <= KIND_INDEX && bson_iter_init_find(&doc, found, "doc") &&
                BSON_ITER_HOLDS_DOCUMENT(&doc)) {
                uint32_t length = 0;
                const uint8_t* data = nullptr;
                bson_iter_document(&doc, &length, &data);
                bson_t stored;
                if (bson_init_static(&stored, data, length))
                    bson_concat(before[kind].add(), &stored);
            }
            return true;
        }, &error);
        bson_destroy(opts);
        bson_destroy(wanted);
        wire_shield(true);
        ok = ok && undo(&w, place, &h.journal, h.rebuild, h.filters, h.selects, before, &error);
        wire_shield(false);
        if (ok)
            *line = what + " was undone: " + state;
    }
    if (!ok) {
        bool gone = w.fenced || w.cancelled || !server_refused(&error);
        *permanent = !gone;
        const char* part = w.changed ? " It was put back in part." : "";
        if (gone)
            *line = what + " could not be undone yet: " + (error.message[0] ? error.message : "cancelled") + "." +
                    part + " The next start tries again.";
        else
            *line = what + " could not be undone: the server refused it (" + error.message + ")." + part +
                    " Grant the user readWrite on the schema database and start again, or set the journal aside "
                    "('brolix-cli settle --set-aside'): it is kept whole.";
    }
    return ok;
}

std::string held_text(DBINFO* dbinfo, const lock_holder_t& holder)
{
    std::string doing = holder.program.empty() ? "" : holder.program + " ";
    return "Another program (" + doing + "by " + holder_name(holder) + ", process " + std::to_string(holder.pid) +
           ", since " + local_minute(holder.since) + ") is writing the schema '" + dbinfo->md_database +
           "'; start again when it has finished.";
}

// The place moved to this machine at a claim is told once per process.
void tell_place(DBINFO* dbinfo, journal_place_t* place)
{
    static std::set<std::string> told;
    if (place_kind(place) != PLACE_LOCAL || !told.insert(place_directory(place)).second)
        return;
    brolix_message(place_notice(dbinfo, place).c_str(), "", BTN_OK, BTN_OK);
}

// Claims the lock and settles what an earlier writer left; the caller releases on success.
int begin(DBINFO* dbinfo, const char* action, const char* label, std::string* told, bool* permanent = nullptr)
{
    bool nested = lock_held_here();
    lock_holder_t holder;
    bson_error_t error;
    int claimed = lock_claim(dbinfo, action, label, &holder, &error);
    if (claimed == LOCK_HELD) {
        *told = held_text(dbinfo, holder);
        return CHANGE_HELD;
    }
    if (claimed != LOCK_CLAIMED) {
        *told = std::string("The schema '") + dbinfo->md_database + "' could not be claimed for writing: " +
                error.message;
        return CHANGE_NOT_STARTED;
    }
    journal_place_t* place = journal_place(dbinfo);
    tell_place(dbinfo, place);
    int64_t version = 0;
    if (nested || lock_found_clean(&version))
        return CHANGE_APPLIED;
    bool lasting = false;
    std::string line;
    if (!settle_held(dbinfo, place, &line, &lasting)) {
        lock_release(dbinfo);
        *told = line;
        if (permanent)
            *permanent = lasting;
        return CHANGE_NOT_STARTED;
    }
    if (!line.empty())
        brolix_message(line.c_str(), "", BTN_OK, BTN_OK);
    return CHANGE_APPLIED;
}

} // namespace

void schema_journal_database(const char* md_database, char* name, size_t size)
{
    std::snprintf(name, size, "%s", place_database(md_database).c_str());
}

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
            change->scopes[scope_key_t(text_of(&one, "catalog"), text_of(&one, "schema"), text_of(&one, "field"),
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

int schema_write_begin(DBINFO* dbinfo, const char* action, const char* label, std::string* told)
{
    told->clear();
    if (!dbinfo->md_client || !dbinfo->md_db)
        return CHANGE_NOT_STARTED;
    return begin(dbinfo, action, label, told);
}

void schema_write_end(DBINFO* dbinfo)
{
    lock_release(dbinfo);
}

bool schema_change_apply(DBINFO* dbinfo, schema_change_t* change, int* code, bson_error_t* told)
{
    *code = CHANGE_APPLIED;
    change->told.clear();
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    if (told)
        *told = error;
    if (!dbinfo->md_client || !dbinfo->md_db) {
        *code = CHANGE_NOT_STARTED;
        return false;
    }
    bool empty = !change->rebuild && change->scopes.empty() && change->catalogs.empty();
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        empty = empty && change->docs[kind].docs.empty();
    if (empty) // nothing to write, nothing to record
        return true;
    // The lock before anything the change replaces is read.
    *code = begin(dbinfo, change->action.c_str(), change->label.c_str(), &change->told);
    if (*code == CHANGE_NOT_STARTED && wire_cancelled())
        *code = CHANGE_CANCELLED, change->told.clear();
    if (*code != CHANGE_APPLIED)
        return false;
    journal_place_t* place = journal_place(dbinfo);

    bson_t filters[KIND_SLOTS];
    bson_init(&filters[0]);
    bool selects[KIND_SLOTS] = {};
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        selects[kind] = change_filter(change, kind, &filters[kind]);
    doc_list_t before[KIND_SLOTS];
    bool ok = true;
    for (int kind = KIND_TABLES; kind <= KIND_INDEX && ok; ++kind)
        ok = !selects[kind] || read_selected(dbinfo, kind, &filters[kind], &before[kind], &error);
    int64_t version = 0;
    if (ok && !holds_what_was_read(dbinfo, place, change, before)) {
        *code = CHANGE_CONFLICT;
        ok = false;
    } else if (ok && wire_cancelled()) {
        *code = CHANGE_CANCELLED;
        ok = false;
    } else if (ok) {
        ok = next_version(dbinfo, place, &version, &error);
    }
    if (!ok) {
        if (*code == CHANGE_APPLIED)
            *code = wire_cancelled() ? CHANGE_CANCELLED : CHANGE_NOT_STARTED;
        lock_leave_clean(true, 0);
        lock_release(dbinfo);
        for (bson_t& f : filters)
            bson_destroy(&f);
        if (told)
            *told = error;
        return false;
    }

    // From the journal on, Cancel stops the writes between requests, and what was
    // written is put back before the work ends.
    wire_shield(true);
    bson_oid_t id;
    bson_oid_init(&id, nullptr);
    writer_t w{dbinfo};
    bool journalled = w.step() && write_journal(dbinfo, place, change, &id, version, filters, selects, before, &error);
    bool cleared = false;
    if (!journalled) {
        // The journal counts only with its header, written last: a journal cut short is no
        // journal; nothing of the schema was written.
        *code = w.cancelled ? CHANGE_CANCELLED : w.fenced ? CHANGE_FENCED : CHANGE_NOT_STARTED;
        ok = false;
    } else if (write_change(&w, change, filters, selects, code, &error) && w.step() &&
               record_version(dbinfo, place, change, &id, version, before, &error)) {
        // Made. The header goes; a header left is cleared by the next claim.
        cleared = clear_header(dbinfo, place, nullptr);
        ok = true;
        change->version = version;
        // What this process knew is still all there is, with its own change.
        auto seen = seen_versions.find(place);
        if (seen != seen_versions.end() && seen->second == version - 1)
            seen->second = version;
    } else if (w.fenced) {
        // Whoever took the lock puts back what was written: nothing more from here.
        *code = CHANGE_FENCED;
        change->told = "This program was stopped longer than its lock lasts and another program took the schema "
                       "over; that program puts back what this one had written.";
        ok = false;
    } else {
        if (w.unconfirmed && !error.domain)
            bson_set_error(&error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_SOCKET,
                           "the schema server did not confirm this program's lock");
        // Creation passes its own code up; every other failure says how the schema stands.
        bool refused = !w.refused.empty() || server_refused(&error);
        if (*code == CHANGE_APPLIED)
            *code = w.cancelled ? CHANGE_CANCELLED : refused ? CHANGE_REFUSED : CHANGE_UNDONE;
        if (refused)
            change->told = "The server refused " + (w.refused.empty() ? std::string("the change: ") + error.message
                                                                      : w.refused);
        bson_error_t ignored;
        std::memset(&ignored, 0, sizeof ignored);
        // A server that let a request run out of its time would hold the undo's too: the
        // journal keeps the change for the next claim instead.
        int seconds = 0;
        bool wrote = w.changed;
        bool hung = last_wire_fault(SIDE_SCHEMA, &seconds) == WIRE_TIMEOUT && server_gone(&error);
        writer_t putting_back{dbinfo, false};
        bool put_back = !hung && (wrote ? undo(&putting_back, place, &id, change->rebuild, filters, selects, before,
                                               &ignored)
                                        : [&] { // nothing reached the schema: only the journal goes
                                              bson_t* all = BCON_NEW("journal", BCON_OID(&id));
                                              bool gone = place_delete(dbinfo, place, "journal", all, &ignored);
                                              bson_destroy(all);
                                              return gone;
                                          }());
        if (put_back)
            cleared = true;
        else if (putting_back.fenced)
            *code = CHANGE_FENCED;
        else if (*code == CHANGE_UNDONE || *code == CHANGE_REFUSED || *code == CHANGE_CANCELLED)
            *code = CHANGE_PENDING;
        ok = false;
    }
    wire_shield(false);
    lock_leave_clean(cleared, ok && cleared ? version : 0);
    int seconds = 0;
    // A hung server holds the lock's release too: the lock then runs out its lease.
    lock_release(dbinfo, !(last_wire_fault(SIDE_SCHEMA, &seconds) == WIRE_TIMEOUT && server_gone(&error)));
    for (bson_t& f : filters)
        bson_destroy(&f);
    if (told)
        *told = error;
    return ok;
}

namespace {
int64_t newest_version(DBINFO* dbinfo, journal_place_t* place)
{
    int64_t next = 0;
    return next_version(dbinfo, place, &next, nullptr) ? next - 1 : -1;
}
} // namespace

bool schema_changed_since_settle(DBINFO* dbinfo)
{
    journal_place_t* place = journal_place(dbinfo);
    auto seen = seen_versions.find(place);
    return seen == seen_versions.end() || seen->second < 0 || newest_version(dbinfo, place) != seen->second;
}

bool settle_schema_journal(DBINFO* dbinfo, char* line, size_t size, bool (*may_write)(DBINFO*), bool* lasting)
{
    if (size)
        line[0] = '\0';
    if (lasting)
        *lasting = false;
    if (!dbinfo->md_client || !dbinfo->md_db || !dbinfo->md_database[0])
        return true;
    // A look first, without the lock: a start that finds no journal writes nothing.
    journal_place_t* place = journal_place(dbinfo);
    header_t h;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    bool read = read_header(dbinfo, place, &h, &error);
    if (!read && refused_privilege(&error) && place_move_local(dbinfo, place)) {
        std::memset(&error, 0, sizeof error);
        read = read_header(dbinfo, place, &h, &error);
    }
    if (!read) {
        std::snprintf(line, size, "The journal of the schema '%s' (database '%s') could not be read: %s",
                      dbinfo->md_database, place_database(dbinfo->md_database).c_str(), error.message);
        return false;
    }
    if (!h.found || h.aside) {
        seen_versions[place] = newest_version(dbinfo, place);
        return true;
    }
    if (may_write && !may_write(dbinfo)) {
        std::snprintf(line, size,
                      "%s was left as it stands: this start may not write the schema. A start that may puts it back.",
                      outcome_what(h).c_str());
        return true;
    }
    std::string told;
    lock_holder_t holder;
    int claimed = lock_claim(dbinfo, h.action.c_str(), h.label.c_str(), &holder, &error);
    if (claimed == LOCK_HELD)
        told = held_text(dbinfo, holder);
    else if (claimed != LOCK_CLAIMED)
        told = std::string("The schema '") + dbinfo->md_database + "' could not be claimed for writing: " +
               error.message;
    if (claimed != LOCK_CLAIMED) {
        std::snprintf(line, size, "%s", told.c_str());
        return false;
    }
    bool permanent = false;
    bool ok = settle_held(dbinfo, place, &told, &permanent);
    if (lasting)
        *lasting = permanent;
    if (ok)
        seen_versions[place] = newest_version(dbinfo, place);
    lock_leave_clean(ok, 0);
    lock_release(dbinfo);
    std::snprintf(line, size, "%s", told.c_str());
    return ok;
}

bool set_journal_aside(DBINFO* dbinfo, char* line, size_t size)
{
    if (size)
        line[0] = '\0';
    lock_holder_t holder;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    int claimed = lock_claim(dbinfo, "setting aside", "", &holder, &error);
    if (claimed != LOCK_CLAIMED) {
        std::snprintf(line, size, "%s", claimed == LOCK_HELD ? held_text(dbinfo, holder).c_str() : error.message);
        return false;
    }
    // The header is kept under another name: no start settles it, and the next change
    // writes a journal of its own. Its documents stay as they are.
    journal_place_t* place = journal_place(dbinfo);
    header_t h;
    bson_t copy = BSON_INITIALIZER;
    bson_t* filter = BCON_NEW("_id", BCON_UTF8(header_id));
    bool ok = place_find(dbinfo, place, "journal", filter, nullptr, [&](const doc_ref_t& doc_ref) {
        const bson_t* doc = doc_ref.doc;
        read_header_fields(doc, &h);
        char id[25];
        bson_oid_to_string(&h.journal, id);
        BSON_APPEND_UTF8(&copy, "_id", (std::string("aside-") + id).c_str());
        bson_copy_to_excluding_noinit(doc, &copy, "_id", nullptr);
        BSON_APPEND_BOOL(&copy, "aside", true);
        return false;
    }, &error);
    std::string told;
    if (ok && h.found) {
        doc_refs_t docs{{&copy}};
        ok = place_insert(dbinfo, place, "journal", docs, &error) &&
             place_delete(dbinfo, place, "journal", filter, &error);
        told = ok ? outcome_what(h) +
                        " was set aside as it stands: the schema may hold part of it. Its journal is kept in " +
                        (place_kind(place) == PLACE_LOCAL ? place_directory(place)
                                                          : "the database '" + place_database(dbinfo->md_database) + "'") +
                        "."
                  : std::string("The journal could not be set aside: ") + error.message;
    } else {
        told = ok ? "There is no journal to set aside." : std::string("The journal could not be read: ") + error.message;
    }
    bson_destroy(filter);
    bson_destroy(&copy);
    lock_leave_clean(ok, 0);
    lock_release(dbinfo);
    std::snprintf(line, size, "%s", told.c_str());
    return ok && h.found;
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
