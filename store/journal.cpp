#include "store/journal.h"

#include "core/dbinfo.h"
#include "store/create.h"
#include "store/fields.h"
#include "store/write.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

const char* const kind_names[] = {"", "tables", "columns", "index"};
const char* const header_id = "header";

// How long a journal of another machine is taken for a change still being written there:
// far longer than any one action's writes, which come after all its reads.
const int64_t foreign_lease_ms = 2 * 60 * 1000;

std::string this_host()
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

// A process of this machine that has not ended (a zombie has).
bool process_alive(int64_t pid)
{
    if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
        return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

// Tables of one catalog and schema selected by one field, for the collections of mask.
typedef std::tuple<std::string, std::string, std::string, int> scope_key_t; // catalog, schema, field, mask

} // namespace

struct schema_change_t {
    std::string action, label;
    bool rebuild = false;
    std::map<scope_key_t, std::vector<std::string>> scopes;
    std::vector<std::string> catalogs;
    doc_list_t docs[4];
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
    return mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, kind_names[kind]);
}

mongoc_collection_t* journal_coll(DBINFO* dbinfo)
{
    char name[DBINFO_TEXT + 16];
    schema_journal_database(dbinfo->md_database, name, sizeof name);
    return mongoc_client_get_collection(dbinfo->md_client, name, "journal");
}

void keep_first(bson_error_t* first, const bson_error_t* error)
{
    if (first && !first->domain && error)
        *first = *error;
}

