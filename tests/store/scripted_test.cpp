// What the test servers do not show, played by scripted servers: an old server without
// listCollections, refused creation steps, reads and writes.
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
    start(R"({"legacy": true, "collections": {")" + data + R"(": ["T", "system.js", "U"]}})", true, false);
    EXPECT_TRUE(load_tables_without_schema(&d, &code)); // the editor's listing refused, the library's taken
    EXPECT_EQ(d.legacy_collection_list, 1);
    ASSERT_TRUE(d.tables && d.tables->schemas->tables && d.tables->schemas->tables->next);
    EXPECT_EQ(std::string(d.tables->schemas->tables->name) + d.tables->schemas->tables->next->name, "TU");
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
    const struct { const char* name; std::string config; bool data, schema; std::function<void()> act;
                   const char* boxes; } rows[] = {
        {"a sample broken off ends creation without a box", R"({"documents": {"@.T": [{"_id": 1}, {"_id": 2}]},
          "more": ["@.T"], "collections": {"@": ["T"]}, "errors": {"getMore": [43, "cursor killed"]}})", true, false, [&] {
             EXPECT_TRUE(!create_schema(&d, &code) && code == -19); }, ""},
        {"a refused index listing leaves the save whole", R"({"errors": {"listIndexes": [13, "no"]}})", true, false,
         [&] { EXPECT_TRUE(save_table(&d, columns, &code) && code == 0) << code; }, ""},
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
        for (size_t at; (at = config.find('@')) != config.npos;)
            config.replace(at, 1, data);
        start(config, row.data, row.schema);
        select("T");
        one_array();
        stdout_of(row.act);
        std::string boxes;
        for (const testenv::message_t& m : recorder.messages)
            boxes += (boxes.empty() ? "" : "\n") + m.text + "|" + m.informative;
        recorder.messages.clear();
        EXPECT_EQ(boxes, row.boxes);
        free_columns(columns);
    }
}

} // namespace
