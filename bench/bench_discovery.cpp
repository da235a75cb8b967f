// Discovery speed, in memory: documents per second of walking sampled documents into
// columns (and each column's profile), against a bare recursive bson_iter walk of the
// same documents.
//
//   bench_discovery                     the generated workloads:
//                                       (a) 1,000 documents of 20 fields, some nested
//                                       (b) 100 documents of 2,000 distinct fields
//                                       (c) 1,000 documents of 20 fields and (d) 100 of
//                                       2,000, whose fields cycle int32, string, a
//                                       sub-document of two strings, the array
//                                       [1, "a", 2.5] and a boolean
//   bench_discovery --write DIR         also writes them to DIR/discovery-a.bson to
//                                       DIR/discovery-d.bson (concatenated BSON, the form
//                                       mongodump writes), so other tools can be timed
//                                       on the same bytes
//   bench_discovery --read FILE...      the documents of concatenated BSON files instead
//   --seconds S                         time spent on each measurement (default 0.5)
//
// Workload (b) must stay within 10 times the bare walk, (c) and (d) within 8; the exit
// status is 1 when one does not.
#include "core/dbinfo.h"
#include "core/records.h"
#include "discovery/discover.h"

#include <bson/bson.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct workload_t {
    std::string name;
    std::vector<bson_t*> docs;
    double limit; // times the bare walk it must stay within; 0 for none
};

void free_workload(workload_t& w)
{
    for (bson_t* d : w.docs)
        bson_destroy(d);
    w.docs.clear();
}

workload_t twenty_fields()
{
    workload_t w{"(a) 1,000 documents of 20 fields", {}, 0};
    for (int i = 0; i < 1000; ++i) {
        bson_t* d = bson_new();
        bson_oid_t oid;
        bson_oid_init(&oid, nullptr);
        BSON_APPEND_OID(d, "_id", &oid);
        std::string n = std::to_string(i);
        BSON_APPEND_UTF8(d, "name", ("customer " + n).c_str());
        BSON_APPEND_UTF8(d, "email", ("customer" + n + "@example.com").c_str());
        BSON_APPEND_INT32(d, "age", 18 + i % 60);
        BSON_APPEND_DOUBLE(d, "score", i * 0.37);
        BSON_APPEND_BOOL(d, "active", i % 3 == 0);
        BSON_APPEND_DATE_TIME(d, "created", 1600000000000LL + i * 1000LL);
        BSON_APPEND_INT64(d, "visits", 1000000LL * i);
        bson_t tags;
        BSON_APPEND_ARRAY_BEGIN(d, "tags", &tags);
        for (int t = 0; t < 1 + i % 3; ++t)
            BSON_APPEND_UTF8(&tags, std::to_string(t).c_str(), t ? "silver" : "gold");
        bson_append_array_end(d, &tags);
        bson_t address;
        BSON_APPEND_DOCUMENT_BEGIN(d, "address", &address);
        BSON_APPEND_UTF8(&address, "street", "1 Main Street");
        BSON_APPEND_UTF8(&address, "city", i % 2 ? "Oslo" : "Lyon");
        BSON_APPEND_INT32(&address, "zip", 10000 + i);
        bson_append_document_end(d, &address);
        BSON_APPEND_UTF8(d, "phone", "+47 555 0100");
        BSON_APPEND_UTF8(d, "country", "NO");
        BSON_APPEND_UTF8(d, "city", "Oslo");
        BSON_APPEND_DOUBLE(d, "rating", 4.5);
        if (i % 10)
            BSON_APPEND_UTF8(d, "notes", "regular");
        else
            BSON_APPEND_NULL(d, "notes");
        BSON_APPEND_INT32(d, "level", i % 7);
        BSON_APPEND_OID(d, "ref", &oid);
        BSON_APPEND_DATE_TIME(d, "updated", 1700000000000LL + i);
        BSON_APPEND_DOUBLE(d, "balance", 100.25 * i);
        BSON_APPEND_UTF8(d, "code", ("C" + n).c_str());
        w.docs.push_back(d);
    }
    return w;
}

workload_t two_thousand_fields()
{
    workload_t w{"(b) 100 documents of 2,000 distinct fields", {}, 10};
    for (int i = 0; i < 100; ++i) {
        bson_t* d = bson_new();
        char key[32];
        for (int f = 0; f < 2000; ++f) {
            std::snprintf(key, sizeof key, "field_%04d", f);
            switch ((f + i) % 4) {
            case 0: BSON_APPEND_INT32(d, key, f); break;
            case 1: BSON_APPEND_UTF8(d, key, "value"); break;
            case 2: BSON_APPEND_DOUBLE(d, key, f * 0.5); break;
            default: BSON_APPEND_BOOL(d, key, true);
            }
        }
        w.docs.push_back(d);
    }
    return w;
}

// Fields cycling int32, string, a sub-document of two strings, [1, "a", 2.5], boolean.
workload_t cycling(const char* name, int documents, int fields)
{
    workload_t w{name, {}, 8};
    for (int i = 0; i < documents; ++i) {
        bson_t* d = bson_new();
        char key[32];
        for (int f = 0; f < fields; ++f) {
            std::snprintf(key, sizeof key, "field_%04d", f);
            switch (f % 5) {
            case 0: BSON_APPEND_INT32(d, key, i * 31 + f); break;
            case 1: BSON_APPEND_UTF8(d, key, "some text"); break;
            case 2: BCON_APPEND(d, key, "{", "first", BCON_UTF8("Ann"), "last", BCON_UTF8("Lee"), "}"); break;
            case 3: BCON_APPEND(d, key, "[", BCON_INT32(1), BCON_UTF8("a"), BCON_DOUBLE(2.5), "]"); break;
            default: BSON_APPEND_BOOL(d, key, (i + f) % 2 == 0);
            }
        }
        w.docs.push_back(d);
    }
    return w;
}

