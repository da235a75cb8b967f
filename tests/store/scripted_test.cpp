// Server behaviours the test servers do not show, played by scripted servers: old servers
// without listCollections, and refusals of validate, of creation steps, of reads and writes.
#include "app/schema_check.h"
#include "discovery/discover.h"
#include "store/create.h"
#include "store/indexes.h"
#include "store/read.h"
#include "store/save.h"
#include "store/validate.h"
#include "store/virtual.h"

#include "tests/store/store_fixture.h"

namespace {

TEST_F(Scripted, ServerWithoutListCollections)
{
    const std::string ns = data + ".T", entry = "sql_catalog:@ sql_schema:\"dbo\" sql_table:\"T\" sql_col_name:";
    start(R"({"legacy": true, "collections": {")" + data + R"(": ["T", "system.js"]}, "documents": {")" + ns +
              R"(": [{"_id": 1, "a": 2, "b": 3}], ")" + data + R"(.system.indexes": [
              {"v": 1, "key": {"a": 1, "b": -1}, "name": "ab", "ns": ")" + ns + R"(", "unique": true},
              {"v": 1, "key": {"a": 1}, "name": "elsewhere", "ns": ")" + data + R"(.U"}]}})", true, false);
    EXPECT_TRUE(load_tables_without_schema(&d, &code)); // the editor's listing refused, the library's taken
    EXPECT_EQ(d.legacy_collection_list, 1);
    ASSERT_TRUE(d.tables && d.tables->schemas->tables);
    EXPECT_TRUE(std::string(d.tables->schemas->tables->name) == "T" && !d.tables->schemas->tables->next);
    db_sample_t* sample = sample_collection(&d, "T");
    stdout_of([&] { sync_table_indexes(&d, sample, "T"); });
    free_sample(sample);
    EXPECT_EQ(schema_docs("index"),
              (strings{entry + "\"a\" index:i1 primary:false index_name:\"ab\" unique:true native_id:false asc:true",
                       entry + "\"b\" index:i2 primary:false index_name:\"ab\" unique:true native_id:false asc:false"}));
    EXPECT_TRUE(sent("\"filter\": {\"ns\": \"" + ns + "\"}") == 1 && server.count("listIndexes") == 0);
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
        EXPECT_EQ(sent("{\"validate\": \"index\", \"$db\": \"" + schema + "\""), row.before != MODE_VIEW_ONLY);
    }
    d.mode = MODE_EDIT; // an empty schema there: -1, and the mode is known all the same
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_TRUE(code == -1 && d.mode == MODE_READ_ONLY) << code;
}

