// The two MongoDB connections: the data database and the schema database.
#ifndef BROLIX_APP_CONNECT_H
#define BROLIX_APP_CONNECT_H

struct DBINFO;
typedef struct _mongoc_client_t mongoc_client_t;

enum { SIDE_DATA = 0, SIDE_SCHEMA = 1 };

// Builds the connection string of one side into out (2048 bytes). A string that would
// not fit leaves out empty, which the client library rejects like any bad string.
void build_connection_uri(int side, DBINFO* dbinfo, char* out);

// Opens and probes both sides. True when both answered, or when the user chose View
// Only mode for a missing schema name; false after the failure box has been shown.
bool connect_databases(DBINFO* dbinfo);

// Asks one side's server whether it answers (one ping); the library's error otherwise.
bool side_answers(DBINFO* dbinfo, int side, char* error_text);

// Asks one side's server whether it answers; when it does not, shows the box that a
// failed connection shows (its MongoDB error, exit with OK) and gives false.
bool side_still_answers(DBINFO* dbinfo, int side);

// Instruments (the benchmarks) see each client as soon as it is made, before its probe.
typedef void (*client_observer_t)(mongoc_client_t* client, int side, void* context);
void set_client_observer(client_observer_t observer, void* context);

#endif
