// Every outcome code of the program, grouped by what gives it. Success is 1 (0 for the
// password and data source look-ups); failures are negative, each group in ranges no other
// group shares, checked at compile time below, so a code names one outcome wherever it
// travels. The codes the start-up boxes print ("General Error : %i", "... could not be
// created (error %i).") and the command line's JSON shows keep the numbers users know
// (-1 to -39); the others are only ever compared by name.
#ifndef BROLIX_CORE_OUTCOMES_H
#define BROLIX_CORE_OUTCOMES_H

#include <initializer_list>

// Validation of the schema against the data database (store/read/validate.h).
enum validate_code {
    VALIDATE_OK = 1,
    VALIDATE_NO_COLLECTIONS = -1,       // the schema database has no collections
    VALIDATE_DOCUMENTS_INVALID = -2,    // a collection failed its document check (a creation loses no tables)
    VALIDATE_FOREIGN_COLLECTION = -3,   // a collection that is not a schema collection
    VALIDATE_NOT_LISTED = -4,           // the schema database's collections could not be listed
    VALIDATE_READ_FAILED = -5,          // a schema collection could not be read to its end
    VALIDATE_SAME_DATABASE = -18,       // the schema is the data database on the same server
    VALIDATE_COLLECTIONS_NEW = -30,     // collections that no table names
    VALIDATE_COLLECTIONS_GONE = -31,    // tables whose collections are gone
    VALIDATE_COLLECTIONS_NEW_AND_GONE = -32,
    VALIDATE_DATA_NOT_LISTED = -33,     // the data database's collections could not be listed
    VALIDATE_OUT_OF_STEP = -34,         // in step by name, but not as creation writes it
    VALIDATE_UNKNOWN_FIELDS = -35,      // documents hold fields no schema document may hold
};

// Creation and synchronisation of the schema (store/change/create.h).
enum create_code {
    CREATE_OK = 1,
    CREATE_NO_TABLES_COLLECTION = -6,   // a collection or unique index could not be made
    CREATE_NO_COLUMNS_COLLECTION = -7,
    CREATE_NO_INDEX_COLLECTION = -8,
    CREATE_NO_TABLES_INDEX_1 = -9,
    CREATE_NO_COLUMNS_INDEX_1 = -10,
    CREATE_NO_COLUMNS_INDEX_2 = -11,
    CREATE_NO_INDEX_INDEX_1 = -12,
    CREATE_DROP_FAILED = -13,           // the whole schema could not be dropped: nothing written
    CREATE_STOPPED = -19,               // a listing or a collection could not be read, or its documents
                                        // not all written: creation stops there
};
// A collection or one of its unique indexes could not be made.
constexpr bool create_collection_failed(int code)
{
    return code <= CREATE_NO_TABLES_COLLECTION && code >= CREATE_NO_INDEX_INDEX_1;
}

// The data source look-up (startup/datasource.h).
enum data_source_code {
    DATA_SOURCE_READ = 0,
    DATA_SOURCE_NOT_USABLE = -14,       // another driver's, or a value that had to be read is missing
    DATA_SOURCE_NOT_FOUND = -15,
    DATA_SOURCE_NO_LIBRARY = -16,       // the system library could not be loaded
};

// Passwords from standard input or the environment (core/secrets.h).
enum password_code {
    PASSWORDS_TAKEN = 0,
    PASSWORDS_TOO_LONG = -40,           // a password of 2048 bytes or more
    PASSWORDS_NONE_READ = -41,          // lines were asked for and none held a password
};

// A journalled change of the schema (store/write/journal.h). The words of every outcome but the
// first are in schema_change_told.
enum change_code {
    CHANGE_APPLIED = 1,
    CHANGE_NOT_STARTED = -50, // what it replaces could not be read, or the journal not kept: nothing written
    CHANGE_UNDONE = -51,      // a write failed (a server gone): the schema is as it was
    CHANGE_PENDING = -52,     // a write failed and so did putting back: the journal stays for the next start
    CHANGE_HELD = -53,        // another program holds the schema (who and since when): nothing written
    CHANGE_CONFLICT = -54,    // a table no longer holds what was read (which, by whom): nothing written
    CHANGE_CANCELLED = -55,   // cancelled: nothing written, or what was written put back
    CHANGE_FENCED = -56,      // the lock was lost (this program was stopped past its lease): stopped
                              // writing; whoever took the lock puts back what was written
    CHANGE_REFUSED = -57,     // the server refused a write (what, in its words): put back
};

// The writers' lock (store/write/lock.h).
enum lock_outcome {
    LOCK_CLAIMED = 1,
    LOCK_FAILED = -60, // the claim could not be made (error says why)
    LOCK_HELD = -61,   // a live writer holds it: holder says who
};

