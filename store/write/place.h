// Where a schema's journal, writers' lock and history are kept. The schema database may
// hold only its three collections, so they live on the schema server in a database of
// their own named after it ("<schema>_journal"), where every machine finds them. A user
// whose roles cover the schema database alone may not read or write that database: then
// they are kept in a directory of this machine, which still protects this machine's
// writers, and the one grant that would put them on the server is named once.
//
// Both places hold the same documents in the same named collections; a place on this
// machine keeps each collection in a file of BSON documents.
#ifndef BROLIX_STORE_PLACE_H
#define BROLIX_STORE_PLACE_H

#include "store/write/write.h"

#include <bson/bson.h>

#include <functional>
#include <string>

struct DBINFO;

enum place_kind { PLACE_SERVER = 1, PLACE_LOCAL = 2 };

struct journal_place_t;

// The place of dbinfo's schema; the server's until a request there is refused.
journal_place_t* journal_place(DBINFO* dbinfo);
int place_kind(const journal_place_t* place);
// The directory of a place on this machine ("" on the server).
const std::string& place_directory(const journal_place_t* place);
// The server's journal database of a schema database.
std::string place_database(const char* md_database);

// True when error is the server refusing a privilege (Unauthorized).
bool refused_privilege(const bson_error_t* error);
// After a refused request: the place moves to this machine for the rest of the process.
// True when it moved now (the caller tells the user once).
bool place_move_local(DBINFO* dbinfo, journal_place_t* place);
// The one line that says where the journal is kept and which grant would put it on the
// server, for a place that moved to this machine.
std::string place_notice(DBINFO* dbinfo, const journal_place_t* place);

// The place's collections. Filters: top-level fields equal to a value, or {$in: [...]}.
bool place_insert(DBINFO* dbinfo, journal_place_t* place, const char* collection, const doc_refs_t& docs,
                  bson_error_t* error);
// Each document the filter selects, until each gives false. opts: sort on one field and
// limit, as the server takes them.
bool place_find(DBINFO* dbinfo, journal_place_t* place, const char* collection, const bson_t* filter,
                const bson_t* opts, const std::function<bool(const doc_ref_t&)>& each, bson_error_t* error);
bool place_delete(DBINFO* dbinfo, journal_place_t* place, const char* collection, const bson_t* filter,
                  bson_error_t* error);
// {$set: {...}} on the first document the filter selects; *matched 0 or 1.
bool place_update_one(DBINFO* dbinfo, journal_place_t* place, const char* collection, const bson_t* filter,
                      const bson_t* update, int64_t* matched, bson_error_t* error);

// True when doc holds every field of filter as the filter says (the local place's matching).
bool place_matches(const bson_t* doc, const bson_t* filter);

#endif
