// Schema documents carrying a value of the wrong BSON type in any field: validation, the
// readers and the dump take them without a crash and write nothing.
#include "store/create.h"
#include "store/dump.h"
#include "store/read.h"
#include "store/validate.h"

#include "tests/store/store_fixture.h"

#include <sstream>

namespace {

struct BadInput : StoreTest {};

// One value of every type the test server stores, as extended JSON.
const char* const values[] = {"1.5", "\"x\"", "{\"a\": 1}", "[1]", "{\"$binary\": {\"base64\": \"AA==\", \"subType\": \"00\"}}",
                              "{\"$oid\": \"5f0000000000000000000001\"}", "true", "{\"$date\": 1}", "null",
                              "{\"$regularExpression\": {\"pattern\": \"a\", \"options\": \"\"}}", "7",
                              "{\"$timestamp\": {\"t\": 1, \"i\": 1}}", "{\"$numberLong\": \"8\"}"};
// The fields of each collection but _id.
const std::pair<const char*, const char*> fields[] = {
    {"tables", "sql_catalog sql_schema sql_table mongo_name mongo_database type virtual_array virtual_parent"},
    {"columns", "sql_catalog sql_schema sql_table index sql_name mongo_name mongo_type sql_type length precision "
                "scale visible virtual_array virtual_parent"},
    {"index", "sql_catalog sql_schema sql_table sql_col_name index primary index_name native_id unique asc "
              "virtual_array virtual_parent"}};

TEST_F(BadInput, EveryFieldWithEveryTypeIsReadAndNothingWritten)
{
    connect();
    put_data("T", R"({"_id": 1, "name": "Ann", "tags": ["a", "b"]})");
    int code = 0;
    stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
    select("T");
    for (const auto& collection : fields) {
        std::vector<bson_t*> docs = testenv::read_documents(fx, schema, collection.first);
        ASSERT_FALSE(docs.empty()) << collection.first;
        bson_iter_t id;
        ASSERT_TRUE(bson_iter_init_find(&id, docs[0], "_id"));
        bson_t selector = BSON_INITIALIZER;
        bson_append_iter(&selector, "_id", -1, &id);
        mongoc_collection_t* coll = mongoc_client_get_collection(fx, schema.c_str(), collection.first);
        std::istringstream names(collection.second);
        for (std::string field; names >> field;)
            for (const char* value : values) {
                std::string row = std::string(collection.first) + "." + field + " = " + value;
                bson_t* set = bson_new_from_json(
                    reinterpret_cast<const uint8_t*>(("{\"$set\": {\"" + field + "\": " + value + "}}").c_str()),
                    -1, nullptr);
                ASSERT_NE(set, nullptr) << row;
                ASSERT_TRUE(mongoc_collection_update_one(coll, &selector, set, nullptr, nullptr, nullptr)) << row;
                bson_destroy(set);
                std::vector<std::string> before = testenv::read_json(fx, schema, collection.first);
                stdout_of([&] {
                    int validated = 0;
                    validate_schema(&d, &validated);
                    EXPECT_TRUE(validated == 1 || (validated <= -30 && validated >= -32)) << row << ": " << validated;
                    read_table_tree(&d);
                    db_name_t* vts = nullptr;
                    db_column_t* columns = read_table_columns(&d, data.c_str(), "dbo", "T", &vts);
                    schema_dump_text(columns, data.c_str(), "T", "", 0);
                    free_columns(columns);
                    free_names(vts);
                });
                EXPECT_EQ(testenv::read_json(fx, schema, collection.first), before) << row;
                EXPECT_TRUE(recorder.messages.empty()) << row;
            }
        // Back to the document as creation wrote it.
        mongoc_collection_delete_one(coll, &selector, nullptr, nullptr, nullptr);
        mongoc_collection_insert_one(coll, docs[0], nullptr, nullptr, nullptr);
        mongoc_collection_destroy(coll);
        bson_destroy(&selector);
        testenv::destroy_documents(docs);
    }
}

} // namespace
