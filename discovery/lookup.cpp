#include "discovery/lookup.h"

#include "core/records.h"
#include "discovery/sample.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

struct lookup_slot_t {
    uint64_t hash;
    db_column_t* column;
    int32_t position; // in the list, which the sample's profile follows
};

struct db_column_lookup_t {
    lookup_slot_t* slots;
    uint32_t capacity; // a power of two
    uint32_t used;
    int32_t length; // columns in the list
    // What the index was built over: when the list grew behind discovery's back (a
    // sample assembled by hand, a column appended elsewhere) it is rebuilt. Columns
    // are never taken out of a sample's list while it is being walked.
    db_column_t* head;
    db_column_t* tail;
};

namespace {

uint64_t hash_name(const char* name)
{
    uint64_t h = 1469598103934665603ull; // FNV-1a
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
        h ^= *p;
        h *= 1099511628211ull;
    }
    return h;
}

void insert_slot(db_column_lookup_t* lookup, uint64_t hash, db_column_t* column, int32_t position)
{
    uint32_t mask = lookup->capacity - 1;
    uint32_t i = static_cast<uint32_t>(hash) & mask;
    while (lookup->slots[i].column) {
        // The first column of a name wins, as the first match of a list scan would.
        if (lookup->slots[i].hash == hash &&
            std::strcmp(lookup->slots[i].column->sql_name, column->sql_name) == 0)
            return;
        i = (i + 1) & mask;
    }
    lookup->slots[i].hash = hash;
    lookup->slots[i].column = column;
    lookup->slots[i].position = position;
    lookup->used++;
}

void grow(db_column_lookup_t* lookup, uint32_t capacity)
{
    lookup_slot_t* old = lookup->slots;
    uint32_t old_capacity = lookup->capacity;
    lookup->slots = static_cast<lookup_slot_t*>(record_alloc(sizeof(lookup_slot_t) * capacity));
    lookup->capacity = capacity;
    lookup->used = 0;
    for (uint32_t i = 0; i < old_capacity; ++i)
        if (old[i].column)
            insert_slot(lookup, old[i].hash, old[i].column, old[i].position);
    std::free(old);
}

void index_column(db_column_lookup_t* lookup, db_column_t* column)
{
    int32_t position = lookup->length++;
    if (!column->sql_name)
        return; // a nameless column can never be found by name
    if ((lookup->used + 1) * 2 > lookup->capacity)
        grow(lookup, lookup->capacity * 2);
    insert_slot(lookup, hash_name(column->sql_name), column, position);
}

// The index of the sample, (re)built when it does not describe the list as it is.
db_column_lookup_t* current_lookup(db_sample_t* sample)
{
    db_column_lookup_t* lookup = sample->lookup;
    if (lookup && lookup->head == sample->columns &&
        (lookup->tail ? !lookup->tail->next : !sample->columns))
        return lookup;
    free_column_lookup(lookup);
    lookup = static_cast<db_column_lookup_t*>(record_alloc(sizeof(db_column_lookup_t)));
    lookup->capacity = 64;
    lookup->slots = static_cast<lookup_slot_t*>(record_alloc(sizeof(lookup_slot_t) * lookup->capacity));
    lookup->head = sample->columns;
    for (db_column_t* c = sample->columns; c; c = c->next) {
        index_column(lookup, c);
        lookup->tail = c;
    }
    sample->lookup = lookup;
    return lookup;
}

} // namespace

void free_column_lookup(db_column_lookup_t* lookup)
{
    if (!lookup)
        return;
    std::free(lookup->slots);
    std::free(lookup);
}

db_column_t* lookup_column(db_sample_t* sample, const char* name, int32_t* position)
{
    db_column_lookup_t* lookup = current_lookup(sample);
    uint64_t hash = hash_name(name);
    uint32_t mask = lookup->capacity - 1;
    for (uint32_t i = static_cast<uint32_t>(hash) & mask; lookup->slots[i].column; i = (i + 1) & mask)
        if (lookup->slots[i].hash == hash && std::strcmp(lookup->slots[i].column->sql_name, name) == 0) {
            if (position)
                *position = lookup->slots[i].position;
            return lookup->slots[i].column;
        }
    return nullptr;
}

int32_t lookup_append(db_sample_t* sample, db_column_t* column)
{
    db_column_lookup_t* lookup = current_lookup(sample);
    column->next = nullptr;
    column->prev = lookup->tail;
    if (lookup->tail)
        lookup->tail->next = column;
    else
        sample->columns = column;
    lookup->tail = column;
    lookup->head = sample->columns;
    sample->count++;
    int32_t position = lookup->length;
    index_column(lookup, column);
    return position;
}
