// The sample loaders on documents the test servers cannot hold: a scripted server
// returns a document with a top-level key containing "." (FerretDB refuses such keys).
#include "app/dbinfo.h"
#include "discovery/types.h"
#include "sample/loaders.h"
#include "sample/render.h"
#include "store/records.h"
#include "tests/support/mock_server.h"
#include "tests/support/test_env.h"

#include <QTableWidget>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

sample_column_t* column(const char* mongo_name, int sql_type, sample_column_t* next = nullptr)
{
    sample_column_t* c = static_cast<sample_column_t*>(record_alloc(sizeof(sample_column_t)));
    c->mongo_name = copy_text(mongo_name);
    c->sql_type = sql_type;
    c->next = next;
    return c;
}

TEST(Loaders, TopLevelKeyWithAPointIsFoundBeforeThePath)
{
    ScriptedServer server;
    ASSERT_TRUE(server.start(R"({"documents": {"shop.items": [
        {"a.b": "top", "a": {"b": "nested", "c": {"d": 4}}, "n": 1},
        {"a": {"b": "only nested"}, "n": 2}]}})"));
    DBINFO d;
    init_dbinfo(&d);
    d.mode = MODE_VIEW_ONLY; // the collection is the table itself
    std::string uri = "mongodb://" + server.address() + ":27017";
    d.client = mongoc_client_new(uri.c_str());
    ASSERT_NE(d.client, nullptr);
    sample_column_t* columns =
        column("a.b", SQL_T_VARCHAR, column("a.c.d", SQL_T_INTEGER, column("a.x", SQL_T_VARCHAR, column("n", SQL_T_INTEGER))));
    QTableWidget grid;
    grid.setColumnCount(4);
    load_document_rows(&d, &grid, columns, "shop", "items");
    ASSERT_EQ(grid.rowCount(), 2);
    EXPECT_EQ(grid.item(0, 0)->text(), "top");
    EXPECT_EQ(grid.item(1, 0)->text(), "only nested");
    EXPECT_EQ(grid.item(0, 1)->text(), "4");
    EXPECT_EQ(grid.item(0, 2)->text(), "<null>"); // a path that leads nowhere
    EXPECT_EQ(grid.item(1, 1)->text(), "<null>");
    EXPECT_EQ(grid.item(1, 3)->text(), "2");
    EXPECT_FALSE(grid.item(0, 2)->flags() & Qt::ItemIsEditable);
    free_sample_columns(columns);
    mongoc_client_destroy(d.client);
    release_dbinfo(&d);
}

TEST(Loaders, TableWithoutCollectionShowsNothingAndAsksNothing)
{
    ScriptedServer server;
    ASSERT_TRUE(server.start(R"({"documents": {"shop.items": [{"n": 1}]}})"));
    DBINFO d;
    init_dbinfo(&d);
    d.mode = MODE_EDIT; // no schema tables known: the table has no collection
    std::string uri = "mongodb://" + server.address() + ":27017";
    d.client = mongoc_client_new(uri.c_str());
    sample_column_t* columns = column("n", SQL_T_INTEGER);
    QTableWidget grid;
    grid.setColumnCount(1);
    load_document_rows(&d, &grid, columns, "shop", "items");
    EXPECT_EQ(grid.rowCount(), 0);
    EXPECT_EQ(server.count("find"), 0);
    free_sample_columns(columns);
    mongoc_client_destroy(d.client);
    release_dbinfo(&d);
}

} // namespace
