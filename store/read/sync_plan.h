// What a synchronisation does, read off the lists validate_schema built
// (dbinfo->db_collections, dbinfo->md_tables): the synchronisation itself follows these
// rules, and a preview lists them without writing.
#ifndef BROLIX_STORE_SYNC_PLAN_H
#define BROLIX_STORE_SYNC_PLAN_H

#include "core/outcomes.h"

#include <cstdint>

struct DBINFO;
struct db_table_ref_t;

// After validation gave code: the schema table is removed (VALIDATE_COLLECTIONS_GONE or
// _NEW_AND_GONE: neither matched nor virtual).
bool sync_removes(int code, const db_table_ref_t* table);
// Every collection is sampled and gets its index entries rewritten (VALIDATE_COLLECTIONS_NEW
// or _NEW_AND_GONE) ...
bool sync_samples(int code);
// ... and one that no table names is added as a table.
bool sync_adds(int code, const db_table_ref_t* collection);

// What a synchronisation agreed to after validation gave agreed (adding collections with
// VALIDATE_COLLECTIONS_NEW, removing tables with _GONE, both with _NEW_AND_GONE;
// VALIDATE_OUT_OF_STEP counts as both) does once validation gives now: only what both call
// for, 0 when nothing is left to do.
int agreed_synchronisation(int agreed, int now);

// SYNC_CLEAR_LEFTOVERS: columns documents of a table to add, left by a write cut short
// (no table names them), go before the table is added.
enum sync_action { SYNC_REMOVE = 1, SYNC_ADD, SYNC_REFRESH_INDEXES, SYNC_KEEP_VIRTUAL, SYNC_CLEAR_LEFTOVERS };

struct sync_step_t {
    int action;
    char* table;
    int32_t columns; // the columns a new table gets, or a schema table has now
    sync_step_t* next;
};

// The steps of synchronise_schema for code, in its order (removals, then each collection),
// followed by the virtual tables it keeps. Writes nothing: the collections to add are
// sampled for their columns, reporting progress; the schema's columns are counted with
// one query. The caller frees the list.
sync_step_t* plan_synchronisation(DBINFO* dbinfo, int code);
void free_sync_steps(sync_step_t* steps);

#endif