void note_failure(void* context, size_t, const bson_error_t* error)
{
    keep_first(static_cast<bson_error_t*>(context), error);
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

// opts: what goes with each request (a transaction's session), or null.
bool insert_all(DBINFO* dbinfo, int kind, const doc_list_t& docs, const bson_t* opts, bson_error_t* error)
{
    if (docs.docs.empty())
        return true;
    mongoc_collection_t* coll = schema_coll(dbinfo, kind);
    bson_error_t first;
    std::memset(&first, 0, sizeof first);
    write_result_t result = insert_in_order(coll, docs.docs, note_failure, &first, opts);
    mongoc_collection_destroy(coll);
    keep_first(error, &first);
    return !first.domain && !result.failed && result.written == docs.docs.size();
}

bool remove_selected(DBINFO* dbinfo, int kind, const bson_t* filter, const bson_t* opts, bson_error_t* error)
{
    mongoc_collection_t* coll = schema_coll(dbinfo, kind);
    bson_error_t failed;
    bool ok = mongoc_collection_delete_many(coll, filter, opts, nullptr, &failed);
    if (!ok)
        keep_first(error, &failed);
    mongoc_collection_destroy(coll);
    return ok;
}

// The schema database emptied and made again with its collections and their indexes.
bool remake_database(DBINFO* dbinfo, int* code, bool tell, bson_error_t* error)
{
    bson_error_t failed;
    if (!mongoc_database_drop(dbinfo->md_db, &failed) &&
        !(failed.domain == MONGOC_ERROR_SERVER && failed.code == 26)) { // NamespaceNotFound: nothing to drop
        keep_first(error, &failed);
        *code = CHANGE_DROP_FAILED;
        return false;
    }
    if (!make_schema_collections(dbinfo, code, tell)) {
        bson_set_error(&failed, MONGOC_ERROR_COLLECTION, 0, "the schema collections could not be made");
        keep_first(error, &failed);
        return false;
    }
    return true;
}

// Replaces what the filters select with docs (written columns, index, tables). code gets
// the outcome of a failed remake, whose line is printed when tell is set. opts (a session's)
// go with the removals and inserts.
bool write_over(DBINFO* dbinfo, bool rebuild, const bson_t* filters, const bool* selects, const doc_list_t* docs,
                bool tell, int* code, bson_error_t* error, const bson_t* opts = nullptr)
{
    if (rebuild) {
        if (!remake_database(dbinfo, code, tell, error))
            return false;
    } else {
        for (int kind = 3; kind >= 1; --kind)
            if (selects[kind] && !remove_selected(dbinfo, kind, &filters[kind], opts, error))
                return false;
    }
    for (int kind : {2, 3, 1})
        if (!insert_all(dbinfo, kind, docs[kind], opts, error))
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
bool write_change(DBINFO* dbinfo, const schema_change_t* change, const bson_t* filters, const bool* selects,
                  int* code, bson_error_t* error)
{
    mongoc_client_session_t* session = change->rebuild ? nullptr : start_transaction(dbinfo);
    bson_t opts = BSON_INITIALIZER;
    bson_error_t failed;
    bool ok = !session || mongoc_client_session_append(session, &opts, &failed);
    if (!ok)
        keep_first(error, &failed);
    ok = ok && write_over(dbinfo, change->rebuild, filters, selects, change->docs, true, code, error,
                          session ? &opts : nullptr);
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

bool clear_journal(DBINFO* dbinfo, bson_error_t* error)
{
    mongoc_collection_t* coll = journal_coll(dbinfo);
    bson_t all = BSON_INITIALIZER;
    bson_error_t failed;
    bool ok = mongoc_collection_delete_many(coll, &all, nullptr, nullptr, &failed);
    if (!ok)
        keep_first(error, &failed);
    mongoc_collection_destroy(coll);
    return ok;
}

// Puts the documents of before back, marks the journal as settled, then clears it: each
// step can be cut and the whole run again.
bool undo(DBINFO* dbinfo, bool rebuild, const bson_t* filters, const bool* selects, const doc_list_t* before,
          bson_error_t* error)
{
    int code = 0;
    if (!write_over(dbinfo, rebuild, filters, selects, before, false, &code, error))
        return false;
    mongoc_collection_t* coll = journal_coll(dbinfo);
    bson_t* selector = BCON_NEW("_id", BCON_UTF8(header_id));
    bson_t* update = BCON_NEW("$set", "{", "undone", BCON_BOOL(true), "}");
    bson_error_t failed;
    bool ok = mongoc_collection_update_one(coll, selector, update, nullptr, nullptr, &failed);
    if (!ok)
        keep_first(error, &failed);
    bson_destroy(update);
    bson_destroy(selector);
    mongoc_collection_destroy(coll);
    return ok && clear_journal(dbinfo, error);
}

// The journal: each document the change replaces, then the header that makes it count (one
// ordered request: a header written means every document before it was).
bool write_journal(DBINFO* dbinfo, const schema_change_t* change, const bson_t* filters, const bool* selects,
                   const doc_list_t* before, bson_error_t* error)
{
    bson_oid_t id;
    bson_oid_init(&id, nullptr);
    doc_list_t entries;
    for (int kind = 1; kind <= 3; ++kind)
        for (const doc_ref_t& d : before[kind].docs) {
            bson_t* entry = entries.add();
            BSON_APPEND_OID(entry, "journal", &id);
            BSON_APPEND_INT32(entry, "kind", kind);
            BSON_APPEND_DOCUMENT(entry, "doc", d.doc);
        }
    bson_t* header = entries.add();
    BSON_APPEND_UTF8(header, "_id", header_id);
    BSON_APPEND_OID(header, "journal", &id);
    BSON_APPEND_UTF8(header, "action", change->action.c_str());
    BSON_APPEND_UTF8(header, "label", change->label.c_str());
    BSON_APPEND_DATE_TIME(header, "started", static_cast<int64_t>(std::time(nullptr)) * 1000);
    // Whose change it is: another program must not undo it while it is being written.
    BSON_APPEND_UTF8(header, "host", this_host().c_str());
    BSON_APPEND_INT64(header, "pid", static_cast<int64_t>(getpid()));
    BSON_APPEND_INT64(header, "entries", static_cast<int64_t>(entries.docs.size() - 1));
    BSON_APPEND_BOOL(header, "rebuild", change->rebuild);
    bson_t selected;
    BSON_APPEND_DOCUMENT_BEGIN(header, "filters", &selected);
    for (int kind = 1; kind <= 3; ++kind)
        if (selects[kind]) // as bytes: a stored document may hold no $ operator
            BSON_APPEND_BINARY(&selected, kind_names[kind], BSON_SUBTYPE_BINARY, bson_get_data(&filters[kind]),
                               filters[kind].len);
    bson_append_document_end(header, &selected);

    mongoc_collection_t* coll = journal_coll(dbinfo);
    bson_error_t first;
    std::memset(&first, 0, sizeof first);
    write_result_t result = insert_in_order(coll, entries.docs, note_failure, &first);
    mongoc_collection_destroy(coll);
    keep_first(error, &first);
    return !first.domain && !result.failed && result.written == entries.docs.size();
}

} // namespace

void schema_journal_database(const char* md_database, char* name, size_t size)
{
    std::snprintf(name, size, "%s_journal", md_database ? md_database : "");
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

void schema_change_add(schema_change_t* change, int kind, const bson_t* doc)
{
    if (kind >= 1 && kind <= 3 && doc)
        bson_concat(change->docs[kind].add(), doc);
}

size_t schema_change_count(const schema_change_t* change, int kind)
{
    return kind >= 1 && kind <= 3 ? change->docs[kind].docs.size() : 0;
}

const bson_t* schema_change_doc(const schema_change_t* change, int kind, size_t position)
{
    return change->docs[kind].docs[position].doc;
}

bool schema_change_apply(DBINFO* dbinfo, schema_change_t* change, int* code, bson_error_t* told)
{
    *code = CHANGE_APPLIED;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    if (!dbinfo->md_client || !dbinfo->md_db) {
        *code = CHANGE_NOT_STARTED;
        if (told)
            *told = error;
        return false;
    }
    bson_t filters[4];
    bool selects[4] = {false, false, false, false};
    for (int kind = 1; kind <= 3; ++kind)
        selects[kind] = change_filter(change, kind, &filters[kind]);
    doc_list_t before[4];
    auto journalled = [&] {
        for (int kind = 1; kind <= 3; ++kind) {
            before[kind].clear();
            if (selects[kind] && !read_selected(dbinfo, kind, &filters[kind], &before[kind], &error))
                return false;
        }
        return write_journal(dbinfo, change, filters, selects, before, &error);
    };
    bool ok = journalled();
    if (!ok && error.domain == MONGOC_ERROR_SERVER && error.code == 11000) {
        // A change of this process that could not be put back at once (the server was
        // gone) holds the journal: it is settled first.
        char line[DBINFO_TEXT];
        std::memset(&error, 0, sizeof error);
        ok = settle_schema_journal(dbinfo, line, sizeof line) && journalled();
    }
    if (!ok) {
        *code = CHANGE_NOT_STARTED;
    } else if (!write_change(dbinfo, change, filters, selects, code, &error) || !clear_journal(dbinfo, &error)) {
        // Creation passes its own code up; every other failure says how the schema stands.
        if (*code == CHANGE_APPLIED)
            *code = CHANGE_UNDONE;
        bson_error_t ignored;
        std::memset(&ignored, 0, sizeof ignored);
        if (!undo(dbinfo, change->rebuild, filters, selects, before, &ignored) && *code == CHANGE_UNDONE)
            *code = CHANGE_PENDING;
        ok = false;
    }
    for (int kind = 1; kind <= 3; ++kind)
        bson_destroy(&filters[kind]);
    if (told)
        *told = error;
    return ok;
}

bool settle_schema_journal(DBINFO* dbinfo, char* line, size_t size)
{
    if (size)
        line[0] = '\0';
    if (!dbinfo->md_client || !dbinfo->md_db || !dbinfo->md_database[0])
        return true;
    char journal[DBINFO_TEXT + 16];
    schema_journal_database(dbinfo->md_database, journal, sizeof journal);
    mongoc_collection_t* coll = journal_coll(dbinfo);
    bson_t* filter = BCON_NEW("_id", BCON_UTF8(header_id));
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, nullptr, nullptr);
    bson_destroy(filter);
    const bson_t* found;
    bson_t header = BSON_INITIALIZER;
    bool held = mongoc_cursor_next(cursor, &found);
    if (held) {
        bson_destroy(&header);
        bson_copy_to(found, &header);
    }
    bson_error_t error;
    bool read = !mongoc_cursor_error(cursor, &error);
    mongoc_cursor_destroy(cursor);
    if (!read) {
        mongoc_collection_destroy(coll);
        bson_destroy(&header);
        std::snprintf(line, size, "The journal of the schema '%s' (database '%s') could not be read: %s",
                      dbinfo->md_database, journal, error.message);
        return false;
    }
    if (!held) {
        mongoc_collection_destroy(coll);
        bson_destroy(&header);
        return true;
    }

    bson_iter_t it;
    std::string action = "change", label, host;
    bool rebuild = false, undone = false;
    int64_t expected = 0, started = 0, pid = 0;
    const bson_oid_t* id = nullptr;
    bson_t filters[4];
    bool selects[4] = {false, false, false, false};
    for (bson_t& f : filters)
        bson_init(&f);
    if (bson_iter_init(&it, &header))
        while (bson_iter_next(&it)) {
            const char* key = bson_iter_key(&it);
            if (!std::strcmp(key, "action") && BSON_ITER_HOLDS_UTF8(&it))
                action = bson_iter_utf8(&it, nullptr);
            else if (!std::strcmp(key, "label") && BSON_ITER_HOLDS_UTF8(&it))
                label = bson_iter_utf8(&it, nullptr);
            else if (!std::strcmp(key, "rebuild") && BSON_ITER_HOLDS_BOOL(&it))
                rebuild = bson_iter_bool(&it);
            else if (!std::strcmp(key, "undone") && BSON_ITER_HOLDS_BOOL(&it))
                undone = bson_iter_bool(&it);
            else if (!std::strcmp(key, "entries") && BSON_ITER_HOLDS_NUMBER(&it))
                expected = bson_iter_as_int64(&it);
            else if (!std::strcmp(key, "started") && BSON_ITER_HOLDS_DATE_TIME(&it))
                started = bson_iter_date_time(&it);
            else if (!std::strcmp(key, "host") && BSON_ITER_HOLDS_UTF8(&it))
                host = bson_iter_utf8(&it, nullptr);
            else if (!std::strcmp(key, "pid") && BSON_ITER_HOLDS_INT64(&it))
                pid = bson_iter_int64(&it);
            else if (!std::strcmp(key, "journal") && BSON_ITER_HOLDS_OID(&it))
                id = bson_iter_oid(&it);
            else if (!std::strcmp(key, "filters") && BSON_ITER_HOLDS_DOCUMENT(&it)) {
                bson_iter_t f;
                bson_iter_recurse(&it, &f);
                while (bson_iter_next(&f))
                    for (int kind = 1; kind <= 3; ++kind)
                        if (!std::strcmp(bson_iter_key(&f), kind_names[kind]) && BSON_ITER_HOLDS_BINARY(&f)) {
                            uint32_t length = 0;
                            const uint8_t* data = nullptr;
                            bson_iter_binary(&f, nullptr, &length, &data);
                            bson_t stored;
                            if (bson_init_static(&stored, data, length)) {
                                bson_destroy(&filters[kind]);
                                bson_copy_to(&stored, &filters[kind]);
                                selects[kind] = true;
                            }
                        }
            }
        }

    // A change another program is still writing is its own to finish or undo.
    int64_t now = static_cast<int64_t>(std::time(nullptr)) * 1000;
    bool ours = host == this_host() && pid == static_cast<int64_t>(getpid());
    bool running = host == this_host() ? !ours && process_alive(pid) : now - started < foreign_lease_ms;
    if (!undone && running) {
        std::snprintf(line, size,
                      "Another program (process %lld on %s) is writing the schema '%s'; start again when it has "
                      "finished.",
                      static_cast<long long>(pid), host.empty() ? "another machine" : host.c_str(),
                      dbinfo->md_database);
        for (bson_t& f : filters)
            bson_destroy(&f);
        bson_destroy(&header);
        mongoc_collection_destroy(coll);
        return false;
    }

    // The documents the change replaced, as they were.
    doc_list_t before[4];
    int64_t entries = 0;
    bool ok = id != nullptr;
    if (ok) {
        bson_t* wanted = BCON_NEW("journal", BCON_OID(id));
        bson_t* opts = whole_collection_opts();
        cursor = mongoc_collection_find_with_opts(coll, wanted, opts, nullptr);
        while (mongoc_cursor_next(cursor, &found)) {
            int kind = 0;
            if (bson_iter_init_find(&it, found, "kind") && BSON_ITER_HOLDS_INT32(&it))
                kind = bson_iter_int32(&it);
            bson_iter_t doc;
            if (kind >= 1 && kind <= 3 && bson_iter_init_find(&doc, found, "doc") && BSON_ITER_HOLDS_DOCUMENT(&doc)) {
                uint32_t length = 0;
                const uint8_t* data = nullptr;
                bson_iter_document(&doc, &length, &data);
                bson_t stored;
                if (bson_init_static(&stored, data, length))
                    bson_concat(before[kind].add(), &stored);
            }
            ++entries;
        }
        ok = !mongoc_cursor_error(cursor, &error);
        mongoc_cursor_destroy(cursor);
        bson_destroy(opts);
        bson_destroy(wanted);
    } else {
        bson_set_error(&error, MONGOC_ERROR_BSON, 0, "the journal's header is damaged");
    }
    mongoc_collection_destroy(coll);

    char when[32] = "";
    time_t seconds = static_cast<time_t>(started / 1000);
    struct tm local;
    if (localtime_r(&seconds, &local))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
    std::string what = "The " + action + (label.empty() ? std::string() : " of '" + label + "'");
    const char* state = action == "save" ? "the table is as it was before it." : "the schema is as it was before it.";

    if (ok) {
        // Fewer documents than the header counts: the journal was being cleared, so the
        // change (or an earlier settling) had ended; only the journal is left to go.
        bool ended = undone || entries < expected;
        if (ended) {
            std::memset(&error, 0, sizeof error);
            ok = clear_journal(dbinfo, &error);
            if (ok)
                std::snprintf(line, size, undone ? "%s that did not finish (%s) was undone: %s"
                                                 : "%s (%s) had finished; its journal was cleared.",
                              what.c_str(), when, state);
        } else {
            std::memset(&error, 0, sizeof error);
            ok = undo(dbinfo, rebuild, filters, selects, before, &error);
            if (ok)
                std::snprintf(line, size, "%s that did not finish (%s) was undone: %s", what.c_str(), when, state);
        }
    }
    if (!ok)
        std::snprintf(line, size,
                      "%s that did not finish (%s) could not be undone: %s. Nothing was changed; the next "
                      "start tries again.",
                      what.c_str(), when, error.message);
    for (bson_t& f : filters)
        bson_destroy(&f);
    bson_destroy(&header);
    return ok;
}
