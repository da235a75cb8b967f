// Passwords: the ways to give them besides the command line, and keeping every one of
// them out of what the program shows, prints or logs.
#ifndef BROLIX_CORE_SECRETS_H
#define BROLIX_CORE_SECRETS_H

#include "core/outcomes.h"

#include <cstdio>
#include <string>

struct DBINFO;

// Fills the data, schema and PEM passwords that the command line left empty: first from
// the first three lines of `lines` unless it is null (data, schema, PEM; an empty or
// missing line gives none), then from BROLIX_DATA_PASSWORD, BROLIX_SCHEMA_PASSWORD and
// BROLIX_PEM_PASSWORD. Runs before the data source is read, which fills only what is
// still empty. True when code is PASSWORDS_TAKEN.
bool take_passwords(DBINFO* dbinfo, FILE* lines, int* code);
const char* password_error_text(int code);

// From now on the record's passwords (given, or in a server's connection string) never
// show: scrub_secrets replaces each of them, as typed or percent-encoded, by "*****"
// where a password can stand: after a ':' and before an '@' (a connection string's user
// part), or between double quotes. The same letters elsewhere are other words.
void remember_secrets(const DBINFO* dbinfo);
std::string scrub_secrets(const char* text);

// libmongoc's log lines go through scrub_secrets to the library's own handler, less its
// debug lines and a closing pool's endSessions refused. Once is enough; later calls do nothing.
void install_log_scrubber(void);

#endif
