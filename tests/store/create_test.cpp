// Creating a schema from the data, keeping it in step, index metadata and sampling, on
// the test servers.
#include "discovery/discover.h"
#include "store/create.h"
#include "store/indexes.h"
#include "store/validate.h"

#include "tests/store/store_fixture.h"

namespace {

struct Create : StoreTest {
    std::string table_row(const std::string& table) const
    {
        return head(table) + "mongo_name:\"" + table + "\" mongo_database:\"" + data + "\" type:\"TABLE\"";
    }
    std::string entry(const std::string& table, const std::string& column, int index, const std::string& name,
                      bool unique, bool asc = true) const
    {
        return head(table) + "sql_col_name:\"" + column + "\" index:i" + std::to_string(index) +
               " primary:false index_name:\"" + name + "\" unique:" + (unique ? "true" : "false") +
               " native_id:false asc:" + (asc ? "true" : "false");
    }
    // A with four columns and an index, B with a sub-document.
    void two_collections()
    {
        put_data("A", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819203"}, "name": "Ann", "empty": "", "n": 1})");
        put_data("A", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819204"}, "name": "Bo", "empty": "", "n": 2.5})");
        make_index("A", R"({"name": 1})", "name_1", true);
        put_data("B", R"({"_id": 1, "x": {"k": "v"}})");
    }
    std::string create(bool expected = true)
    {
        return stdout_of([&] { EXPECT_EQ(create_schema(&d, &code), expected) << code; });
    }
    std::string sync(const std::function<void(db_sample_t*)>& adjust = nullptr, const std::string& table = "T")
    {
        db_sample_t* sample = sample_collection(&d, table.c_str());
        if (adjust && sample)
            adjust(sample);
        std::string out = stdout_of([&] { EXPECT_TRUE(sync_table_indexes(&d, sample, table.c_str())); });
        free_sample(sample);
        return out;
    }
    std::vector<strings> all() { return {schema_docs("tables"), schema_docs("columns"), schema_docs("index")}; }
};

TEST_F(Create, DescribesEveryCollection)
{
    connect();
    two_collections();
    put_data("system.js", R"({"f": 1})");
    std::string out = create();
    EXPECT_EQ(code, 1);
    EXPECT_EQ(testenv::collection_names(fx, schema), (strings{"columns", "index", "tables"}));
    EXPECT_EQ(schema_docs("tables"), (strings{table_row("A"), table_row("B")}));
    std::vector<bson_t*> tables = testenv::read_documents(fx, schema, "tables");
    EXPECT_EQ(testenv::field_names(tables[0]),
              (strings{"_id", "sql_catalog", "sql_schema", "sql_table", "mongo_name", "mongo_database", "type"}));
    testenv::destroy_documents(tables);
    const std::string v = " visible:true";
    EXPECT_EQ(schema_docs("columns"),
              (strings{head("A") + "index:i1 sql_name:\"_id\" sql_type:i12 mongo_name:\"_id\" mongo_type:i7 length:i24" + v,
                       head("A") + "index:i2 sql_name:\"name\" sql_type:i12 mongo_name:\"name\" mongo_type:i2 length:i3" + v,
                       head("A") + "index:i3 sql_name:\"empty\" sql_type:i12 mongo_name:\"empty\" mongo_type:i2" + v,
                       head("A") + "index:i4 sql_name:\"n\" sql_type:i8 mongo_name:\"n\" mongo_type:i1 length:i255" + v,
                       head("B") + "index:i1 sql_name:\"_id\" sql_type:i4 mongo_name:\"_id\" mongo_type:i16 length:i255" + v,
                       head("B") + "index:i2 sql_name:\"x\" sql_type:i12 mongo_name:\"x\" mongo_type:i3 length:i" +
                           std::to_string(std::string(R"({ "k" : "v" })").size()) + v,
                       head("B") + "index:i3 sql_name:\"x_k\" sql_type:i12 mongo_name:\"x.k\" mongo_type:i2 length:i1" + v}));
    EXPECT_EQ(schema_docs("index"), (strings{entry("A", "_id", 1, "_id_", true), entry("A", "name", 1, "name_1", true),
                                             entry("B", "_id", 1, "_id_", true)}));
    for (const db_table_ref_t* r = d.db_collections; r; r = r->next)
        EXPECT_TRUE(r->matched) << r->key; // the comparison lists describe the new schema
    EXPECT_TRUE(d.db_collections && d.md_tables && validate_schema(&d, &code));
    EXPECT_NE(out.find("\n{ \"v\" : 2, \"key\" : { \"_id\" : 1 }, \"name\" : \"_id_\" }\n\n"), std::string::npos) << out;

    // A second run equals the first; whatever was added in between goes with the drop.
    std::vector<strings> first = all();
    put_schema("tables", table_doc("Stale"));
    put_schema("notes", "{}");
    create();
    EXPECT_EQ(all(), first);
    EXPECT_EQ(testenv::collection_names(fx, schema), (strings{"columns", "index", "tables"}));

    EXPECT_TRUE(remove_table_from_schema(&d, "A"));
    for (const char* collection : {"tables", "columns", "index"}) {
        EXPECT_TRUE(schema_docs(collection, "{\"sql_table\": \"A\"}").empty()) << collection;
        EXPECT_FALSE(schema_docs(collection, "{\"sql_table\": \"B\"}").empty()) << collection;
    }
    d.md_client = nullptr;
    EXPECT_FALSE(remove_table_from_schema(&d, "B"));
}

TEST_F(Create, EmptyDataDatabase)
{
    connect();
    create();
    EXPECT_TRUE(schema_docs("tables").empty() && !d.db_collections && !d.md_tables);
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -2); // tables is empty
}

