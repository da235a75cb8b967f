// Connection strings: a side's, built from the settings with the client library's own
// setters, its TLS settings, and the words for one that was not taken.
#include "core/connect.h"
#include "core/connect_parts.h"

#include "core/dbinfo.h"

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

// A server that accepts and never answers would hold the window for the library's
// default five minutes per request. Every request is bounded instead; set on the parsed
// string, so the string stays the one built above. The bounds are for a server that is
// gone, not for one that is busy: FerretDB holds a request up to 10 s while it waits for
// its SQLite lock (busy_timeout), and every other request waits behind that, so an answer
// must be allowed well past 10 s (twice that). A new handshake gets the library's 10 s.
const int32_t connect_timeout_ms = 10000;
const int32_t socket_timeout_ms = 20000;
// The bounds hold unless the connection string sets its own.
void with_bounds(mongoc_uri_t* uri)
{
    if (!mongoc_uri_has_option(uri, MONGOC_URI_CONNECTTIMEOUTMS))
        mongoc_uri_set_option_as_int32(uri, MONGOC_URI_CONNECTTIMEOUTMS, connect_timeout_ms);
    if (!mongoc_uri_has_option(uri, MONGOC_URI_SOCKETTIMEOUTMS))
        mongoc_uri_set_option_as_int32(uri, MONGOC_URI_SOCKETTIMEOUTMS, socket_timeout_ms);
}

} // namespace

namespace connect_internal {

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

} // namespace connect_internal
