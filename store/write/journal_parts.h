#pragma once

// The journal's parts, shared by the files that make it up (schema_change, writes, settle,
// versions, apply); nothing outside store/write includes this.

#include "core/records.h"
#include "core/schema_names.h"
#include "core/wire.h"
#include "store/write/journal.h"
#include "store/write/lock.h"
#include "store/write/place.h"
#include "store/write/write.h"

#include <bson/bson.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace journal_internal {

const char* const header_id = "header";

// Tables of one catalog and schema selected by one field, for the collections of mask.
typedef std::tuple<std::string, std::string, std::string, int> scope_key_t; // catalog, schema, field, mask

inline std::string table_key(const std::string& catalog, const std::string& schema, const std::string& table)
{
    return catalog + '\x1f' + schema + '\x1f' + table;
}

struct expected_t {
    table_stamp_t stamp;
    int64_t read_at;
    std::string table;
};

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

} // namespace journal_internal

struct schema_change_t {
    std::string action, label;
    bool rebuild = false;
    std::map<journal_internal::scope_key_t, std::vector<std::string>> scopes;
    std::vector<std::string> catalogs;
    doc_list_t docs[KIND_SLOTS];
    std::map<std::string, journal_internal::expected_t> expected; // by table_key
    std::string told;
    int64_t version = 0;
};

namespace journal_internal {

// The newest version this process knows the schema to be at, by place (-1: not known).
extern std::map<const journal_place_t*, int64_t> seen_versions;
void text_array(bson_t* parent, const char* key, const std::vector<std::string>& texts);
bool change_filter(const schema_change_t* change, int kind, bson_t* filter);
bool read_selected(DBINFO* dbinfo, int kind, const bson_t* filter, doc_list_t* into, bson_error_t* error);
bool write_change(writer_t* w, const schema_change_t* change, const bson_t* filters, const bool* selects, int* code,
                  bson_error_t* error);
void read_header_fields(const bson_t* doc, header_t* h);
bool read_header(DBINFO* dbinfo, journal_place_t* place, header_t* h, bson_error_t* error);
uint64_t document_digest(const bson_t* doc);
bool write_journal(DBINFO* dbinfo, journal_place_t* place, const schema_change_t* change, const bson_oid_t* id,
                   int64_t version, const bson_t* filters, const bool* selects, const doc_list_t* before,
                   bson_error_t* error);
bool record_version(DBINFO* dbinfo, journal_place_t* place, const schema_change_t* change, const bson_oid_t* id,
                    int64_t version, const doc_list_t* before, bson_error_t* error);
bool next_version(DBINFO* dbinfo, journal_place_t* place, int64_t* version, bson_error_t* error);
bool version_recorded(DBINFO* dbinfo, journal_place_t* place, const header_t& h, bool* recorded, bson_error_t* error);
bool clear_header(DBINFO* dbinfo, journal_place_t* place, bson_error_t* error);
bool undo(writer_t* w, journal_place_t* place, const bson_oid_t* id, bool rebuild, const bson_t* filters,
          const bool* selects, const doc_list_t* before, bson_error_t* error);
bool holds_what_was_read(DBINFO* dbinfo, journal_place_t* place, schema_change_t* change, const doc_list_t* before);
std::string outcome_what(const header_t& h);
bool settle_held(DBINFO* dbinfo, journal_place_t* place, std::string* line, bool* permanent);
std::string held_text(DBINFO* dbinfo, const lock_holder_t& holder);
int64_t newest_version(DBINFO* dbinfo, journal_place_t* place);

} // namespace journal_internal
