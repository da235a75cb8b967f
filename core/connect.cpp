#include "core/connect.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/secrets.h"
#include "core/wire.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

void build_connection_uri(int side, DBINFO* d, char* out)
{
    const char* user = side == SIDE_DATA ? d->user : d->md_user;
    const char* password = side == SIDE_DATA ? d->password : d->md_password;
    const char* server = side == SIDE_DATA ? d->server : d->md_server;
    const char* database = side == SIDE_DATA ? d->database : d->md_database;
    bool credentials = user[0] || password[0];

    std::string uri = "mongodb://";
    if (credentials) {
        // Taken as they are: the string is the one the driver would build.
        uri += user;
        uri += ":";
        uri += password;
        uri += "@";
    }
    uri += server;
    uri += ":27017";
    if (credentials) {
        uri += "/";
        uri += database;
    }
    if (d->ssl && std::strcmp(d->ssl, "Y") == 0) {
        // The client library refuses options straight after the port.
        if (!credentials)
            uri += "/";
        uri += "?ssl=true";
    }
    if (uri.size() >= DBINFO_TEXT) {
        out[0] = '\0';
        return;
    }
    std::memcpy(out, uri.c_str(), uri.size() + 1);
}

namespace {

client_observer_t client_observer = nullptr;
void* client_observer_context = nullptr;
pool_observer_t pool_observer = nullptr;
void* pool_observer_context = nullptr;

bool speaks_tls(const DBINFO* d) { return d->ssl && std::strcmp(d->ssl, "Y") == 0; }

// Messages are formatted into 2048-byte buffers; a longer text is cut there.
void format_text(char* out, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, DBINFO_TEXT, format, args);
    va_end(args);
}

// A server that accepts and never answers would hold the window for the library's
// default five minutes per request. Every request is bounded instead; set on the parsed
// string, so the string stays the one built above. The bounds are for a server that is
// gone, not for one that is busy: FerretDB holds a request up to 10 s while it waits for
// its SQLite lock (busy_timeout), and every other request waits behind that, so an answer
// must be allowed well past 10 s (twice that). A new handshake gets the library's 10 s.
const int32_t connect_timeout_ms = 10000;
const int32_t socket_timeout_ms = 20000;
const int32_t pool_selection_timeout_ms = 2000;

mongoc_uri_t* new_uri(const char* text)
{
    mongoc_uri_t* uri = text[0] ? mongoc_uri_new_with_error(text, nullptr) : nullptr;
    if (!uri)
        return nullptr;
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_CONNECTTIMEOUTMS, connect_timeout_ms);
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_SOCKETTIMEOUTMS, socket_timeout_ms);
    return uri;
}

mongoc_client_t* new_client(const char* text)
{
    mongoc_uri_t* uri = new_uri(text);
    if (!uri)
        return nullptr;
    mongoc_client_t* client = mongoc_client_new_from_uri(uri);
    mongoc_uri_destroy(uri);
    return client;
}

struct side_result {
    bool connected = false;
    std::string error;
};

// A side's client and database handle, kept for the process; no request is made.
mongoc_client_t* make_side_client(DBINFO* d, int side, mongoc_database_t** db)
{
    char uri[DBINFO_TEXT];
    build_connection_uri(side, d, uri);
    mongoc_client_t* client = new_client(uri);
    *db = nullptr;
    if (!client)
        return nullptr;
    keep_for_process(client);
    if (client_observer)
        client_observer(client, side, client_observer_context);
    if (speaks_tls(d))
        mongoc_client_set_ssl_opts(client, &d->ssl_opts);
    watch_client(client, wire_side_new(side, speaks_tls(d) ? &d->ssl_opts : nullptr));
    *db = mongoc_client_get_database(client, side == SIDE_DATA ? d->database : d->md_database);
    keep_for_process(*db);
    return client;
}

side_result open_side(DBINFO* d, int side)
{
    side_result result;
    mongoc_database_t* db = nullptr;
    mongoc_client_t* client = make_side_client(d, side, &db);
    if (client) {
        bson_error_t error;
        std::memset(&error, 0, sizeof error);
        mongoc_database_has_collection(db, "system.indexes", &error);
        result.connected = error.code == 0;
        result.error = error.message;
    }
    if (side == SIDE_DATA) {
        d->client = client;
        d->db = db;
    } else {
        d->md_client = client;
        d->md_db = db;
    }
    return result;
}

void report_failure(const char* headline, const side_result& data, const side_result& schema)
{
    std::string informative;
    if (!data.connected && !data.error.empty())
        informative += "MongoDB Error:" + data.error + "\n";
    if (!schema.connected && !schema.error.empty())
        informative += "MongoDB Error:" + schema.error + "\n";
    informative += "\nPlease press OK to exit.";
    brolix_message(headline, informative.c_str(), BTN_OK, BTN_OK);
}

} // namespace

void set_client_observer(client_observer_t observer, void* context)
{
    client_observer = observer;
    client_observer_context = context;
}

void set_pool_observer(pool_observer_t observer, void* context)
{
    pool_observer = observer;
    pool_observer_context = context;
}

