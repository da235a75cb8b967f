// What the connections and the data pool share: a side's connection string parsed and
// completed, the TLS settings for it, and the words for a string that was not taken.
#pragma once

#include <mongoc/mongoc.h>
#include <string>

struct DBINFO;

namespace connect_internal {

// How long a pooled client waits for a server its monitor lost (see core/pool.cpp).
const int32_t pool_selection_timeout_ms = 2000;

// A side's connection, parsed and then completed with the client library's own setters:
// a server setting that is a connection string as it stands, the settings adding only
// what it does not say (a user, TLS); a host name on port 27017, a user logging in
// against the side's database. Null with error when the string was not taken.
mongoc_uri_t* side_uri(int side, DBINFO* d, bson_error_t* error);

// What the side's connections speak TLS with: the settings' files (-cafile, the data
// source, ...), and for what they leave out, the connection string's own tls options. A
// string that asks for TLS gets it whatever the settings say. Null: plain connections.
struct tls_settings_t {
    mongoc_ssl_opt_t opts;
    std::string text[5];
};
const mongoc_ssl_opt_t* tls_settings(const DBINFO* d, const mongoc_uri_t* uri, tls_settings_t* out);

// Why a side's connection string was not taken, or its client not made (an SRV name that
// does not resolve). The library's words can quote a user name or password between double
// quotes; those parts are left out.
std::string refusal_text(const char* server, const bson_error_t* client_error);

} // namespace connect_internal
