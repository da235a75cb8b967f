// What discovery profiles of a real collection, and which documents each sampling
// strategy reaches.
#include "discovery/discover.h"
#include "discovery/profile.h"
#include "discovery/types.h"
#include "store/change/create.h"
#include "tests/store/store_fixture.h"

#include <cstring>

namespace {

struct ProfileTest : StoreTest {
    db_sample_t* sample(const char* collection, int strategy, int rows)
    {
        d.sample_strategy = strategy;
        d.preview_rows = rows;
        return sample_collection(&d, collection);
    }
};

const db_column_profile_t* profile_of(const db_sample_t* s, const char* sql_name)
{
    int32_t i = 0;
    for (const db_column_t* c = s->columns; c; c = c->next, ++i)
        if (!std::strcmp(c->sql_name, sql_name))
            return &s->profile->columns[i];
    return nullptr;
}

TEST_F(ProfileTest, CountsTypesNullsCoverageAndTheDecidingDocument)
{
    connect();
    // n: six int32, one string (document 5), one null, absent from two documents.
    const char* n[] = {"1", "2", "3", "4", "\"abcd\"", "6", "7", "null", "", ""};
    for (int i = 0; i < 10; ++i)
        put_data("mix", "{\"_id\": " + std::to_string(i + 1) + (*n[i] ? std::string(", \"n\": ") + n[i] : "") +
                            (i == 9 ? ", \"rare\": \"xy\", \"a_b\": 1, \"a\": {\"b\": 2}" : "") + "}");
    db_sample_t* s = sample("mix", SAMPLE_FIRST, 100);
    ASSERT_TRUE(s && s->items);
    EXPECT_EQ(s->profile->documents, 10);
    const db_column_profile_t* p = profile_of(s, "n");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->documents, 8);
    EXPECT_EQ(p->types[BSON_TYPE_INT32], 6);
    EXPECT_EQ(p->types[BSON_TYPE_UTF8], 1);
    EXPECT_EQ(profile_nulls(p), 1);
    EXPECT_EQ(p->shortest, 4);
    EXPECT_EQ(p->longest, 4);
    EXPECT_EQ(p->decided_before, SQL_T_INTEGER);
    EXPECT_EQ(p->decided_after, SQL_T_VARCHAR);
    EXPECT_STREQ(p->decided_id, "5");
    const db_column_profile_t* rare = profile_of(s, "rare");
    ASSERT_TRUE(rare);
    EXPECT_EQ(rare->documents, 1);
    EXPECT_EQ(rare->decided_before, 0); // its first value settled it
    EXPECT_STREQ(rare->decided_id, "10");
    const db_column_profile_t* merged = profile_of(s, "a_b"); // two fields of one document, one column
    ASSERT_TRUE(merged);
    EXPECT_EQ(merged->documents, 1);
    EXPECT_EQ(merged->types[BSON_TYPE_INT32], 2);
    free_sample(s);
}

TEST_F(ProfileTest, StrategiesReachTheNewestDocumentsOrNot)
{
    connect();
    for (int i = 1; i <= 40; ++i)
        put_data("grow", "{\"_id\": " + std::to_string(i) + ", \"a\": 1" + (i > 37 ? ", \"late\": 2" : "") + "}");
    const struct {
        int strategy, size;
        bool late;
        const char* first_id; // the first document read
    } rows[] = {
        {SAMPLE_FIRST, 10, false, "1"}, {SAMPLE_NEWEST, 10, true, "40"},
        {SAMPLE_SPREAD, 10, true, "1"}, {SAMPLE_SPREAD, 1, false, "1"}, // one run, from the start
    };
    for (const auto& row : rows) {
        db_sample_t* s = sample("grow", row.strategy, row.size);
        ASSERT_TRUE(s && s->items) << row.strategy;
        EXPECT_EQ(s->profile->documents, row.size) << row.strategy;
        EXPECT_EQ(profile_of(s, "late") != nullptr, row.late) << row.strategy;
        EXPECT_STREQ(profile_of(s, "_id")->decided_id, row.first_id) << row.strategy;
        free_sample(s);
    }
    // Fewer documents than asked for: spread reads them all, once each; barely more: runs
    // that would overlap are cut short, so that none counts twice.
    for (int i = 1; i <= 11; ++i)
        put_data("few", "{\"_id\": " + std::to_string(i) + ", \"a\": 1}");
    for (const auto& row : {std::make_pair("grow", 40), std::make_pair("few", 9)}) {
        db_sample_t* s = sample(row.first, SAMPLE_SPREAD, row.second == 40 ? 100 : 10);
        ASSERT_TRUE(s && s->items);
        EXPECT_EQ(profile_of(s, "a")->documents, row.second) << row.first;
        free_sample(s);
    }
}

