// Validation of a schema database against its data database, on the test servers.
#include "store/validate.h"

#include "tests/store/store_fixture.h"

#include <cstring>

namespace {

struct Validate : StoreTest {
    int code = 0;
    // A schema that names collection A and its one column, and a data database with A.
    void schema_of_a()
    {
        put_data("A", R"({"name": "x"})");
        put_schema("tables", table_doc("A"));
        put_schema("columns", column_doc("A", 1, "name", "name"));
        put_schema("index", index_doc("A", "name", 1, "_id_"));
    }
    std::vector<std::string> keys(const db_table_ref_t* refs, bool matched_only = false)
    {
        std::vector<std::string> out;
        for (; refs; refs = refs->next)
            if (!matched_only || refs->matched)
                out.push_back(refs->key);
        return out;
    }
};

TEST_F(Validate, SameDatabaseOnTheSameServerIsRefused)
{
    schema = data;
    connect();
    d.mode = MODE_READ_ONLY; // the index check does not run on this path
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -18);
    EXPECT_EQ(d.mode, MODE_READ_ONLY);
}

TEST_F(Validate, SameNameOnTwoServersGoesOn)
{
    schema = data;
    connect(testenv::server(), testenv::server2());
    put_data("A", R"({"a": 1})");
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -1); // the schema server has no such database yet
}

TEST_F(Validate, EmptySchemaDatabase)
{
    connect();
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -1);
    EXPECT_EQ(d.db_collections, nullptr);
    EXPECT_EQ(d.md_tables, nullptr);
}

TEST_F(Validate, DocumentChecks)
{
    struct Case {
        const char* what;
        std::function<void(Validate*)> setup;
        int code;
    };
    const Case cases[] = {
        {"tables empty",
         [](Validate* t) {
             t->put_schema("columns", t->column_doc("A", 1, "name", "name"));
             t->make_collection(t->fx, t->schema, "tables");
         },
         -2},
        {"columns empty",
         [](Validate* t) {
             t->put_data("A", "{}");
             t->put_schema("tables", t->table_doc("A"));
             t->make_collection(t->fx, t->schema, "columns");
         },
         -2},
        {"index empty passes",
         [](Validate* t) {
             t->put_data("A", "{}");
             t->put_schema("tables", t->table_doc("A"));
             t->put_schema("columns", t->column_doc("A", 1, "name", "name"));
             t->make_collection(t->fx, t->schema, "index");
         },
         1},
        {"only tables, in step",
         [](Validate* t) {
             t->put_data("A", "{}");
             t->put_schema("tables", t->table_doc("A"));
         },
         1},
        {"tables field outside the list, first of two",
         [](Validate* t) {
             t->put_data("B", "{}");
             t->put_schema("tables", t->table_doc("B", ", \"owner\": \"x\""));
             t->schema_of_a();
         },
         -2},
        {"columns field outside the list, first of two",
         [](Validate* t) {
             t->put_schema("columns", t->column_doc("A", 2, "n2", "n2", ", \"comment\": \"x\""));
             t->schema_of_a();
         },
         -2},
        {"index field outside the list, first of two",
         [](Validate* t) {
             t->put_schema("index", t->index_doc("A", "name", 2, "other", ", \"sparse\": true"));
             t->schema_of_a();
         },
         -2},
        {"every allowed field of every collection",
         [](Validate* t) {
             t->put_data("A", "{}");
             t->put_schema("tables", t->table_doc("A", ", \"virtual_array\": false, \"virtual_parent\": \"p\""));
             t->put_schema("columns", t->column_doc("A", 1, "n", "n",
                                                    ", \"precision\": 2, \"scale\": 1, \"virtual_array\": false, "
                                                    "\"virtual_parent\": \"p\""));
             t->put_schema("index", t->index_doc("A", "n", 1, "i", ", \"virtual_array\": false, "
                                                                   "\"virtual_parent\": \"p\""));
         },
         1},
        {"columns field outside the list, behind many replies' worth of documents",
         [](Validate* t) {
             t->schema_of_a();
             for (int i = 2; i < 700; ++i) {
                 std::string n = "n" + std::to_string(i);
                 t->put_schema("columns", t->column_doc("A", i, n.c_str(), n.c_str()));
             }
             t->put_schema("columns", t->column_doc("A", 700, "last", "last", ", \"comment\": \"x\""));
         },
         -2},
        {"a foreign collection",
         [](Validate* t) {
             t->schema_of_a();
             t->put_schema("notes", "{\"a\": 1}");
         },
         -3},
        {"system.indexes is tolerated",
         [](Validate* t) {
             t->schema_of_a();
             t->put_schema("system.indexes", "{\"ns\": \"x\"}");
         },
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        data = testenv::unique_name("vdata");
        schema = testenv::unique_name("vschema");
        testenv::release_dbinfo(&d);
        testenv::init_dbinfo(&d);
        connect();
        c.setup(this);
        EXPECT_EQ(validate_schema(&d, &code), c.code == 1);
        EXPECT_EQ(code, c.code);
        testenv::drop_database(fx, data);
        testenv::drop_database(fx, schema);
    }
}

TEST_F(Validate, DataCollectionsNotInTheSchema)
{
    connect();
    schema_of_a();
    put_data("B", R"({"b": 1})");
    put_data("system.js", R"({"f": 1})");
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -30);
    EXPECT_EQ(keys(d.db_collections), (std::vector<std::string>{data + ".dbo.A", data + ".dbo.B"}));
    EXPECT_EQ(keys(d.db_collections, true), (std::vector<std::string>{data + ".dbo.A"}));
    EXPECT_EQ(keys(d.md_tables, true), (std::vector<std::string>{data + ".dbo.A"}));
}

