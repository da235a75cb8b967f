// The connections under every client: requests that Cancel can cut short from another
// thread, and what last went wrong on the wire of each side, in plain words.
#ifndef BROLIX_CORE_WIRE_H
#define BROLIX_CORE_WIRE_H

#include <mongoc/mongoc.h>

// How the last request of a side failed on the wire.
enum wire_fault {
    WIRE_FINE = 0,
    WIRE_REFUSED,     // nothing listens at the address
    WIRE_UNREACHABLE, // the name does not resolve, or the host gives no answer to a connect
    WIRE_TIMEOUT,     // connected, but no answer within the time allowed
    WIRE_CLOSED,      // the server closed the connection or reset it
    WIRE_CANCELLED    // the user cancelled
};

// What a side's connections are made with: the side, and its TLS options (copied) when
// it speaks TLS, else null. Kept until the process ends, as the clients are.
struct wire_side_t;
wire_side_t* wire_side_new(int side, const mongoc_ssl_opt_t* ssl_opts);

// Makes the client's connections over the wire layer: blocking reads and writes wait in
// short slices, so that set_wire_cancel ends them at once, and their failures are
// recorded for the side.
void watch_client(mongoc_client_t* client, wire_side_t* side);

// While set, every request over a watched client fails at once (in flight or new).
void set_wire_cancel(bool cancel);
bool wire_cancelled();

// While the calling thread is shielded (calls nest), Cancel does not cut its requests:
// a change being written ends whole or put back, never half-way. wire_cancelled() still
// tells, so the writer stops between requests.
void wire_shield(bool on);

// The side's last fault and, for a timeout, the seconds that were allowed.
wire_fault last_wire_fault(int side, int* seconds);



#endif
