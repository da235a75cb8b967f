// Saving a table's columns, its index metadata and its virtual tables, on the test servers.
#include "store/create.h"
#include "store/read.h"
#include "store/save.h"
#include "store/virtual.h"

#include "tests/store/store_fixture.h"

namespace {

struct Save : StoreTest {
    db_column_t* columns = nullptr;
    ~Save() override { free_columns(columns); }
    // A schema made from a collection T with an array and an index, and T selected.
    void schema_of_t()
    {
        connect();
        put_data("T", R"({"_id": 1, "name": "Ann", "tags": ["a", "b"], "n": 2})");
        make_index("T", R"({"name": 1})", "name_1");
        stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code)); });
        select("T");
        read();
    }
    void read()
    {
        free_columns(columns);
        columns = read_table_columns(&d, data.c_str(), "dbo", "T", nullptr);
    }
    db_column_t* column(const std::string& sql_name)
    {
        for (db_column_t* c = columns; c; c = c->next)
            if (sql_name == c->sql_name)
                return c;
        return nullptr;
    }
    std::string save() { return stdout_of([&] { save_table_columns(&d, columns); }); }
    size_t count(const char* collection, const std::string& table) { return schema_docs(collection, "{\"sql_table\": \"" + table + "\"}").size(); }
    std::vector<strings> all() { return {schema_docs("tables"), schema_docs("columns"), schema_docs("index")}; }
    // A column that is an array made a virtual table.
    db_column_t* array_column(const char* sql_name, const char* mongo_name)
    {
        free_columns(columns);
        columns = new_column();
        columns->sql_name = copy_text(sql_name), columns->mongo_name = copy_text(mongo_name);
        columns->mongo_type = 4, columns->virtual_array = true;
        return columns;
    }
};

