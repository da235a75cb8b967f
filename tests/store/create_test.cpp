// Creating a schema from the data and keeping it in step, on the test servers, and the
// requests that costs.
#include "store/create.h"
#include "store/read.h"
#include "store/save.h"
#include "store/validate.h"

#include "tests/store/store_fixture.h"

#include <map>

namespace {

struct Create : StoreTest {
    std::map<std::string, int> sent; // "all" commands, and finds by collection
    void SetUp() override
    {
        connect();
        mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
        mongoc_apm_set_command_started_cb(callbacks, [](const mongoc_apm_command_started_t* e) {
            auto* sent = static_cast<std::map<std::string, int>*>(mongoc_apm_command_started_get_context(e));
            bson_iter_t it;
            (*sent)["all"]++;
            if (bson_iter_init_find(&it, mongoc_apm_command_started_get_command(e), "find"))
                (*sent)[bson_iter_utf8(&it, nullptr)]++;
        });
        mongoc_client_set_apm_callbacks(d.client, callbacks, &sent);
        mongoc_client_set_apm_callbacks(d.md_client, callbacks, &sent);
        mongoc_apm_callbacks_destroy(callbacks);
    }
    // Start-up's tree and first table come from what creation or validation saw.
    strings read_start_up(const char* table)
    {
        sent.clear();
        select(table);
        read_table_tree(&d);
        strings names;
        db_column_t* columns = read_table_columns(&d, data.c_str(), "dbo", table, nullptr);
        for (const db_column_t* c = columns; c; c = c->next)
            names.push_back(c->sql_name);
        free_columns(columns);
        EXPECT_EQ(read_schema_virtual_names(&d, data.c_str(), "dbo"), nullptr);
        free_table_tree(&d);
        EXPECT_EQ(sent["columns"], 0) << "columns read again";
        return names;
    }
    std::string synchronise(int expected_code)
    {
        EXPECT_FALSE(validate_schema(&d, &code));
        EXPECT_EQ(code, expected_code);
        return stdout_of([&] { EXPECT_EQ(synchronise_schema(&d, code), 1); });
    }
};

TEST_F(Create, CreateAndSynchronise)
{
    put_data("A", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819203"}, "name": "Ann", "empty": "", "n": 1})");
    put_data("A", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819204"}, "name": "Bo", "empty": "", "n": 2.5})");
    make_index("A", R"({"name": 1, "n": -1})", "name_n", true);
    put_data("B", R"({"_id": 1, "x": {"k": "v"}})");
    put_data("system.js", R"({"f": 1})");
    const std::string a = "sql_catalog:@ sql_schema:\"dbo\" sql_table:\"A\" ", v = " visible:true",
                      b = "sql_catalog:@ sql_schema:\"dbo\" sql_table:\"B\" ",
                      id = "sql_col_name:\"_id\" index:i1 primary:false index_name:\"_id_\" unique:true native_id:false";
    for (int run = 0; run < 2; ++run) { // a second run drops what was added in between
        std::string out = stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code) && code == 1) << code; });
        EXPECT_NE(out.find("\n{ \"v\" : 2, \"key\" : { \"_id\" : 1 }, \"name\" : \"_id_\" }\n\n"), out.npos) << out;
        EXPECT_EQ(testenv::collection_names(fx, schema), (strings{"columns", "index", "tables"}));
        EXPECT_EQ(schema_docs("tables"), (strings{a + "mongo_name:\"A\" mongo_database:@ type:\"TABLE\"",
                                                  b + "mongo_name:\"B\" mongo_database:@ type:\"TABLE\""}));
        EXPECT_EQ(schema_docs("columns"),
                  (strings{a + "index:i1 sql_name:\"_id\" sql_type:i12 mongo_name:\"_id\" mongo_type:i7 length:i24" + v,
                           a + "index:i2 sql_name:\"name\" sql_type:i12 mongo_name:\"name\" mongo_type:i2 length:i3" + v,
                           a + "index:i3 sql_name:\"empty\" sql_type:i12 mongo_name:\"empty\" mongo_type:i2" + v,
                           a + "index:i4 sql_name:\"n\" sql_type:i8 mongo_name:\"n\" mongo_type:i1 length:i255" + v,
                           b + "index:i1 sql_name:\"_id\" sql_type:i4 mongo_name:\"_id\" mongo_type:i16 length:i255" + v,
                           b + "index:i2 sql_name:\"x\" sql_type:i12 mongo_name:\"x\" mongo_type:i3 length:i13" + v,
                           b + "index:i3 sql_name:\"x_k\" sql_type:i12 mongo_name:\"x.k\" mongo_type:i2 length:i1" + v}));
        EXPECT_EQ(schema_docs("index"),
                  (strings{a + id + " asc:true",
                           a + "sql_col_name:\"name\" index:i1 primary:false index_name:\"name_n\" unique:true "
                               "native_id:false asc:true",
                           a + "sql_col_name:\"n\" index:i2 primary:false index_name:\"name_n\" unique:true "
                               "native_id:false asc:false",
                           b + id + " asc:true"}));
        EXPECT_EQ(read_start_up("A"), (strings{"_id", "empty", "n", "name"}));
        for (const db_table_ref_t* r = d.db_collections; r; r = r->next)
            EXPECT_TRUE(r->matched) << r->key; // the comparison lists describe the new schema
        if (run == 0)
            put_schema("tables", table_doc("Stale")), put_schema("notes", "{}");
    }

    // A new collection and a new index: each table's index entries are refreshed and the
    // new collection described; start-up still reads no column twice.
    put_data("C", R"({"c": true})");
    make_index("B", R"({"x.k": 1})", "xk");
    std::string out = synchronise(-30);
    EXPECT_TRUE(out.find("INDEX for A\n") < out.find("INDEX for B\n") && out.find("INDEX for C") == out.npos);
    EXPECT_EQ(read_start_up("C"), (strings{"_id", "c"}));
    EXPECT_EQ(schema_docs("tables").back(), "sql_catalog:@ sql_schema:\"dbo\" sql_table:\"C\" mongo_name:\"C\" "
                                            "mongo_database:@ type:\"TABLE\"");
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"B\"}"),
              (strings{b + id + " asc:true", b + "sql_col_name:\"x_k\" index:i1 primary:false index_name:\"xk\" "
                                                 "unique:false native_id:false asc:true"}));
    EXPECT_EQ(compare_collections_with_schema(d.db_collections, d.md_tables), 1); // the lists were rebuilt

    // A collection gone: its table goes, a virtual table of another stays, nothing is added.
    const std::string vt = ", \"virtual_array\": true";
    put_schema("tables", table_doc("A_tags", vt + ", \"virtual_parent\": \"A\"")); // as saving writes it
    put_schema("columns", column_doc("A_tags", 1, "_id", "_id", vt));
    put_schema("index", index_doc("A_tags", "_id", 1, "index1", vt));
    testenv::drop_database(fx, data);
    put_data("A", R"({"name": "Ann"})"), put_data("C", "{}");
    EXPECT_EQ(synchronise(-31).find("Updating INDEX"), std::string::npos);
    for (const char* collection : {"tables", "columns", "index"}) {
        EXPECT_TRUE(schema_docs(collection, "{\"sql_table\": \"B\"}").empty()) << collection;
        EXPECT_EQ(schema_docs(collection, "{\"sql_table\": \"A_tags\"}").size(), 1u) << collection;
    }
    EXPECT_TRUE(validate_schema(&d, &code));
}