struct data_pool_t {
    mongoc_client_pool_t* pool;
    wire_side_t* wire;
};

data_pool_t* open_data_pool(DBINFO* d, int size)
{
    char text[DBINFO_TEXT];
    build_connection_uri(SIDE_DATA, d, text);
    mongoc_uri_t* uri = new_uri(text);
    if (!uri)
        return nullptr;
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_MAXPOOLSIZE, size);
    // A pooled client waits for its monitor to find a server that failed again: long enough
    // for a few of its checks (every half second), not for one that stays away, where a
    // single client gives up after one try.
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_SERVERSELECTIONTIMEOUTMS, pool_selection_timeout_ms);
    // The pool lives for one creation: its monitor need not check a server that answers
    // (a failed request has it checked at once), and closing it need not wait for a check
    // caught on a hung server.
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_HEARTBEATFREQUENCYMS, 60000);
    mongoc_client_pool_t* pool = mongoc_client_pool_new(uri);
    mongoc_uri_destroy(uri);
    if (!pool)
        return nullptr;
    if (speaks_tls(d))
        mongoc_client_pool_set_ssl_opts(pool, &d->ssl_opts);
    if (pool_observer)
        pool_observer(pool, pool_observer_context);
    data_pool_t* p = new data_pool_t{pool, wire_side_new(SIDE_DATA, speaks_tls(d) ? &d->ssl_opts : nullptr)};
    return p;
}

mongoc_client_t* pool_pop(data_pool_t* p)
{
    mongoc_client_t* client = mongoc_client_pool_pop(p->pool);
    watch_client(client, p->wire);
    return client;
}

void pool_push(data_pool_t* p, mongoc_client_t* client) { mongoc_client_pool_push(p->pool, client); }

void close_data_pool(data_pool_t* p)
{
    if (!p)
        return;
    mongoc_client_pool_destroy(p->pool);
    delete p;
}

bool connect_databases(DBINFO* d)
{
    remember_secrets(d);
    // A key under a password, with none given, would have OpenSSL ask for it on the
    // terminal, where nobody answers a window or a script: an empty one fails at once.
    if (d->ssl_opts.pem_file && !d->ssl_opts.pem_pwd)
        d->ssl_opts.pem_pwd = keep_string("");
    side_result data = open_side(d, SIDE_DATA);
    side_result schema = open_side(d, SIDE_SCHEMA);
    if (data.connected && schema.connected)
        return true;

    char headline[DBINFO_TEXT] = "";
    if (!data.connected) {
        if (!d->database[0])
            format_text(headline, "No database name given.");
        else
            format_text(headline, "Could not connect to Database - '%s'", d->database);
    }
    if (!schema.connected) {
        if (!d->md_database[0])
            format_text(headline, "No schema name given.");
        else
            format_text(headline, "Could not connect to Schema - '%s'", d->md_database);
    }

    if (!schema.connected && !d->md_database[0] && data.connected) {
        int answer = brolix_message("A schema name is not defined for the datasource.",
                                    "Press 'Yes' to view the data anyway or \npress 'No' to go back and add a schema name?",
                                    BTN_YES_NO, BTN_YES);
        if (answer == BTN_YES) {
            d->mode = MODE_VIEW_ONLY;
            return true;
        }
        return false;
    }

    report_failure(headline, data, schema);
    return false;
}

void renew_connections(DBINFO* d)
{
    for (int side : {SIDE_DATA, SIDE_SCHEMA}) {
        mongoc_client_t*& client = side == SIDE_DATA ? d->client : d->md_client;
        mongoc_database_t*& db = side == SIDE_DATA ? d->db : d->md_db;
        mongoc_database_t* fresh_db = nullptr;
        mongoc_client_t* fresh = client ? make_side_client(d, side, &fresh_db) : nullptr;
        if (fresh)
            client = fresh, db = fresh_db;
    }
}

bool side_answers(DBINFO* d, int side, bson_error_t* error)
{
    mongoc_client_t* client = side == SIDE_DATA ? d->client : d->md_client;
    bson_t ping = BSON_INITIALIZER;
    BSON_APPEND_INT32(&ping, "ping", 1);
    std::memset(error, 0, sizeof *error);
    // Cancelled work asks no server: a look for one now would fail, and the library then
    // looks again only after a while.
    if (wire_cancelled()) {
        bson_destroy(&ping);
        bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_SOCKET, "Cancelled");
        return false;
    }
    bool answers = client && mongoc_client_command_simple(client, "admin", &ping, nullptr, nullptr, error);
    bson_destroy(&ping);
    return answers;
}

bool side_still_answers(DBINFO* d, int side)
{
    bson_error_t error;
    if (side_answers(d, side, &error))
        return true;
    side_result lost;
    lost.error = error.message;
    char headline[DBINFO_TEXT];
    if (side == SIDE_DATA)
        format_text(headline, "Could not connect to Database - '%s'", d->database);
    else
        format_text(headline, "Could not connect to Schema - '%s'", d->md_database);
    side_result fine;
    fine.connected = true;
    report_failure(headline, side == SIDE_DATA ? lost : fine, side == SIDE_DATA ? fine : lost);
    return false;
}
