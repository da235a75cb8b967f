#include "store/analysis/history.h"

#include "core/dbinfo.h"
#include "core/schema_names.h"
#include "store/analysis/drift.h"
#include "store/write/fields.h"
#include "store/write/journal.h"
#include "store/write/lock.h"
#include "store/write/place.h"
#include "store/write/write.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace {

int64_t number_of(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    if (!bson_iter_init_find(&it, doc, field))
        return 0;
    if (BSON_ITER_HOLDS_DATE_TIME(&it))
        return bson_iter_date_time(&it);
    return BSON_ITER_HOLDS_NUMBER(&it) ? bson_iter_as_int64(&it) : 0;
}

bool sub_document(const bson_t* doc, const char* field, bson_t* out)
{
    bson_iter_t it;
    const uint8_t* data;
    uint32_t length;
    if (!bson_iter_init_find(&it, doc, field) || !(BSON_ITER_HOLDS_DOCUMENT(&it) || BSON_ITER_HOLDS_ARRAY(&it)))
        return false;
    if (BSON_ITER_HOLDS_DOCUMENT(&it))
        bson_iter_document(&it, &length, &data);
    else
        bson_iter_array(&it, &length, &data);
    return bson_init_static(out, data, length);
}

// One version's record.
bool read_version(DBINFO* dbinfo, journal_place_t* place, int64_t number, version_t* v, bool* found,
                  bson_error_t* error)
{
    *found = false;
    bson_t* filter = BCON_NEW("_id", BCON_INT64(number));
    bool ok = place_find(dbinfo, place, "versions", filter, nullptr, [&](const doc_ref_t& d) {
        *found = read_version_record(d.doc, v);
        return false;
    }, error);
    bson_destroy(filter);
    return ok;
}

// The document it replaced with a delta's fields set (in place, new ones last) and unset.
void with_changes(const bson_t* was, const bson_t* delta, bson_t* out)
{
    bson_t set, unset;
    if (!sub_document(delta, "set", &set))
        bson_init(&set);
    if (!sub_document(delta, "unset", &unset))
        bson_init(&unset);
    std::set<std::string> gone;
    bson_iter_t it, value;
    if (bson_iter_init(&it, &unset))
        while (bson_iter_next(&it))
            if (BSON_ITER_HOLDS_UTF8(&it))
                gone.insert(bson_iter_utf8(&it, nullptr));
    if (bson_iter_init(&it, was))
        while (bson_iter_next(&it)) {
            const char* key = bson_iter_key(&it);
            if (!std::strcmp(key, "_id") || gone.count(key))
                continue;
            if (bson_iter_init_find(&value, &set, key))
                bson_append_iter(out, key, -1, &value);
            else
                bson_append_iter(out, key, -1, &it);
        }
    if (bson_iter_init(&it, &set))
        while (bson_iter_next(&it))
            if (!bson_has_field(was, bson_iter_key(&it)))
                bson_append_iter(out, bson_iter_key(&it), -1, &it);
}

// The documents a version replaced and those it wrote, by kind, in their order.
bool read_version_docs(DBINFO* dbinfo, journal_place_t* place, const bson_oid_t* journal, doc_list_t* before,
                       doc_list_t* after, bson_error_t* error, bson_t* scope = nullptr)
{
    struct numbered_t {
        int kind;
        bson_t* doc;
    };
    std::map<int32_t, numbered_t> numbered; // by the place it had ("at")
    std::vector<std::pair<int, std::string>> written;   // kind, the document's bytes, or "" with same
    std::vector<int32_t> same;
    std::vector<std::string> changes;                   // a "same" entry's set and unset, as one document
    bson_t* filter = BCON_NEW("journal", BCON_OID(journal));
    bson_t* opts = whole_collection_opts();
    bool ok = place_find(dbinfo, place, "journal", filter, opts, [&](const doc_ref_t& d) {
        int kind = static_cast<int>(number_of(d.doc, "kind"));
        bson_t doc;
        bool has_doc = sub_document(d.doc, "doc", &doc);
        bson_iter_t it;
        bson_t stored;
        if (kind == KIND_NONE && scope && sub_document(d.doc, "scope", &stored))
            bson_concat(scope, &stored);
        if (kind < KIND_TABLES || kind > KIND_INDEX)
            return true;
        if (!bson_iter_init_find(&it, d.doc, "after")) {
            if (has_doc)
                numbered[static_cast<int32_t>(number_of(d.doc, "at"))] = {kind, bson_copy(&doc)};
            return true;
        }
        written.emplace_back(kind, has_doc ? std::string(reinterpret_cast<const char*>(bson_get_data(&doc)), doc.len)
                                           : std::string());
        same.push_back(bson_iter_init_find(&it, d.doc, "same") ? static_cast<int32_t>(bson_iter_as_int64(&it)) : -1);
        bson_t delta = BSON_INITIALIZER, part;
        for (const char* name : {"set", "unset"})
            if (sub_document(d.doc, name, &part))
                BSON_APPEND_DOCUMENT(&delta, name, &part);
        changes.emplace_back(reinterpret_cast<const char*>(bson_get_data(&delta)), delta.len);
        bson_destroy(&delta);
        return true;
    }, error);
    bson_destroy(opts);
    bson_destroy(filter);
    for (auto& n : numbered)
        before[n.second.kind].docs.push_back({n.second.doc});
    for (size_t i = 0; ok && i < written.size(); ++i) {
        bson_t* doc = after[written[i].first].add();
        if (!written[i].second.empty()) {
            bson_t stored;
            if (bson_init_static(&stored, reinterpret_cast<const uint8_t*>(written[i].second.data()),
                                 written[i].second.size()))
                bson_concat(doc, &stored);
        } else if (numbered.count(same[i])) {
            bson_t delta;
            bson_init_static(&delta, reinterpret_cast<const uint8_t*>(changes[i].data()), changes[i].size());
            with_changes(numbered[same[i]].doc, &delta, doc);
        }
    }
    return ok;
}

