// The two MongoDB connections: the data database and the schema database.
#ifndef BROLIX_CORE_CONNECT_H
#define BROLIX_CORE_CONNECT_H

#include "core/dbinfo.h"

#include <bson/bson.h>

#include <string>

struct DBINFO;
typedef struct _mongoc_client_t mongoc_client_t;
typedef struct _mongoc_client_pool_t mongoc_client_pool_t;


// A server setting is a host name (dialled on port 27017, the opened database
// authenticating) or a connection string of its own, "mongodb://" or "mongodb+srv://".
bool is_connection_string(const char* server);

// Builds the connection string of one side into out (2048 bytes): the side's user and
// password, percent-encoded, go into a string that carries no user of its own. A string
// that would not fit, or that the library would misread, leaves out empty, which the
// client library rejects like any bad string.
void build_connection_uri(int side, DBINFO* dbinfo, char* out);

// The hosts a server setting names, for every text that names a server: a host name as
// it stands, a connection string's host list or SRV name without user or password.
void server_hosts(const char* server, char* out);

// Opens and probes both sides. True when both answered, or when the user chose View
// Only mode for a missing schema name; false after the failure box has been shown.
bool connect_databases(DBINFO* dbinfo);

// After work was cancelled: the clients had connections cut, and the library would not
// look for a server that failed again for a while (5 s). New clients connect anew at the
// next request; the old ones stay, as every client does, until the process ends.
void renew_connections(DBINFO* dbinfo);

// A client of one side of the caller's own (for another thread), or null; the caller
// destroys it. No request is made.
mongoc_client_t* open_side_client(DBINFO* dbinfo, int side);

// The user a side logs in as (the setting, or the connection string's own), or "".
std::string side_user(DBINFO* dbinfo, int side);

// Asks one side's server whether it answers (one ping); the library's error otherwise.
bool side_answers(DBINFO* dbinfo, int side, bson_error_t* error);

// Asks one side's server whether it answers; when it does not, shows the box that a
// failed connection shows (its MongoDB error, exit with OK) and gives false.
bool side_still_answers(DBINFO* dbinfo, int side);

// Plain words for a failed request of a side, naming the server (2048 bytes): "the schema
// server 127.0.0.1 did not answer within 10 s", "cancelled", ... Errors the server itself
// gave keep its message.
void describe_request_failure(DBINFO* dbinfo, int side, const bson_error_t* error, char* out);

// Instruments (the benchmarks) see each client as soon as it is made, before its probe.
typedef void (*client_observer_t)(mongoc_client_t* client, int side, void* context);
void set_client_observer(client_observer_t observer, void* context);
typedef void (*pool_observer_t)(mongoc_client_pool_t* pool, void* context);
void set_pool_observer(pool_observer_t observer, void* context);

// Clients of the data side for reads on several threads at once (a libmongoc pool of at
// most size connections, its own monitor thread); null when none can be made. Each
// client is popped by the thread that uses it and pushed back before close_data_pool.
struct data_pool_t;
data_pool_t* open_data_pool(DBINFO* dbinfo, int size);
mongoc_client_t* pool_pop(data_pool_t* pool);
void pool_push(data_pool_t* pool, mongoc_client_t* client);
void close_data_pool(data_pool_t* pool);

#endif
