// The sample loader on documents the test servers cannot hold: a scripted server returns
// a document with a top-level key containing "." (FerretDB refuses such keys).
#include "discovery/types.h"
#include "sample/loaders.h"
#include "sample/render.h"
#include "store/records.h"
#include "tests/support/mock_server.h"
#include "tests/support/ui_support.h"

#include <gtest/gtest.h>

using namespace testenv;

TEST(Loaders, TopLevelKeyWithAPointFirstAndNoQueryWithoutCollection)
{
    ScriptedServer server;
    ASSERT_TRUE(server.start(R"({"documents": {"shop.items": [
        {"a.b": "top", "a": {"b": "nested", "c": {"d": 4}}, "n": 1}, {"a": {"b": "only nested"}, "n": 2}]}})"));
    const struct {
        int mode; // in Edit mode no schema tables are known: the table has no collection
        texts_t rows;
    } rows[] = {{MODE_VIEW_ONLY, {"top|4|<null>|1", "only nested|<null>|<null>|2"}}, {MODE_EDIT, {}}};
    for (const auto& row : rows) {
        DBINFO d;
        init_dbinfo(&d);
        d.mode = row.mode;
        d.client = mongoc_client_new(("mongodb://" + server.address() + ":27017").c_str());
        sample_column_t* columns = nullptr;
        for (const char* name : {"n", "a.x", "a.c.d", "a.b"}) { // a path that leads nowhere among them
            auto* c = static_cast<sample_column_t*>(record_alloc(sizeof(sample_column_t)));
            *c = {copy_text(name), name[0] == 'n' || name[2] == 'c' ? SQL_T_INTEGER : SQL_T_VARCHAR, 0, 0, 0, 0, columns};
            columns = c;
        }
        QTableWidget grid(0, 4);
        int finds = server.count("find");
        load_document_rows(&d, &grid, columns, "shop", "items");
        EXPECT_EQ(rows_text(&grid), row.rows) << row.mode;
        EXPECT_EQ(server.count("find") - finds, row.rows.empty() ? 0 : 1);
        free_sample_columns(columns);
        mongoc_client_destroy(d.client);
        release_dbinfo(&d);
    }
}