std::string doer(const version_t& v)
{
    // "brolix save"; a command of brolix-cli ("brolix-cli sync") says its action already.
    return v.program.find(' ') != std::string::npos ? v.program : v.program + " " + v.action;
}

} // namespace

bool list_versions(DBINFO* dbinfo, const std::vector<std::string>& tables, std::vector<version_t>* versions,
                   bson_error_t* error)
{
    versions->clear();
    journal_place_t* place = journal_place(dbinfo);
    bson_t filter = BSON_INITIALIZER;
    if (!tables.empty()) {
        bson_t in, list;
        BSON_APPEND_DOCUMENT_BEGIN(&filter, "tables", &in);
        BSON_APPEND_ARRAY_BEGIN(&in, "$in", &list);
        for (size_t i = 0; i <= tables.size(); ++i) // the whole schema's versions touch every table
            BSON_APPEND_UTF8(&list, std::to_string(i).c_str(), i < tables.size() ? tables[i].c_str() : "*");
        bson_append_array_end(&in, &list);
        bson_append_document_end(&filter, &in);
    }
    bson_t* opts = BCON_NEW("sort", "{", "_id", BCON_INT32(-1), "}");
    auto read = [&] {
        return place_find(dbinfo, place, "versions", &filter, opts, [&](const doc_ref_t& d) {
            versions->emplace_back();
            if (!read_version_record(d.doc, &versions->back()))
                versions->pop_back();
            return true;
        }, error);
    };
    bool ok = read();
    // A user who may not read the journal's database has its history on this machine.
    if (!ok && refused_privilege(error) && place_move_local(dbinfo, place)) {
        std::memset(error, 0, sizeof *error);
        ok = read();
    }
    bson_destroy(opts);
    bson_destroy(&filter);
    return ok;
}

bool version_differences(DBINFO* dbinfo, int64_t number, version_t* version, drift_t** differences, int* code,
                         bson_error_t* error)
{
    *differences = nullptr;
    *code = HISTORY_OK;
    journal_place_t* place = journal_place(dbinfo);
    bool found = false;
    doc_list_t before[KIND_SLOTS], after[KIND_SLOTS];
    if (!read_version(dbinfo, place, number, version, &found, error) ||
        (found && !read_version_docs(dbinfo, place, &version->journal, before, after, error))) {
        *code = HISTORY_READ_FAILED;
        return false;
    }
    if (!found) {
        *code = HISTORY_NO_SUCH_VERSION;
        return false;
    }
    diff_documents(before, after, differences);
    return true;
}

void free_revert(revert_t* revert)
{
    free_drift(revert->plan);
    revert->plan = nullptr;
}