TEST_F(Create, SynchroniseAddsCollectionsAndRefreshesIndexes)
{
    connect();
    two_collections();
    create();
    put_data("C", R"({"c": true})");
    make_index("A", R"({"n": -1})", "n_desc");
    ASSERT_FALSE(validate_schema(&d, &code));
    ASSERT_EQ(code, -30);
    std::string out = stdout_of([&] { EXPECT_EQ(synchronise_schema(&d, code), 1); });
    for (const char* t : {"A", "B", "C"})
        EXPECT_EQ(out.find("- - - - - Updating INDEX for " + std::string(t) + "\n") != std::string::npos, *t != 'C') << t;
    EXPECT_EQ(schema_docs("tables").back(), table_row("C"));
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"C\"}").size(), 2u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"C\"}").size(), 1u);
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"A\"}"),
              (strings{entry("A", "_id", 1, "_id_", true), entry("A", "n", 1, "n_desc", false, false),
                       entry("A", "name", 1, "name_1", true)})); // FerretDB lists them by name
    EXPECT_EQ(compare_collections_with_schema(d.db_collections, d.md_tables), 1); // the lists were rebuilt
}

TEST_F(Create, SynchroniseRemovesTablesAndKeepsVirtualOnes)
{
    connect();
    two_collections();
    create();
    const std::string vt = ", \"virtual_array\": true";
    put_schema("tables", table_doc("A_tags", vt + ", \"virtual_parent\": \"A\"")); // as saving writes it
    put_schema("columns", column_doc("A_tags", 1, "_id", "_id", vt));
    put_schema("index", index_doc("A_tags", "_id", 1, "index1", vt));
    testenv::drop_database(fx, data);
    put_data("A", R"({"name": "Ann"})");
    ASSERT_FALSE(validate_schema(&d, &code));
    ASSERT_EQ(code, -31);
    std::string out = stdout_of([&] { EXPECT_EQ(synchronise_schema(&d, code), 1); });
    EXPECT_EQ(out.find("Updating INDEX"), std::string::npos); // -31 adds nothing
    for (const char* collection : {"tables", "columns", "index"}) {
        EXPECT_TRUE(schema_docs(collection, "{\"sql_table\": \"B\"}").empty()) << collection;
        EXPECT_EQ(schema_docs(collection, "{\"sql_table\": \"A_tags\"}").size(), 1u) << collection;
    }
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"A\"}").size(), 4u);
    EXPECT_TRUE(validate_schema(&d, &code));
}

