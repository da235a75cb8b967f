#include "store/write/lock.h"

#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/wire.h"
#include "store/write/place.h"
#include "store/write/fields.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

std::string program = "brolix";

// Milliseconds that go on while the machine sleeps (a closed laptop's writer has been
// away that long too).
int64_t boot_ms()
{
    timespec t;
    clock_gettime(CLOCK_BOOTTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::string boot_id()
{
    std::ifstream file("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(file, id);
    return id;
}

// A process of this boot of this machine that has not ended (a zombie has).
bool process_alive(int64_t pid)
{
    if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM))
        return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    size_t close = text.rfind(')');
    return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

const char* const lock_id = "lock";

struct lock_state_t {
    int depth = 0;
    journal_place_t* place = nullptr;
    bson_oid_t owner;
    int64_t claimed_at = 0;
    int local_fd = -1;
    // Renewals: when the last confirmed one was sent (boot_ms), and whether it was lost.
    std::atomic<int64_t> confirmed{0};
    std::atomic<bool> lost{false};
    // Found at the claim, and left at the release.
    bool found_clean = false, leave_clean = false;
    int64_t found_version = 0, leave_version = 0;
    std::thread renewer;
    std::mutex stop_lock;
    std::condition_variable stop_changed;
    bool stopping = false;
} state;

int64_t date_of(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    return bson_iter_init_find(&it, doc, field) && BSON_ITER_HOLDS_DATE_TIME(&it) ? bson_iter_date_time(&it) : 0;
}

void read_holder(const bson_t* doc, lock_holder_t* holder)
{
    holder->user = schema_text(doc, "user");
    holder->host = schema_text(doc, "host");
    holder->program = schema_text(doc, "program");
    holder->action = schema_text(doc, "action");
    holder->label = schema_text(doc, "label");
    holder->since = date_of(doc, "since");
    bson_iter_t it;
    holder->pid = bson_iter_init_find(&it, doc, "pid") && BSON_ITER_HOLDS_NUMBER(&it) ? bson_iter_as_int64(&it) : 0;
}

void append_writer(bson_t* doc, DBINFO* dbinfo, const char* action, const char* label)
{
    BSON_APPEND_UTF8(doc, "user", side_user(dbinfo, SIDE_SCHEMA).c_str());
    BSON_APPEND_UTF8(doc, "host", this_host().c_str());
    BSON_APPEND_UTF8(doc, "boot", boot_id().c_str());
    BSON_APPEND_INT64(doc, "pid", static_cast<int64_t>(getpid()));
    BSON_APPEND_UTF8(doc, "program", program.c_str());
    BSON_APPEND_UTF8(doc, "action", action ? action : "");
    BSON_APPEND_UTF8(doc, "label", label ? label : "");
}

mongoc_collection_t* lock_collection(mongoc_client_t* client, DBINFO* dbinfo)
{
    return mongoc_client_get_collection(client, place_database(dbinfo->md_database).c_str(), "lock");
}

// One renewal: the server stamps the lock with its time if it is still ours.
enum renewal { RENEWAL_UNANSWERED, RENEWAL_TAKEN_OVER, RENEWAL_MADE };
renewal renew(mongoc_client_t* client, DBINFO* dbinfo)
{
    mongoc_collection_t* coll = lock_collection(client, dbinfo);
    bson_t* filter = BCON_NEW("_id", BCON_UTF8(lock_id), "owner", BCON_OID(&state.owner));
    bson_t* update = BCON_NEW("$currentDate", "{", "renewed", BCON_BOOL(true), "}");
    bson_t reply;
    int64_t sent = boot_ms();
    bool ok = mongoc_collection_update_one(coll, filter, update, nullptr, &reply, nullptr);
    bson_iter_t it;
    int64_t matched = ok && bson_iter_init_find(&it, &reply, "matchedCount") ? bson_iter_as_int64(&it) : 0;
    bson_destroy(&reply);
    bson_destroy(update);
    bson_destroy(filter);
    mongoc_collection_destroy(coll);
    if (!ok)
        return RENEWAL_UNANSWERED;
    if (matched)
        state.confirmed = sent;
    else
        state.lost = true;
    return matched ? RENEWAL_MADE : RENEWAL_TAKEN_OVER;
}

// The renewing thread: a client of its own, made only once a renewal is due (most
// changes end before), and Cancel does not cut it.
void start_renewer(DBINFO* dbinfo)
{
    state.stopping = false;
    state.renewer = std::thread([dbinfo] {
        wire_shield(true);
        mongoc_client_t* client = nullptr;
        const auto every = std::chrono::milliseconds(std::max<int64_t>(lock_lease_ms() / 6, 50));
        std::unique_lock<std::mutex> held(state.stop_lock);
        while (!state.stop_changed.wait_for(held, every, [] { return state.stopping; })) {
            held.unlock();
            if (!client)
                client = open_side_client(dbinfo, SIDE_SCHEMA);
            renewal renewed = client ? renew(client, dbinfo) : RENEWAL_UNANSWERED;
            held.lock();
            if (renewed == RENEWAL_TAKEN_OVER)
                break;
        }
        held.unlock();
        if (client)
            mongoc_client_destroy(client);
        wire_shield(false);
    });
}

void stop_renewer()
{
    if (!state.renewer.joinable())
        return;
    {
        std::lock_guard<std::mutex> held(state.stop_lock);
        state.stopping = true;
    }
    state.stop_changed.notify_all();
    state.renewer.join();
}

// The lock's document with the server's time in "seen" (made when there is none): the
// first of a claim's two requests.
bool read_lock_now(mongoc_collection_t* coll, bson_t* current, bson_error_t* error)
{
    bson_t* query = BCON_NEW("_id", BCON_UTF8(lock_id));
    bson_t* seen = BCON_NEW("$currentDate", "{", "seen", BCON_BOOL(true), "}");
    mongoc_find_and_modify_opts_t* opts = mongoc_find_and_modify_opts_new();
    mongoc_find_and_modify_opts_set_update(opts, seen);
    mongoc_find_and_modify_opts_set_flags(
        opts, static_cast<mongoc_find_and_modify_flags_t>(MONGOC_FIND_AND_MODIFY_UPSERT |
                                                          MONGOC_FIND_AND_MODIFY_RETURN_NEW));
    bson_t reply;
    bool ok = mongoc_collection_find_and_modify_with_opts(coll, query, opts, &reply, error);
    mongoc_find_and_modify_opts_destroy(opts);
    bson_destroy(seen);
    bson_destroy(query);
    bson_iter_t it;
    if (ok && bson_iter_init_find(&it, &reply, "value") && BSON_ITER_HOLDS_DOCUMENT(&it)) {
        const uint8_t* data;
        uint32_t length;
        bson_iter_document(&it, &length, &data);
        bson_t value;
        if (bson_init_static(&value, data, length))
            bson_concat(current, &value);
    }
    bson_destroy(&reply);
    return ok;
}

// The second: takes the lock for state.owner only while it is as current read it (the
// same owner, or none, and the same renewal), so that of two claims at once one matches.
bool take_lock(mongoc_collection_t* coll, DBINFO* dbinfo, const char* action, const char* label,
               const bson_t* current, const bson_oid_t* owner, int64_t* matched, bson_error_t* error)
{
    bson_iter_t it;
    bson_t filter = BSON_INITIALIZER, update = BSON_INITIALIZER, set, stamp;
    BSON_APPEND_UTF8(&filter, "_id", lock_id);
    if (!owner)
        BSON_APPEND_NULL(&filter, "owner");
    else
        BSON_APPEND_OID(&filter, "owner", owner);
    if (bson_iter_init_find(&it, current, "renewed") && BSON_ITER_HOLDS_DATE_TIME(&it))
        BSON_APPEND_DATE_TIME(&filter, "renewed", bson_iter_date_time(&it));
    else
        BSON_APPEND_NULL(&filter, "renewed");
    BSON_APPEND_DOCUMENT_BEGIN(&update, "$set", &set);
    BSON_APPEND_OID(&set, "owner", &state.owner);
    append_writer(&set, dbinfo, action, label);
    bson_append_document_end(&update, &set);
    BSON_APPEND_DOCUMENT_BEGIN(&update, "$currentDate", &stamp);
    BSON_APPEND_BOOL(&stamp, "since", true);
    BSON_APPEND_BOOL(&stamp, "renewed", true);
    bson_append_document_end(&update, &stamp);
    bson_t result;
    bool ok = mongoc_collection_update_one(coll, &filter, &update, nullptr, &result, error);
    *matched = ok && bson_iter_init_find(&it, &result, "matchedCount") ? bson_iter_as_int64(&it) : 0;
    bson_destroy(&result);
    bson_destroy(&update);
    bson_destroy(&filter);
    return ok;
}

// The lock on the server: 2 requests (one reads it with the server's time, one takes it).
int claim_on_server(DBINFO* dbinfo, const char* action, const char* label, lock_holder_t* holder,
                    bson_error_t* error)
{
    const int64_t lease = lock_lease_ms();
    const std::string host = this_host(), boot = boot_id();
    for (int attempt = 0; attempt < 5; ++attempt) {
        mongoc_collection_t* coll = lock_collection(dbinfo->md_client, dbinfo);
        bson_t current = BSON_INITIALIZER;
        bson_iter_t it;
        bool ok = read_lock_now(coll, &current, error);
        if (!ok) {
            bson_destroy(&current);
            mongoc_collection_destroy(coll);
            return LOCK_FAILED;
        }
        int64_t now = date_of(&current, "seen"), renewed = date_of(&current, "renewed");
        bool vacant = !bson_iter_init_find(&it, &current, "owner") || !BSON_ITER_HOLDS_OID(&it);
        bson_oid_t owner;
        if (!vacant)
            bson_oid_copy(bson_iter_oid(&it), &owner);
        read_holder(&current, holder);
        bool here = holder->host == host && schema_text(&current, "boot") == boot;
        // A writer is gone when the server has not heard from it for a lease; on this
        // machine also as soon as its process has ended (or it is this one, whose last
        // change could not let the lock go).
        bool gone = now - renewed > lease ||
                    (here && (holder->pid == getpid() || !process_alive(holder->pid)));
        if (!vacant && !gone) {
            bson_destroy(&current);
            mongoc_collection_destroy(coll);
            return LOCK_HELD;
        }
        bson_oid_init(&state.owner, nullptr);
        int64_t sent = boot_ms();
        int64_t matched = 0;
        ok = take_lock(coll, dbinfo, action, label, &current, vacant ? nullptr : &owner, &matched, error);
        mongoc_collection_destroy(coll);
        if (!ok) {
            bson_destroy(&current);
            return LOCK_FAILED;
        }
        if (matched) {
            state.found_clean = vacant && bson_iter_init_find(&it, &current, "clean") && BSON_ITER_HOLDS_BOOL(&it) &&
                                bson_iter_bool(&it);
            state.found_version =
                bson_iter_init_find(&it, &current, "version") && BSON_ITER_HOLDS_INT64(&it) ? bson_iter_int64(&it) : 0;
            state.claimed_at = now;
            state.confirmed = sent;
            state.lost = false;
            bson_destroy(&current);
            start_renewer(dbinfo);
            return LOCK_CLAIMED;
        }
        bson_destroy(&current);
        // Another writer took it between the two requests: look again.
    }
    return LOCK_HELD;
}

int claim_here(DBINFO* dbinfo, journal_place_t* place, const char* action, const char* label,
               lock_holder_t* holder, bson_error_t* error)
{
    std::string directory = place_directory(place);
    for (size_t at = 1; at <= directory.size(); ++at)
        if (at == directory.size() || directory[at] == '/')
            mkdir(directory.substr(0, at).c_str(), 0700);
    std::string path = directory + "/lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_SOCKET, "cannot open %s: %s", path.c_str(),
                       std::strerror(errno));
        return LOCK_FAILED;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        bson_t filter = BSON_INITIALIZER;
        place_find(dbinfo, place, "holder", &filter, nullptr, [&](const doc_ref_t& found) {
            read_holder(found.doc, holder);
            return false;
        }, nullptr);
        close(fd);
        return LOCK_HELD;
    }
    bson_t filter = BSON_INITIALIZER;
    place_delete(dbinfo, place, "holder", &filter, nullptr);
    bson_t doc = BSON_INITIALIZER;
    append_writer(&doc, dbinfo, action, label);
    state.claimed_at = static_cast<int64_t>(std::time(nullptr)) * 1000;
    BSON_APPEND_DATE_TIME(&doc, "since", state.claimed_at);
    doc_refs_t docs{{&doc}};
    place_insert(dbinfo, place, "holder", docs, nullptr);
    bson_destroy(&doc);
    state.local_fd = fd;
    state.lost = false;
    state.found_clean = false;
    return LOCK_CLAIMED;
}

} // namespace