TEST_F(Validate, SchemaTablesWithoutCollections)
{
    connect();
    schema_of_a();
    put_schema("tables", table_doc("B"));
    put_schema("tables", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"A_items\", "
                         "\"mongo_name\": \"A\", \"mongo_database\": \"" + data + "\", \"type\": \"TABLE\", "
                         "\"virtual_array\": true, \"virtual_parent\": \"A\"}");
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -31);
    ASSERT_NE(d.md_tables, nullptr);
    const db_table_ref_t* vt = d.md_tables->next->next;
    EXPECT_STREQ(vt->sql_name, "A_items");
    EXPECT_STREQ(vt->mongo_name, "A");
    EXPECT_TRUE(vt->is_virtual);
    EXPECT_FALSE(vt->matched);
}

TEST_F(Validate, BothOutOfStep)
{
    connect();
    schema_of_a();
    put_schema("tables", table_doc("B"));
    put_data("C", "{}");
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -32);
}

TEST_F(Validate, ValidSchemaSetsEditMode)
{
    connect();
    schema_of_a();
    d.mode = MODE_READ_ONLY;
    EXPECT_TRUE(validate_schema(&d, &code));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(d.mode, MODE_EDIT);
    // A second run releases the lists of the first (the sanitizer build checks).
    EXPECT_TRUE(validate_schema(&d, &code));
}

TEST_F(Validate, MissingIndexCollectionLeavesTheMode)
{
    connect();
    put_data("A", "{}");
    put_schema("tables", table_doc("A"));
    d.mode = MODE_READ_ONLY;
    check_index_access(&d); // FerretDB: "Collection '...index' does not exist to validate."
    EXPECT_EQ(d.mode, MODE_READ_ONLY);
    d.mode = MODE_VIEW_ONLY;
    check_index_access(&d);
    EXPECT_EQ(d.mode, MODE_VIEW_ONLY);
}

TEST_F(Validate, CollectionNamesOfADatabase)
{
    connect();
    put_data("b", "{}");
    put_data("a", "{}");
    bson_error_t error;
    char** names = list_collection_names(&d, d.db, &error);
    ASSERT_NE(names, nullptr) << error.message;
    std::vector<std::string> got;
    for (char** p = names; *p; ++p)
        got.push_back(*p);
    free_collection_names(&d, names);
    EXPECT_EQ(d.legacy_collection_list, 0);
    EXPECT_EQ(got.size(), 2u);

    // A database without collections gives an empty list, not none.
    names = list_collection_names(&d, d.md_db, &error);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names[0], nullptr);
    free_collection_names(&d, names);
}