TEST_F(Create, IndexMetadataFromTheCollection)
{
    connect();
    put_data("T", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819203"}, "a": 1})");
    std::string out = sync([](db_sample_t* s) { // the column's SQL name goes into the entry
        std::free(s->columns->sql_name);
        s->columns->sql_name = copy_text("ID");
    });
    EXPECT_EQ(schema_docs("index"), strings{entry("T", "ID", 1, "_id_", true)});
    std::vector<bson_t*> docs = testenv::read_documents(fx, schema, "index");
    EXPECT_EQ(testenv::field_names(docs[0]), (strings{"_id", "sql_catalog", "sql_schema", "sql_table", "sql_col_name",
                                                      "index", "primary", "index_name", "unique", "native_id", "asc"}));
    testenv::destroy_documents(docs);
    std::string described = "{ \"v\" : 2, \"key\" : { \"_id\" : 1 }, \"name\" : \"_id_\" }";
    EXPECT_EQ(out, "\n{ \"cursor\" : { \"id\" : 0, \"ns\" : \"" + data + ".T\", \"firstBatch\" : [ " + described +
                       " ] }, \"ok\" : 1.0 }\n\n\n" + described + "\n\n"); // the reply, then each index

    // Compound keys, a key of a hidden column, a key on a missing field.
    testenv::drop_database(fx, data);
    put_data("T", R"({"a": 1, "b": "x", "c": {"d": 2}, "h": 1})");
    make_index("T", R"({"a": 1, "b": -1})", "ab", true);
    make_index("T", R"({"c.d": 1})", "cd");
    make_index("T", R"({"h": 1})", "hidden");
    make_index("T", R"({"a": 1, "missing": 1})", "partly_missing");
    put_schema("index", index_doc("U", "kept", 1, "other_table"));
    sync([](db_sample_t* s) {
        for (db_column_t* c = s->columns; c; c = c->next)
            c->visible = std::string(c->mongo_name) != "h";
    });
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"T\"}"),
              (strings{entry("T", "_id", 1, "_id_", true), entry("T", "a", 1, "ab", true),
                       entry("T", "b", 2, "ab", true, false), entry("T", "c_d", 1, "cd", false)}));
    EXPECT_EQ(schema_docs("index", "{\"sql_table\": \"U\"}").size(), 1u);

    mongoc_client_t* client = d.client; // without a data client the old entries still go
    d.client = nullptr;
    sync();
    EXPECT_TRUE(schema_docs("index", "{\"sql_table\": \"T\"}").empty());
    d.client = client;
    sync(nullptr, "NoSuch");
    EXPECT_TRUE(schema_docs("index", "{\"sql_table\": \"NoSuch\"}").empty() && recorder.messages.empty());
    d.md_client = nullptr; // without a schema client nothing happens
    EXPECT_EQ(sync(), "");
    EXPECT_EQ(schema_docs("index").size(), 1u);
}

TEST(MapIndexKeys, FirstVisibleColumnOfThePath)
{
    db_sample_t sample{};
    for (const char* sql : {"A2", "A", "a_hidden"}) {
        db_column_t* c = new_column();
        c->sql_name = copy_text(sql), c->mongo_name = copy_text("a");
        c->visible = sql[1] != '_', c->next = sample.columns, sample.columns = c;
    }
    auto entry = [](const char* name, db_index_t* next) {
        auto* e = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
        e->sql_col_name = copy_text(name), e->next = next;
        return e;
    };
    db_index_t* entries = entry("a", nullptr);
    EXPECT_TRUE(map_index_keys(entries, &sample));
    EXPECT_STREQ(entries->sql_col_name, "A");
    free_indexes(entries);
    entries = entry("a", entry("b", nullptr));
    EXPECT_FALSE(map_index_keys(entries, &sample));
    EXPECT_FALSE(map_index_keys(nullptr, &sample));
    free_indexes(entries);
    free_columns(sample.columns);
}

TEST_F(Create, SamplingForDiscovery)
{
    connect();
    EXPECT_EQ(discover_columns(&d, "big"), nullptr);
    db_sample_t* sample = sample_collection(&d, "big");
    ASSERT_NE(sample, nullptr);
    EXPECT_TRUE(sample->count == 0 && !sample->columns && sample->items) << "a missing collection";
    free_sample(sample);
    // 1000 documents in insertion order; from the 101st on they carry a field "late".
    std::vector<bson_t*> docs;
    for (int i = 0; i < 1000; ++i)
        docs.push_back(i < 100 ? BCON_NEW("n", BCON_INT32(i)) : BCON_NEW("n", BCON_INT32(i), "late", "yes"));
    mongoc_collection_t* coll = mongoc_client_get_collection(fx, data.c_str(), "big");
    EXPECT_TRUE(mongoc_collection_insert_many(coll, const_cast<const bson_t**>(docs.data()), docs.size(), nullptr,
                                              nullptr, nullptr));
    mongoc_collection_destroy(coll);
    for (bson_t* doc : docs)
        bson_destroy(doc);
    auto names = [](const db_column_t* c) {
        strings out;
        for (; c; c = c->next)
            out.push_back(c->sql_name);
        return out;
    };
    sample = sample_collection(&d, "big");
    EXPECT_EQ(names(sample->columns), (strings{"_id", "n"}));
    EXPECT_TRUE(sample->count == 2 && sample->items[0] == sample->columns && sample->items[1] == sample->columns->next &&
                sample->dbinfo == &d);
    free_sample(sample);
    for (int rows : {101, 0}) { // 0: no limit
        d.preview_rows = rows;
        db_column_t* columns = discover_columns(&d, "big");
        EXPECT_EQ(names(columns), (strings{"_id", "n", "late"})) << rows;
        free_columns(columns);
    }
    put_data("w", R"({"s": "text"})");
    d.default_wide = true;
    db_column_t* columns = discover_columns(&d, "w");
    EXPECT_EQ(columns->next->sql_type, -9);
    free_columns(columns);
    d.client = nullptr;
    EXPECT_TRUE(!sample_collection(&d, "w") && !discover_columns(&d, "w"));
}

} // namespace
