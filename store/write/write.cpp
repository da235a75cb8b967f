#include "store/write/write.h"

#include "core/records.h"

#include <cstring>

namespace {

int64_t reply_count(const bson_t* reply, const char* field)
{
    bson_iter_t it;
    if (bson_iter_init_find(&it, reply, field) && BSON_ITER_HOLDS_NUMBER(&it))
        return bson_iter_as_int64(&it);
    return 0;
}

// The position in the request of the first document the server refused,
// with its error; -1 when the request did not get that far (or did not fail).
int64_t first_write_error(const bson_t* reply, bson_error_t* error)
{
    bson_iter_t it, entry;
    if (!bson_iter_init_find(&it, reply, "writeErrors") || !BSON_ITER_HOLDS_ARRAY(&it) ||
        !bson_iter_recurse(&it, &entry) || !bson_iter_next(&entry) || !BSON_ITER_HOLDS_DOCUMENT(&entry))
        return -1;
    bson_iter_t field;
    int64_t index = -1;
    uint32_t code = 0;
    const char* message = "";
    if (!bson_iter_recurse(&entry, &field))
        return -1;
    while (bson_iter_next(&field)) {
        const char* key = bson_iter_key(&field);
        if (!std::strcmp(key, "index") && BSON_ITER_HOLDS_NUMBER(&field))
            index = bson_iter_as_int64(&field);
        else if (!std::strcmp(key, "code") && BSON_ITER_HOLDS_NUMBER(&field))
            code = static_cast<uint32_t>(bson_iter_as_int64(&field));
        else if (!std::strcmp(key, "errmsg") && BSON_ITER_HOLDS_UTF8(&field))
            message = bson_iter_utf8(&field, nullptr);
    }
    bson_set_error(error, MONGOC_ERROR_SERVER, code, "%s", message);
    return index;
}

} // namespace

bool server_gone(const bson_error_t* error)
{
    return error->domain == MONGOC_ERROR_SERVER_SELECTION || error->domain == MONGOC_ERROR_STREAM;
}

bool server_refused(const bson_error_t* error)
{
    switch (error->domain) {
    case MONGOC_ERROR_SERVER:
    case MONGOC_ERROR_QUERY:
    case MONGOC_ERROR_COMMAND:
    case MONGOC_ERROR_COLLECTION:
    case MONGOC_ERROR_WRITE_CONCERN: return error->code != 0;
    default: return false;
    }
}

write_result_t insert_in_order(mongoc_collection_t* coll, const doc_refs_t& docs,
                               write_failure_fn failed, void* context, const bson_t* opts)
{
    write_result_t result;
    result.written = 0;
    result.failed = false;
    std::memset(&result.error, 0, sizeof result.error);
    size_t start = 0;
    while (start < docs.size()) {
        mongoc_bulk_operation_t* bulk = mongoc_collection_create_bulk_operation_with_opts(coll, opts);
        std::vector<size_t> positions; // position in the request -> position in docs
        for (size_t i = start; i < docs.size(); ++i) {
            bson_error_t invalid;
            if (mongoc_bulk_operation_insert_with_opts(bulk, docs[i].doc, nullptr, &invalid))
                positions.push_back(i);
            else if (failed) // the library refuses it before sending, as it would a single insert
                failed(context, i, &invalid);
        }
        if (positions.empty()) {
            mongoc_bulk_operation_destroy(bulk);
            break;
        }
        bson_t reply;
        bson_error_t error;
        bool ok = mongoc_bulk_operation_execute(bulk, &reply, &error) != 0;
        size_t inserted = static_cast<size_t>(reply_count(&reply, "nInserted"));
        result.written += inserted;
        start = docs.size();
        if (!ok) {
            bson_error_t refusal;
            int64_t refused = first_write_error(&reply, &refusal);
            if (refused >= 0 && static_cast<size_t>(refused) < positions.size()) {
                if (failed)
                    failed(context, positions[refused], &refusal);
                start = positions[refused] + 1;
            } else if (error.domain != MONGOC_ERROR_WRITE_CONCERN) {
                result.failed = true;
                result.error = error;
                for (size_t k = inserted; k < positions.size() && failed; ++k)
                    failed(context, positions[k], &error);
            }
        }
        bson_destroy(&reply);
        mongoc_bulk_operation_destroy(bulk);
        if (result.failed)
            break;
    }
    return result;
}

void begin_with_id(bson_t* doc)
{
    bson_oid_t oid;
    bson_oid_init(&oid, nullptr);
    BSON_APPEND_OID(doc, "_id", &oid);
}

void append_column_fields(bson_t* doc, const char* catalog, const char* schema, const char* table,
                          int32_t position, const db_column_t* c)
{
    BSON_APPEND_UTF8(doc, "sql_catalog", catalog);
    BSON_APPEND_UTF8(doc, "sql_schema", schema);
    BSON_APPEND_UTF8(doc, "sql_table", table);
    BSON_APPEND_INT32(doc, "index", position);
    BSON_APPEND_UTF8(doc, "sql_name", c->sql_name);
    BSON_APPEND_INT32(doc, "sql_type", c->sql_type);
    BSON_APPEND_UTF8(doc, "mongo_name", c->mongo_name);
    BSON_APPEND_INT32(doc, "mongo_type", c->mongo_type);
    if (c->length != 0)
        BSON_APPEND_INT32(doc, "length", c->length);
    if (c->precision > 0)
        BSON_APPEND_INT32(doc, "precision", c->precision);
    if (c->scale > 0)
        BSON_APPEND_INT32(doc, "scale", c->scale);
}
