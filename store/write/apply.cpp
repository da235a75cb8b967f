// A change from claim to release.
#include "store/write/journal_parts.h"

#include "core/dbinfo.h"
#include "core/message.h"

#include <cstring>
#include <set>

using namespace journal_internal;

namespace journal_internal {

std::string held_text(DBINFO* dbinfo, const lock_holder_t& holder)
{
    std::string doing = holder.program.empty() ? "" : holder.program + " ";
    return "Another program (" + doing + "by " + holder_name(holder) + ", process " + std::to_string(holder.pid) +
           ", since " + local_minute(holder.since) + ") is writing the schema '" + dbinfo->md_database +
           "'; start again when it has finished.";
}

} // namespace journal_internal

namespace {

// The place moved to this machine at a claim is told once per process.
void tell_place(DBINFO* dbinfo, journal_place_t* place)
{
    static std::set<std::string> told;
    if (place_kind(place) != PLACE_LOCAL || !told.insert(place_directory(place)).second)
        return;
    brolix_message(place_notice(dbinfo, place).c_str(), "", BTN_OK, BTN_OK);
}

// Claims the lock and settles what an earlier writer left; the caller releases on success.
int begin(DBINFO* dbinfo, const char* action, const char* label, std::string* told)
{
    bool nested = lock_held_here();
    lock_holder_t holder;
    bson_error_t error;
    int claimed = lock_claim(dbinfo, action, label, &holder, &error);
    if (claimed == LOCK_HELD) {
        *told = held_text(dbinfo, holder);
        return CHANGE_HELD;
    }
    if (claimed != LOCK_CLAIMED) {
        *told = std::string("The schema '") + dbinfo->md_database + "' could not be claimed for writing: " +
                error.message;
        return CHANGE_NOT_STARTED;
    }
    journal_place_t* place = journal_place(dbinfo);
    tell_place(dbinfo, place);
    int64_t version = 0;
    if (nested || lock_found_clean(&version))
        return CHANGE_APPLIED;
    bool lasting = false;
    std::string line;
    if (!settle_held(dbinfo, place, &line, &lasting)) {
        lock_release(dbinfo);
        *told = line;
        return CHANGE_NOT_STARTED;
    }
    if (!line.empty())
        brolix_message(line.c_str(), "", BTN_OK, BTN_OK);
    return CHANGE_APPLIED;
}

} // namespace

int schema_write_begin(DBINFO* dbinfo, const char* action, const char* label, std::string* told)
{
    told->clear();
    if (!dbinfo->md_client || !dbinfo->md_db)
        return CHANGE_NOT_STARTED;
    return begin(dbinfo, action, label, told);
}

void schema_write_end(DBINFO* dbinfo)
{
    lock_release(dbinfo);
}

