// Discovery: the documents of one sample (concatenated, as a reply's batch holds them;
// those that do not validate are left out), walked into one sample as sampling walks
// them. The first byte's low bit is the wide flag.
#include "core/dbinfo.h"
#include "core/records.h"
#include "discovery/discover.h"
#include "discovery/lookup.h"
#include "discovery/profile.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    DBINFO dbinfo;
    dbinfo_clear(&dbinfo);
    dbinfo.default_wide = data[0] & 1;
    db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    sample->dbinfo = &dbinfo;
    bson_reader_t* reader = bson_reader_new_from_data(data + 1, size - 1);
    const bson_t* doc;
    while ((doc = bson_reader_read(reader, nullptr))) {
        if (bson_validate(doc, BSON_VALIDATE_NONE, nullptr))
            walk_document(sample, doc);
    }
    bson_reader_destroy(reader);
    // The list, its count, its index and its profile must agree: every column found by its
    // own name, and seen in at least one document.
    if (sample->count && (!sample->profile || sample->profile->count != sample->count))
        std::abort();
    sample->items = static_cast<db_column_t**>(record_alloc(sizeof(db_column_t*) * sample->count));
    int32_t i = 0;
    for (db_column_t* c = sample->columns; c; c = c->next) {
        if (i == sample->count || !c->sql_name || !c->mongo_name || lookup_column(sample, c->sql_name) != c ||
            sample->profile->columns[i].documents < 1)
            std::abort();
        sample->items[i++] = c;
    }
    if (i != sample->count)
        std::abort();
    free_sample(sample);
    return 0;
}
