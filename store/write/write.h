// Writing schema documents in bulk: the documents of one collection go in one ordered
// request, and each document keeps the outcome one request of its own would have had.
#ifndef BROLIX_STORE_WRITE_H
#define BROLIX_STORE_WRITE_H

#include <mongoc/mongoc.h>
#include <vector>

// A list of documents (held in a struct: a vector of bson_t pointers would drop the
// alignment attribute of the type).
struct doc_ref_t {
    const bson_t* doc;
};
typedef std::vector<doc_ref_t> doc_refs_t;

// Errors that mean the server is gone (not a refused document or a refused command).
bool server_gone(const bson_error_t* error);
// Errors that are the server's answer refusing a command or a document (in the client
// library's domains of either error reporting).
bool server_refused(const bson_error_t* error);

// Told of each document that was not written, with its position in the list and the
// error a single insert of it would have given.
typedef void (*write_failure_fn)(void* context, size_t position, const bson_error_t* error);

struct write_result_t {
    size_t written;     // documents the server took
    bool failed;        // a request failed as a whole: no document was tried after it
    bson_error_t error; // that request's error
};

// Inserts docs into coll in order: one request, more only where the library must split
// it or after a refused document. A refused document (a unique index, an invalid text)
// is reported and the ones after it are still written, as one insert per document
// would do. When a request fails as a whole every document not written is reported.
// opts go with every request (a session's transaction).
write_result_t insert_in_order(mongoc_collection_t* coll, const doc_refs_t& docs,
                               write_failure_fn failed, void* context, const bson_t* opts = nullptr);

// Starts a document with the _id the client library would give it on insert (first
// field, a new ObjectId), so that what was written is known without reading it back.
void begin_with_id(bson_t* doc);

struct db_column_t;

// The fields of a columns document up to scale, as creation and saving write them:
// sql_catalog, sql_schema, sql_table, index (position), sql_name, sql_type, mongo_name,
// mongo_type, then length when not 0, precision and scale when above 0.
void append_column_fields(bson_t* doc, const char* catalog, const char* schema, const char* table,
                          int32_t position, const db_column_t* column);

// Owns the documents of a list until it goes.
struct doc_list_t {
    doc_refs_t docs;
    doc_list_t() = default;
    doc_list_t(const doc_list_t&) = delete;
    doc_list_t& operator=(const doc_list_t&) = delete;
    ~doc_list_t() { clear(); }
    bson_t* add()
    {
        bson_t* doc = bson_new();
        docs.push_back({doc});
        return doc;
    }
    void clear()
    {
        for (doc_ref_t& d : docs)
            bson_destroy(const_cast<bson_t*>(d.doc));
        docs.clear();
    }
};

#endif
