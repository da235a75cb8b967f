#include "core/connect.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/secrets.h"
#include "core/wire.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

bool speaks_tls(const DBINFO* d) { return d->ssl && std::strcmp(d->ssl, "Y") == 0; }

// Every byte but the unreserved ones of RFC 3986, so that any user name or password
// reaches the server as it was typed.
std::string percent_encoded(const char* text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        if (std::isalnum(*p) || std::strchr("-._~", *p))
            out += char(*p);
        else
            out += '%', out += hex[*p >> 4], out += hex[*p & 15];
    }
    return out;
}

bool starts_with(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// The part between the scheme and the first '/' or '?': user, password and hosts.
std::string authority(const char* text)
{
    const char* from = std::strstr(text, "://");
    from = from ? from + 3 : text;
    return std::string(from, std::strcspn(from, "/?"));
}

// Options go after a '/' that ends the host list; the library refuses them straight after it.
void append_option(std::string& uri, const char* option)
{
    if (uri.find('?') != std::string::npos)
        uri += "&";
    else
        uri += authority(uri.c_str()).size() + uri.find("://") + 3 == uri.size() ? "/?" : "?";
    uri += option;
}

} // namespace

bool is_connection_string(const char* server)
{
    return starts_with(server, "mongodb://") || starts_with(server, "mongodb+srv://");
}

void server_hosts(const char* server, char* out)
{
    std::string hosts = server;
    if (is_connection_string(server)) {
        hosts = authority(server);
        size_t at = hosts.rfind('@');
        if (at != std::string::npos)
            hosts.erase(0, at + 1);
    }
    std::snprintf(out, DBINFO_TEXT, "%s", hosts.c_str());
}

void build_connection_uri(int side, DBINFO* d, char* out)
{
    const char* user = side == SIDE_DATA ? d->user : d->md_user;
    const char* password = side == SIDE_DATA ? d->password : d->md_password;
    const char* server = side == SIDE_DATA ? d->server : d->md_server;
    const char* database = side == SIDE_DATA ? d->database : d->md_database;
    bool credentials = user[0] || password[0];
    std::string userinfo = percent_encoded(user) + ":" + percent_encoded(password) + "@";
    out[0] = '\0';

    std::string uri;
    if (is_connection_string(server)) {
        // Taken as it stands; the settings add only what it does not say itself.
        mongoc_uri_t* given = mongoc_uri_new_with_error(server, nullptr);
        if (!given || authority(server).find('@') != authority(server).rfind('@')) {
            mongoc_uri_destroy(given);
            return;
        }
        bool own_user = mongoc_uri_get_username(given) != nullptr;
        bool tls = mongoc_uri_get_tls(given);
        const char* mechanism = mongoc_uri_get_auth_mechanism(given);
        // A certificate is the whole identity: a password would be refused.
        if (mechanism && std::strcmp(mechanism, "MONGODB-X509") == 0)
            userinfo = user[0] ? percent_encoded(user) + "@" : "";
        mongoc_uri_destroy(given);
        uri = server;
        if (credentials && !own_user)
            uri.insert(uri.find("://") + 3, userinfo);
        if (speaks_tls(d) && !tls)
            append_option(uri, "tls=true");
    } else {
        uri = "mongodb://";
        if (credentials)
            uri += userinfo;
        uri += server;
        uri += ":27017";
        if (credentials) {
            uri += "/";
            uri += database;
        }
        if (speaks_tls(d))
            append_option(uri, "ssl=true");
    }
    if (uri.size() < DBINFO_TEXT)
        std::memcpy(out, uri.c_str(), uri.size() + 1);
}

