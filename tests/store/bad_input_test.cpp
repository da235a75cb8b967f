// Schema documents carrying a value of the wrong BSON type in any field: validation, the
// readers and the dump take them without a crash and write nothing.
#include "sample/render.h"
#include "store/change/create.h"
#include "store/files/dump.h"
#include "store/files/schema_file.h"
#include "store/read/validate.h"

#include "tests/store/store_fixture.h"

#include <cstring>
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
                    EXPECT_TRUE(validated == VALIDATE_OK || (validated <= VALIDATE_COLLECTIONS_NEW &&
                                validated >= VALIDATE_OUT_OF_STEP && validated != VALIDATE_DATA_NOT_LISTED))
                        << row << ": " << validated;
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

// A schema file is checked whole before an import writes: each damage that would leave the
// schema broken half way is refused, naming its line and its document.
TEST(SchemaFile, EverythingIsCheckedBeforeTheFirstWrite)
{
    const std::string key = R"("sql_catalog": "C", "sql_schema": "dbo", "sql_table": )";
    const std::string good = "{\"format\": \"brolix schema 1\",\n\"tables\": [\n"
        "{" + key + R"("T", "mongo_name": "T", "mongo_database": "C", "type": "TABLE"},)" "\n"
        "{" + key + R"("T_a", "mongo_name": "T", "mongo_database": "C", "type": "TABLE", "virtual_array": true, "virtual_parent": "T"}],)" "\n"
        "\"columns\": [\n"
        R"({"_id": {"$oid": "5f0000000000000000000001"}, )" + key + R"("T", "index": 1, "sql_name": "a", "sql_type": 12, "mongo_name": "a", "mongo_type": 2, "visible": true},)" "\n"
        R"({"_id": {"$oid": "5f0000000000000000000002"}, )" + key + R"("T", "index": 2, "sql_name": "b", "sql_type": 12, "mongo_name": "b", "mongo_type": 2, "visible": true}],)" "\n"
        "\"index\": [\n"
        "{" + key + R"("T", "sql_col_name": "a", "index": 1, "primary": false, "index_name": "i", "unique": false, "asc": true}]})" "\n";
    const struct {
        const char* from;
        std::string to;
        int code, line;
        const char* document;
    } rows[] = {
        {"", "", 0, 0, ""},
        {"\"mongo_name\": \"b\"", R"("mongo_name": "b\"\n\u00e9\/")", 0, 0, ""}, // escapes are text
        {"0002", "0001", SCHEMA_FILE_DUPLICATE, 7, "table 'T', column 'b'"},
        {", \"visible\": true}]", "}]", SCHEMA_FILE_MISSING, 7, "table 'T', column 'b'"},
        {"\"mongo_type\": 2, \"visible\": true}]", "\"visible\": true}]", SCHEMA_FILE_MISSING, 7, "table 'T', column 'b'"},
        {"\"TABLE\"},", "\"VIEW\", \"typo\": 1},", SCHEMA_FILE_FIELD, 3, "table 'T'"},
        {", \"type\": \"TABLE\"},", "},", SCHEMA_FILE_MISSING, 3, "table 'T'"},
        {", \"asc\": true", "", SCHEMA_FILE_MISSING, 9, "table 'T', index 'i' on 'a'"},
        {"\"sql_col_name\": \"a\"", "\"sql_col_name\": \"z\"", SCHEMA_FILE_NO_COLUMN, 9, "table 'T', index 'i' on 'z'"},
        {"\"virtual_parent\": \"T\"", "\"virtual_parent\": \"U\"", SCHEMA_FILE_NO_PARENT, 4, "table 'T_a'"},
        {"\"mongo_name\": \"b\"", "\"mongo_name\": \"" + std::string(200, 'x') + "\"", SCHEMA_FILE_TOO_BIG, 7,
         "table 'T', column 'b'"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.to);
        std::string text = good;
        if (*row.from) {
            text.replace(text.find(row.from), std::strlen(row.from), row.to);
            ASSERT_NE(text, good) << "the row changes nothing";
        }
        schema_file_problem_t problem;
        schema_file_t* file = read_schema_file(text.data(), text.size(), "C", &problem, 300);
        EXPECT_EQ(file == nullptr, row.code != 0);
        EXPECT_EQ(problem.code, row.code);
        EXPECT_EQ(problem.line, row.line);
        EXPECT_STREQ(problem.document, row.document);
        free_schema_file(file);
    }
}

