// Server behaviours the test servers do not show, played by scripted servers: old
// servers without listCollections, a refused validate, failing creation steps, cursor
// errors and index keys FerretDB does not keep.
#include "discovery/discover.h"
#include "app/schema_check.h"
#include "store/create.h"
#include "store/indexes.h"
#include "store/read.h"
#include "store/validate.h"

#include "tests/store/store_fixture.h"
#include "tests/support/mock_server.h"

#include <chrono>
#include <gtest/gtest-spi.h>

namespace {

struct Scripted : StoreTest {
    testenv::ScriptedServer server;

    // Starts the script and connects the sides that are named to it.
    void start(const std::string& config, bool data_scripted, bool schema_scripted)
    {
        ASSERT_TRUE(server.start(config));
        connect(data_scripted ? server.address() : testenv::server(),
                schema_scripted ? server.address() : testenv::server());
    }
    std::vector<std::string> tree() const
    {
        std::vector<std::string> out;
        for (const db_catalog_t* c = d.tables; c; c = c->next)
            for (const db_schema_t* s = c->schemas; s; s = s->next)
                for (const db_table_t* t = s->tables; t; t = t->next)
                    out.push_back(std::string(c->name) + "/" + s->name + "/" + t->name);
        return out;
    }
    // The commands the script answered whose JSON contains every one of the texts.
    int sent(std::initializer_list<std::string> texts)
    {
        int n = 0;
        for (const std::string& c : server.commands()) {
            bool all = true;
            for (const std::string& t : texts)
                all = all && c.find(t) != std::string::npos;
            n += all;
        }
        return n;
    }
};

TEST_F(Scripted, ServerWithoutListCollections)
{
    start(R"({"legacy": true, "collections": {")" + data + R"(": ["A", "system.js", "B"]}})", true, true);
    bson_error_t error;
    char** names = list_collection_names(&d, d.db, &error);
    ASSERT_NE(names, nullptr) << error.message;
    EXPECT_EQ(d.legacy_collection_list, 1);
    std::vector<std::string> got;
    for (char** p = names; *p; ++p)
        got.push_back(*p);
    free_collection_names(&d, names); // the library's string vector
    EXPECT_EQ(got, (std::vector<std::string>{"A", "system.js", "B"}));
    // The editor's own command was refused, then the library listed the names.
    EXPECT_EQ(sent({"{\"listCollections\": 1, \"$db\": \"" + data + "\"}"}), 1);
    EXPECT_EQ(sent({"\"listCollections\": 1", "\"nameOnly\": true"}), 1);

    int code = 0;
    EXPECT_TRUE(load_tables_without_schema(&d, &code));
    EXPECT_EQ(tree(), (std::vector<std::string>{data + "/dbo/A", data + "/dbo/B"}));
    d.db_collections = list_data_collections(&d);
    ASSERT_NE(d.db_collections, nullptr);
    EXPECT_STREQ(d.db_collections->key, (data + ".dbo.A").c_str());
    EXPECT_STREQ(d.db_collections->next->key, (data + ".dbo.B").c_str());
    EXPECT_EQ(d.db_collections->next->next, nullptr);
}

TEST_F(Scripted, OtherListingErrorsGiveNoList)
{
    start(R"({"errors": {"listCollections:bare": [13, "not authorized"]}})", true, true);
    bson_error_t error;
    EXPECT_EQ(list_collection_names(&d, d.md_db, &error), nullptr);
    EXPECT_STREQ(error.message, "not authorized");
    EXPECT_EQ(d.legacy_collection_list, 0);
    int code = 0;
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -4);
}

