#include "core/wire.h"

#include "core/dbinfo.h"
#include "core/secrets.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <vector>

struct wire_side_t {
    int side;
    bool tls;
    mongoc_ssl_opt_t ssl;
};

namespace {

// How long one wait on the socket lasts before the cancel flag is looked at again.
const int32_t slice_ms = 25;

std::atomic<bool> cancelled{false};
// Requests of a shielded thread are not cut by Cancel (see wire_shield).
thread_local int shielded = 0;

bool cut_now() { return cancelled && !shielded; }

struct fault_record {
    wire_fault kind = WIRE_FINE;
    int seconds = 0;
};
std::mutex faults_lock;
fault_record faults[2];

void record(int side, wire_fault kind, int seconds = 0)
{
    std::lock_guard<std::mutex> hold(faults_lock);
    faults[side == SIDE_SCHEMA].kind = kind;
    faults[side == SIDE_SCHEMA].seconds = seconds;
}

int whole_seconds(int32_t ms) { return static_cast<int>((ms + 999) / 1000); }

const char* kept(const char* text) { return text ? keep_string(text) : nullptr; }

// The layer straight above the socket: it is the root of the stream, so that polls come
// here too, and waits in slices. TLS and the buffer sit above it as libmongoc puts them.
struct cut_stream_t {
    mongoc_stream_t vtable; // first: libmongoc handles the stream by this
    mongoc_stream_t* base;
    int side;
    int32_t connect_ms; // what a poll waits for: the server's first answer
    bool timed_out;
    std::atomic<bool> in_use; // a read or write is under way
};

// A client (and so each of its connections) belongs to one thread at a time: two threads
// on one connection at once would interleave their messages. Caught here, in every build,
// where a thread sanitizer cannot see it (the client library is not instrumented).
struct one_thread_t {
    cut_stream_t* s;
    explicit one_thread_t(cut_stream_t* stream) : s(stream)
    {
        if (s->in_use.exchange(true)) {
            std::fprintf(stderr, "brolix: one connection used by two threads at once\n");
            std::abort();
        }
    }
    ~one_thread_t() { s->in_use = false; }
};

cut_stream_t* cut(mongoc_stream_t* stream) { return reinterpret_cast<cut_stream_t*>(stream); }

int64_t now_ms() { return bson_get_monotonic_time() / 1000; }

// The next wait: a slice, or what is left before the deadline (negative: no deadline).
int32_t next_wait(int64_t deadline)
{
    if (deadline < 0)
        return slice_ms;
    int64_t left = deadline - now_ms();
    return static_cast<int32_t>(left < slice_ms ? (left > 0 ? left : 0) : slice_ms);
}

// Steps an iovec list past n bytes.
void advance(std::vector<mongoc_iovec_t>& iov, size_t& first, size_t n)
{
    while (first < iov.size() && n >= iov[first].iov_len)
        n -= iov[first++].iov_len;
    if (first < iov.size()) {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + n;
        iov[first].iov_len -= n;
    }
}

// Before each slice of a read or write: false when the call ends now, cancelled or out of
// its time (both recorded for the side), else the wait of the slice.
bool next_slice(cut_stream_t* s, int64_t deadline, int32_t timeout_msec, int32_t* wait)
{
    if (cut_now()) {
        record(s->side, WIRE_CANCELLED);
        errno = ECANCELED;
        return false;
    }
    *wait = next_wait(deadline);
    if (*wait > 0)
        return true;
    record(s->side, WIRE_TIMEOUT, whole_seconds(timeout_msec));
    s->timed_out = true;
    errno = ETIMEDOUT;
    return false;
}

ssize_t cut_readv(mongoc_stream_t* stream, mongoc_iovec_t* iov, size_t iovcnt, size_t min_bytes,
                  int32_t timeout_msec)
{
    cut_stream_t* s = cut(stream);
    one_thread_t only(s);
    s->timed_out = false;
    if (timeout_msec == 0 && !cut_now())
        return mongoc_stream_readv(s->base, iov, iovcnt, min_bytes, 0);
    std::vector<mongoc_iovec_t> left(iov, iov + iovcnt);
    size_t first = 0, total = 0;
    int64_t deadline = timeout_msec < 0 ? -1 : now_ms() + timeout_msec;
    for (;;) {
        int32_t wait;
        if (!next_slice(s, deadline, timeout_msec, &wait))
            return s->timed_out && total >= min_bytes ? static_cast<ssize_t>(total) : -1;
        // One byte at least is asked for, so that a slice that ends takes nothing away.
        ssize_t n = mongoc_stream_readv(s->base, left.data() + first, left.size() - first, 1, wait);
        if (n > 0) {
            total += static_cast<size_t>(n);
            advance(left, first, static_cast<size_t>(n));
            if (total >= min_bytes || first == left.size())
                return static_cast<ssize_t>(total);
            continue;
        }
        if (!mongoc_stream_timed_out(s->base)) {
            record(s->side, WIRE_CLOSED);
            return -1;
        }
    }
}

ssize_t cut_writev(mongoc_stream_t* stream, mongoc_iovec_t* iov, size_t iovcnt, int32_t timeout_msec)
{
    cut_stream_t* s = cut(stream);
    one_thread_t only(s);
    s->timed_out = false;
    if (timeout_msec == 0 && !cut_now())
        return mongoc_stream_writev(s->base, iov, iovcnt, 0);
    std::vector<mongoc_iovec_t> left(iov, iov + iovcnt);
    size_t first = 0, total = 0;
    int64_t deadline = timeout_msec < 0 ? -1 : now_ms() + timeout_msec;
    while (first < left.size()) {
        int32_t wait;
        if (!next_slice(s, deadline, timeout_msec, &wait))
            return s->timed_out ? static_cast<ssize_t>(total) : -1;
        ssize_t n = mongoc_stream_writev(s->base, left.data() + first, left.size() - first, wait);
        if (n < 0) {
            record(s->side, WIRE_CLOSED);
            return -1;
        }
        total += static_cast<size_t>(n);
        advance(left, first, static_cast<size_t>(n));
    }
    return static_cast<ssize_t>(total);
}

ssize_t cut_poll(mongoc_stream_poll_t* streams, size_t nstreams, int32_t timeout_msec)
{
    std::vector<mongoc_stream_poll_t> bases(nstreams);
    for (size_t i = 0; i < nstreams; ++i)
        bases[i] = {cut(streams[i].stream)->base, streams[i].events, 0};
    int64_t deadline = timeout_msec < 0 ? -1 : now_ms() + timeout_msec;
    for (;;) {
        if (cut_now()) {
            // Every stream in error: the waiting command ends at once.
            for (size_t i = 0; i < nstreams; ++i) {
                record(cut(streams[i].stream)->side, WIRE_CANCELLED);
                streams[i].revents = POLLERR;
            }
            return static_cast<ssize_t>(nstreams);
        }
        int32_t wait = timeout_msec == 0 ? 0 : next_wait(deadline);
        ssize_t n = wait == 0 && timeout_msec != 0 ? 0 : mongoc_stream_poll(bases.data(), nstreams, wait);
        if (n != 0) {
            for (size_t i = 0; i < nstreams; ++i)
                streams[i].revents = bases[i].revents;
            return n;
        }
        if (wait == 0) {
            // What waits here is the server's hello: the connection's own time was allowed.
            if (timeout_msec > 0)
                for (size_t i = 0; i < nstreams; ++i)
                    record(cut(streams[i].stream)->side, WIRE_TIMEOUT, whole_seconds(cut(streams[i].stream)->connect_ms));
            return 0;
        }
    }
}

void cut_destroy(mongoc_stream_t* stream)
{
    mongoc_stream_destroy(cut(stream)->base);
    bson_free(stream);
}

void cut_failed(mongoc_stream_t* stream)
{
    mongoc_stream_failed(cut(stream)->base);
    bson_free(stream);
}

int cut_close(mongoc_stream_t* stream) { return mongoc_stream_close(cut(stream)->base); }
int cut_flush(mongoc_stream_t* stream) { return mongoc_stream_flush(cut(stream)->base); }
int cut_setsockopt(mongoc_stream_t* stream, int level, int name, void* value, mongoc_socklen_t length)
{
    return mongoc_stream_setsockopt(cut(stream)->base, level, name, value, length);
}
bool cut_check_closed(mongoc_stream_t* stream) { return mongoc_stream_check_closed(cut(stream)->base); }
bool cut_timed_out(mongoc_stream_t* stream) { return cut(stream)->timed_out; }
bool cut_should_retry(mongoc_stream_t* stream) { return mongoc_stream_should_retry(cut(stream)->base); }

// Not one of the library's own stream kinds.
const int cut_stream_type = 0x62;

mongoc_stream_t* cut_stream_new(mongoc_stream_t* base, int side, int32_t connect_ms)
{
    cut_stream_t* s = static_cast<cut_stream_t*>(bson_malloc0(sizeof(cut_stream_t)));
    s->vtable.type = cut_stream_type;
    s->vtable.destroy = cut_destroy;
    s->vtable.failed = cut_failed;
    s->vtable.close = cut_close;
    s->vtable.flush = cut_flush;
    s->vtable.writev = cut_writev;
    s->vtable.readv = cut_readv;
    s->vtable.setsockopt = cut_setsockopt;
    // No base stream: the library takes this for the root, and polls come here.
    s->vtable.get_base_stream = nullptr;
    s->vtable.check_closed = cut_check_closed;
    s->vtable.poll = cut_poll;
    s->vtable.timed_out = cut_timed_out;
    s->vtable.should_retry = cut_should_retry;
    s->base = base;
    s->side = side;
    s->connect_ms = connect_ms;
    return &s->vtable;
}

// A TCP connection as the library makes one, its failure recorded for the side.
mongoc_stream_t* connect_tcp(const mongoc_host_list_t* host, int32_t timeout_ms, int side, bson_error_t* error)
{
    char port[8];
    std::snprintf(port, sizeof port, "%hu", host->port);
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = host->family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host->host, port, &hints, &found) != 0) {
        record(side, WIRE_UNREACHABLE);
        bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_NAME_RESOLUTION, "Failed to resolve %s",
                       host->host);
        return nullptr;
    }
    mongoc_socket_t* sock = nullptr;
    wire_fault fault = WIRE_UNREACHABLE;
    for (addrinfo* a = found; a && !sock; a = a->ai_next) {
        sock = mongoc_socket_new(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (!sock)
            continue;
        int64_t expire_at = bson_get_monotonic_time() + static_cast<int64_t>(timeout_ms) * 1000;
        if (mongoc_socket_connect(sock, a->ai_addr, static_cast<mongoc_socklen_t>(a->ai_addrlen), expire_at) != 0) {
            int code = mongoc_socket_errno(sock);
            if (code == ECONNREFUSED)
                fault = WIRE_REFUSED;
            else if (code == ETIMEDOUT && fault != WIRE_REFUSED)
                fault = WIRE_TIMEOUT;
            mongoc_socket_destroy(sock);
            sock = nullptr;
        }
    }
    freeaddrinfo(found);
    if (!sock) {
        record(side, fault, fault == WIRE_TIMEOUT ? whole_seconds(timeout_ms) : 0);
        bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_CONNECT,
                       "Failed to connect to target host: %s", host->host_and_port);
        return nullptr;
    }
    return mongoc_stream_socket_new(sock);
}