bool read_file(const char* path, workload_t& w)
{
    bson_error_t error;
    bson_reader_t* reader = bson_reader_new_from_file(path, &error);
    if (!reader) {
        std::fprintf(stderr, "%s: %s\n", path, error.message);
        return false;
    }
    const bson_t* doc;
    bool eof = false;
    while ((doc = bson_reader_read(reader, &eof)))
        w.docs.push_back(bson_copy(doc));
    bson_reader_destroy(reader);
    if (!eof) {
        std::fprintf(stderr, "%s: not a file of concatenated BSON documents\n", path);
        return false;
    }
    return true;
}

bool write_file(const std::string& path, const workload_t& w)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        std::perror(path.c_str());
        return false;
    }
    for (const bson_t* d : w.docs)
        std::fwrite(bson_get_data(d), 1, d->len, f);
    std::fclose(f);
    std::printf("wrote %zu documents to %s\n", w.docs.size(), path.c_str());
    return true;
}

// The floor: every element visited, nothing kept.
uint64_t bare_walk(bson_iter_t* it)
{
    uint64_t sum = 0;
    while (bson_iter_next(it)) {
        sum += bson_iter_key_len(it) + bson_iter_type(it);
        if (BSON_ITER_HOLDS_DOCUMENT(it) || BSON_ITER_HOLDS_ARRAY(it)) {
            bson_iter_t child;
            if (bson_iter_recurse(it, &child))
                sum += bare_walk(&child);
        }
    }
    return sum;
}

uint64_t bare_pass(const workload_t& w)
{
    uint64_t sum = 0;
    for (const bson_t* d : w.docs) {
        bson_iter_t it;
        if (bson_iter_init(&it, d))
            sum += bare_walk(&it);
    }
    return sum;
}

uint64_t discovery_pass(const workload_t& w, DBINFO* dbinfo)
{
    db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    sample->dbinfo = dbinfo;
    // As a read walks them: each document counted in the profile as well.
    for (const bson_t* d : w.docs)
        walk_document(sample, d);
    uint64_t count = static_cast<uint64_t>(sample->count);
    free_sample(sample);
    return count;
}

// Passes per second over at least `seconds`, after one warm-up pass.
template <typename Pass>
double passes_per_second(Pass pass, double seconds, uint64_t* result)
{
    *result = pass();
    long passes = 0;
    auto started = clock_type::now();
    double elapsed = 0;
    do {
        *result = pass();
        ++passes;
        elapsed = std::chrono::duration<double>(clock_type::now() - started).count();
    } while (elapsed < seconds);
    return passes / elapsed;
}

bool measure(const workload_t& w, double seconds)
{
    DBINFO dbinfo;
    dbinfo_clear(&dbinfo);
    uint64_t columns = 0, sum = 0;
    double discovery = passes_per_second([&] { return discovery_pass(w, &dbinfo); }, seconds, &columns);
    double bare = passes_per_second([&] { return bare_pass(w); }, seconds, &sum);
    double docs = static_cast<double>(w.docs.size());
    double ratio = bare / discovery;
    std::printf("%s\n", w.name.c_str());
    std::printf("  columns discovered      %llu\n", static_cast<unsigned long long>(columns));
    std::printf("  discovery               %.0f documents/s\n", discovery * docs);
    std::printf("  bare bson_iter walk     %.0f documents/s (checksum %llu)\n", bare * docs,
                static_cast<unsigned long long>(sum % 1000));
    if (w.limit > 0)
        std::printf("  discovery / bare walk   %.2f times the time (limit %g: %s)\n", ratio, w.limit,
                    ratio <= w.limit ? "ok" : "OVER");
    else
        std::printf("  discovery / bare walk   %.2f times the time\n", ratio);
    return w.limit <= 0 || ratio <= w.limit;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 0.5;
    std::string write_dir;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--write") && i + 1 < argc)
            write_dir = argv[++i];
        else if (!std::strcmp(argv[i], "--read")) {
            while (i + 1 < argc && std::strncmp(argv[i + 1], "--", 2) != 0)
                files.push_back(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--write DIR | --read FILE...] [--seconds S]\n", argv[0]);
            return 2;
        }
    }

    std::vector<workload_t> workloads;
    if (files.empty()) {
        workloads.push_back(twenty_fields());
        workloads.push_back(two_thousand_fields());
        workloads.push_back(cycling("(c) 1,000 documents of 20 cycling fields", 1000, 20));
        workloads.push_back(cycling("(d) 100 documents of 2,000 cycling fields", 100, 2000));
    } else {
        for (const char* f : files) {
            workload_t w{std::string(f), {}, 0};
            if (!read_file(f, w))
                return 2;
            w.name += " (" + std::to_string(w.docs.size()) + " documents)";
            workloads.push_back(w);
        }
    }
    if (!write_dir.empty() && files.empty()) {
        for (size_t i = 0; i < workloads.size(); ++i)
            if (!write_file(write_dir + "/discovery-" + char('a' + i) + ".bson", workloads[i]))
                return 2;
    }

    bool ok = true;
    for (workload_t& w : workloads) {
        ok = measure(w, seconds) && ok;
        free_workload(w);
    }
    return ok ? 0 : 1;
}
