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

#endif