mongoc_stream_t* initiate(const mongoc_uri_t* uri, const mongoc_host_list_t* host, void* user_data,
                          bson_error_t* error)
{
    const wire_side_t* w = static_cast<const wire_side_t*>(user_data);
    if (cut_now()) {
        record(w->side, WIRE_CANCELLED);
        bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_CONNECT, "Cancelled before connecting to %s",
                       host->host_and_port);
        return nullptr;
    }
    if (host->family == AF_UNIX) {
        bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_INVALID_TYPE, "No UNIX domain sockets");
        return nullptr;
    }
    int32_t timeout_ms = mongoc_uri_get_option_as_int32(uri, MONGOC_URI_CONNECTTIMEOUTMS, 10000);
    mongoc_stream_t* stream = connect_tcp(host, timeout_ms, w->side, error);
    if (!stream)
        return nullptr;
    stream = cut_stream_new(stream, w->side, timeout_ms);
    if (w->tls) {
        mongoc_ssl_opt_t ssl = w->ssl;
        mongoc_stream_t* tls = mongoc_stream_tls_new_with_hostname(stream, host->host, &ssl, 1);
        if (!tls) {
            mongoc_stream_destroy(stream);
            bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_SOCKET, "Failed initialize TLS state.");
            return nullptr;
        }
        if (!mongoc_stream_tls_handshake_block(tls, host->host, timeout_ms, error)) {
            mongoc_stream_destroy(tls);
            return nullptr;
        }
        stream = tls;
    }
    return mongoc_stream_buffered_new(stream, 1024);
}


} // namespace

