// The data side's pool of connections, one per reading thread of creation and
// synchronisation.
#include "core/connect.h"
#include "core/connect_parts.h"

#include "core/wire.h"

using namespace connect_internal;

namespace {

pool_observer_t pool_observer = nullptr;
void* pool_observer_context = nullptr;

} // namespace

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