TEST_F(Validate, CollectionOfTable)
{
    connect();
    put_schema("tables", table_doc("orders"));
    // A table whose SQL name differs from its collection's: its key names the SQL table,
    // so it never fits and the caller's text stays.
    put_schema("tables", "{\"sql_catalog\": \"" + data +
                             "\", \"sql_schema\": \"dbo\", \"sql_table\": \"Customers\", \"mongo_name\": "
                             "\"cust_v2\", \"mongo_database\": \"" + data + "\", \"type\": \"TABLE\"}");
    d.md_tables = list_schema_tables(&d);
    char out[DBINFO_TEXT] = "unchanged";
    EXPECT_FALSE(collection_of_table(&d, data.c_str(), "Customers", out));
    EXPECT_STREQ(out, "unchanged");
    EXPECT_TRUE(collection_of_table(&d, data.c_str(), "orders", out));
    EXPECT_STREQ(out, "orders");
    std::strcpy(out, "unchanged");
    EXPECT_FALSE(collection_of_table(&d, "othercatalog", "orders", out));
    EXPECT_STREQ(out, "unchanged");
    EXPECT_FALSE(collection_of_table(&d, data.c_str(), "nosuch", out));
    EXPECT_STREQ(out, "unchanged");
    d.mode = MODE_VIEW_ONLY;
    EXPECT_TRUE(collection_of_table(&d, data.c_str(), "Customers", out));
    EXPECT_STREQ(out, "Customers");
}

// ---- comparison of the two lists (no server) ------------------------------------

db_table_ref_t* refs(const std::vector<std::pair<std::string, bool>>& entries)
{
    db_table_ref_t* head = nullptr;
    db_table_ref_t** link = &head;
    for (const auto& e : entries) {
        db_table_ref_t* r = static_cast<db_table_ref_t*>(record_alloc(sizeof(db_table_ref_t)));
        r->key = copy_text(e.first.c_str());
        r->mongo_name = copy_text("m");
        r->sql_name = copy_text("s");
        r->is_virtual = e.second;
        *link = r;
        link = &r->next;
    }
    return head;
}

TEST(Compare, Verdicts)
{
    struct Case {
        std::vector<std::pair<std::string, bool>> collections, tables;
        int code;
    };
    const Case cases[] = {
        {{{"d.dbo.A", false}}, {{"d.dbo.A", false}}, 1},
        {{}, {}, 1},
        {{}, {{"d.dbo.A", false}}, -31},
        {{}, {{"d.dbo.A_x", true}}, 1},
        {{{"d.dbo.A", false}, {"d.dbo.B", false}}, {{"d.dbo.A", false}}, -30},
        {{{"d.dbo.A", false}}, {{"d.dbo.A", false}, {"d.dbo.B", false}, {"d.dbo.A_items", true}}, -31},
        {{{"d.dbo.A", false}, {"d.dbo.C", false}}, {{"d.dbo.A", false}, {"d.dbo.B", false}}, -32},
        // Two tables of one key: the second stays unmatched.
        {{{"d.dbo.A", false}}, {{"d.dbo.A", false}, {"d.dbo.A", false}}, -31},
        // Names are compared exactly.
        {{{"d.dbo.a", false}}, {{"d.dbo.A", false}}, -32},
        // A virtual table can match a collection of its name.
        {{{"d.dbo.A_x", false}}, {{"d.dbo.A_x", true}}, 1},
    };
    for (const Case& c : cases) {
        db_table_ref_t* collections = refs(c.collections);
        db_table_ref_t* tables = refs(c.tables);
        EXPECT_EQ(compare_collections_with_schema(collections, tables), c.code);
        free_table_refs(collections);
        free_table_refs(tables);
    }
}

} // namespace
