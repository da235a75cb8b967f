// Synchronising a schema with its data: the tables gone, the tables added and the index
// entries of the tables kept, as one change.
#ifndef BROLIX_STORE_SYNC_H
#define BROLIX_STORE_SYNC_H

#include "core/outcomes.h"

struct DBINFO;

// Brings the schema in line after validation gave a VALIDATE_COLLECTIONS_ code; returns 1.
int synchronise_schema(DBINFO* dbinfo, int code);
// How the last synchronisation ended: CREATE_OK written (or nothing to write),
// CREATE_STOPPED a collection could not be read (nothing written), or the outcome of its
// change (store/write/journal.h); and the words of a failure.
int last_sync_outcome(void);
const char* last_sync_told(void);

#endif