void set_writer_program(const char* name) { program = name ? name : "brolix"; }
const char* writer_program(void) { return program.c_str(); }

std::string this_host(void)
{
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0)
        return "";
    return name;
}

int64_t lock_lease_ms(void)
{
    const char* given = std::getenv("BROLIX_LOCK_LEASE_MS");
    long long ms = given ? std::atoll(given) : 0;
    return ms > 0 ? ms : 30000;
}

int lock_claim(DBINFO* dbinfo, const char* action, const char* label, lock_holder_t* holder, bson_error_t* error)
{
    if (state.depth > 0) {
        ++state.depth;
        return LOCK_CLAIMED;
    }
    lock_holder_t ignored;
    if (!holder)
        holder = &ignored;
    bson_error_t local;
    if (!error)
        error = &local;
    std::memset(error, 0, sizeof *error);
    journal_place_t* place = journal_place(dbinfo);
    int outcome = LOCK_FAILED;
    if (place_kind(place) == PLACE_SERVER) {
        outcome = claim_on_server(dbinfo, action, label, holder, error);
        if (outcome == LOCK_FAILED && refused_privilege(error) && place_move_local(dbinfo, place)) {
            std::memset(error, 0, sizeof *error);
            outcome = claim_here(dbinfo, place, action, label, holder, error);
        }
    } else {
        outcome = claim_here(dbinfo, place, action, label, holder, error);
    }
    if (outcome == LOCK_CLAIMED) {
        state.depth = 1;
        state.place = place;
        state.leave_clean = false;
        state.leave_version = 0;
    }
    return outcome;
}

