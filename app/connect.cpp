#include "app/connect.h"

#include "app/dbinfo.h"
#include "app/message.h"

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

mongoc_client_t* new_client(const char* text)
{
    mongoc_uri_t* uri = text[0] ? mongoc_uri_new_with_error(text, nullptr) : nullptr;
    if (!uri)
        return nullptr;
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_CONNECTTIMEOUTMS, connect_timeout_ms);
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_SOCKETTIMEOUTMS, socket_timeout_ms);
    mongoc_client_t* client = mongoc_client_new_from_uri(uri);
    mongoc_uri_destroy(uri);
    return client;
}

struct side_result {
    bool connected = false;
    std::string error;
};

side_result open_side(DBINFO* d, int side)
{
    side_result result;
    char uri[DBINFO_TEXT];
    build_connection_uri(side, d, uri);
    mongoc_client_t* client = new_client(uri);
    mongoc_database_t* db = nullptr;
    if (client) {
        keep_for_process(client);
        if (client_observer)
            client_observer(client, side, client_observer_context);
        if (d->ssl && std::strcmp(d->ssl, "Y") == 0)
            mongoc_client_set_ssl_opts(client, &d->ssl_opts);
        db = mongoc_client_get_database(client, side == SIDE_DATA ? d->database : d->md_database);
        keep_for_process(db);
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

bool connect_databases(DBINFO* d)
{
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

bool side_answers(DBINFO* d, int side, char* error_text)
{
    mongoc_client_t* client = side == SIDE_DATA ? d->client : d->md_client;
    bson_t ping = BSON_INITIALIZER;
    BSON_APPEND_INT32(&ping, "ping", 1);
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    bool answers = client && mongoc_client_command_simple(client, "admin", &ping, nullptr, nullptr, &error);
    bson_destroy(&ping);
    if (error_text)
        format_text(error_text, "%s", error.message);
    return answers;
}

bool side_still_answers(DBINFO* d, int side)
{
    char error[DBINFO_TEXT];
    if (side_answers(d, side, error))
        return true;
    side_result lost;
    lost.error = error;
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