bool revert_version(DBINFO* dbinfo, int64_t number, bool force, bool dry_run, revert_t* revert)
{
    free_revert(revert);
    *revert = revert_t();
    const std::string label = "version " + std::to_string(number);
    // Held from before the history and the schema are read until the revert is written.
    int begun = schema_write_begin(dbinfo, "revert", label.c_str(), &revert->told);
    if (begun != CHANGE_APPLIED) {
        revert->code = HISTORY_WRITE_FAILED;
        revert->outcome = begun;
        return false;
    }
    journal_place_t* place = journal_place(dbinfo);
    version_t v;
    bson_t scope = BSON_INITIALIZER;
    bool found = false;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    doc_list_t before[KIND_SLOTS], after[KIND_SLOTS], now[KIND_SLOTS];
    std::vector<version_t> later;
    schema_change_t* change = schema_change_new("revert", label.c_str());
    auto done = [&](int code) {
        revert->code = code;
        if (code == HISTORY_READ_FAILED && revert->told.empty())
            revert->told = error.message;
        schema_change_free(change);
        bson_destroy(&scope);
        schema_write_end(dbinfo);
        return code == HISTORY_OK;
    };
    if (!read_version(dbinfo, place, number, &v, &found, &error))
        return done(HISTORY_READ_FAILED);
    if (!found)
        return done(HISTORY_NO_SUCH_VERSION);
    bool whole = std::count(v.tables.begin(), v.tables.end(), "*") > 0;
    if (!read_version_docs(dbinfo, place, &v.journal, before, after, &error, &scope) ||
        !list_versions(dbinfo, whole ? std::vector<std::string>() : v.tables, &later, &error))
        return done(HISTORY_READ_FAILED);
    // A later version that a later revert took back, with that revert, changed nothing that
    // stands: reverts newest first walk back through the versions one after the other.
    std::set<int64_t> taken_back;
    for (const version_t& l : later) {
        int64_t of = l.action == "revert" && l.label.rfind("version ", 0) == 0 ? std::atoll(l.label.c_str() + 8) : 0;
        if (l.number > number && of > number && !taken_back.count(l.number))
            taken_back.insert({l.number, of});
    }
    for (const version_t& l : later)
        if (l.number > number && !taken_back.count(l.number))
            revert->later.push_back(l.number);
    std::sort(revert->later.begin(), revert->later.end());
    if (!revert->later.empty() && !force)
        return done(HISTORY_LATER_VERSIONS);

    // The same documents replaced, by what was there before the version; forced over later
    // versions, the documents get new _ids (a later version may hold the old ones).
    schema_change_replace_scope(change, &scope);
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        for (const doc_ref_t& d : before[kind].docs) {
            bson_t doc = BSON_INITIALIZER;
            if (revert->later.empty())
                bson_concat(&doc, d.doc);
            else
                bson_copy_to_excluding_noinit(d.doc, &doc, "_id", nullptr);
            schema_change_add(change, kind, &doc);
            bson_destroy(&doc);
        }
    if (!schema_change_read_replaced(dbinfo, change, now, &error))
        return done(HISTORY_READ_FAILED);
    diff_documents(now, before, &revert->plan);
    if (dry_run)
        return done(HISTORY_OK);
    int outcome = 0;
    if (!schema_change_apply(dbinfo, change, &outcome, &error)) {
        revert->outcome = outcome;
        revert->told = schema_change_told(change).empty() ? error.message : schema_change_told(change);
        return done(HISTORY_WRITE_FAILED);
    }
    revert->outcome = CHANGE_APPLIED;
    revert->version = schema_change_version(change);
    return done(HISTORY_OK);
}

std::string version_counts(const version_t& v)
{
    std::string text;
    auto add = [&](int32_t n, const std::string& words) {
        if (n)
            text += (text.empty() ? "" : ", ") + words + " " + std::to_string(n);
    };
    if (v.tables_added)
        text = "added " + std::to_string(v.tables_added) + (v.tables_added == 1 ? " table" : " tables");
    if (v.tables_removed)
        text += (text.empty() ? "" : ", ") + std::string("removed ") + std::to_string(v.tables_removed) +
                (v.tables_added ? "" : v.tables_removed == 1 ? " table" : " tables");
    add(v.columns_changed, "columns changed");
    add(v.index_changed, "index entries changed");
    return text.empty() ? "no change" : text;
}

std::string version_line(const version_t& v)
{
    std::string who = v.user.empty() ? v.host : v.user + "@" + v.host;
    return std::to_string(v.number) + "  " + local_minute(v.at) + "  " + who + "  " + doer(v) +
           (v.label.empty() ? "" : " " + v.label) + ": " + version_counts(v);
}

void append_version_json(bson_t* doc, const version_t& v)
{
    BSON_APPEND_INT64(doc, "version", v.number);
    BSON_APPEND_DATE_TIME(doc, "at", v.at);
    BSON_APPEND_UTF8(doc, "user", v.user.c_str());
    BSON_APPEND_UTF8(doc, "host", v.host.c_str());
    BSON_APPEND_UTF8(doc, "program", v.program.c_str());
    BSON_APPEND_UTF8(doc, "action", v.action.c_str());
    BSON_APPEND_UTF8(doc, "label", v.label.c_str());
    bson_t list, counts;
    BSON_APPEND_ARRAY_BEGIN(doc, "tables", &list);
    for (size_t i = 0; i < v.tables.size(); ++i)
        BSON_APPEND_UTF8(&list, std::to_string(i).c_str(), v.tables[i].c_str());
    bson_append_array_end(doc, &list);
    BSON_APPEND_DOCUMENT_BEGIN(doc, "counts", &counts);
    BSON_APPEND_INT32(&counts, "tables_added", v.tables_added);
    BSON_APPEND_INT32(&counts, "tables_removed", v.tables_removed);
    BSON_APPEND_INT32(&counts, "columns_changed", v.columns_changed);
    BSON_APPEND_INT32(&counts, "index_changed", v.index_changed);
    bson_append_document_end(doc, &counts);
}
