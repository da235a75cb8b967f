// The schema's history: every change made through the journal (store/write/journal.h) is a
// version, numbered from 1, kept where the journal is kept (store/write/place.h): who made it,
// when by the server's clock, with which program, to what, and the documents it replaced
// and wrote. A version can be shown in the words of diff and reverted as a change of its
// own. The newest 1,000 versions are kept.
#ifndef BROLIX_STORE_HISTORY_H
#define BROLIX_STORE_HISTORY_H

#include "core/outcomes.h"
#include "store/write/journal.h"

#include <bson/bson.h>

#include <cstdint>
#include <string>
#include <vector>

struct DBINFO;
struct drift_t;

// The versions newest first: all of them, or those that touched one of tables. One read.
bool list_versions(DBINFO* dbinfo, const std::vector<std::string>& tables, std::vector<version_t>* versions,
                   bson_error_t* error);

// What version number changed, as diff words it (schema side before, data side after).
// False with HISTORY_NO_SUCH_VERSION or HISTORY_READ_FAILED in *code.
bool version_differences(DBINFO* dbinfo, int64_t number, version_t* version, drift_t** differences, int* code,
                         bson_error_t* error);

struct revert_t {
    int code = HISTORY_OK;
    std::vector<int64_t> later; // versions after it that changed its tables
    drift_t* plan = nullptr;    // what the revert writes: the schema now against the version's before
    int outcome = 0;            // of the revert's change (CHANGE_ outcomes), when it was tried
    std::string told;
    int64_t version = 0;        // the version the revert itself made
};
void free_revert(revert_t* revert);
// Puts back what version number replaced, as one change of its own (itself a version), under
// the writers' lock. Refused with HISTORY_LATER_VERSIONS when a later version changed one of
// its tables, unless force. With dry_run it only fills the plan. The caller asks the user
// before writing.
bool revert_version(DBINFO* dbinfo, int64_t number, bool force, bool dry_run, revert_t* revert);

// "12  2026-12-08 10:02  ann@desk  brolix-cli sync sales: added 1 table, removed 2, columns changed 5"
std::string version_line(const version_t& version);
// What a version changed, in counts ("added 1 table, removed 2, columns changed 5").
std::string version_counts(const version_t& version);
// One JSON object of a version's fields.
void append_version_json(bson_t* doc, const version_t& version);

#endif