TEST_F(Save, ColumnsAreWrittenAfresh)
{
    schema_of_t(); // _id, n, name, tags, tags_0, tags_1
    db_column_t *n = column("n"), *name = column("name");
    n->length = -1, n->precision = -1, n->scale = 0;
    name->sql_type = 2, name->precision = 10, name->scale = 2, name->length = 0;
    column("tags_1")->visible = false;
    for (db_column_t* c = columns; c; c = c->next)
        c->index = 77; // the records' own positions are not used
    strings tables = schema_docs("tables");
    EXPECT_EQ(save().find("not saved"), std::string::npos);
    const std::string f = " virtual_array:false";
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"T\"}"),
              (strings{head("T") + "index:i1 sql_name:\"_id\" sql_type:i4 mongo_name:\"_id\" mongo_type:i16 length:i255 visible:true" + f,
                       head("T") + "index:i2 sql_name:\"n\" sql_type:i4 mongo_name:\"n\" mongo_type:i16 length:i-1 visible:true" + f,
                       head("T") + "index:i3 sql_name:\"name\" sql_type:i2 mongo_name:\"name\" mongo_type:i2 precision:i10 scale:i2 visible:true" + f,
                       head("T") + "index:i4 sql_name:\"tags\" sql_type:i12 mongo_name:\"tags\" mongo_type:i4 length:i" +
                           std::to_string(column("tags")->length) + " visible:true" + f,
                       head("T") + "index:i5 sql_name:\"tags_0\" sql_type:i12 mongo_name:\"tags.0\" mongo_type:i2 length:i1 visible:true" + f,
                       head("T") + "index:i6 sql_name:\"tags_1\" sql_type:i12 mongo_name:\"tags.1\" mongo_type:i2 length:i1 visible:false" + f}));
    std::vector<bson_t*> docs = testenv::read_documents(fx, schema, "columns", "{\"sql_name\": \"name\"}");
    EXPECT_EQ(testenv::field_names(docs[0]),
              (strings{"_id", "sql_catalog", "sql_schema", "sql_table", "index", "sql_name", "sql_type", "mongo_name",
                       "mongo_type", "precision", "scale", "visible", "virtual_array"}));
    testenv::destroy_documents(docs);
    EXPECT_EQ(schema_docs("tables"), tables);
    EXPECT_EQ(count("index", "T"), 2u); // rebuilt from the collection

    name->visible = false; // a hidden column loses its index entry
    save();
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"T\"}").size(), 1u);
    EXPECT_EQ(schema_docs("index", "{\"index_name\": \"_id_\"}").size(), 1u);

    db_column_t* twin = column("tags_0"); // a second column of one name is dropped, and told
    std::free(twin->sql_name);
    twin->sql_name = copy_text("tags");
    EXPECT_EQ(save().rfind("- - - - - Columns of T not saved: 1 of 6 column documents not written\n", 0), 0u);
    strings written = schema_docs("columns", "{\"sql_table\": \"T\"}");
    EXPECT_EQ(written.size(), 5u);
    EXPECT_NE(written.back().find("index:i6 sql_name:\"tags_1\""), std::string::npos);

    free_columns(columns); // an empty list removes every column
    columns = nullptr;
    EXPECT_EQ(save().find("not saved"), std::string::npos);
    EXPECT_TRUE(count("columns", "T") == 0 && count("tables", "T") == 1 && count("index", "T") == 0);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Save, VirtualTablesFollowTheFlags)
{
    schema_of_t();
    column("tags")->virtual_array = true;
    save();
    save(); // twice: still one set
    read();
    EXPECT_TRUE(column("tags")->virtual_array);
    EXPECT_TRUE(count("tables", "T_tags") == 1 && count("columns", "T_tags") == 3 && count("index", "T_tags") == 2);
    db_name_t* names = read_virtual_table_names(&d, data.c_str(), "dbo", "T");
    EXPECT_EQ(StoreTest::names(names), strings{"tags"});
    free_names(names);
    d.virtual_table = "T_tags"; // selected, the virtual table saves its base table
    save();
    EXPECT_TRUE(count("tables", "T_tags") == 1 && count("columns", "T") == 6);
    column("tags")->virtual_array = false;
    save();
    for (const char* collection : {"tables", "columns", "index"})
        EXPECT_EQ(count(collection, "T_tags"), 0u) << collection;
    EXPECT_TRUE(recorder.messages.empty());

    column("tags")->virtual_array = true; // without a schema client nothing is written
    std::vector<strings> before = all();
    d.md_client = nullptr;
    EXPECT_EQ(save(), "");
    EXPECT_EQ(all(), before);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Save, SixDocumentsOfAVirtualTable)
{
    connect();
    select("orders");
    EXPECT_TRUE(add_virtual_table(&d, "orders", array_column("items", "line.items")));
    EXPECT_TRUE(recorder.messages.empty());
    const std::string vt = "orders_items", tail = " virtual_array:true virtual_parent:\"orders\"";
    EXPECT_EQ(schema_docs("tables"),
              strings{head(vt) + "mongo_name:\"orders\" mongo_database:\"" + data + "\" type:\"TABLE\"" + tail});
    EXPECT_EQ(schema_docs("columns"),
              (strings{head(vt) + "index:i1 sql_name:\"_id\" mongo_name:\"_id\" mongo_type:i7 sql_type:i1 visible:true length:i24" + tail,
                       head(vt) + "index:i2 sql_name:\"items$index\" mongo_name:\"line.items\" mongo_type:i-1 sql_type:i4 visible:true" + tail,
                       head(vt) + "index:i3 sql_name:\"items$value\" mongo_name:\"line.items\" mongo_type:i-2 sql_type:i12 visible:true length:i512" + tail}));
    EXPECT_EQ(schema_docs("index"),
              (strings{head(vt) + "sql_col_name:\"_id\" index:i1 primary:true index_name:\"index1\" unique:true native_id:true asc:true" + tail,
                       head(vt) + "sql_col_name:\"items$index\" index:i2 primary:true index_name:\"index1\" unique:true native_id:false asc:true" + tail}));

    // Removal takes only the selected parent's virtual tables.
    add_virtual_table(&d, "orders", array_column("notes", "notes"));
    add_virtual_table(&d, "customers", columns);
    put_schema("tables", table_doc("orders"));
    put_schema("columns", column_doc("orders", 1, "items", "items", ", \"virtual_array\": true"));
    remove_virtual_tables(&d);
    EXPECT_EQ(schema_docs("tables").size(), 2u); // orders itself and customers_notes
    for (const char* collection : {"tables", "columns", "index"})
        EXPECT_TRUE(schema_docs(collection, "{\"virtual_parent\": \"orders\"}").empty()) << collection;
    EXPECT_TRUE(count("columns", "customers_notes") == 3 && count("index", "customers_notes") == 2);
    EXPECT_EQ(count("columns", "orders"), 1u); // the base table's own column marked virtual stays
    d.md_client = nullptr;
    remove_virtual_tables(&d);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Save, BaseTableNamedLikeTheVirtualTable)
{
    schema_of_t();
    put_schema("tables", table_doc("T_tags"));
    put_schema("columns", column_doc("T_tags", 1, "_id", "_id"));
    put_schema("index", index_doc("T_tags", "_id", 1, "index1"));
    column("tags")->virtual_array = true;
    save();
    const char* texts[] = {"adding virtual table.", "removing virtual table index _id.", "removing virtual index _id."};
    ASSERT_EQ(recorder.messages.size(), std::size(texts));
    for (size_t i = 0; i < std::size(texts); ++i) {
        EXPECT_EQ(recorder.messages[i].text, "Mongo error " + std::string(texts[i]));
        EXPECT_NE(recorder.messages[i].informative.find("E11000"), std::string::npos);
    }
    // The inserts that did not collide were written all the same.
    EXPECT_TRUE(count("columns", "T_tags") == 3 && count("index", "T_tags") == 2);
}

} // namespace
