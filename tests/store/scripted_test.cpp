// Server behaviours the test servers do not show, played by scripted servers: old
// servers without listCollections, a refused validate, failing creation steps and
// virtual-table requests, cursor errors and index keys FerretDB does not keep.
#include "app/message.h"
#include "discovery/discover.h"
#include "app/schema_check.h"
#include "store/create.h"
#include "store/indexes.h"
#include "store/read.h"
#include "store/validate.h"
#include "store/virtual.h"

#include "tests/store/store_fixture.h"

namespace {

TEST_F(Scripted, ServerWithoutListCollections)
{
    start(R"({"legacy": true, "collections": {")" + data + R"(": ["A", "system.js", "B"]}})", true, true);
    bson_error_t error;
    char** listed = list_collection_names(&d, d.db, &error);
    ASSERT_NE(listed, nullptr) << error.message;
    strings got(listed, listed + 3);
    free_collection_names(&d, listed); // the library's string vector
    EXPECT_EQ(got, (strings{"A", "system.js", "B"}));
    EXPECT_EQ(d.legacy_collection_list, 1);
    // The editor's own command was refused, then the library listed the names.
    EXPECT_EQ(sent({"{\"listCollections\": 1, \"$db\": \"" + data + "\"}"}), 1);
    EXPECT_EQ(sent({"\"listCollections\": 1", "\"nameOnly\": true"}), 1);
    EXPECT_TRUE(load_tables_without_schema(&d, &code));
    EXPECT_EQ(tree(), (strings{data + "/dbo/A", data + "/dbo/B"}));
    d.db_collections = list_data_collections(&d);
    strings keys;
    for (const db_table_ref_t* r = d.db_collections; r; r = r->next)
        keys.push_back(r->key);
    EXPECT_EQ(keys, (strings{data + ".dbo.A", data + ".dbo.B"}));
}

TEST_F(Scripted, OtherListingErrorsGiveNoList)
{
    start(R"({"errors": {"listCollections:bare": [13, "not authorized"]}})", true, true);
    bson_error_t error;
    EXPECT_EQ(list_collection_names(&d, d.md_db, &error), nullptr);
    EXPECT_STREQ(error.message, "not authorized");
    EXPECT_EQ(d.legacy_collection_list, 0);
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -4);
}

TEST_F(Scripted, IndexesFromSystemIndexes)
{
    std::string ns = data + ".T";
    start(R"({"legacy": true, "collections": {")" + data + R"(": ["T"]}, "documents": {")" + ns +
              R"(": [{"_id": 1, "a": 2, "b": 3}], ")" + data + R"(.system.indexes": [
                  {"v": 1, "key": {"_id": 1}, "name": "_id_", "ns": ")" + ns + R"("},
                  {"v": 1, "key": {"a": 1, "b": -1}, "name": "ab", "ns": ")" + ns + R"(", "unique": true},
                  {"v": 1, "key": {"a": 1}, "name": "elsewhere", "ns": ")" + data + R"(.U"}]}})", true, false);
    d.legacy_collection_list = 1;
    db_sample_t* sample = sample_collection(&d, "T");
    std::string out = stdout_of([&] { sync_table_indexes(&d, sample, "T"); });
    free_sample(sample);
    const std::string tail = " primary:false index_name:\"ab\" unique:true native_id:false asc:";
    EXPECT_EQ(schema_docs("index"),
              (strings{head("T") + "sql_col_name:\"_id\" index:i1 primary:false index_name:\"_id_\" unique:true native_id:false asc:true",
                       head("T") + "sql_col_name:\"a\" index:i1" + tail + "true",
                       head("T") + "sql_col_name:\"b\" index:i2" + tail + "false"}));
    EXPECT_EQ(sent({"\"find\": \"system.indexes\"", "\"filter\": {\"ns\": \"" + ns + "\"}"}), 1);
    EXPECT_EQ(sent({"\"listIndexes\""}), 0);
    EXPECT_NE(out.find("\n{ \"v\" : 1, \"key\" : { \"_id\" : 1 }, \"name\" : \"_id_\", \"ns\" : \"" + ns + "\" }\n\n"),
              std::string::npos) << out;
}