// Creation, start-up's reads and a save cost requests per table, never per column.
TEST_F(Create, RequestsFollowTablesNotColumns)
{
    int creation_of_two = 0;
    for (std::pair<int, int> row : {std::pair<int, int>{2, 3}, {2, 40}, {6, 3}}) {
        SCOPED_TRACE(std::to_string(row.first) + " tables x " + std::to_string(row.second) + " fields");
        testenv::drop_database(fx, data);
        std::string doc = R"({"_id": 1, "tags": [1, 2])";
        for (int f = 0; f < row.second; ++f)
            doc += ", \"f" + std::to_string(f) + "\": " + (f % 2 ? "\"x\"" : "1");
        for (int t = 0; t < row.first; ++t)
            put_data("t" + std::to_string(t), doc + "}");
        make_index("t0", R"({"f0": 1, "f1": -1})", "two");
        sent.clear();
        stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code)); });
        EXPECT_LE(sent["all"], 3 * row.first + 30);
        creation_of_two = creation_of_two ? creation_of_two : sent["all"];
        // Two more a table (its sample and its index listing), none a column.
        EXPECT_EQ(sent["all"] - creation_of_two, 2 * (row.first - 2));
        EXPECT_EQ(read_start_up("t0").size(), row.second + 4u); // _id, tags, tags_0, tags_1
        ASSERT_TRUE(validate_schema(&d, &code));
        EXPECT_EQ(sent["columns"], 1);
        read_start_up("t0");
        db_column_t* validated = read_table_columns(&d, data.c_str(), "dbo", "t0", nullptr);
        EXPECT_EQ(sent["columns"], 1) << "without the tree a pick asks the server";
        // A save with its index entries and a virtual table: as many requests whatever the columns.
        for (db_column_t* c = validated; c; c = c->next)
            c->virtual_array = std::string(c->sql_name) == "tags";
        sent.clear();
        stdout_of([&] { save_table_columns(&d, validated); });
        EXPECT_LE(sent["all"], 12);
        free_columns(validated);
    }
}

} // namespace