// Data documents at the edges of what servers keep: creation takes each into the schema
// with the columns discovery gives, they read back and dump, and every value renders.
struct DataRow {
    const char* name;
    std::string collection, json;
    std::string columns; // sql_name:mongo_type:sql_type:length each, or the count and the last
};

std::string column_summary(const db_column_t* columns)
{
    std::string out;
    int count = 0;
    for (const db_column_t* c = columns; c; c = c->next, ++count)
        out += std::string(out.empty() ? "" : " ") + c->sql_name + ":" + std::to_string(c->mongo_type) + ":" +
               std::to_string(c->sql_type) + ":" + std::to_string(c->length);
    return count > 20 ? std::to_string(count) + " columns, ending " + out.substr(out.rfind(' ') + 1) : out;
}

TEST_F(BadInput, DataAtTheEdgesIsTakenIntoTheSchema)
{
    const size_t big = 16 * 1024 * 1024 - 64;
    std::string wide = R"({"_id": 1)";
    for (int i = 0; i < 10000; ++i)
        wide += ", \"f" + std::to_string(i) + "\": " + std::to_string(i);
    const DataRow rows[] = {
        {"16 MiB document", "big", R"({"_id": 1, "s": ")" + std::string(big, 'x') + "\"}",
         "_id:16:4:255 s:2:12:" + std::to_string(big)},
        {"10,000 fields", "wide", wide + "}", "10001 columns, ending f9999:16:4:255"},
        {"empty field names", "empty", R"({"_id": 1, "": "ab", "a": {"": true}})",
         "_id:16:4:255 :2:12:2 a:3:12:13 a_:8:-6:255"},
        {"a dot in the name", "a.b", R"({"_id": 1})", "_id:16:4:255"},
        {"a space in the name", "with space", R"({"_id": "k"})", "_id:2:12:1"},
        {"letters beyond ASCII", "Größe", R"({"_id": 1, "Maß": "é"})", "_id:16:4:255 Maß:2:12:2"},
        // An _id of every type the test server keeps (no server takes arrays and regular
        // expressions; the scripted server below plays the others).
        {"_id double", "id1", R"({"_id": 1.5})", "_id:1:8:255"},
        {"_id document", "id3", R"({"_id": {"a": 1}})", "_id:3:12:11 _id_a:16:4:255"},
        {"_id binary", "id5", R"({"_id": {"$binary": {"base64": "AAE=", "subType": "00"}}})", "_id:5:-3:2"},
        {"_id ObjectId", "id7", R"({"_id": {"$oid": "5f0000000000000000000001"}})", "_id:7:12:24"},
        {"_id boolean", "id8", R"({"_id": false})", "_id:8:-6:255"},
        {"_id date", "id9", R"({"_id": {"$date": 0}})", "_id:9:93:255"},
        {"_id null", "id10", R"({"_id": null})", "_id:10:12:255"},
        {"_id timestamp", "id17", R"({"_id": {"$timestamp": {"t": 1, "i": 2}}})", "_id:17:12:255"},
        {"_id int64", "id18", R"({"_id": {"$numberLong": "9"}})", "_id:18:-5:255"},
    };
    connect();
    bson_t* unchecked = BCON_NEW("validate", BCON_BOOL(false)); // the library refuses empty keys
    for (const DataRow& row : rows) {
        bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(row.json.data()), -1, nullptr);
        ASSERT_NE(doc, nullptr) << row.name;
        mongoc_collection_t* coll = mongoc_client_get_collection(fx, data.c_str(), row.collection.c_str());
        bson_error_t error;
        EXPECT_TRUE(mongoc_collection_insert_one(coll, doc, unchecked, nullptr, &error)) << row.name << error.message;
        mongoc_collection_destroy(coll);
        bson_destroy(doc);
    }
    bson_destroy(unchecked);
    stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)) << code; });
    EXPECT_TRUE(recorder.messages.empty());
    for (const DataRow& row : rows) {
        SCOPED_TRACE(row.name);
        db_name_t* vts = nullptr;
        db_column_t* columns = read_table_columns(&d, data.c_str(), "dbo", row.collection.c_str(), &vts);
        EXPECT_EQ(column_summary(columns), row.columns);
        EXPECT_NE(schema_dump_text(columns, data.c_str(), row.collection.c_str(), "", 0).find(row.collection),
                  std::string::npos);
        std::vector<bson_t*> stored = testenv::read_documents(fx, data, row.collection);
        bson_iter_t it;
        const db_column_t* c = columns;
        for (bson_iter_init(&it, stored.at(0)); bson_iter_next(&it) && c; c = c->next) {
            sample_column_t shown{c->mongo_name, c->sql_type, c->mongo_type, c->length, 0, 0, nullptr};
            char* text = value_to_text(&it, bson_iter_value(&it));
            free(convert_for_sql_type(text, bson_iter_value(&it), &shown));
            free(text);
        }
        testenv::destroy_documents(stored);
        free_columns(columns);
        free_names(vts);
    }
}

