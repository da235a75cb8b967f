// The schema check that ends start-up: validation, and creation or synchronisation
// when the user agrees.
#ifndef BROLIX_STARTUP_SCHEMA_CHECK_H
#define BROLIX_STARTUP_SCHEMA_CHECK_H

#include "core/dbinfo.h"

#include <string>

// Validates the schema (or lists the data collections in View Only mode) and asks
// what each outcome needs. False when the program must end: the box saying why has
// been shown. On true the mode is fixed for good.
bool check_schema_at_start(DBINFO* dbinfo);

// The texts of a start-up box: the window shows them, the command line prints them.
struct start_up_text_t {
    char text[DBINFO_TEXT];
    const char* informative;
};
// The box for a validation code in Edit mode (md_database filled in).
void validation_text(const DBINFO* dbinfo, int code, start_up_text_t* out);
// The box for a failed validation of a schema that may not be written.
void read_only_text(const DBINFO* dbinfo, start_up_text_t* out);
// The box for a removal of unknown fields that failed, with the server's words.
void repair_failed_text(const DBINFO* dbinfo, const char* reason, start_up_text_t* out);
// The box for a creation that failed with code.
void creation_failed_text(const DBINFO* dbinfo, int code, start_up_text_t* out);

// What a failed comparison of the data with the schema (diff, a plan) could not read, named.
struct drift_problem_t;
std::string drift_problem_text(const drift_problem_t* problem);

// What the start told of a change left unfinished (startup/start.h), as boxes: the line of
// what was settled; a journal that could not be settled, with the offer to set it aside
// when starting again will not settle it. False when the program must end.
struct start_t;
bool settle_told(DBINFO* dbinfo, const start_t& started);

// The window title of the mode.
const char* mode_title(int mode);

#endif
