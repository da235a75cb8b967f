// The connection string, the table tree builder and the type vocabulary.
#include "app/connect.h"
#include "app/dbinfo.h"
#include "discovery/types.h"
#include "store/records.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct ConnectionString : ::testing::Test {
    DBINFO d;
    char out[DBINFO_TEXT];
    ConnectionString() { testenv::init_dbinfo(&d); }
    std::string data() { build_connection_uri(SIDE_DATA, &d, out); return out; }
    std::string schema() { build_connection_uri(SIDE_SCHEMA, &d, out); return out; }
};

TEST_F(ConnectionString, SidesCredentialsAndTls)
{
    dbinfo_set_text(d.server, "data.host");
    dbinfo_set_text(d.database, "sales");
    dbinfo_set_text(d.md_server, "schema.host");
    dbinfo_set_text(d.md_database, "sales_schema");
    EXPECT_EQ(data(), "mongodb://data.host:27017");
    EXPECT_EQ(schema(), "mongodb://schema.host:27017");

    dbinfo_set_text(d.user, "ann");
    dbinfo_set_text(d.password, "p@ss:w/rd");
    EXPECT_EQ(data(), "mongodb://ann:p@ss:w/rd@data.host:27017/sales"); // unescaped
    EXPECT_EQ(schema(), "mongodb://schema.host:27017");
    dbinfo_set_text(d.md_password, "only");
    EXPECT_EQ(schema(), "mongodb://:only@schema.host:27017/sales_schema");

    d.ssl = keep_string("Y");
    EXPECT_EQ(data(), "mongodb://ann:p@ss:w/rd@data.host:27017/sales?ssl=true");
    d.md_password[0] = '\0';
    // Without a database part the library wants "/" before the options.
    EXPECT_EQ(schema(), "mongodb://schema.host:27017/?ssl=true");
    d.ssl = keep_string("N");
    EXPECT_EQ(schema(), "mongodb://schema.host:27017");
    d.ssl = keep_string(" ");
    EXPECT_EQ(schema(), "mongodb://schema.host:27017");
}

TEST_F(ConnectionString, TooLongForItsBufferIsEmpty)
{
    std::string long_text(1500, 'x');
    dbinfo_set_text(d.server, long_text.c_str());
    dbinfo_set_text(d.user, long_text.c_str());
    EXPECT_EQ(data(), "");
    d.user[0] = '\0';
    EXPECT_EQ(data(), "mongodb://" + long_text + ":27017");
}

std::vector<std::string> tree(const DBINFO& d)
{
    std::vector<std::string> out;
    for (db_catalog_t* c = d.tables; c; c = c->next)
        for (db_schema_t* s = c->schemas; s; s = s->next)
            for (db_table_t* t = s->tables; t; t = t->next)
                out.push_back(std::string(c->name) + "/" + s->name + "/" + t->name);
    return out;
}

TEST(TableTree, OrderDuplicatesAndCase)
{
    DBINFO d;
    testenv::init_dbinfo(&d);
    add_to_table_tree(&d, "shop", "dbo", "orders");
    add_to_table_tree(&d, "shop", "dbo", "orders");
    add_to_table_tree(&d, "shop", "dbo", "Orders");
    add_to_table_tree(&d, "hr", "dbo", "staff");
    add_to_table_tree(&d, "shop", "dbo", "items");
    add_to_table_tree(&d, "shop", "sales", "items");
    add_to_table_tree(&d, "Shop", "dbo", "items");
    add_to_table_tree(&d, "", "", "");
    EXPECT_EQ(tree(d), (std::vector<std::string>{"shop/dbo/orders", "shop/dbo/Orders", "shop/dbo/items",
                                                 "shop/sales/items", "hr/dbo/staff", "Shop/dbo/items", "//"}));
    free_table_tree(&d);
    EXPECT_EQ(d.tables, nullptr);
    free_table_tree(&d);
}

TEST(TypeNames, EveryChooserEntryRoundTrips)
{
    ASSERT_EQ(sql_type_name_count, 13);
    ASSERT_EQ(mongo_type_name_count, 10);
    for (int i = 0; i < sql_type_name_count; ++i)
        EXPECT_EQ(sql_type_of_name(sql_type_names[i].name), sql_type_names[i].code) << sql_type_names[i].name;
    for (int i = 0; i < mongo_type_name_count; ++i)
        EXPECT_EQ(mongo_type_of_name(mongo_type_names[i].name), mongo_type_names[i].code) << mongo_type_names[i].name;
    EXPECT_STREQ(sql_type_names[0].name, "SQL_BIGINT");
    EXPECT_STREQ(sql_type_names[12].name, "SQL_WLONGVARCHAR");
    EXPECT_STREQ(mongo_type_names[0].name, "Array");
    EXPECT_STREQ(mongo_type_names[9].name, "String");
}

TEST(TypeNames, UnknownNames)
{
    EXPECT_EQ(sql_type_of_name("SQL_VARCHAR"), 12);
    EXPECT_EQ(sql_type_of_name("sql_varchar"), -1);
    EXPECT_EQ(sql_type_of_name(""), -1);
    EXPECT_EQ(sql_type_of_name("SQL_VARBINARY"), -1); // not offered by the chooser
    EXPECT_EQ(mongo_type_of_name("NumberInt32"), 16);
    EXPECT_EQ(mongo_type_of_name("NumberInt32 "), 6);
    EXPECT_EQ(mongo_type_of_name(nullptr), 6);
}

TEST(TypeNames, DriverView)
{
    EXPECT_STREQ(driver_sql_type_name(1), "SQL_CHAR");
    EXPECT_STREQ(driver_sql_type_name(12), "SQL_VARCHAR");
    EXPECT_STREQ(driver_sql_type_name(4), "SQL_INTEGER");
    EXPECT_STREQ(driver_sql_type_name(-9), "");
    EXPECT_STREQ(driver_mongo_type_name(7), "OID");
    EXPECT_STREQ(driver_mongo_type_name(-1), "Driver Defined");
    EXPECT_STREQ(driver_mongo_type_name(-2), "Driver Defined");
    EXPECT_STREQ(driver_mongo_type_name(2), "");
}

} // namespace