// Documents no test server keeps (an _id of these types, a field name that is not UTF-8),
// sent by a scripted server as their bytes.
TEST_F(Scripted, DataTheTestServerDoesNotKeepIsTakenIntoTheSchema)
{
    bson_decimal128_t decimal;
    bson_decimal128_from_string("1.5", &decimal);
    const std::pair<bson_t*, const char*> rows[] = {
        {BCON_NEW("_id", BCON_UNDEFINED), "_id:6:12:255"},
        {BCON_NEW("_id", BCON_CODE("f()")), "_id:13:12:255"},
        {BCON_NEW("_id", BCON_SYMBOL("s")), "_id:14:12:255"},
        {BCON_NEW("_id", BCON_DECIMAL128(&decimal)), "_id:19:12:255"},
        {BCON_NEW("_id", BCON_MINKEY), "_id:255:12:255"},
        {BCON_NEW("_id", BCON_MAXKEY), "_id:127:12:255"},
        // The name is written as it came; the test server keeps U+FFFD for each bad byte.
        {BCON_NEW("_id", BCON_INT32(1), "a\xff\xfe", BCON_UTF8("v")), "_id:16:4:255 a\uFFFD\uFFFD:2:12:1"},
    };
    std::string names, raw;
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::string hex;
        for (uint32_t b = 0; b < rows[i].first->len; ++b)
            hex += "0123456789abcdef"[bson_get_data(rows[i].first)[b] >> 4],
                hex += "0123456789abcdef"[bson_get_data(rows[i].first)[b] & 15];
        bson_destroy(rows[i].first);
        names += std::string(i ? ", " : "") + "\"t" + std::to_string(i) + "\"";
        raw += std::string(i ? ", " : "") + "\"@.t" + std::to_string(i) + "\": [\"" + hex + "\"]";
    }
    start("{\"collections\": {\"@\": [" + names + "]}, \"raw\": {" + raw + "}}", true, false);
    stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code)) << code; });
    EXPECT_TRUE(recorder.messages.empty());
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::string table = "t" + std::to_string(i);
        db_name_t* vts = nullptr;
        db_column_t* columns = read_table_columns(&d, data.c_str(), "dbo", table.c_str(), &vts);
        EXPECT_EQ(column_summary(columns), rows[i].second) << table;
        free_columns(columns);
        free_names(vts);
    }
}

} // namespace