TEST_F(Scripted, KeyDirections)
{
    // One index per key value; FerretDB keeps only 1 and -1.
    const struct { const char* value; bool asc; } rows[] = {
        {"1", true}, {"-1", false}, {"0", false}, {"1.0", true}, {"0.5", true}, {"-0.5", false},
        {"{\"$numberLong\": \"1\"}", true}, {"{\"$numberLong\": \"-1\"}", false},
        {"{\"$numberLong\": \"4294967296\"}", false}, // low 32 bits are 0
        {"{\"$numberLong\": \"4294967297\"}", true},
        {"{\"$numberLong\": \"2147483648\"}", false}, // low 32 bits read as a negative int32
        {"\"text\"", true}, {"\"hashed\"", true}, {"\"2dsphere\"", true},
        {"{\"$numberDecimal\": \"-1\"}", false}, {"{\"$numberDecimal\": \"1\"}", false},
    };
    std::string listing, doc = "{\"_id\": 1";
    for (const auto& row : rows) {
        std::string field = "k" + std::to_string(&row - rows);
        listing += "{\"key\": {\"" + field + "\": " + row.value + "}, \"name\": \"" + field + "_index\"}, ";
        doc += ", \"" + field + "\": 1";
    }
    // An index without key, one without name, one with a unique that is no boolean.
    listing += "{\"name\": \"no_key\"}, {\"key\": {\"k0\": 1}}, {\"key\": {\"k1\": 1}, \"name\": \"odd\", \"unique\": 1}";
    start(R"({"documents": {")" + data + ".T\": [" + doc + R"(}]}, "indexes": {")" + data + ".T\": [" + listing + "]}}",
          true, false);
    db_sample_t* sample = sample_collection(&d, "T");
    stdout_of([&] { sync_table_indexes(&d, sample, "T"); });
    free_sample(sample);
    strings docs = schema_docs("index");
    ASSERT_EQ(docs.size(), std::size(rows) + 2);
    for (const auto& row : rows)
        EXPECT_EQ(docs[&row - rows], head("T") + "sql_col_name:\"k" + std::to_string(&row - rows) +
                                         "\" index:i1 primary:false index_name:\"k" + std::to_string(&row - rows) +
                                         "_index\" unique:false native_id:false asc:" + (row.asc ? "true" : "false"))
            << row.value;
    EXPECT_EQ(docs[docs.size() - 2], head("T") + "sql_col_name:\"k0\" index:i1 primary:false index_name:null "
                                                 "unique:false native_id:false asc:true");
    EXPECT_NE(docs.back().find("index_name:\"odd\" unique:false"), std::string::npos) << docs.back();
}

TEST_F(Scripted, ValidateRefusedGivesReadOnly)
{
    const struct { const char* error; int before, after; } rows[] = {
        {"[13, \"not authorized on db to execute command { validate: \\\"index\\\" }\"]", MODE_EDIT, MODE_READ_ONLY},
        {"[13, \"not authorized\"]", MODE_VIEW_ONLY, MODE_VIEW_ONLY}, // View Only mode never asks
        {"[26, \"ns not found\"]", MODE_EDIT, MODE_EDIT}, // a missing collection keeps the mode
        {"[26, \"ns not found\"]", MODE_READ_ONLY, MODE_READ_ONLY},
        {"[26, \"Collection 'x.index' does not exist to validate.\"]", MODE_EDIT, MODE_EDIT},
        {"[26, \"ns not found here\"]", MODE_EDIT, MODE_READ_ONLY}, // merely resembling it: a refusal
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.error);
        fresh();
        start(std::string(R"({"errors": {"validate": )") + row.error + "}}", false, true);
        d.mode = row.before;
        check_index_access(&d);
        EXPECT_EQ(d.mode, row.after);
        EXPECT_EQ(sent({"\"validate\": \"index\"", "\"$db\": \"" + schema + "\""}), row.before != MODE_VIEW_ONLY);
    }
    d.mode = MODE_EDIT; // an empty schema there: -1, and the mode is known all the same
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -1);
    EXPECT_EQ(d.mode, MODE_READ_ONLY);
}

