// The schema database's three collections made, each with its unique indexes, in the
// order the driver's schema needs them: tables, columns, index.
#ifndef BROLIX_STORE_COLLECTIONS_H
#define BROLIX_STORE_COLLECTIONS_H

struct DBINFO;

// The first failure ends it, with its creation code (core/outcomes.h) in *code; nothing
// made before it is undone. Its diagnostic line is printed only when tell is set.
bool make_schema_collections(DBINFO* dbinfo, int* code, bool tell);

#endif
