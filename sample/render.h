// Rendering BSON values as the sample grid shows them. Pure: no I/O, no shared state.
#ifndef BROLIX_SAMPLE_RENDER_H
#define BROLIX_SAMPLE_RENDER_H

#include <bson/bson.h>
#include <cstddef>
#include <cstdint>

// One shown column of the data sample.
struct sample_column_t {
    char* mongo_name;
    int32_t sql_type;
    int32_t mongo_type;
    int32_t length;
    int32_t precision;
    int32_t scale;
    sample_column_t* next;
};

void free_sample_columns(sample_column_t* columns);

// Every routine returns a new heap text (malloc) that the caller frees with free().
char* value_to_text(const bson_iter_t* iter, const bson_value_t* value);
char* convert_for_sql_type(const char* text, const bson_value_t* value, const sample_column_t* column);

#endif
