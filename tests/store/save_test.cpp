// Saving a table's columns, its index metadata and its virtual tables, on the test servers.
#include "store/create.h"
#include "store/read.h"
#include "store/save.h"

#include "tests/store/store_fixture.h"

namespace {

struct Save : StoreTest {
    db_column_t* columns = nullptr;
    ~Save() override { free_columns(columns); }

    // A schema made from a collection T with an array and an index, and T selected.
    void schema_of_t()
    {
        put_data("T", R"({"_id": 1, "name": "Ann", "tags": ["a", "b"], "n": 2})");
        make_index("T", R"({"name": 1})", "name_1");
        int code = 0;
        stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
        select("T");
    }
    void read()
    {
        free_columns(columns);
        db_name_t* vt = nullptr;
        columns = read_table_columns(&d, data.c_str(), "dbo", "T", &vt);
        free_names(vt);
    }
    db_column_t* column(const std::string& sql_name)
    {
        for (db_column_t* c = columns; c; c = c->next)
            if (sql_name == c->sql_name)
                return c;
        return nullptr;
    }
    std::string save()
    {
        return stdout_of([&] { save_table_columns(&d, columns); });
    }
    std::string head(const std::string& table) const
    {
        return "sql_catalog:\"" + data + "\" sql_schema:\"dbo\" sql_table:\"" + table + "\" ";
    }
};

TEST_F(Save, ColumnsAreWrittenAfresh)
{
    connect();
    schema_of_t();
    read(); // _id, n, name, tags, tags_0, tags_1
    ASSERT_NE(column("n"), nullptr);
    column("n")->length = -1;
    column("n")->precision = -1;
    column("n")->scale = 0;
    column("name")->sql_type = 2;
    column("name")->precision = 10;
    column("name")->scale = 2;
    column("name")->length = 0;
    column("tags_1")->visible = false;
    for (db_column_t* c = columns; c; c = c->next)
        c->index = 77; // the records' own positions are not used
    std::vector<std::string> tables_before = schema_docs("tables");
    std::string out = save();
    EXPECT_EQ(out.find("not saved"), std::string::npos) << out;
    EXPECT_TRUE(recorder.messages.empty());

    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"T\"}"),
              (std::vector<std::string>{
                  head("T") + "index:i1 sql_name:\"_id\" sql_type:i4 mongo_name:\"_id\" mongo_type:i16 length:i255 visible:true virtual_array:false",
                  head("T") + "index:i2 sql_name:\"n\" sql_type:i4 mongo_name:\"n\" mongo_type:i16 length:i-1 visible:true virtual_array:false",
                  head("T") + "index:i3 sql_name:\"name\" sql_type:i2 mongo_name:\"name\" mongo_type:i2 precision:i10 scale:i2 visible:true virtual_array:false",
                  head("T") + "index:i4 sql_name:\"tags\" sql_type:i12 mongo_name:\"tags\" mongo_type:i4 length:i" +
                      std::to_string(column("tags")->length) + " visible:true virtual_array:false",
                  head("T") + "index:i5 sql_name:\"tags_0\" sql_type:i12 mongo_name:\"tags.0\" mongo_type:i2 length:i1 visible:true virtual_array:false",
                  head("T") + "index:i6 sql_name:\"tags_1\" sql_type:i12 mongo_name:\"tags.1\" mongo_type:i2 length:i1 visible:false virtual_array:false",
              }));
    std::vector<bson_t*> docs = testenv::read_documents(fx, schema, "columns", "{\"sql_name\": \"name\"}");
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(testenv::field_names(docs[0]),
              (std::vector<std::string>{"_id", "sql_catalog", "sql_schema", "sql_table", "index", "sql_name",
                                        "sql_type", "mongo_name", "mongo_type", "precision", "scale", "visible",
                                        "virtual_array"}));
    testenv::destroy_documents(docs);
    EXPECT_EQ(schema_docs("tables"), tables_before);
    // The index metadata was rebuilt from the collection.
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"T\"}").size(), 2u);
}

