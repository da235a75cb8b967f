// Creating a schema from the data and keeping it in step, on the test servers.
#include "store/create.h"
#include "store/indexes.h"
#include "store/read.h"
#include "store/validate.h"

#include "tests/store/store_fixture.h"

namespace {

struct Create : StoreTest {
    int code = 0;
    std::string head(const std::string& table) const
    {
        return "sql_catalog:\"" + data + "\" sql_schema:\"dbo\" sql_table:\"" + table + "\" ";
    }
    std::string table_row(const std::string& table) const
    {
        return head(table) + "mongo_name:\"" + table + "\" mongo_database:\"" + data + "\" type:\"TABLE\"";
    }
    // The data of most tests: A with four columns and an index, B with a sub-document.
    void two_collections()
    {
        put_data("A", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819203"}, "name": "Ann", "empty": "", "n": 1})");
        put_data("A", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819204"}, "name": "Bo", "empty": "", "n": 2.5})");
        make_index("A", R"({"name": 1})", "name_1", true);
        put_data("B", R"({"_id": 1, "x": {"k": "v"}})");
    }
    bool create()
    {
        bool ok = false;
        stdout_of([&] { ok = create_schema(&d, &code); });
        return ok;
    }
    // Inserting doc into a schema collection fails on a unique index.
    bool refused(const std::string& collection, const std::string& json)
    {
        bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()), -1, nullptr);
        mongoc_collection_t* coll = mongoc_client_get_collection(fx, schema.c_str(), collection.c_str());
        bson_error_t error;
        bool ok = mongoc_collection_insert_one(coll, doc, nullptr, nullptr, &error);
        mongoc_collection_destroy(coll);
        bson_destroy(doc);
        return !ok && error.code == 11000;
    }
};

TEST_F(Create, DescribesEveryCollection)
{
    connect();
    two_collections();
    put_data("system.js", R"({"f": 1})");
    std::string out = stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code)); });
    EXPECT_EQ(code, 1);

    EXPECT_EQ(testenv::collection_names(fx, schema), (std::vector<std::string>{"columns", "index", "tables"}));
    EXPECT_EQ(schema_docs("tables"), (std::vector<std::string>{table_row("A"), table_row("B")}));
    // Field order of a tables document, _id first as the server adds it.
    std::vector<bson_t*> tables = testenv::read_documents(fx, schema, "tables");
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(testenv::field_names(tables[0]),
              (std::vector<std::string>{"_id", "sql_catalog", "sql_schema", "sql_table", "mongo_name",
                                        "mongo_database", "type"}));
    testenv::destroy_documents(tables);

    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"A\"}"),
              (std::vector<std::string>{
                  head("A") + "index:i1 sql_name:\"_id\" sql_type:i12 mongo_name:\"_id\" mongo_type:i7 length:i24 visible:true",
                  head("A") + "index:i2 sql_name:\"name\" sql_type:i12 mongo_name:\"name\" mongo_type:i2 length:i3 visible:true",
                  head("A") + "index:i3 sql_name:\"empty\" sql_type:i12 mongo_name:\"empty\" mongo_type:i2 visible:true",
                  head("A") + "index:i4 sql_name:\"n\" sql_type:i8 mongo_name:\"n\" mongo_type:i1 length:i255 visible:true",
              }));
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"B\"}"),
              (std::vector<std::string>{
                  head("B") + "index:i1 sql_name:\"_id\" sql_type:i4 mongo_name:\"_id\" mongo_type:i16 length:i255 visible:true",
                  head("B") + "index:i2 sql_name:\"x\" sql_type:i12 mongo_name:\"x\" mongo_type:i3 length:i" +
                      std::to_string(std::string(R"({ "k" : "v" })").size()) + " visible:true",
                  head("B") + "index:i3 sql_name:\"x_k\" sql_type:i12 mongo_name:\"x.k\" mongo_type:i2 length:i1 visible:true",
              }));
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"A\"}"),
              (std::vector<std::string>{
                  head("A") + "sql_col_name:\"_id\" index:i1 primary:false index_name:\"_id_\" unique:true native_id:false asc:true",
                  head("A") + "sql_col_name:\"name\" index:i1 primary:false index_name:\"name_1\" unique:true native_id:false asc:true",
              }));
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"B\"}").size(), 1u);

    // The comparison lists describe the new schema.
    ASSERT_NE(d.db_collections, nullptr);
    ASSERT_NE(d.md_tables, nullptr);
    for (const db_table_ref_t* r = d.db_collections; r; r = r->next)
        EXPECT_TRUE(r->matched) << r->key;
    EXPECT_TRUE(validate_schema(&d, &code));
    // Every index listing is echoed.
    EXPECT_NE(out.find("\n{ \"v\" : 2, \"key\" : { \"_id\" : 1 }, \"name\" : \"_id_\" }\n\n"), std::string::npos) << out;
}