TEST_F(Scripted, IndexesFromSystemIndexes)
{
    std::string ns = data + ".T";
    start(R"({"legacy": true, "collections": {")" + data + R"(": ["T"]},
              "documents": {")" + data + R"(.T": [{"_id": 1, "a": 2, "b": 3}],
                            ")" + data + R"(.system.indexes": [
                  {"v": 1, "key": {"_id": 1}, "name": "_id_", "ns": ")" + ns + R"("},
                  {"v": 1, "key": {"a": 1, "b": -1}, "name": "ab", "ns": ")" + ns + R"(", "unique": true},
                  {"v": 1, "key": {"a": 1}, "name": "elsewhere", "ns": ")" + data + R"(.U"}]}})",
          true, false);
    d.legacy_collection_list = 1;
    db_sample_t* sample = sample_collection(&d, "T");
    ASSERT_NE(sample, nullptr);
    std::string out = stdout_of([&] { sync_table_indexes(&d, sample, "T"); });
    free_sample(sample);
    std::string head = "sql_catalog:\"" + data + "\" sql_schema:\"dbo\" sql_table:\"T\" ";
    EXPECT_EQ(schema_docs("index"),
              (std::vector<std::string>{
                  head + "sql_col_name:\"_id\" index:i1 primary:false index_name:\"_id_\" unique:true native_id:false asc:true",
                  head + "sql_col_name:\"a\" index:i1 primary:false index_name:\"ab\" unique:true native_id:false asc:true",
                  head + "sql_col_name:\"b\" index:i2 primary:false index_name:\"ab\" unique:true native_id:false asc:false",
              }));
    EXPECT_EQ(sent({"\"find\": \"system.indexes\"", "\"filter\": {\"ns\": \"" + ns + "\"}"}), 1);
    EXPECT_EQ(sent({"\"listIndexes\""}), 0);
    EXPECT_NE(out.find("\n{ \"v\" : 1, \"key\" : { \"_id\" : 1 }, \"name\" : \"_id_\", \"ns\" : \"" + ns + "\" }\n\n"),
              std::string::npos)
        << out;
}

TEST_F(Scripted, KeyDirections)
{
    // One index per key value; FerretDB keeps only 1 and -1, so they come from a script.
    struct Case {
        const char* value;
        bool asc;
    };
    const Case cases[] = {
        {"1", true},
        {"-1", false},
        {"0", false},
        {"1.0", true},
        {"0.5", true},
        {"-0.5", false},
        {"{\"$numberLong\": \"1\"}", true},
        {"{\"$numberLong\": \"-1\"}", false},
        {"{\"$numberLong\": \"4294967296\"}", false}, // low 32 bits are 0
        {"{\"$numberLong\": \"4294967297\"}", true},
        {"{\"$numberLong\": \"2147483648\"}", false}, // low 32 bits read as a negative int32
        {"\"text\"", true},
        {"\"hashed\"", true},
        {"\"2dsphere\"", true},
        {"{\"$numberDecimal\": \"-1\"}", false},
        {"{\"$numberDecimal\": \"1\"}", false}, // only doubles and integers are ascending
    };
    std::string listing;
    std::string doc = "{\"_id\": 1";
    int n = 0;
    for (const Case& c : cases) {
        std::string field = "k" + std::to_string(n++);
        listing += std::string(listing.empty() ? "" : ", ") + "{\"key\": {\"" + field + "\": " + c.value +
                 "}, \"name\": \"" + field + "_index\"}";
        doc += ", \"" + field + "\": 1";
    }
    doc += "}";
    // An index document without key, one without name, one with a unique that is no boolean.
    listing += ", {\"name\": \"no_key\"}, {\"key\": {\"k0\": 1}}, {\"key\": {\"k1\": 1}, \"name\": \"odd\", \"unique\": 1}";
    start(R"({"documents": {")" + data + ".T\": [" + doc + R"(]}, "indexes": {")" + data + ".T\": [" + listing + "]}}",
          true, false);
    db_sample_t* sample = sample_collection(&d, "T");
    ASSERT_NE(sample, nullptr);
    stdout_of([&] { sync_table_indexes(&d, sample, "T"); });
    free_sample(sample);

    std::vector<bson_t*> docs = testenv::read_documents(fx, schema, "index");
    ASSERT_EQ(docs.size(), sizeof cases / sizeof cases[0] + 2);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        bson_iter_t it;
        ASSERT_TRUE(bson_iter_init_find(&it, docs[i], "asc"));
        EXPECT_EQ(bson_iter_bool(&it), cases[i].asc) << cases[i].value;
        ASSERT_TRUE(bson_iter_init_find(&it, docs[i], "unique"));
        EXPECT_FALSE(bson_iter_bool(&it));
    }
    // Without a name the entry's index_name is null; a unique that is no boolean is false.
    EXPECT_EQ(typed(docs[docs.size() - 2]), "sql_catalog:\"" + data + "\" sql_schema:\"dbo\" sql_table:\"T\" "
                                            "sql_col_name:\"k0\" index:i1 primary:false index_name:null unique:false "
                                            "native_id:false asc:true");
    bson_iter_t it;
    ASSERT_TRUE(bson_iter_init_find(&it, docs.back(), "unique"));
    EXPECT_FALSE(bson_iter_bool(&it));
    testenv::destroy_documents(docs);
}