// A plan of changes, made and applied (store/analysis/plan.h).
enum plan_code {
    PLAN_STALE = -71,        // the schema's documents are not the ones the plan was made from
    PLAN_UNREADABLE = -72,   // not a plan file: detail says what is wrong
    PLAN_NO_SUCH_ITEM = -73, // item is not an id of the plan
    PLAN_READ_FAILED = -74,  // the schema could not be read: detail is the server's message
    PLAN_DOES_NOT_FIT = -75, // item names a column or entry the table does not have (or has)
    PLAN_WRITE_FAILED = -76, // detail is the server's message; nothing was written
    PLAN_OTHER_DATABASE = -77,
    PLAN_WRITE_PENDING = -78 // a write failed and so did putting back: the next start does
};

// A comparison of the schema with the data (store/analysis/drift.h); drift_problem_text words them
// in this order.
enum drift_code {
    DRIFT_NO_SUCH_TABLE = -81,   // problem.name is in neither the schema nor the data
    DRIFT_SCHEMA_UNREAD = -82,   // problem.name is the schema collection
    DRIFT_NOT_LISTED = -83,      // the data database's collections
    DRIFT_NOT_SAMPLED = -84,     // problem.name is the collection
    DRIFT_INDEXES_UNREAD = -85   // problem.name is the collection
};

// The schema's versions (store/analysis/history.h).
enum history_code {
    HISTORY_OK = 1,
    HISTORY_NO_SUCH_VERSION = -91, // not recorded, or no longer kept
    HISTORY_LATER_VERSIONS = -92,  // later versions changed its tables (revert: later says which)
    HISTORY_READ_FAILED = -93,     // told says what could not be read
    HISTORY_WRITE_FAILED = -94,    // the revert's change was not made: outcome and told say why
};

// A profile of tables (store/analysis/profile.h); its words are in this order.
enum profile_code {
    PROFILE_OK = 1,
    PROFILE_NO_SUCH_TABLE = -101,
    PROFILE_NOT_SAMPLED = -102,
    PROFILE_NOT_LISTED = -103,
};

// What is wrong with a schema file (store/files/schema_file.h), or why an export or import failed.
enum schema_file_code {
    SCHEMA_FILE_SYNTAX = -111,         // not JSON: detail is what was expected there
    SCHEMA_FILE_MEMBER_UNKNOWN = -112, // field is a top-level member the layout does not have
    SCHEMA_FILE_MEMBER_REPEATED = -113,
    SCHEMA_FILE_MEMBER_MISSING = -114,
    SCHEMA_FILE_MEMBER_KIND = -115,    // "format" is not schema_file_format(), or an array
                                       // member is not an array of documents
    SCHEMA_FILE_VALUE = -116,          // a document the JSON library refused: detail is its message
    SCHEMA_FILE_FIELD = -117,          // field is not a field of the collection
    SCHEMA_FILE_REPEATED = -118,       // field appears twice in one document
    SCHEMA_FILE_TYPE = -119,           // field is not of the type detail names
    SCHEMA_FILE_MISSING = -120,        // the required field is absent
    SCHEMA_FILE_CATALOG = -121,        // sql_catalog (detail) is not the catalog imported into
    SCHEMA_FILE_DUPLICATE = -122,      // same key as the document on other_line, for the index in detail
    SCHEMA_FILE_ORPHAN = -123,         // a document of a table (detail) the file's tables do not name
    SCHEMA_FILE_TOO_BIG = -124,        // a document larger than the server takes (detail: the limit)
    SCHEMA_FILE_NO_COLUMN = -125,      // an index entry's sql_col_name (detail) names no column of its table
    SCHEMA_FILE_NO_PARENT = -126,      // a virtual table whose parent (detail) is not in the file's tables
    SCHEMA_EXPORT_READ_FAILED = -131,
    SCHEMA_IMPORT_EXISTS = -132,       // the schema holds documents of the catalog already
    SCHEMA_IMPORT_WRITE_FAILED = -133, // detail of the problem record: the server's message
    SCHEMA_IMPORT_NO_LISTING = -134,   // the schema database's collections could not be listed
    SCHEMA_IMPORT_PENDING = -135,      // a write failed and so did putting back: the next start does
};