namespace {

// What a change replaces: its filters and the documents they select, read under the lock.
struct replaced_t {
    bson_t filters[KIND_SLOTS];
    bool selects[KIND_SLOTS] = {};
    doc_list_t before[KIND_SLOTS];
    int64_t version = 0;
    replaced_t()
    {
        for (bson_t& f : filters)
            bson_init(&f);
    }
    ~replaced_t()
    {
        for (bson_t& f : filters)
            bson_destroy(&f);
    }
    replaced_t(const replaced_t&) = delete;
    replaced_t& operator=(const replaced_t&) = delete;
};

bool nothing_to_write(const schema_change_t* change)
{
    bool empty = !change->rebuild && change->scopes.empty() && change->catalogs.empty();
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        empty = empty && change->docs[kind].docs.empty();
    return empty;
}

// Reads what the change replaces, checks it is what the caller read and takes the next
// version's number. Nothing is written; on failure code says why.
bool read_replaced(DBINFO* dbinfo, journal_place_t* place, schema_change_t* change, replaced_t* r, int* code,
                   bson_error_t* error)
{
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        r->selects[kind] = change_filter(change, kind, &r->filters[kind]);
    bool ok = true;
    for (int kind = KIND_TABLES; kind <= KIND_INDEX && ok; ++kind)
        ok = !r->selects[kind] || read_selected(dbinfo, kind, &r->filters[kind], &r->before[kind], error);
    if (ok && !holds_what_was_read(dbinfo, place, change, r->before)) {
        *code = CHANGE_CONFLICT;
        return false;
    }
    if (ok && wire_cancelled()) {
        *code = CHANGE_CANCELLED;
        return false;
    }
    if (ok && next_version(dbinfo, place, &r->version, error))
        return true;
    *code = wire_cancelled() ? CHANGE_CANCELLED : CHANGE_NOT_STARTED;
    return false;
}

// After a write that failed: puts back what may have been written (or drops the journal
// when nothing was) and says how the schema stands. True when the schema is as it was.
bool put_back(DBINFO* dbinfo, journal_place_t* place, schema_change_t* change, const replaced_t& r,
              const bson_oid_t* id, const writer_t& w, int* code, bson_error_t* error)
{
    if (w.unconfirmed && !error->domain)
        bson_set_error(error, MONGOC_ERROR_STREAM, MONGOC_ERROR_STREAM_SOCKET,
                       "the schema server did not confirm this program's lock");
    // Creation passes its own code up; every other failure says how the schema stands.
    bool refused = !w.refused.empty() || server_refused(error);
    if (*code == CHANGE_APPLIED)
        *code = w.cancelled ? CHANGE_CANCELLED : refused ? CHANGE_REFUSED : CHANGE_UNDONE;
    if (refused)
        change->told = "The server refused " + (w.refused.empty() ? std::string("the change: ") + error->message
                                                                  : w.refused);
    bson_error_t ignored;
    std::memset(&ignored, 0, sizeof ignored);
    // A server that let a request run out of its time would hold the undo's too: the
    // journal keeps the change for the next claim instead.
    int seconds = 0;
    bool hung = last_wire_fault(SIDE_SCHEMA, &seconds) == WIRE_TIMEOUT && server_gone(error);
    writer_t putting_back{dbinfo, false};
    bool put = false;
    if (!hung && w.changed) {
        put = undo(&putting_back, place, id, change->rebuild, r.filters, r.selects, r.before, &ignored);
    } else if (!hung) { // nothing reached the schema: only the journal goes
        bson_t* all = BCON_NEW("journal", BCON_OID(id));
        put = place_delete(dbinfo, place, "journal", all, &ignored);
        bson_destroy(all);
    }
    if (put)
        return true;
    if (putting_back.fenced)
        *code = CHANGE_FENCED;
    else if (*code == CHANGE_UNDONE || *code == CHANGE_REFUSED || *code == CHANGE_CANCELLED)
        *code = CHANGE_PENDING;
    return false;
}

// The journal, the change, the version record; then the header goes. cleared says whether
// the journal is gone at the end (made, or put back), for the lock's hints.
bool write_through(DBINFO* dbinfo, journal_place_t* place, schema_change_t* change, const replaced_t& r,
                   int* code, bool* cleared, bson_error_t* error)
{
    bson_oid_t id;
    bson_oid_init(&id, nullptr);
    writer_t w{dbinfo};
    if (!(w.step() &&
          write_journal(dbinfo, place, change, &id, r.version, r.filters, r.selects, r.before, error))) {
        // The journal counts only with its header, written last: a journal cut short is no
        // journal; nothing of the schema was written.
        *code = w.cancelled ? CHANGE_CANCELLED : w.fenced ? CHANGE_FENCED : CHANGE_NOT_STARTED;
        return false;
    }
    if (write_change(&w, change, r.filters, r.selects, code, error) && w.step() &&
        record_version(dbinfo, place, change, &id, r.version, r.before, error)) {
        // Made. The header goes; a header left is cleared by the next claim.
        *cleared = clear_header(dbinfo, place, nullptr);
        change->version = r.version;
        // What this process knew is still all there is, with its own change.
        auto seen = seen_versions.find(place);
        if (seen != seen_versions.end() && seen->second == r.version - 1)
            seen->second = r.version;
        return true;
    }
    if (w.fenced) {
        // Whoever took the lock puts back what was written: nothing more from here.
        *code = CHANGE_FENCED;
        change->told = "This program was stopped longer than its lock lasts and another program took the schema "
                       "over; that program puts back what this one had written.";
        return false;
    }
    *cleared = put_back(dbinfo, place, change, r, &id, w, code, error);
    return false;
}

// A hung server holds the lock's release too: the lock then runs out its lease.
void release(DBINFO* dbinfo, const bson_error_t* error)
{
    int seconds = 0;
    lock_release(dbinfo, !(last_wire_fault(SIDE_SCHEMA, &seconds) == WIRE_TIMEOUT && server_gone(error)));
}

} // namespace

bool schema_change_apply(DBINFO* dbinfo, schema_change_t* change, int* code, bson_error_t* told)
{
    *code = CHANGE_APPLIED;
    change->told.clear();
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    if (told)
        *told = error;
    if (!dbinfo->md_client || !dbinfo->md_db) {
        *code = CHANGE_NOT_STARTED;
        return false;
    }
    if (nothing_to_write(change)) // nothing to write, nothing to record
        return true;
    // The lock before anything the change replaces is read.
    *code = begin(dbinfo, change->action.c_str(), change->label.c_str(), &change->told);
    if (*code == CHANGE_NOT_STARTED && wire_cancelled())
        *code = CHANGE_CANCELLED, change->told.clear();
    if (*code != CHANGE_APPLIED)
        return false;
    journal_place_t* place = journal_place(dbinfo);
    replaced_t replaced;
    bool ok = read_replaced(dbinfo, place, change, &replaced, code, &error);
    bool cleared = false;
    if (ok) {
        // From the journal on, Cancel stops the writes between requests, and what was
        // written is put back before the work ends.
        wire_shield(true);
        ok = write_through(dbinfo, place, change, replaced, code, &cleared, &error);
        wire_shield(false);
        lock_leave_clean(cleared, ok && cleared ? replaced.version : 0);
        release(dbinfo, &error);
    } else {
        lock_leave_clean(true, 0);
        lock_release(dbinfo);
    }
    if (told)
        *told = error;
    return ok;
}
