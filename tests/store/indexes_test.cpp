// Index metadata copied from a collection's real indexes, on the test servers.
#include "store/indexes.h"

#include "discovery/discover.h"
#include "tests/store/store_fixture.h"

#include <cstdlib>

namespace {

struct Indexes : StoreTest {
    std::string head(const std::string& table) const
    {
        return "sql_catalog:\"" + data + "\" sql_schema:\"dbo\" sql_table:\"" + table + "\" ";
    }
    // Discovers the collection, then syncs its index metadata; what was printed.
    std::string sync(const std::string& table, const std::function<void(db_sample_t*)>& adjust = nullptr)
    {
        db_sample_t* sample = sample_collection(&d, table.c_str());
        EXPECT_EQ(sample != nullptr, d.client != nullptr);
        if (adjust && sample)
            adjust(sample);
        std::string out = stdout_of([&] { EXPECT_TRUE(sync_table_indexes(&d, sample, table.c_str())); });
        free_sample(sample);
        return out;
    }
    static void hide(db_sample_t* sample, const char* mongo_name)
    {
        for (db_column_t* c = sample->columns; c; c = c->next)
            if (std::string(c->mongo_name) == mongo_name)
                c->visible = false;
    }
};

TEST_F(Indexes, DefaultIndexOnly)
{
    connect();
    put_data("T", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819203"}, "a": 1})");
    std::string out = sync("T", [](db_sample_t* s) {
        // The SQL name of the column, not the field path, goes into the entry.
        std::free(s->columns->sql_name);
        s->columns->sql_name = copy_text("ID");
    });
    EXPECT_EQ(schema_docs("index"),
              (std::vector<std::string>{head("T") + "sql_col_name:\"ID\" index:i1 primary:false index_name:\"_id_\" "
                                                    "unique:true native_id:false asc:true"}));
    std::vector<bson_t*> docs = testenv::read_documents(fx, schema, "index");
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(testenv::field_names(docs[0]),
              (std::vector<std::string>{"_id", "sql_catalog", "sql_schema", "sql_table", "sql_col_name", "index",
                                        "primary", "index_name", "unique", "native_id", "asc"}));
    testenv::destroy_documents(docs);
    // The reply and each index document, between blank lines.
    std::string described = "{ \"v\" : 2, \"key\" : { \"_id\" : 1 }, \"name\" : \"_id_\" }";
    EXPECT_EQ(out, "\n{ \"cursor\" : { \"id\" : 0, \"ns\" : \"" + data + ".T\", \"firstBatch\" : [ " + described +
                       " ] }, \"ok\" : 1.0 }\n\n\n" + described + "\n\n");
}

TEST_F(Indexes, CompoundAndHiddenKeys)
{
    connect();
    put_data("T", R"({"a": 1, "b": "x", "c": {"d": 2}, "h": 1})");
    make_index("T", R"({"a": 1, "b": -1})", "ab", true);
    make_index("T", R"({"c.d": 1})", "cd");
    make_index("T", R"({"h": 1})", "hidden");
    make_index("T", R"({"a": 1, "missing": 1})", "partly_missing");
    sync("T", [](db_sample_t* s) { hide(s, "h"); });
    EXPECT_EQ(schema_docs("index"),
              (std::vector<std::string>{
                  head("T") + "sql_col_name:\"_id\" index:i1 primary:false index_name:\"_id_\" unique:true native_id:false asc:true",
                  head("T") + "sql_col_name:\"a\" index:i1 primary:false index_name:\"ab\" unique:true native_id:false asc:true",
                  head("T") + "sql_col_name:\"b\" index:i2 primary:false index_name:\"ab\" unique:true native_id:false asc:false",
                  head("T") + "sql_col_name:\"c_d\" index:i1 primary:false index_name:\"cd\" unique:false native_id:false asc:true",
              }));
}

TEST_F(Indexes, OldEntriesGoFirst)
{
    connect();
    put_data("T", R"({"a": 1})");
    put_schema("index", index_doc("T", "gone", 1, "old"));
    put_schema("index", index_doc("U", "kept", 1, "other_table"));
    sync("T");
    EXPECT_TRUE(schema_docs("index", "{\"index_name\": \"old\"}").empty());
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"U\"}").size(), 1u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"T\"}").size(), 1u);
    EXPECT_TRUE(recorder.messages.empty());

    // Without a data client the old entries still go, and nothing comes back.
    mongoc_client_t* client = d.client;
    d.client = nullptr;
    sync("T");
    EXPECT_TRUE(schema_docs("index", "{\"sql_table\": \"T\"}").empty());
    d.client = client;

    // A collection that does not exist: no listing, no entries, no box.
    std::string out = sync("NoSuch");
    EXPECT_TRUE(schema_docs("index", "{\"sql_table\": \"NoSuch\"}").empty());
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Indexes, NoSchemaClientIsANoOp)
{
    connect();
    put_data("T", R"({"a": 1})");
    put_schema("index", index_doc("T", "a", 1, "old"));
    d.md_client = nullptr;
    std::string out = sync("T");
    EXPECT_EQ(out, "");
    EXPECT_EQ(schema_docs("index").size(), 1u);
}

TEST(MapIndexKeys, FirstVisibleColumnOfThePath)
{
    db_sample_t sample{};
    auto column = [](const char* sql, const char* mongo, bool visible) {
        db_column_t* c = new_column();
        c->sql_name = copy_text(sql);
        c->mongo_name = copy_text(mongo);
        c->visible = visible;
        return c;
    };
    db_column_t* a_hidden = column("a_hidden", "a", false);
    db_column_t* a = column("A", "a", true);
    db_column_t* a2 = column("A2", "a", true);
    a_hidden->next = a;
    a->next = a2;
    sample.columns = a_hidden;
    auto entry = [](const char* name, db_index_t* next) {
        db_index_t* e = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
        e->sql_col_name = copy_text(name);
        e->next = next;
        return e;
    };
    db_index_t* entries = entry("a", nullptr);
    EXPECT_TRUE(map_index_keys(entries, &sample));
    EXPECT_STREQ(entries->sql_col_name, "A");
    free_indexes(entries);

    entries = entry("a", entry("b", nullptr));
    EXPECT_FALSE(map_index_keys(entries, &sample));
    free_indexes(entries);
    EXPECT_FALSE(map_index_keys(nullptr, &sample));
    free_columns(a_hidden);
}

} // namespace
