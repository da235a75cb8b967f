// Value rendering: every value of a document, rendered and converted for the input's
// column type and for every type of the chooser, with length, precision and scale
// taken from the input (negative and huge ones included).
#include "discovery/types.h"
#include "sample/render.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int32_t head[4] = {0, 0, 0, 0}; // SQL type, length, precision, scale
    size_t n = std::min(size, sizeof head);
    std::memcpy(head, data, n);
    bson_t doc;
    bson_iter_t it;
    // Unvalidated: a reply's documents reach the loaders as the server sent them.
    if (!bson_init_static(&doc, data + n, size - n) || !bson_iter_init(&it, &doc))
        return 0;
    sample_column_t column = {nullptr, head[0], 0, head[1], head[2], head[3], nullptr};
    while (bson_iter_next(&it)) {
        const bson_value_t* value = bson_iter_value(&it);
        column.mongo_type = value->value_type;
        char* text = value_to_text(&it, nullptr);
        for (int i = -1; i < sql_type_name_count; ++i) {
            column.sql_type = i < 0 ? head[0] : sql_type_names[i].code;
            std::free(convert_for_sql_type(text, value, &column));
        }
        std::free(text);
    }
    return 0;
}
