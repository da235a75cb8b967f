// The writers' lock of a schema: one program writes it at a time, whichever machine it
// runs on. A writer claims the lock before it reads what its change replaces and holds
// it until the change is settled.
//
// On the server the lock is a document of the journal's database. It is judged by the
// server's clock only: the claim and every renewal stamp it with the server's time, and a
// lock not renewed for a lease (30 s) belongs to a writer that is gone, whatever its host
// name or pid say. While a change runs, a thread of its own renews the lock every few
// seconds over a connection of its own, so that a slow request does not lose it. A
// writer that can no longer confirm its lock within the lease (it was stopped, or another
// program took the lock over) writes nothing more: it checks before every write. On this
// machine (a place of the journal there) the lock is a file lock, which the system lets
// go when the program ends.
#ifndef BROLIX_STORE_LOCK_H
#define BROLIX_STORE_LOCK_H

#include "core/outcomes.h"

#include <bson/bson.h>

#include <cstdint>
#include <string>

struct DBINFO;

// Who holds a lock: the user it connected as, host, program and what it is doing, since
// when (milliseconds since the epoch: the server's clock, or this machine's).
struct lock_holder_t {
    std::string user, host, program, action, label;
    int64_t since = 0;
    int64_t pid = 0;
};

// The program that writes, for the lock and the history ("brolix", "brolix-cli sync").
void set_writer_program(const char* program);
const char* writer_program(void);
// This machine's host name.
std::string this_host(void);

// Claims the lock for this process; claims nest (a claim inside a claim only counts).
// A refused privilege on the server moves the journal's place to this machine, where
// the claim is made again.
int lock_claim(DBINFO* dbinfo, const char* action, const char* label, lock_holder_t* holder, bson_error_t* error);
// True while this process holds the lock.
bool lock_held_here(void);
// Before each write: true while the lock is still this process's. When the last renewal
// is older than most of the lease it asks the server (one request); false means the
// writer was stopped too long or another program took the lock over: write nothing more.
bool lock_confirm(DBINFO* dbinfo);
// True when the lock was taken over by another program (not only unconfirmed: a server
// that did not answer).
bool lock_lost(void);
// Ends one claim; the last one lets the lock go (one request on the server, unless
// tell_server is false: a server that does not answer lets the lease run out).
void lock_release(DBINFO* dbinfo, bool tell_server = true);
// The server's time at the claim (ms), this machine's for a place on it.
int64_t lock_claimed_at(void);
// What the last writer left in the lock as it let it go: that no journal was left, and
// the number of the last version. False when that is not known (a writer gone, a first
// claim, a place on this machine): the journal and the versions must be read.
bool lock_found_clean(int64_t* version);
// What this writer leaves in the lock when it lets it go.
void lock_leave_clean(bool clean, int64_t version);

// "user@host" or "host", for the texts that name a writer.
std::string holder_name(const lock_holder_t& holder);
// "2026-12-08 10:02" in this machine's time zone.
std::string local_minute(int64_t ms);

// The lease, in milliseconds (BROLIX_LOCK_LEASE_MS shortens it for the tests).
int64_t lock_lease_ms(void);

#endif
