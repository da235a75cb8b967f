// The documents creation and synchronisation write for the collections they read: each
// table with its columns and index entries, gathered as one batch.
#ifndef BROLIX_STORE_BATCH_H
#define BROLIX_STORE_BATCH_H

#include "core/records.h"
#include "discovery/discover.h"
#include "store/change/collection_read.h"
#include "store/write/write.h"

#include <map>
#include <string>
#include <vector>

struct DBINFO;
struct db_sample_t;
struct schema_change_t;

// The documents of several tables, written together as one change: each collection's in
// one request, in the order one table after the other would have written them.
struct schema_batch_t {
    doc_list_t tables, columns, index;
    std::vector<std::string> indexed; // tables whose old index entries go
    bool record = false;              // creation: what is written is what start-up has seen
    // The saved columns of the schema's tables, by table: a table kept keeps the SQL
    // names given by hand, and its index entries name those.
    std::map<std::string, db_sample_t*> saved;
    ~schema_batch_t()
    {
        for (auto& s : saved)
            free_sample(s.second);
    }
};

// Takes one collection's read into the batch: its table (unless it is only refreshed) and
// its index entries. False when the sample broke off (the table would stand in the schema
// with fewer columns than its collection has) or its index listing failed (why says which
// and why).
bool describe_collection(DBINFO* dbinfo, const char* name, collection_read_t* read, bool refresh_only,
                         schema_batch_t* batch, std::string* why);
// The saved columns of every table of the catalog, as samples by table, from what start-up
// read or with one query; false when they could not be read.
bool read_saved_columns(DBINFO* dbinfo, std::map<std::string, db_sample_t*>* saved);
// The change that writes what the batch holds, with the old documents it replaces: every
// document of the tables added and the index entries of the tables kept.
void add_batch(const schema_batch_t& batch, schema_change_t* change);
// What was written is what the columns collection holds now, for start-up to serve.
void record_written(const schema_change_t* change);
// The lists of collections and tables read again after a change.
void rebuild_lists(DBINFO* dbinfo);

#endif
