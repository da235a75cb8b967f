// The hash index that discovery keeps beside a sample's column list, so that a field
// finds its column by SQL name without scanning the list. The list stays the one
// source of order; the index only answers "which column has this name".
#ifndef BROLIX_DISCOVERY_LOOKUP_H
#define BROLIX_DISCOVERY_LOOKUP_H

struct db_column_t;
struct db_sample_t;

#include <cstdint>

// The column of the sample whose sql_name equals name (exact), or NULL; position (when
// given) gets its place in the list.
db_column_t* lookup_column(db_sample_t* sample, const char* name, int32_t* position = nullptr);

// Appends column at the tail of the sample's list, counts it and indexes it; returns
// its place in the list.
int32_t lookup_append(db_sample_t* sample, db_column_t* column);

#endif