TEST_F(Save, HiddenColumnLosesItsIndexEntry)
{
    connect();
    schema_of_t();
    read();
    column("name")->visible = false;
    save();
    std::vector<std::string> entries = schema_docs("index", "{\"sql_table\": \"T\"}");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_NE(entries[0].find("index_name:\"_id_\""), std::string::npos);
}

TEST_F(Save, VirtualTablesFollowTheFlags)
{
    connect();
    schema_of_t();
    read();
    column("tags")->virtual_array = true;
    save();
    save(); // twice: still one set
    read();
    EXPECT_TRUE(column("tags")->virtual_array);
    EXPECT_EQ(schema_docs("tables", "{\"sql_table\": \"T_tags\"}").size(), 1u);
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"T_tags\"}").size(), 3u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"T_tags\"}").size(), 2u);
    db_name_t* names = read_virtual_table_names(&d, data.c_str(), "dbo", "T");
    ASSERT_NE(names, nullptr);
    EXPECT_STREQ(names->name, "tags");
    free_names(names);

    // Saving while the virtual table is selected saves its base table.
    d.virtual_table = "T_tags";
    save();
    EXPECT_EQ(schema_docs("tables", "{\"sql_table\": \"T_tags\"}").size(), 1u);
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"T\"}").size(), 6u);

    column("tags")->virtual_array = false;
    save();
    for (const char* collection : {"tables", "columns", "index"})
        EXPECT_TRUE(schema_docs(collection, "{\"sql_table\": \"T_tags\"}").empty()) << collection;
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Save, BaseTableNamedLikeTheVirtualTable)
{
    connect();
    schema_of_t();
    put_schema("tables", table_doc("T_tags"));
    read();
    column("tags")->virtual_array = true;
    save();
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "Mongo error adding virtual table.");
    EXPECT_NE(recorder.messages[0].informative.find("E11000"), std::string::npos);
    // The column and index documents were still written.
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"T_tags\"}").size(), 3u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"T_tags\"}").size(), 2u);
}

TEST_F(Save, EmptyListRemovesEveryColumn)
{
    connect();
    schema_of_t();
    free_columns(columns);
    columns = nullptr;
    std::string out = save();
    EXPECT_EQ(out.find("not saved"), std::string::npos);
    EXPECT_TRUE(schema_docs("columns", "{\"sql_table\": \"T\"}").empty());
    EXPECT_EQ(schema_docs("tables", "{\"sql_table\": \"T\"}").size(), 1u);
    // No column is visible, so no index can be mapped.
    EXPECT_TRUE(schema_docs("index", "{\"sql_table\": \"T\"}").empty());
}

TEST_F(Save, DuplicateNameIsDroppedSilently)
{
    connect();
    schema_of_t();
    read();
    db_column_t* twin = column("tags_0");
    ASSERT_NE(twin, nullptr);
    std::free(twin->sql_name);
    twin->sql_name = copy_text("tags");
    std::string out = save();
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(out.rfind("- - - - - Columns of T not saved: 1 of 6 column documents not written\n", 0), 0u) << out;
    std::vector<std::string> docs = schema_docs("columns", "{\"sql_table\": \"T\"}");
    ASSERT_EQ(docs.size(), 5u);
    EXPECT_NE(docs[4].find("index:i6 sql_name:\"tags_1\""), std::string::npos);
}

TEST_F(Save, NoSchemaClientWritesNothing)
{
    connect();
    schema_of_t();
    read();
    column("tags")->virtual_array = true;
    std::vector<std::string> before[3] = {schema_docs("tables"), schema_docs("columns"), schema_docs("index")};
    d.md_client = nullptr;
    std::string out = save();
    EXPECT_EQ(out, "");
    EXPECT_EQ(schema_docs("tables"), before[0]);
    EXPECT_EQ(schema_docs("columns"), before[1]);
    EXPECT_EQ(schema_docs("index"), before[2]);
    EXPECT_TRUE(recorder.messages.empty());
}

} // namespace
