// The writes of a change and of putting one back, one request at a time under the lock.
#include "store/write/journal_parts.h"

#include "core/dbinfo.h"
#include "store/write/collections.h"
#include "store/write/fields.h"

#include <cstring>

using namespace journal_internal;

namespace {

mongoc_collection_t* schema_coll(DBINFO* dbinfo, int kind)
{
    return mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(kind));
}

void keep_first(bson_error_t* first, const bson_error_t* error)
{
    if (first && !first->domain && error)
        *first = *error;
}

} // namespace

namespace journal_internal {

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

} // namespace journal_internal

namespace {

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
    std::string table = schema_text(doc, "sql_table"), name = schema_text(doc, r->kind == KIND_INDEX ? "index_name"
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

} // namespace

namespace journal_internal {

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

} // namespace journal_internal
