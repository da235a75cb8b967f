// Sampling real collections for discovery, on the test servers.
#include "discovery/discover.h"

#include "tests/store/store_fixture.h"

namespace {

struct Sampling : StoreTest {
    // 1000 documents in insertion order; from the 101st on they carry a field "late".
    void thousand()
    {
        mongoc_collection_t* coll = mongoc_client_get_collection(fx, data.c_str(), "big");
        std::vector<bson_t*> docs;
        for (int i = 0; i < 1000; ++i) {
            bson_t* doc = bson_new();
            BSON_APPEND_INT32(doc, "n", i);
            if (i >= 100)
                BSON_APPEND_UTF8(doc, "late", "yes");
            docs.push_back(doc);
        }
        bson_error_t error;
        ASSERT_TRUE(mongoc_collection_insert_many(coll, const_cast<const bson_t**>(docs.data()), docs.size(), nullptr,
                                                  nullptr, &error))
            << error.message;
        for (bson_t* doc : docs)
            bson_destroy(doc);
        mongoc_collection_destroy(coll);
    }
    static std::vector<std::string> names(const db_column_t* c)
    {
        std::vector<std::string> out;
        for (; c; c = c->next)
            out.push_back(c->sql_name);
        return out;
    }
};

TEST_F(Sampling, PreviewRowsBoundTheSample)
{
    connect();
    thousand();
    d.preview_rows = 100;
    db_sample_t* sample = sample_collection(&d, "big");
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(names(sample->columns), (std::vector<std::string>{"_id", "n"}));
    EXPECT_EQ(sample->count, 2);
    ASSERT_NE(sample->items, nullptr);
    EXPECT_EQ(sample->items[0], sample->columns);
    EXPECT_EQ(sample->items[1], sample->columns->next);
    EXPECT_EQ(sample->dbinfo, &d);
    free_sample(sample);

    d.preview_rows = 101;
    db_column_t* columns = discover_columns(&d, "big");
    EXPECT_EQ(names(columns), (std::vector<std::string>{"_id", "n", "late"}));
    free_columns(columns);

    d.preview_rows = 0; // no limit
    columns = discover_columns(&d, "big");
    EXPECT_EQ(names(columns), (std::vector<std::string>{"_id", "n", "late"}));
    free_columns(columns);
}

TEST_F(Sampling, EmptyOrMissingCollection)
{
    connect();
    db_sample_t* sample = sample_collection(&d, "nothing_here");
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->count, 0);
    EXPECT_EQ(sample->columns, nullptr);
    EXPECT_NE(sample->items, nullptr);
    free_sample(sample);
    EXPECT_EQ(discover_columns(&d, "nothing_here"), nullptr);

    d.client = nullptr;
    EXPECT_EQ(sample_collection(&d, "nothing_here"), nullptr);
    EXPECT_EQ(discover_columns(&d, "nothing_here"), nullptr);
}

TEST_F(Sampling, WideFlagComesFromTheRecord)
{
    connect();
    put_data("w", R"({"s": "text"})");
    d.default_wide = true;
    db_column_t* columns = discover_columns(&d, "w");
    ASSERT_NE(columns, nullptr);
    EXPECT_EQ(columns->next->sql_type, -9);
    free_columns(columns);
}

} // namespace