TEST_F(Create, UniqueIndexesOfTheSchema)
{
    connect();
    put_data("A", R"({"a": 1})");
    ASSERT_TRUE(create());

    // The four indexes, with their keys in order.
    std::vector<std::string> listing;
    for (const char* collection : {"tables", "columns", "index"}) {
        char** list = nullptr;
        stdout_of([&] { list = list_indexes_by_command(d.md_db, collection); });
        ASSERT_NE(list, nullptr);
        for (char** p = list; *p; ++p)
            listing.push_back(*p);
        free_index_specs(list);
    }
    const char* expected[] = {
        R"("key" : { "sql_catalog" : 1, "sql_schema" : 1, "sql_table" : 1 }, "name" : "tables_index_1", "unique" : true)",
        R"("key" : { "sql_catalog" : 1, "sql_schema" : 1, "sql_table" : 1, "sql_name" : 1 }, "name" : "columns_index_1", "unique" : true)",
        R"("key" : { "sql_catalog" : 1, "sql_schema" : 1, "sql_table" : 1, "index" : 1 }, "name" : "columns_index_2", "unique" : true)",
        R"("key" : { "sql_catalog" : 1, "sql_schema" : 1, "sql_table" : 1, "sql_col_name" : 1, "index" : 1, "index_name" : 1 }, "name" : "index_index_1", "unique" : true)",
    };
    for (const char* e : expected) {
        bool found = false;
        for (const std::string& s : listing)
            found = found || s.find(e) != std::string::npos;
        EXPECT_TRUE(found) << e;
    }

    const std::string t = "\"sql_catalog\": \"c\", \"sql_schema\": \"dbo\", \"sql_table\": \"T\"";
    EXPECT_FALSE(refused("tables", "{" + t + "}"));
    EXPECT_TRUE(refused("tables", "{" + t + ", \"type\": \"other\"}"));
    EXPECT_FALSE(refused("columns", "{" + t + ", \"sql_name\": \"a\", \"index\": 1}"));
    EXPECT_TRUE(refused("columns", "{" + t + ", \"sql_name\": \"a\", \"index\": 2}"));
    EXPECT_TRUE(refused("columns", "{" + t + ", \"sql_name\": \"b\", \"index\": 1}"));
    EXPECT_FALSE(refused("columns", "{" + t + ", \"sql_name\": \"b\", \"index\": 2}"));
    EXPECT_FALSE(refused("index", "{" + t + ", \"sql_col_name\": \"a\", \"index\": 1, \"index_name\": \"i\"}"));
    EXPECT_TRUE(refused("index", "{" + t + ", \"sql_col_name\": \"a\", \"index\": 1, \"index_name\": \"i\", \"asc\": false}"));
    EXPECT_FALSE(refused("index", "{" + t + ", \"sql_col_name\": \"a\", \"index\": 1, \"index_name\": \"j\"}"));
}

TEST_F(Create, SecondRunEqualsTheFirst)
{
    connect();
    two_collections();
    ASSERT_TRUE(create());
    std::vector<std::string> first[3] = {schema_docs("tables"), schema_docs("columns"), schema_docs("index")};
    // Whatever was added in between goes with the drop.
    put_schema("tables", table_doc("Stale"));
    put_schema("notes", "{}");
    ASSERT_TRUE(create());
    EXPECT_EQ(code, 1);
    EXPECT_EQ(schema_docs("tables"), first[0]);
    EXPECT_EQ(schema_docs("columns"), first[1]);
    EXPECT_EQ(schema_docs("index"), first[2]);
    EXPECT_EQ(testenv::collection_names(fx, schema), (std::vector<std::string>{"columns", "index", "tables"}));
}

TEST_F(Create, EmptyDataDatabase)
{
    connect();
    ASSERT_TRUE(create());
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(schema_docs("tables").empty());
    EXPECT_EQ(d.db_collections, nullptr);
    EXPECT_EQ(d.md_tables, nullptr);
    // What validation then says of it: tables is empty.
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -2);
}