TEST_F(Scripted, ValidateRefusedGivesReadOnly)
{
    start(R"({"errors": {"validate": [13, "not authorized on db to execute command { validate: \"index\" }"]}})",
          false, true);
    d.mode = MODE_EDIT;
    check_index_access(&d);
    EXPECT_EQ(d.mode, MODE_READ_ONLY);
    EXPECT_EQ(sent({"\"validate\": \"index\"", "\"$db\": \"" + schema + "\""}), 1);

    // Validation of an empty schema on that server: -1, and the mode is known all the same.
    d.mode = MODE_EDIT;
    int code = 0;
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -1);
    EXPECT_EQ(d.mode, MODE_READ_ONLY);

    // View Only mode never asks.
    d.mode = MODE_VIEW_ONLY;
    int before = sent({"\"validate\""});
    check_index_access(&d);
    EXPECT_EQ(d.mode, MODE_VIEW_ONLY);
    EXPECT_EQ(sent({"\"validate\""}), before);
}

TEST_F(Scripted, MissingIndexCollectionKeepsTheMode)
{
    for (const char* message : {"ns not found", "Collection 'x.index' does not exist to validate."}) {
        SCOPED_TRACE(message);
        server.stop();
        testenv::release_dbinfo(&d);
        testenv::init_dbinfo(&d);
        start(std::string(R"({"errors": {"validate": [26, ")") + message + "\"]}}", false, true);
        for (int mode : {MODE_EDIT, MODE_READ_ONLY}) {
            d.mode = mode;
            check_index_access(&d);
            EXPECT_EQ(d.mode, mode);
        }
    }
    // A message that merely resembles it is a refusal.
    server.stop();
    testenv::release_dbinfo(&d);
    testenv::init_dbinfo(&d);
    start(R"({"errors": {"validate": [26, "ns not found here"]}})", false, true);
    check_index_access(&d);
    EXPECT_EQ(d.mode, MODE_READ_ONLY);
}