// Each step of creation refused in turn: its code and line, and nothing sent after it.
TEST_F(Scripted, CreationFailures)
{
    const std::string key = "{\"key\": {\"sql_catalog\": 1, \"sql_schema\": 1, \"sql_table\": 1";
    auto index = [&](const char* coll, const char* rest, const char* name) {
        return "{\"createIndexes\": \"" + std::string(coll) + "\", \"indexes\": [" + key + rest + "}, \"name\": \"" +
               name + "\", \"unique\": true}]}";
    };
    const std::string order[] = {"{\"dropDatabase\": 1}", "{\"create\": \"tables\"}", index("tables", "", "tables_index_1"),
                                 "{\"create\": \"columns\"}", index("columns", ", \"sql_name\": 1", "columns_index_1"),
                                 index("columns", ", \"index\": 1", "columns_index_2"), "{\"create\": \"index\"}",
                                 index("index", ", \"sql_col_name\": 1, \"index\": 1, \"index_name\": 1", "index_index_1")};
    const struct { const char* refused; int code; const char* line; } rows[] = {
        {"dropDatabase", -13, "DROP_SCHEMA"}, {"create:tables", -6, "CREATE_TABLES"},
        {"createIndexes:tables_index_1", -9, "CREATE_INDEX_TABLES"}, {"create:columns", -7, "CREATE_COLUMNS"},
        {"createIndexes:columns_index_1", -10, "CREATE_COLUMNS_INDEX_1"},
        {"createIndexes:columns_index_2", -11, "CREATE_COLUMNS_INDEX_2"}, {"create:index", -8, "CREATE_INDEX"},
        {"createIndexes:index_index_1", -12, "CREATE_INDEX_INDEX"}, {"none", 1, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.refused);
        fresh();
        start(std::string(R"({"errors": {")") + row.refused + R"(": [8000, "refused"]}})", false, true);
        bool ok = false;
        std::string out = stdout_of([&] { ok = create_schema(&d, &code); });
        EXPECT_TRUE(ok == (row.code == 1) && code == row.code) << code;
        EXPECT_EQ(out, *row.line ? "\n\n- - - - -ERROR_BROLIX_" + std::string(row.line) : out);
        strings sent_order;
        for (const std::string& c : server.commands())
            if (c.rfind("{\"insert", 0) == 0 || c.rfind("{\"create", 0) == 0 || c.rfind("{\"drop", 0) == 0)
                sent_order.push_back(c.substr(0, c.find(", \"$db\"")) + "}");
        EXPECT_EQ(sent_order, strings(order, order + (&row - rows) + (*row.line ? 1 : 0)));
    }
}

// Refused reads and writes: what the user is told, and what is left of the work.
TEST_F(Scripted, Refusals)
{
    db_column_t* columns = nullptr;
    auto one_array = [&columns] {
        columns = new_column();
        columns->sql_name = copy_text("items"), columns->mongo_name = copy_text("items");
        columns->mongo_type = 4, columns->virtual_array = true;
    };
    const std::string t = R"({"documents": {"@.T": [{"_id": 1, "a": "x", "tags": [1, 2]}, {"_id": 2, "b": 2}]}, )";
    const struct { const char* name; std::string config; bool data, schema; std::function<void()> act;
                   const char* boxes; } rows[] = {
        {"a sample broken off ends creation without a box", t + R"("more": ["@.T"], "collections": {"@": ["T"]},
          "errors": {"getMore": [43, "cursor killed"]}})", true, false, [&] {
             EXPECT_TRUE(!create_schema(&d, &code) && code == -19); }, ""},
        {"an unreadable schema ends start-up", R"({"collections": {"#": ["tables"]}, "errors": {"find": [13, "no"]}})",
         false, true, [&] { EXPECT_FALSE(check_schema_at_start(&d)); },
         "The schema '#' could not be read.|MongoDB Error:no\n\nPlease press OK to exit."},
        {"other listing errors give no list", R"({"errors": {"listCollections:bare": [13, "not authorized"]}})",
         true, true, [&] { EXPECT_TRUE(!validate_schema(&d, &code) && code == -4) << code; }, ""},
        {"a refused index listing leaves the save whole", R"({"errors": {"listIndexes": [13, "no"]}})", true, false,
         [&] { EXPECT_TRUE(save_table(&d, columns, &code) && code == 0) << code; }, ""},
        {"a refused column of a virtual table", t + R"("refuse": {"columns": [2]}})", false, true,
         [&] { add_virtual_table(&d, "T", columns); },
         "Mongo error removing virtual column $index.|E11000 duplicate key"},
        {"every failing virtual-table request has its box",
         R"({"errors": {"delete": [8000, "no delete"], "insert": [8000, "no insert"]}})", false, true,
         [&] { remove_virtual_tables(&d), add_virtual_table(&d, "T", columns); },
         "Mongo error removing virtual table.|no delete\nMongo error removing virtual table column.|no delete\n"
         "Mongo error removing virtual table index.|no delete\nMongo error adding virtual table.|no insert\n"
         "Mongo error removing virtual table index _id.|no insert\nMongo error removing virtual column $index.|no "
         "insert\nMongo error removing virtual column $value.|no insert\nMongo error removing virtual index _id.|no "
         "insert\nMongo error removing virtual index $index.|no insert"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        std::string config = row.config;
        for (size_t at; (at = config.find('@')) != config.npos || (at = config.find('#')) != config.npos;)
            config.replace(at, 1, config[at] == '@' ? data : schema);
        start(config, row.data, row.schema);
        select("T");
        one_array();
        stdout_of(row.act);
        std::string boxes;
        for (const testenv::message_t& m : recorder.messages)
            boxes += (boxes.empty() ? "" : "\n") + m.text + "|" + m.informative;
        recorder.messages.clear();
        std::string expected = row.boxes;
        if (expected.find('#') != expected.npos)
            expected.replace(expected.find('#'), 1, schema);
        EXPECT_EQ(boxes, expected);
        free_columns(columns);
    }
    EXPECT_EQ(sent("\"q\": {\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"virtual_parent\": \"T\", "
                   "\"virtual_array\": true}"), 3); // the removal selects on catalog, schema, parent and flag
}

} // namespace