TEST_F(Create, SynchroniseAddsCollectionsAndRefreshesIndexes)
{
    connect();
    two_collections();
    ASSERT_TRUE(create());
    put_data("C", R"({"c": true})");
    make_index("A", R"({"n": -1})", "n_desc");
    ASSERT_FALSE(validate_schema(&d, &code));
    ASSERT_EQ(code, -30);

    std::string out = stdout_of([&] { EXPECT_EQ(synchronise_schema(&d, code), 1); });
    EXPECT_NE(out.find("- - - - - Updating INDEX for A\n"), std::string::npos) << out;
    EXPECT_NE(out.find("- - - - - Updating INDEX for B\n"), std::string::npos);
    EXPECT_EQ(out.find("- - - - - Updating INDEX for C\n"), std::string::npos);
    EXPECT_EQ(schema_docs("tables").back(), table_row("C"));
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"C\"}").size(), 2u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"C\"}").size(), 1u);
    // FerretDB lists a collection's indexes by name.
    std::vector<std::string> a_indexes = schema_docs("index", "{\"sql_table\": \"A\", \"index_name\": \"n_desc\"}");
    ASSERT_EQ(a_indexes.size(), 1u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"A\"}").size(), 3u);
    EXPECT_EQ(a_indexes[0], head("A") + "sql_col_name:\"n\" index:i1 primary:false index_name:\"n_desc\" "
                                        "unique:false native_id:false asc:false");
    // The lists were rebuilt and now agree.
    EXPECT_EQ(compare_collections_with_schema(d.db_collections, d.md_tables), 1);
    EXPECT_TRUE(validate_schema(&d, &code));
}

TEST_F(Create, SynchroniseRemovesTablesAndKeepsVirtualOnes)
{
    connect();
    two_collections();
    ASSERT_TRUE(create());
    // A virtual table of A, as saving writes it.
    put_schema("tables", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"A_tags\", "
                         "\"mongo_name\": \"A\", \"mongo_database\": \"" + data + "\", \"type\": \"TABLE\", "
                         "\"virtual_array\": true, \"virtual_parent\": \"A\"}");
    put_schema("columns", column_doc("A_tags", 1, "_id", "_id", ", \"virtual_array\": true"));
    put_schema("index", index_doc("A_tags", "_id", 1, "index1", ", \"virtual_array\": true"));
    testenv::drop_database(fx, data);
    put_data("A", R"({"name": "Ann"})");
    ASSERT_FALSE(validate_schema(&d, &code));
    ASSERT_EQ(code, -31);

    std::string out = stdout_of([&] { EXPECT_EQ(synchronise_schema(&d, code), 1); });
    EXPECT_EQ(out.find("Updating INDEX"), std::string::npos); // -31 adds nothing
    for (const char* collection : {"tables", "columns", "index"})
        EXPECT_TRUE(schema_docs(collection, "{\"sql_table\": \"B\"}").empty()) << collection;
    EXPECT_EQ(schema_docs("tables", "{\"sql_table\": \"A_tags\"}").size(), 1u);
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"A_tags\"}").size(), 1u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"A_tags\"}").size(), 1u);
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"A\"}").size(), 4u);
    EXPECT_TRUE(validate_schema(&d, &code));
}

TEST_F(Create, SynchroniseBothWays)
{
    connect();
    two_collections();
    ASSERT_TRUE(create());
    testenv::drop_database(fx, data);
    put_data("A", R"({"name": "Ann"})");
    put_data("D", R"({"d": 1})");
    ASSERT_FALSE(validate_schema(&d, &code));
    ASSERT_EQ(code, -32);
    stdout_of([&] { EXPECT_EQ(synchronise_schema(&d, code), 1); });
    EXPECT_EQ(schema_docs("tables"), (std::vector<std::string>{table_row("A"), table_row("D")}));
    EXPECT_TRUE(validate_schema(&d, &code));
}

TEST_F(Create, RemoveTableFromSchema)
{
    connect();
    two_collections();
    ASSERT_TRUE(create());
    EXPECT_TRUE(remove_table_from_schema(&d, "A"));
    for (const char* collection : {"tables", "columns", "index"}) {
        EXPECT_TRUE(schema_docs(collection, "{\"sql_table\": \"A\"}").empty()) << collection;
        EXPECT_FALSE(schema_docs(collection, "{\"sql_table\": \"B\"}").empty()) << collection;
    }
    d.md_client = nullptr;
    EXPECT_FALSE(remove_table_from_schema(&d, "B"));
}

} // namespace
