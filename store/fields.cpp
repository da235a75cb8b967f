#include "store/fields.h"

#include <cmath>

int32_t schema_number(const bson_iter_t* iter)
{
    if (BSON_ITER_HOLDS_INT32(iter))
        return bson_iter_int32(iter);
    if (BSON_ITER_HOLDS_DOUBLE(iter)) {
        double v = std::trunc(bson_iter_double(iter));
        if (std::isnan(v))
            return 0;
        if (v >= 2147483647.0)
            return INT32_MAX;
        if (v <= -2147483648.0)
            return INT32_MIN;
        return static_cast<int32_t>(v);
    }
    return 0;
}

bool schema_flag(const bson_iter_t* iter, bool otherwise)
{
    return BSON_ITER_HOLDS_BOOL(iter) ? bson_iter_bool(iter) : otherwise;
}

bool first_batch(const bson_t* reply, bson_iter_t* elements)
{
    bson_iter_t batch;
    return bson_iter_init(&batch, reply) && bson_iter_find_descendant(&batch, "cursor.firstBatch", &batch) &&
           BSON_ITER_HOLDS_ARRAY(&batch) && bson_iter_recurse(&batch, elements);
}

bson_t* whole_collection_opts(void)
{
    return BCON_NEW("batchSize", BCON_INT32(1000000));
}
