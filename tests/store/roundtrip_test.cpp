// Requests that grow with tables, not columns; refused writes that keep their meaning.
#include "discovery/discover.h"
#include "store/create.h"
#include "store/read.h"
#include "store/save.h"
#include "store/validate.h"
#include "store/virtual.h"

#include "tests/store/store_fixture.h"
#include "tests/support/mock_server.h"

#include <map>

namespace {

struct RoundTrip : StoreTest {};

TEST_F(RoundTrip, RequestsFollowTablesNotColumns)
{
    connect();
    std::map<std::string, int> sent;
    int creation_of_two = 0;
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new(); // all commands, finds by collection
    mongoc_apm_set_command_started_cb(callbacks, [](const mongoc_apm_command_started_t* e) {
        auto* sent = static_cast<std::map<std::string, int>*>(mongoc_apm_command_started_get_context(e));
        bson_iter_t it;
        (*sent)["all"]++;
        if (bson_iter_init_find(&it, mongoc_apm_command_started_get_command(e), "find") && BSON_ITER_HOLDS_UTF8(&it))
            (*sent)[bson_iter_utf8(&it, nullptr)]++;
    });
    mongoc_client_set_apm_callbacks(d.client, callbacks, &sent);
    mongoc_client_set_apm_callbacks(d.md_client, callbacks, &sent);
    mongoc_apm_callbacks_destroy(callbacks);
    for (std::pair<int, int> row : {std::pair<int, int>{2, 3}, {2, 40}, {6, 3}}) {
        SCOPED_TRACE(std::to_string(row.first) + " x " + std::to_string(row.second));
        testenv::drop_database(fx, data);
        std::string doc = R"({"_id": 1, "tags": [1, 2])";
        for (int f = 0; f < row.second; ++f)
            doc += ", \"f" + std::to_string(f) + "\": " + (f % 2 ? "\"x\"" : "1");
        for (int t = 0; t < row.first; ++t)
            put_data("t" + std::to_string(t), doc + "}");
        make_index("t0", R"({"f0": 1, "f1": -1})", "two");
        sent.clear();
        int code = 0;
        stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code)); });
        EXPECT_LE(sent["all"], 3 * row.first + 30);
        creation_of_two = creation_of_two ? creation_of_two : sent["all"];
        // Two more a table (its sample and its index listing), none a column.
        EXPECT_EQ(sent["all"] - creation_of_two, 2 * (row.first - 2));
        // The tree and first table of start-up come from what creation wrote, or validation read.
        sent.clear();
        select("t0");
        read_table_tree(&d);
        free_columns(read_table_columns(&d, data.c_str(), "dbo", "t0", nullptr));
        EXPECT_EQ(sent["columns"], 0);
        free_table_tree(&d);
        ASSERT_TRUE(validate_schema(&d, &code));
        read_table_tree(&d);
        EXPECT_EQ(read_schema_virtual_names(&d, data.c_str(), "dbo"), nullptr);
        db_column_t* validated = read_table_columns(&d, data.c_str(), "dbo", "t0", nullptr);
        EXPECT_EQ(sent["columns"], 1);
        free_table_tree(&d);
        free_columns(read_table_columns(&d, data.c_str(), "dbo", "t0", nullptr));
        EXPECT_EQ(sent["columns"], 2);
        // A save with its index entries and a virtual table: as many requests whatever the columns.
        for (db_column_t* c = validated; c; c = c->next)
            c->virtual_array = std::string(c->sql_name) == "tags";
        sent.clear();
        stdout_of([&] { save_table_columns(&d, validated); });
        EXPECT_LE(sent["all"], 12);
        free_columns(validated);
    }
}

// The second document inserted into columns is refused: the rest are still written (a
// second request from the third on) and the failure tells what it told before. (A save's
// refused column is Save.DuplicateNameIsDroppedSilently, on FerretDB.)
TEST_F(RoundTrip, ARefusedDocumentKeepsItsMeaning)
{
    struct Row {
        int last; // index of the last document, sent again from the third
        std::string box;
    } rows[] = {{5, ""}, {3, "Mongo error removing virtual column $index. E11000 duplicate key"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.box);
        testenv::ScriptedServer server;
        ASSERT_TRUE(server.start(R"({"collections": {")" + data + R"(": ["T"]}, "documents": {")" + data +
                                 R"(.T": [{"_id": 1, "a": "x", "tags": [1, 2]}]}, "refuse": {"columns": [2]}})"));
        testenv::release_dbinfo(&d);
        testenv::init_dbinfo(&d);
        connect(server.address(), server.address());
        db_sample_t* sample = sample_collection(&d, "T");
        recorder.messages.clear();
        int code = 0;
        stdout_of([&] {
            if (row.box.empty()) // a table left without a column is no creation
                EXPECT_FALSE(create_schema(&d, &code) || code != -19);
            else
                add_virtual_table(&d, "T", sample->columns);
        });
        free_sample(sample);
        std::string boxes, last;
        for (const auto& m : recorder.messages)
            boxes += m.text + " " + m.informative;
        EXPECT_EQ(boxes, row.box);
        int inserts = 0;
        for (const std::string& c : server.commands())
            if (c.rfind("{\"insert\": \"columns\"", 0) == 0 && ++inserts)
                last = c;
        EXPECT_EQ(inserts, 2);
        EXPECT_EQ(last.find("\"index\": 2,"), std::string::npos) << last; // not sent again
        EXPECT_NE(last.find("\"index\": " + std::to_string(row.last) + ","), std::string::npos) << last;
    }
}

} // namespace
