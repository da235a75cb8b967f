// What discovery saw of each column of a sample: how many documents hold it, which BSON
// types in what numbers, the shortest and longest value, and the document that gave the
// column its SQL type. Kept beside the column list, by position in it; never written to
// the schema database.
#ifndef BROLIX_DISCOVERY_PROFILE_H
#define BROLIX_DISCOVERY_PROFILE_H

#include <cstdint>

// BSON type codes 0 to 19 count in their own slot, max key (127) and min key (255) in
// the last two.
enum { PROFILE_TYPE_SLOTS = 22 };
// -1 for a code no slot holds.
inline int profile_type_slot(int bson_type)
{
    return bson_type >= 0 && bson_type <= 19 ? bson_type : bson_type == 127 ? 20 : bson_type == 255 ? 21 : -1;
}
int profile_slot_type(int slot);

struct db_column_profile_t {
    int32_t documents;                // sampled documents holding the field
    int32_t last_document;            // the document counted last, so that each counts once
    int32_t types[PROFILE_TYPE_SLOTS]; // values seen, by type slot (nulls in BSON_TYPE_NULL's)
    int32_t shortest;                 // -1 while no string, binary, document or array was seen
    int32_t longest;
    // The first document whose value gave the column the SQL type it ended with: the type
    // before (0 when the field's first value settled it) and after, and that document's
    // _id as extended JSON (NULL when it had none).
    int32_t decided_before;
    int32_t decided_after;
    char* decided_id;
};

struct db_profile_t {
    int32_t documents; // documents sampled
    int32_t count;     // columns profiled
    int32_t capacity;
    db_column_profile_t* columns;
};

int32_t profile_nulls(const db_column_profile_t* column);
// The column profile at a position of the list, made (zeroed) when new.
db_column_profile_t* profile_at(db_profile_t* profile, int32_t position);
void free_profile(db_profile_t* profile);

#endif