TEST_F(Scripted, CreationFailures)
{
    const struct { const char* refused; int code; const char* line; int creates, index_commands; } rows[] = {
        {"dropDatabase", -13, "DROP_SCHEMA", 0, 0},
        {"create:tables", -6, "CREATE_TABLES", 1, 0},
        {"createIndexes:tables_index_1", -9, "CREATE_INDEX_TABLES", 1, 1},
        {"create:columns", -7, "CREATE_COLUMNS", 2, 1},
        {"createIndexes:columns_index_1", -10, "CREATE_COLUMNS_INDEX_1", 2, 2},
        {"createIndexes:columns_index_2", -11, "CREATE_COLUMNS_INDEX_2", 2, 3},
        {"create:index", -8, "CREATE_INDEX", 3, 3},
        {"createIndexes:index_index_1", -12, "CREATE_INDEX_INDEX", 3, 4},
        {"none", 1, nullptr, 3, 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.refused);
        fresh();
        start(std::string(R"({"errors": {")") + row.refused + R"(": [8000, "refused"]}})", false, true);
        bool ok = false;
        std::string out = stdout_of([&] { ok = create_schema(&d, &code); });
        EXPECT_EQ(ok, row.code == 1);
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(out, row.line ? "\n\n- - - - -ERROR_BROLIX_" + std::string(row.line) : out);
        EXPECT_EQ(server.count("dropDatabase"), 1);
        EXPECT_EQ(server.count("create"), row.creates);
        EXPECT_EQ(server.count("createIndexes"), row.index_commands);
        EXPECT_EQ(server.count("insert"), 0) << "nothing described after a failure (nor of no data)";
    }
}

TEST_F(Scripted, CreationCommandsInOrder)
{
    start("{}", false, true);
    stdout_of([&] { create_schema(&d, &code); });
    strings order;
    for (const std::string& c : server.commands())
        if (c.rfind("{\"create", 0) == 0 || c.rfind("{\"dropDatabase", 0) == 0)
            order.push_back(c.substr(0, c.find(", \"$db\"")) + "}");
    const std::string key = "{\"key\": {\"sql_catalog\": 1, \"sql_schema\": 1, \"sql_table\": 1";
    auto index = [&](const char* coll, const char* rest, const char* name) {
        return "{\"createIndexes\": \"" + std::string(coll) + "\", \"indexes\": [" + key + rest + "}, \"name\": \"" +
               name + "\", \"unique\": true}]}";
    };
    EXPECT_EQ(order, (strings{"{\"dropDatabase\": 1}", "{\"create\": \"tables\"}", index("tables", "", "tables_index_1"),
                              "{\"create\": \"columns\"}", index("columns", ", \"sql_name\": 1", "columns_index_1"),
                              index("columns", ", \"index\": 1", "columns_index_2"), "{\"create\": \"index\"}",
                              index("index", ", \"sql_col_name\": 1, \"index\": 1, \"index_name\": 1", "index_index_1")}));
}

TEST_F(Scripted, CursorErrorEndsTheSample)
{
    start(R"({"documents": {")" + data + R"(.T": [{"_id": 1, "a": "x"}, {"_id": 2, "b": 2}]},
              "more": [")" + data + R"(.T"], "errors": {"getMore": [43, "cursor killed"]}})", true, false);
    db_sample_t* sample = sample_collection(&d, "T");
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->items, nullptr);
    EXPECT_EQ(sample->count, 3); // what the first batch gave
    free_sample(sample);
}

TEST_F(Scripted, FailedQueriesReadNothing)
{
    start(R"({"collections": {")" + schema + R"(": ["tables"]}, "errors": {"find": [13, "not authorized"]}})", false, true);
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

TEST_F(Scripted, EveryFailingVirtualTableRequestHasItsBox)
{
    start(R"({"errors": {"delete": [8000, "no delete today"], "insert": [8000, "no insert today"]}})", false, true);
    select("orders");
    remove_virtual_tables(&d);
    db_column_t* items = new_column();
    items->sql_name = copy_text("items"), items->mongo_name = copy_text("items");
    items->mongo_type = 4, items->virtual_array = true;
    add_virtual_table(&d, "orders", items);
    free_columns(items);
    const char* texts[] = {"removing virtual table.", "removing virtual table column.", "removing virtual table index.",
                           "adding virtual table.", "removing virtual table index _id.", "removing virtual column $index.",
                           "removing virtual column $value.", "removing virtual index _id.", "removing virtual index $index."};
    ASSERT_EQ(recorder.messages.size(), std::size(texts));
    for (size_t i = 0; i < std::size(texts); ++i) {
        EXPECT_EQ(recorder.messages[i].text, "Mongo error " + std::string(texts[i]));
        EXPECT_EQ(recorder.messages[i].informative, i < 3 ? "no delete today" : "no insert today");
        EXPECT_EQ(recorder.messages[i].buttons, BTN_OK);
    }
    // The removal selects on catalog, schema, parent and flag, in that order.
    EXPECT_EQ(server.count("delete"), 3);
    EXPECT_EQ(sent({"\"q\": {\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"virtual_parent\": "
                    "\"orders\", \"virtual_array\": true}"}), 3);
}

} // namespace