bool lock_held_here(void) { return state.depth > 0; }

bool lock_lost(void) { return state.lost; }

bool lock_confirm(DBINFO* dbinfo)
{
    if (state.depth == 0 || state.lost)
        return false;
    if (state.local_fd >= 0)
        return true;
    // A renewal sent within most of the lease holds it; the rest of the lease is the margin
    // for the request on the way and for clocks that run at slightly different rates.
    if (boot_ms() - state.confirmed < lock_lease_ms() * 3 / 4)
        return true;
    wire_shield(true);
    renewal renewed = renew(dbinfo->md_client, dbinfo);
    wire_shield(false);
    return renewed == RENEWAL_MADE;
}

void lock_release(DBINFO* dbinfo, bool tell_server)
{
    if (state.depth == 0 || --state.depth > 0)
        return;
    if (state.local_fd >= 0) {
        bson_t filter = BSON_INITIALIZER;
        place_delete(dbinfo, state.place, "holder", &filter, nullptr);
        flock(state.local_fd, LOCK_UN);
        close(state.local_fd);
        state.local_fd = -1;
        return;
    }
    stop_renewer();
    if (state.lost || !tell_server)
        return;
    wire_shield(true);
    mongoc_collection_t* coll = lock_collection(dbinfo->md_client, dbinfo);
    bson_t* filter = BCON_NEW("_id", BCON_UTF8(lock_id), "owner", BCON_OID(&state.owner));
    bson_t* update = BCON_NEW("$set", "{", "owner", BCON_NULL, "clean", BCON_BOOL(state.leave_clean), "version",
                              BCON_INT64(state.leave_version), "}", "$currentDate", "{", "renewed", BCON_BOOL(true), "}");
    // A release that fails leaves the lock to run out its lease.
    mongoc_collection_update_one(coll, filter, update, nullptr, nullptr, nullptr);
    bson_destroy(update);
    bson_destroy(filter);
    mongoc_collection_destroy(coll);
    wire_shield(false);
}

int64_t lock_claimed_at(void) { return state.claimed_at; }

bool lock_found_clean(int64_t* version)
{
    *version = state.found_version;
    return state.found_clean;
}

void lock_leave_clean(bool clean, int64_t version)
{
    state.leave_clean = clean;
    state.leave_version = version;
}

std::string holder_name(const lock_holder_t& holder)
{
    std::string host = holder.host.empty() ? "another machine" : holder.host;
    return holder.user.empty() ? host : holder.user + "@" + host;
}

std::string local_minute(int64_t ms)
{
    char when[32] = "";
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm local;
    if (localtime_r(&seconds, &local))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
    return when;
}
