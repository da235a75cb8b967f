// Virtual tables: the six documents of one, their removal, and the boxes of failures.
#include "store/create.h"
#include "store/virtual.h"

#include "app/message.h"

#include "tests/store/store_fixture.h"
#include "tests/support/mock_server.h"

namespace {

struct Virtual : StoreTest {
    db_column_t* items = nullptr;
    ~Virtual() override { free_columns(items); }
    void array_column(const char* sql_name, const char* mongo_name)
    {
        free_columns(items);
        items = new_column();
        items->sql_name = copy_text(sql_name);
        items->mongo_name = copy_text(mongo_name);
        items->mongo_type = 4;
        items->virtual_array = true;
    }
    std::string head(const std::string& table) const
    {
        return "sql_catalog:\"" + data + "\" sql_schema:\"dbo\" sql_table:\"" + table + "\" ";
    }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> out;
        for (const auto& m : recorder.messages)
            out.push_back(m.text);
        return out;
    }
};

TEST_F(Virtual, SixDocumentsInTheirOrder)
{
    connect();
    select("orders");
    array_column("items", "line.items");
    EXPECT_TRUE(add_virtual_table(&d, "orders", items));
    EXPECT_TRUE(recorder.messages.empty());
    const std::string vt = "orders_items";
    const std::string tail = " virtual_array:true virtual_parent:\"orders\"";
    EXPECT_EQ(schema_docs("tables"), (std::vector<std::string>{head(vt) + "mongo_name:\"orders\" mongo_database:\"" +
                                                              data + "\" type:\"TABLE\"" + tail}));
    EXPECT_EQ(schema_docs("columns"),
              (std::vector<std::string>{
                  head(vt) + "index:i1 sql_name:\"_id\" mongo_name:\"_id\" mongo_type:i7 sql_type:i1 visible:true length:i24" + tail,
                  head(vt) + "index:i2 sql_name:\"items$index\" mongo_name:\"line.items\" mongo_type:i-1 sql_type:i4 visible:true" + tail,
                  head(vt) + "index:i3 sql_name:\"items$value\" mongo_name:\"line.items\" mongo_type:i-2 sql_type:i12 visible:true length:i512" + tail,
              }));
    EXPECT_EQ(schema_docs("index"),
              (std::vector<std::string>{
                  head(vt) + "sql_col_name:\"_id\" index:i1 primary:true index_name:\"index1\" unique:true native_id:true asc:true" + tail,
                  head(vt) + "sql_col_name:\"items$index\" index:i2 primary:true index_name:\"index1\" unique:true native_id:false asc:true" + tail,
              }));
}

TEST_F(Virtual, RemovalTakesOnlyTheSelectedParentsVirtualTables)
{
    connect();
    select("orders");
    array_column("items", "items");
    add_virtual_table(&d, "orders", items);
    array_column("notes", "notes");
    add_virtual_table(&d, "orders", items);
    add_virtual_table(&d, "customers", items);
    put_schema("tables", table_doc("orders"));
    put_schema("columns", column_doc("orders", 1, "items", "items", ", \"virtual_array\": true"));
    remove_virtual_tables(&d);
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_EQ(schema_docs("tables").size(), 2u); // orders itself and customers_notes
    EXPECT_EQ(schema_docs("tables", "{\"virtual_parent\": \"orders\"}").size(), 0u);
    EXPECT_EQ(schema_docs("columns", "{\"virtual_parent\": \"orders\"}").size(), 0u);
    EXPECT_EQ(schema_docs("index", "{\"virtual_parent\": \"orders\"}").size(), 0u);
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"customers_notes\"}").size(), 3u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"customers_notes\"}").size(), 2u);
    // The base table's own column marked virtual is no virtual table document.
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"orders\"}").size(), 1u);

    d.md_client = nullptr;
    remove_virtual_tables(&d); // nothing to do, nothing shown
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Virtual, BaseTableOfTheSameName)
{
    connect();
    int code = 0;
    ASSERT_TRUE(create_schema_collections(&d, &code));
    put_schema("tables", table_doc("orders_items"));
    put_schema("columns", column_doc("orders_items", 1, "_id", "_id"));
    put_schema("index", index_doc("orders_items", "_id", 1, "index1"));
    select("orders");
    array_column("items", "items");
    EXPECT_TRUE(add_virtual_table(&d, "orders", items));
    EXPECT_EQ(texts(), (std::vector<std::string>{"Mongo error adding virtual table.",
                                                 "Mongo error removing virtual table index _id.",
                                                 "Mongo error removing virtual index _id."}));
    for (const auto& m : recorder.messages) {
        EXPECT_NE(m.informative.find("E11000"), std::string::npos) << m.informative;
        EXPECT_EQ(m.buttons, BTN_OK);
        EXPECT_EQ(m.default_button, BTN_OK);
    }
    // The inserts that did not collide were written all the same.
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"orders_items\"}").size(), 3u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"orders_items\"}").size(), 2u);
}

TEST_F(Virtual, EveryFailingRequestHasItsBox)
{
    testenv::ScriptedServer server;
    ASSERT_TRUE(server.start(R"({"errors": {"delete": [8000, "no delete today"], "insert": [8000, "no insert today"]}})"));
    connect(testenv::server(), server.address());
    select("orders");
    remove_virtual_tables(&d);
    array_column("items", "items");
    add_virtual_table(&d, "orders", items);
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           "Mongo error removing virtual table.",
                           "Mongo error removing virtual table column.",
                           "Mongo error removing virtual table index.",
                           "Mongo error adding virtual table.",
                           "Mongo error removing virtual table index _id.",
                           "Mongo error removing virtual column $index.",
                           "Mongo error removing virtual column $value.",
                           "Mongo error removing virtual index _id.",
                           "Mongo error removing virtual index $index.",
                       }));
    for (size_t i = 0; i < recorder.messages.size(); ++i)
        EXPECT_EQ(recorder.messages[i].informative, i < 3 ? "no delete today" : "no insert today");
    // The removal selects on catalog, schema, parent and flag, in that order.
    EXPECT_EQ(server.count("delete"), 3);
    bool seen = false;
    for (const std::string& c : server.commands())
        seen = seen || c.find("\"q\": {\"sql_catalog\": \"" + data +
                              "\", \"sql_schema\": \"dbo\", \"virtual_parent\": \"orders\", \"virtual_array\": true}") !=
                           std::string::npos;
    EXPECT_TRUE(seen);
}

} // namespace
