// The schema check that ends start-up: validation, and creation or synchronisation
// when the user agrees.
#ifndef BROLIX_APP_SCHEMA_CHECK_H
#define BROLIX_APP_SCHEMA_CHECK_H

struct DBINFO;

// Validates the schema (or lists the data collections in View Only mode) and asks
// what each outcome needs. False when the program must end: the box saying why has
// been shown. On true the mode is fixed for good.
bool check_schema_at_start(DBINFO* dbinfo);

// The window title of the mode.
const char* mode_title(int mode);

#endif