namespace {

client_observer_t client_observer = nullptr;
void* client_observer_context = nullptr;
pool_observer_t pool_observer = nullptr;
void* pool_observer_context = nullptr;

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

void with_bounds(mongoc_uri_t* uri);

// A side's connection, parsed and then completed with the client library's own setters:
// a server setting that is a connection string as it stands, the settings adding only
// what it does not say (a user, TLS); a host name on port 27017, a user logging in
// against the side's database. Null with error when the string was not taken.
mongoc_uri_t* side_uri(int side, DBINFO* d, bson_error_t* error)
{
    const char* user = side == SIDE_DATA ? d->user : d->md_user;
    const char* password = side == SIDE_DATA ? d->password : d->md_password;
    const char* server = side == SIDE_DATA ? d->server : d->md_server;
    const char* database = side == SIDE_DATA ? d->database : d->md_database;
    bool credentials = user[0] || password[0];
    bool given = is_connection_string(server);
    // The library would take the part after a second '@' for a host.
    if (given && authority(server).find('@') != authority(server).rfind('@')) {
        bson_set_error(error, MONGOC_ERROR_COMMAND, MONGOC_ERROR_COMMAND_INVALID_ARG,
                       "an '@' in the user name or password");
        return nullptr;
    }
    mongoc_uri_t* uri = given ? mongoc_uri_new_with_error(server, error) : mongoc_uri_new_for_host_port(server, 27017);
    if (!uri) {
        if (!given)
            bson_set_error(error, MONGOC_ERROR_COMMAND, MONGOC_ERROR_COMMAND_INVALID_ARG, "not a host name: %s", server);
        return nullptr;
    }
    const char* mechanism = mongoc_uri_get_auth_mechanism(uri);
    // A certificate is the whole identity: a password would be refused.
    bool certificate = mechanism && std::strcmp(mechanism, "MONGODB-X509") == 0;
    bool set = true;
    if (credentials && !mongoc_uri_get_username(uri)) {
        set = mongoc_uri_set_username(uri, user) && (certificate || mongoc_uri_set_password(uri, password));
        if (set && !given)
            set = mongoc_uri_set_database(uri, database);
    }
    if (set && speaks_tls(d) && !mongoc_uri_get_tls(uri))
        set = mongoc_uri_set_option_as_bool(uri, MONGOC_URI_TLS, true);
    if (!set) {
        bson_set_error(error, MONGOC_ERROR_COMMAND, MONGOC_ERROR_COMMAND_INVALID_ARG,
                       "the user name, password or database was not taken");
        mongoc_uri_destroy(uri);
        return nullptr;
    }
    with_bounds(uri);
    return uri;
}

// The bounds hold unless the connection string sets its own.
void with_bounds(mongoc_uri_t* uri)
{
    if (!mongoc_uri_has_option(uri, MONGOC_URI_CONNECTTIMEOUTMS))
        mongoc_uri_set_option_as_int32(uri, MONGOC_URI_CONNECTTIMEOUTMS, connect_timeout_ms);
    if (!mongoc_uri_has_option(uri, MONGOC_URI_SOCKETTIMEOUTMS))
        mongoc_uri_set_option_as_int32(uri, MONGOC_URI_SOCKETTIMEOUTMS, socket_timeout_ms);
}

// What the side's connections speak TLS with: the settings' files (-cafile, the data
// source, ...), and for what they leave out, the connection string's own tls options. A
// string that asks for TLS gets it whatever the settings say. Null: plain connections.
struct tls_settings_t {
    mongoc_ssl_opt_t opts;
    std::string text[5];
};

const mongoc_ssl_opt_t* tls_settings(const DBINFO* d, const mongoc_uri_t* uri, tls_settings_t* out)
{
    if (!speaks_tls(d) && !mongoc_uri_get_tls(uri))
        return nullptr;
    out->opts = speaks_tls(d) ? d->ssl_opts : mongoc_ssl_opt_t{};
    const struct {
        const char* mongoc_ssl_opt_t::*field;
        const char* option;
    } files[] = {{&mongoc_ssl_opt_t::ca_file, MONGOC_URI_TLSCAFILE},
                 {&mongoc_ssl_opt_t::pem_file, MONGOC_URI_TLSCERTIFICATEKEYFILE},
                 {&mongoc_ssl_opt_t::pem_pwd, MONGOC_URI_TLSCERTIFICATEKEYFILEPASSWORD}};
    for (size_t i = 0; i < sizeof files / sizeof files[0]; ++i) {
        const char* given = mongoc_uri_get_option_as_utf8(uri, files[i].option, nullptr);
        if (!(out->opts.*files[i].field) && given)
            out->opts.*files[i].field = (out->text[i] = given).c_str();
    }
    bool insecure = mongoc_uri_get_option_as_bool(uri, MONGOC_URI_TLSINSECURE, false);
    if (insecure || mongoc_uri_get_option_as_bool(uri, MONGOC_URI_TLSALLOWINVALIDCERTIFICATES, false))
        out->opts.weak_cert_validation = true;
    if (insecure || mongoc_uri_get_option_as_bool(uri, MONGOC_URI_TLSALLOWINVALIDHOSTNAMES, false))
        out->opts.allow_invalid_hostname = true;
    // A key under a password, with none given, would have OpenSSL ask on the terminal.
    if (out->opts.pem_file && !out->opts.pem_pwd)
        out->opts.pem_pwd = "";
    return &out->opts;
}

struct side_result {
    bool connected = false;
    std::string error;
};

// Why a side's connection string was not taken, or its client not made (an SRV name that
// does not resolve). The library's words can quote a user name or password between double
// quotes; those parts are left out.
std::string refusal_text(const char* server, const bson_error_t* client_error)
{
    std::string hosts = authority(server);
    if (hosts.find('@') != hosts.rfind('@'))
        return "The connection string holds an '@' in its user name or password: write it as %40.";
    bson_error_t error{};
    mongoc_uri_t* uri = mongoc_uri_new_with_error(server, &error);
    mongoc_uri_destroy(uri);
    std::string words = !uri ? std::string("The connection string was not accepted: ") + error.message
                        : client_error->message[0] ? client_error->message
                                                   : "The connection string is too long.";
    for (size_t open = words.find('"'); open != std::string::npos; open = words.find('"', open + 7)) {
        size_t close = words.find('"', open + 1);
        if (close == std::string::npos)
            break;
        words.replace(open + 1, close - open - 1, "*****");
    }
    return words;
}

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
    bson_error_t refused;
    mongoc_uri_t* uri = side_uri(SIDE_DATA, d, &refused);
    if (!uri)
        return nullptr;
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_MAXPOOLSIZE, size);
    // A pooled client waits for its monitor to find a server that failed again: long enough
    // for a few of its checks (every half second), not for one that stays away, where a
    // single client gives up after one try.
    if (!mongoc_uri_has_option(uri, MONGOC_URI_SERVERSELECTIONTIMEOUTMS))
        mongoc_uri_set_option_as_int32(uri, MONGOC_URI_SERVERSELECTIONTIMEOUTMS, pool_selection_timeout_ms);
    // The pool lives for one creation: its monitor need not check a server that answers
    // (a failed request has it checked at once), and closing it need not wait for a check
    // caught on a hung server.
    mongoc_uri_set_option_as_int32(uri, MONGOC_URI_HEARTBEATFREQUENCYMS, 60000);
    mongoc_client_pool_t* pool = mongoc_client_pool_new(uri);
    tls_settings_t tls;
    const mongoc_ssl_opt_t* tls_opts = pool ? tls_settings(d, uri, &tls) : nullptr;
    mongoc_uri_destroy(uri);
    if (!pool)
        return nullptr;
    mongoc_client_pool_set_error_api(pool, MONGOC_ERROR_API_VERSION_2);
    if (tls_opts)
        mongoc_client_pool_set_ssl_opts(pool, tls_opts);
    if (pool_observer)
        pool_observer(pool, pool_observer_context);
    data_pool_t* p = new data_pool_t{pool, wire_side_new(SIDE_DATA, tls_opts)};
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