TEST_F(Scripted, CreationFailures)
{
    struct Case {
        const char* refused;
        int code;
        const char* line;
        int creates;        // collections asked for
        int index_commands; // createIndexes sent
    };
    const Case cases[] = {
        {"dropDatabase", -13, "\n\n- - - - -ERROR_BROLIX_DROP_SCHEMA", 0, 0},
        {"create:tables", -6, "\n\n- - - - -ERROR_BROLIX_CREATE_TABLES", 1, 0},
        {"createIndexes:tables_index_1", -9, "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX_TABLES", 1, 1},
        {"create:columns", -7, "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS", 2, 1},
        {"createIndexes:columns_index_1", -10, "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS_INDEX_1", 2, 2},
        {"createIndexes:columns_index_2", -11, "\n\n- - - - -ERROR_BROLIX_CREATE_COLUMNS_INDEX_2", 2, 3},
        {"create:index", -8, "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX", 3, 3},
        {"createIndexes:index_index_1", -12, "\n\n- - - - -ERROR_BROLIX_CREATE_INDEX_INDEX", 3, 4},
        {"none", 1, "", 3, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.refused);
        server.stop();
        testenv::release_dbinfo(&d);
        testenv::init_dbinfo(&d);
        start(std::string(R"({"errors": {")") + c.refused + R"(": [8000, "refused"]}})", false, true);
        int code = 0;
        bool ok = false;
        std::string out = stdout_of([&] { ok = create_schema(&d, &code); });
        EXPECT_EQ(ok, c.code == 1);
        EXPECT_EQ(code, c.code);
        if (c.code != 1) {
            EXPECT_EQ(out, c.line);
        }
        EXPECT_EQ(sent({"\"dropDatabase\": 1"}), 1);
        EXPECT_EQ(server.count("create"), c.creates);
        EXPECT_EQ(server.count("createIndexes"), c.index_commands);
        // Nothing is described after a failure.
        if (c.code != 1) {
            EXPECT_EQ(server.count("insert"), 0);
        }
    }
}

TEST_F(Scripted, CreationCommandsInOrder)
{
    start("{}", false, true);
    int code = 0;
    stdout_of([&] { create_schema(&d, &code); });
    std::vector<std::string> order;
    for (const std::string& c : server.commands())
        if (c.rfind("{\"create", 0) == 0 || c.rfind("{\"dropDatabase", 0) == 0)
            order.push_back(c.substr(0, c.find(", \"$db\"")) + "}");
    ASSERT_EQ(order.size(), 8u);
    EXPECT_EQ(order[0], "{\"dropDatabase\": 1}");
    EXPECT_EQ(order[1], "{\"create\": \"tables\"}");
    EXPECT_EQ(order[2], "{\"createIndexes\": \"tables\", \"indexes\": [{\"key\": {\"sql_catalog\": 1, \"sql_schema\": 1, "
                        "\"sql_table\": 1}, \"name\": \"tables_index_1\", \"unique\": true}]}");
    EXPECT_EQ(order[3], "{\"create\": \"columns\"}");
    EXPECT_NE(order[4].find("\"name\": \"columns_index_1\""), std::string::npos);
    EXPECT_NE(order[5].find("\"sql_table\": 1, \"index\": 1}, \"name\": \"columns_index_2\""), std::string::npos);
    EXPECT_EQ(order[6], "{\"create\": \"index\"}");
    EXPECT_NE(order[7].find("\"sql_col_name\": 1, \"index\": 1, \"index_name\": 1}, \"name\": \"index_index_1\""),
              std::string::npos);
}

TEST_F(Scripted, CursorErrorEndsTheSample)
{
    start(R"({"documents": {")" + data + R"(.T": [{"_id": 1, "a": "x"}, {"_id": 2, "b": 2}]},
              "more": [")" + data + R"(.T"], "errors": {"getMore": [43, "cursor killed"]}})",
          true, false);
    db_sample_t* sample = sample_collection(&d, "T");
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->items, nullptr);
    EXPECT_EQ(sample->count, 3); // what the first batch gave
    free_sample(sample);
}

TEST_F(Scripted, FailedQueriesReadNothing)
{
    start(R"({"collections": {")" + schema + R"(": ["tables"]}, "errors": {"find": [13, "not authorized"]}})", false, true);
    put_data("A", "{}");
    select("A");
    db_name_t* vt = nullptr;
    EXPECT_EQ(read_table_columns(&d, data.c_str(), "dbo", "A", &vt), nullptr);
    EXPECT_EQ(vt, nullptr);
    read_table_tree(&d);
    EXPECT_EQ(d.tables, nullptr);
    EXPECT_FALSE(check_schema_collection(&d, "tables", 1));
    EXPECT_FALSE(check_schema_collection(&d, "index", 3)); // unreadable: not vouched for
    EXPECT_TRUE(check_schema_collection(&d, "system.indexes", 4));
    EXPECT_EQ(list_schema_tables(&d), nullptr);
    // A read that fails is no malformed schema (-2 offers a creation, which drops it): start-up ends.
    EXPECT_FALSE(check_schema_at_start(&d));
    EXPECT_EQ(recorder.messages.at(0).text, "The schema '" + schema + "' could not be read.");
    EXPECT_EQ(recorder.messages.at(0).informative, "MongoDB Error:not authorized\n\nPlease press OK to exit.");
}

TEST(ScriptedServer, AScriptThatFailsFailsTheTestQuickly)
{
    auto started = std::chrono::steady_clock::now();
    testenv::ScriptedServer server;
    EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(server.start("not json")), "scripted server did not start");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

} // namespace