wire_side_t* wire_side_new(int side, const mongoc_ssl_opt_t* ssl_opts)
{
    wire_side_t* w = static_cast<wire_side_t*>(bson_malloc0(sizeof(wire_side_t)));
    keep_for_process(w);
    w->side = side;
    w->tls = ssl_opts != nullptr;
    if (ssl_opts) {
        w->ssl = *ssl_opts;
        w->ssl.pem_file = kept(ssl_opts->pem_file);
        w->ssl.pem_pwd = kept(ssl_opts->pem_pwd);
        w->ssl.ca_file = kept(ssl_opts->ca_file);
        w->ssl.ca_dir = kept(ssl_opts->ca_dir);
        w->ssl.crl_file = kept(ssl_opts->crl_file);
    }
    return w;
}

void watch_client(mongoc_client_t* client, wire_side_t* side)
{
    install_log_scrubber(); // the library says so on standard output for each client
    if (client && side)
        mongoc_client_set_stream_initiator(client, initiate, side);
}

void set_wire_cancel(bool cancel) { cancelled = cancel; }
bool wire_cancelled() { return cancelled; }

void wire_shield(bool on) { shielded += on ? 1 : -1; }

wire_fault last_wire_fault(int side, int* seconds)
{
    std::lock_guard<std::mutex> hold(faults_lock);
    if (seconds)
        *seconds = faults[side == SIDE_SCHEMA].seconds;
    return faults[side == SIDE_SCHEMA].kind;
}

