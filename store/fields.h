// Reading the values of schema documents, whatever type another tool stored there.
#ifndef BROLIX_STORE_FIELDS_H
#define BROLIX_STORE_FIELDS_H

#include <bson/bson.h>
#include <cstdint>

// An int32 as it is, a double truncated toward zero (held to the int32 range; NaN
// gives 0), any other type 0.
int32_t schema_number(const bson_iter_t* iter);

// A boolean's value; any other type gives otherwise.
bool schema_flag(const bson_iter_t* iter, bool otherwise);

// Positions elements before the first element of the reply's "cursor.firstBatch" array;
// false when the reply has none. Listings read only this first batch.
bool first_batch(const bson_t* reply, bson_iter_t* elements);

// Find options for reading a whole collection: each reply as full as the server allows
// (it still stops at its message size), so round trips follow bytes, not documents.
// The caller destroys the options.
bson_t* whole_collection_opts(void);

#endif
