// The journal: written before a change, read and settled by the next writer.
#include "store/write/journal_parts.h"

#include "core/dbinfo.h"
#include "store/write/fields.h"

#include <cstdio>
#include <cstring>
#include <map>

using namespace journal_internal;

namespace journal_internal {

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

} // namespace journal_internal

namespace {

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
    std::string key = schema_text(doc, "sql_catalog") + '\x1f' + schema_text(doc, "sql_schema") + '\x1f' +
                      schema_text(doc, "sql_table");
    if (kind == KIND_COLUMNS)
        key += '\x1f' + schema_text(doc, "mongo_name");
    else if (kind == KIND_INDEX)
        key += '\x1f' + schema_text(doc, "index_name") + '\x1f' + schema_text(doc, "sql_col_name");
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

} // namespace

namespace journal_internal {

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
    struct entry_ref_t {
        int32_t at;
        const bson_t* doc;
    };
    std::multimap<uint64_t, entry_ref_t> replaced; // digest -> its entry
    std::map<std::string, entry_ref_t> by_key;     // what it describes -> the same
    int32_t at = 0;
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind) {
        std::map<std::string, int> seen;
        for (const doc_ref_t& d : before[kind].docs) {
            bson_t* entry = entries.add();
            BSON_APPEND_OID(entry, "journal", id);
            BSON_APPEND_INT32(entry, "kind", kind);
            BSON_APPEND_INT32(entry, "at", at);
            BSON_APPEND_DOCUMENT(entry, "doc", d.doc);
            replaced.emplace(document_digest(d.doc) ^ static_cast<uint64_t>(kind), entry_ref_t{at, d.doc});
            const std::string key = described(kind, d.doc);
            by_key.emplace(key + '\x1e' + std::to_string(seen[key]++), entry_ref_t{at++, d.doc});
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
                if (same_but_id(r->second.doc, d.doc))
                    same = r->second.at;
            const std::string key = described(kind, d.doc);
            auto paired = by_key.find(key + '\x1e' + std::to_string(seen[key]++));
            if (same >= 0) {
                BSON_APPEND_INT32(entry, "same", same);
            } else if (paired != by_key.end() && append_delta(entry, paired->second.doc, d.doc)) {
                BSON_APPEND_INT32(entry, "same", paired->second.at); // the fields changed only
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

// A change made: its journal documents stay as its version's, the header goes.
bool clear_header(DBINFO* dbinfo, journal_place_t* place, bson_error_t* error)
{
    bson_t* filter = BCON_NEW("_id", BCON_UTF8(header_id));
    bool ok = place_delete(dbinfo, place, "journal", filter, error);
    bson_destroy(filter);
    return ok;
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

} // namespace journal_internal

void schema_journal_database(const char* md_database, char* name, size_t size)
{
    std::snprintf(name, size, "%s", place_database(md_database).c_str());
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