// The ranges of the groups. A group may hold several (the start-up codes interleave); no two
// ranges overlap, and each code above lies in a range of its own group.
namespace outcome_ranges {

enum group_t { VALIDATE, CREATE, DATA_SOURCE, PASSWORDS, CHANGE, LOCK, PLAN, DRIFT, HISTORY, PROFILE, SCHEMA_FILE };

struct range_t {
    group_t group;
    int high, low; // low <= code <= high
};

constexpr range_t ranges[] = {
    {VALIDATE, -1, -5},     {CREATE, -6, -13},     {DATA_SOURCE, -14, -17}, {VALIDATE, -18, -18},
    {CREATE, -19, -19},     {VALIDATE, -30, -39},  {PASSWORDS, -40, -49},   {CHANGE, -50, -59},
    {LOCK, -60, -69},       {PLAN, -70, -79},      {DRIFT, -80, -89},       {HISTORY, -90, -99},
    {PROFILE, -100, -109},  {SCHEMA_FILE, -110, -139},
};

constexpr bool disjoint()
{
    for (const range_t& a : ranges) {
        if (a.low > a.high || a.high >= 0)
            return false;
        for (const range_t& b : ranges)
            if (&a != &b && a.low <= b.high && b.low <= a.high)
                return false;
    }
    return true;
}

// Every failure code of the list lies in a range of group, and no two are the same.
constexpr bool in_group(group_t group, std::initializer_list<int> codes)
{
    for (const int* c = codes.begin(); c != codes.end(); ++c) {
        bool placed = false;
        for (const range_t& r : ranges)
            placed = placed || (r.group == group && *c <= r.high && *c >= r.low);
        if (!placed)
            return false;
        for (const int* d = codes.begin(); d != c; ++d)
            if (*d == *c)
                return false;
    }
    return true;
}

static_assert(disjoint(), "two outcome ranges overlap");
static_assert(in_group(VALIDATE, {VALIDATE_NO_COLLECTIONS, VALIDATE_DOCUMENTS_INVALID, VALIDATE_FOREIGN_COLLECTION,
                                  VALIDATE_NOT_LISTED, VALIDATE_READ_FAILED, VALIDATE_SAME_DATABASE,
                                  VALIDATE_COLLECTIONS_NEW, VALIDATE_COLLECTIONS_GONE,
                                  VALIDATE_COLLECTIONS_NEW_AND_GONE, VALIDATE_DATA_NOT_LISTED, VALIDATE_OUT_OF_STEP,
                                  VALIDATE_UNKNOWN_FIELDS}),
              "a validation code outside its ranges");
static_assert(in_group(CREATE, {CREATE_NO_TABLES_COLLECTION, CREATE_NO_COLUMNS_COLLECTION, CREATE_NO_INDEX_COLLECTION,
                                CREATE_NO_TABLES_INDEX_1, CREATE_NO_COLUMNS_INDEX_1, CREATE_NO_COLUMNS_INDEX_2,
                                CREATE_NO_INDEX_INDEX_1, CREATE_DROP_FAILED, CREATE_STOPPED}),
              "a creation code outside its ranges");
static_assert(in_group(DATA_SOURCE, {DATA_SOURCE_NOT_USABLE, DATA_SOURCE_NOT_FOUND, DATA_SOURCE_NO_LIBRARY}),
              "a data source code outside its range");
static_assert(in_group(PASSWORDS, {PASSWORDS_TOO_LONG, PASSWORDS_NONE_READ}), "a password code outside its range");
static_assert(in_group(CHANGE, {CHANGE_NOT_STARTED, CHANGE_UNDONE, CHANGE_PENDING, CHANGE_HELD, CHANGE_CONFLICT,
                                CHANGE_CANCELLED, CHANGE_FENCED, CHANGE_REFUSED}),
              "a change outcome outside its range");
static_assert(in_group(LOCK, {LOCK_FAILED, LOCK_HELD}), "a lock outcome outside its range");
static_assert(in_group(PLAN, {PLAN_STALE, PLAN_UNREADABLE, PLAN_NO_SUCH_ITEM, PLAN_READ_FAILED, PLAN_DOES_NOT_FIT,
                              PLAN_WRITE_FAILED, PLAN_OTHER_DATABASE, PLAN_WRITE_PENDING}),
              "a plan code outside its range");
static_assert(in_group(DRIFT, {DRIFT_NO_SUCH_TABLE, DRIFT_SCHEMA_UNREAD, DRIFT_NOT_LISTED, DRIFT_NOT_SAMPLED,
                               DRIFT_INDEXES_UNREAD}),
              "a drift code outside its range");
static_assert(in_group(HISTORY, {HISTORY_NO_SUCH_VERSION, HISTORY_LATER_VERSIONS, HISTORY_READ_FAILED,
                                 HISTORY_WRITE_FAILED}),
              "a history code outside its range");
static_assert(in_group(PROFILE, {PROFILE_NO_SUCH_TABLE, PROFILE_NOT_SAMPLED, PROFILE_NOT_LISTED}),
              "a profile code outside its range");
static_assert(in_group(SCHEMA_FILE, {SCHEMA_FILE_SYNTAX, SCHEMA_FILE_MEMBER_UNKNOWN, SCHEMA_FILE_MEMBER_REPEATED,
                                     SCHEMA_FILE_MEMBER_MISSING, SCHEMA_FILE_MEMBER_KIND, SCHEMA_FILE_VALUE,
                                     SCHEMA_FILE_FIELD, SCHEMA_FILE_REPEATED, SCHEMA_FILE_TYPE, SCHEMA_FILE_MISSING,
                                     SCHEMA_FILE_CATALOG, SCHEMA_FILE_DUPLICATE, SCHEMA_FILE_ORPHAN,
                                     SCHEMA_FILE_TOO_BIG, SCHEMA_FILE_NO_COLUMN, SCHEMA_FILE_NO_PARENT,
                                     SCHEMA_EXPORT_READ_FAILED, SCHEMA_IMPORT_EXISTS, SCHEMA_IMPORT_WRITE_FAILED,
                                     SCHEMA_IMPORT_NO_LISTING, SCHEMA_IMPORT_PENDING}),
              "a schema file code outside its range");

} // namespace outcome_ranges

#endif
