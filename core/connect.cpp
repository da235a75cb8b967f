// The two connections: each side's client made and checked, kept for the process, renewed,
// and what a failed request on it is told as.
#include "core/connect.h"
#include "core/connect_parts.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/secrets.h"
#include "core/wire.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

using namespace connect_internal;

namespace {

client_observer_t client_observer = nullptr;
void* client_observer_context = nullptr;

// Messages are formatted into 2048-byte buffers; a longer text is cut there.
void format_text(char* out, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, DBINFO_TEXT, format, args);
    va_end(args);
}

struct side_result {
    bool connected = false;
    std::string error;
};

// A side's client and database handle, kept for the process unless db is null; no
// request is made.
mongoc_client_t* make_side_client(DBINFO* d, int side, mongoc_database_t** db, bson_error_t* error = nullptr)
{
    if (db)
        *db = nullptr;
    bson_error_t refused;
    mongoc_uri_t* uri = side_uri(side, d, error ? error : &refused);
    if (!uri)
        return nullptr;
    mongoc_client_t* client = mongoc_client_new_from_uri_with_error(uri, error);
    // A server's refusal in the domain MONGOC_ERROR_SERVER, whatever call got it: the store
    // tells refusals (code 13: a role missing) from a server gone by it.
    if (client)
        mongoc_client_set_error_api(client, MONGOC_ERROR_API_VERSION_2);
    tls_settings_t tls;
    const mongoc_ssl_opt_t* tls_opts = client ? tls_settings(d, uri, &tls) : nullptr;
    mongoc_uri_destroy(uri);
    if (!client)
        return nullptr;
    if (db)
        keep_for_process(client);
    if (client_observer)
        client_observer(client, side, client_observer_context);
    if (tls_opts)
        mongoc_client_set_ssl_opts(client, tls_opts);
    watch_client(client, wire_side_new(side, tls_opts));
    if (db) {
        *db = mongoc_client_get_database(client, side == SIDE_DATA ? d->database : d->md_database);
        keep_for_process(*db);
    }
    return client;
}

side_result open_side(DBINFO* d, int side)
{
    side_result result;
    mongoc_database_t* db = nullptr;
    bson_error_t client_error{};
    mongoc_client_t* client = make_side_client(d, side, &db, &client_error);
    if (client) {
        bson_error_t error;
        std::memset(&error, 0, sizeof error);
        mongoc_database_has_collection(db, "system.indexes", &error);
        result.connected = error.code == 0;
        result.error = error.message;
    } else if (is_connection_string(side == SIDE_DATA ? d->server : d->md_server)) {
        result.error = refusal_text(side == SIDE_DATA ? d->server : d->md_server, &client_error);
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

mongoc_client_t* open_side_client(DBINFO* d, int side)
{
    return make_side_client(d, side, nullptr);
}

std::string side_user(DBINFO* d, int side)
{
    bson_error_t refused;
    mongoc_uri_t* uri = side_uri(side, d, &refused);
    const char* user = uri ? mongoc_uri_get_username(uri) : nullptr;
    std::string name = user ? user : "";
    mongoc_uri_destroy(uri);
    return name;
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

namespace {

bool network_error(const bson_error_t* error)
{
    return error->domain == MONGOC_ERROR_STREAM || error->domain == MONGOC_ERROR_SERVER_SELECTION;
}

} // namespace

void describe_request_failure(DBINFO* d, int side, const bson_error_t* error, char* out)
{
    const char* who = side == SIDE_SCHEMA ? "schema" : "data";
    char server[DBINFO_TEXT];
    server_hosts(side == SIDE_SCHEMA ? d->md_server : d->server, server);
    int seconds = 0;
    wire_fault fault = last_wire_fault(side, &seconds);
    if (wire_cancelled() || (fault == WIRE_CANCELLED && network_error(error))) {
        std::snprintf(out, DBINFO_TEXT, "cancelled");
        return;
    }
    if (error->domain == MONGOC_ERROR_CLIENT && error->code == MONGOC_ERROR_CLIENT_AUTHENTICATE) {
        std::snprintf(out, DBINFO_TEXT, "the %s server %.1000s refused the user name or password", who, server);
        return;
    }
    if (!network_error(error)) {
        std::snprintf(out, DBINFO_TEXT, "the %s server %.1000s answered: %.900s", who, server, error->message);
        return;
    }
    switch (fault) {
    case WIRE_TIMEOUT:
        std::snprintf(out, DBINFO_TEXT, "the %s server %.1000s did not answer within %d s", who, server, seconds);
        break;
    case WIRE_REFUSED:
        std::snprintf(out, DBINFO_TEXT, "the %s server %.1000s refused the connection", who, server);
        break;
    case WIRE_CLOSED:
        std::snprintf(out, DBINFO_TEXT, "the %s server %.1000s closed the connection", who, server);
        break;
    default:
        std::snprintf(out, DBINFO_TEXT, "the %s server %.1000s could not be reached", who, server);
        break;
    }
}
