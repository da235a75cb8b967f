#include "discovery/profile.h"

#include "core/records.h"

#include <bson/bson.h>
#include <cstdlib>
#include <cstring>

int profile_slot_type(int slot)
{
    return slot == 20 ? BSON_TYPE_MAXKEY : slot == 21 ? BSON_TYPE_MINKEY : slot;
}

int32_t profile_nulls(const db_column_profile_t* column)
{
    return column->types[BSON_TYPE_NULL];
}

db_column_profile_t* profile_at(db_profile_t* profile, int32_t position)
{
    if (position >= profile->capacity) {
        int32_t capacity = profile->capacity ? profile->capacity : 32;
        while (capacity <= position)
            capacity *= 2;
        auto* grown = static_cast<db_column_profile_t*>(record_alloc(sizeof(db_column_profile_t) * capacity));
        if (profile->count)
            std::memcpy(grown, profile->columns, sizeof(db_column_profile_t) * profile->count);
        std::free(profile->columns);
        profile->columns = grown;
        profile->capacity = capacity;
    }
    while (profile->count <= position) {
        db_column_profile_t* c = &profile->columns[profile->count++];
        c->shortest = c->longest = -1;
    }
    return &profile->columns[position];
}

void free_profile(db_profile_t* profile)
{
    if (!profile)
        return;
    for (int32_t i = 0; i < profile->count; ++i)
        std::free(profile->columns[i].decided_id);
    std::free(profile->columns);
    std::free(profile);
}
