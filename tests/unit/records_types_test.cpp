// The connection string, the table tree and the type vocabulary of the choosers.
#include "app/connect.h"
#include "app/dbinfo.h"
#include "discovery/types.h"
#include "store/records.h"
#include "tests/support/test_env.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(Records, ConnectionString)
{
    const std::string fits(2031, 'h'); // the whole string 2047 bytes
    const struct {
        int side;
        std::string server, database, user, password, ssl, uri;
    } rows[] = {
        {SIDE_DATA, "data.host", "sales", "", "", " ", "mongodb://data.host:27017"},
        {SIDE_DATA, "data.host", "sales", "ann", "p@ss:w/rd", "N", "mongodb://ann:p@ss:w/rd@data.host:27017/sales"},
        {SIDE_SCHEMA, "schema.host", "meta", "", "only", " ", "mongodb://:only@schema.host:27017/meta"},
        {SIDE_DATA, "h", "sales", "ann", "pw", "Y", "mongodb://ann:pw@h:27017/sales?ssl=true"},
        {SIDE_SCHEMA, "h", "meta", "", "", "Y", "mongodb://h:27017/?ssl=true"}, // "/" before the options
        {SIDE_DATA, fits, "sales", "", "", " ", "mongodb://" + fits + ":27017"},
        {SIDE_DATA, fits + "h", "sales", "", "", " ", ""}, // too long for its buffer
    };
    for (const auto& row : rows) {
        DBINFO d;
        testenv::init_dbinfo(&d);
        // The other side holds what must not be taken.
        char* sides[2][4] = {{d.server, d.database, d.user, d.password},
                             {d.md_server, d.md_database, d.md_user, d.md_password}};
        const std::string* values[] = {&row.server, &row.database, &row.user, &row.password};
        for (int i = 0; i < 4; ++i) {
            dbinfo_set_text(sides[row.side == SIDE_DATA ? 0 : 1][i], values[i]->c_str());
            dbinfo_set_text(sides[row.side == SIDE_DATA ? 1 : 0][i], "wrong");
        }
        d.ssl = keep_string(row.ssl.c_str());
        char out[DBINFO_TEXT];
        build_connection_uri(row.side, &d, out);
        EXPECT_EQ(out, row.uri) << row.uri.substr(0, 60);
    }
}

TEST(Records, TableTreeKeepsOrderAndCase)
{
    DBINFO d;
    testenv::init_dbinfo(&d);
    for (QString t : {"shop/dbo/orders", "shop/dbo/orders", "shop/dbo/Orders", "hr/dbo/staff", "shop/dbo/items",
                      "shop/sales/items", "Shop/dbo/items", "//"})
        add_to_table_tree(&d, qPrintable(t.section('/', 0, 0)), qPrintable(t.section('/', 1, 1)),
                          qPrintable(t.section('/', 2, 2)));
    std::string tree;
    for (db_catalog_t* c = d.tables; c; c = c->next)
        for (db_schema_t* s = c->schemas; s; s = s->next)
            for (db_table_t* t = s->tables; t; t = t->next)
                tree += std::string(c->name) + "/" + s->name + "/" + t->name + " ";
    EXPECT_EQ(tree, "shop/dbo/orders shop/dbo/Orders shop/dbo/items shop/sales/items hr/dbo/staff Shop/dbo/items // ");
    free_table_tree(&d);
    EXPECT_EQ(d.tables, nullptr);
}

// The codes are the ones the driver reads from the schema; the names in the choosers' order.
TEST(Records, TypeNames)
{
    std::string sql, mongo, view;
    for (int i = 0; i < sql_type_name_count; ++i)
        sql += sql_type_names[i].name + (" " + std::to_string(sql_type_of_name(sql_type_names[i].name))) + " ";
    for (int i = 0; i < mongo_type_name_count; ++i)
        mongo += mongo_type_names[i].name + (" " + std::to_string(mongo_type_of_name(mongo_type_names[i].name))) + " ";
    EXPECT_EQ(sql, "SQL_BIGINT -5 SQL_BINARY -2 SQL_BIT -7 SQL_DOUBLE 8 SQL_INTEGER 4 SQL_NUMERIC 2 SQL_SMALLINT 5 "
                   "SQL_TINYINT -6 SQL_TYPE_TIMESTAMP 93 SQL_VARCHAR 12 SQL_LONGVARCHAR -1 SQL_WVARCHAR -9 "
                   "SQL_WLONGVARCHAR -10 ");
    EXPECT_EQ(mongo, "Array 4 BinaryData 5 Bool 8 Date 9 NumberDouble 1 NumberInt32 16 NumberLong64 18 Object 3 "
                     "OID 7 String 2 ");
    for (const char* unknown : {"sql_varchar", "", "SQL_VARBINARY"})
        EXPECT_EQ(sql_type_of_name(unknown), -1) << unknown;
    EXPECT_EQ(mongo_type_of_name("NumberInt32 "), 6);
    EXPECT_EQ(mongo_type_of_name(nullptr), 6);
    for (int code : {1, 12, 4, -9, 7, -1, -2, 2})
        view += std::string(driver_sql_type_name(code)) + "/" + driver_mongo_type_name(code) + " ";
    EXPECT_EQ(view, "SQL_CHAR/ SQL_VARCHAR/ SQL_INTEGER/ / /OID /Driver Defined /Driver Defined / ");
}

} // namespace