TEST_F(ProfileTest, RandomAsksForSampleAndIsRefusedClearlyWhereThereIsNone)
{
    connect();
    put_data("r", "{\"_id\": 1, \"a\": 1}");
    db_sample_t* s = sample("r", SAMPLE_RANDOM, 10);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->items); // a sample that broke off: nothing is decided from it
    EXPECT_NE(std::string(s->error.message).find("$sample"), std::string::npos) << s->error.message;
    free_sample(s);

    testenv::ScriptedServer server;
    ASSERT_TRUE(server.start(R"({"documents": {"rdb.r": [{"_id": 1, "a": "x"}, {"_id": 2, "a": 3}]}})"));
    mongoc_client_t* client = mongoc_client_new(("mongodb://" + server.address() + ":27017").c_str());
    dbinfo_set_text(d.database, "rdb");
    d.sample_strategy = SAMPLE_RANDOM;
    s = sample_collection_over(&d, client, "r");
    ASSERT_TRUE(s && s->items);
    EXPECT_EQ(s->profile->documents, 2);
    EXPECT_EQ(server.count("aggregate"), 1);
    EXPECT_NE(server.commands().back().find("\"$sample\": {\"size\": 10}"), std::string::npos)
        << server.commands().back();
    free_sample(s);
    mongoc_client_destroy(client);
}

TEST_F(ProfileTest, CliMarksColumnsTheSavedTypeCannotShowAndRareOnes)
{
    connect();
    for (int i = 1; i <= 3; ++i)
        put_data("t", "{\"_id\": " + std::to_string(i) + ", \"n\": 1, \"m\": 1}");
    for (int i = 0; i < 16; ++i) // a profile of every table reads the saved types at once
        put_data("u" + std::to_string(i), "{\"_id\": 1}");
    d.preview_rows = 3;
    ASSERT_TRUE(create_schema(&d, &code)); // n saved as SQL_INTEGER
    put_data("t", "{\"_id\": 4, \"n\": \"x\"}");
    put_data("t", "{\"_id\": 5, \"n\": 2, \"m\": null}"); // a null fits an SQL_INTEGER column
    for (int i = 6; i <= 60; ++i)
        put_data("t", "{\"_id\": " + std::to_string(i) + ", \"n\": 2" + (i == 60 ? ", \"r\": true" : "") + "}");
    const std::string args = "-ds " + testenv::server() + " -db " + data + " -ss " + testenv::server() +
                             " -sc " + schema + " profile ";
    std::string out;
    EXPECT_EQ(testenv::run_cli(args + "t", &out), 0) << out;
    EXPECT_EQ(out, "collections to sample: 1\nsampled 1 of 1: t\n" // the progress, on standard error
                   "t: 60 documents sampled\n"
                   "  _id: in 60 (100.0%); NumberInt32 60; SQL_INTEGER\n"
                   "  n: in 60 (100.0%); NumberInt32 59, String 1; length 1-1; SQL_VARCHAR since _id 4 "
                   "(was SQL_INTEGER); does not fit the saved SQL_INTEGER\n"
                   "  m: in 4 (6.7%); NumberInt32 3, null 1; SQL_VARCHAR since _id 5 (was SQL_INTEGER)\n"
                   "  r: in 1 (1.7%); Bool 1; SQL_TINYINT; rare\n");
    const std::string alone = out.substr(out.find("t: 60"));
    EXPECT_EQ(testenv::run_cli(args, &out), 0) << out;
    EXPECT_NE(out.find(alone), std::string::npos) << out;
    EXPECT_EQ(testenv::run_cli(args + "t --json -sample newest -ps 2", &out), 0) << out;
    EXPECT_NE(out.find("{\"sql_name\": \"n\", \"mongo_name\": \"n\", \"documents\": 2, \"types\": "
                       "{\"NumberInt32\": 2}, \"nulls\": 0, \"shortest\": null, \"longest\": null, "
                       "\"sql_type\": \"SQL_INTEGER\", \"saved_sql_type\": \"SQL_INTEGER\", \"decided_by\": 60, "
                       "\"decided_from\": null, \"unfit\": false, \"rare\": false}"),
              std::string::npos)
        << out;
    EXPECT_EQ(testenv::run_cli(args + "nope", &out), 2);
    EXPECT_EQ(out, "The collection 'nope' is not in the data database.\n");
    EXPECT_EQ(testenv::run_cli(args + "t -sample random --quiet", &out), 2);
    EXPECT_EQ(out.rfind("The collection 't' could not be sampled at random", 0), 0u) << out;
    // Creation says why, in the server's words.
    EXPECT_EQ(testenv::run_cli(args.substr(0, args.size() - 8) + "create --replace -sample random", &out), 2);
    EXPECT_NE(out.find("could not be created (error -19).\nMongoDB Error:"), std::string::npos) << out;
}

} // namespace
