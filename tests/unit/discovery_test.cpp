// Flattening of documents into columns and the two type decision tables, in memory.
#include "app/dbinfo.h"
#include "discovery/discover.h"
#include "discovery/types.h"
#include "store/records.h"

#include <bson/bson.h>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

const bool narrow = false;
const bool wide = true;

// A sample over an in-memory record, fed document by document as sampling would.
struct Sample {
    DBINFO d;
    db_sample_t* sample;
    explicit Sample(bool wide_flag = false)
    {
        dbinfo_clear(&d);
        d.default_wide = wide_flag;
        sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
        sample->dbinfo = &d;
    }
    ~Sample() { free_sample(sample); }
    void walk(const bson_t* doc)
    {
        bson_iter_t it;
        ASSERT_TRUE(bson_iter_init(&it, doc));
        while (bson_iter_next(&it))
            walk_field(sample, &it, nullptr);
    }
    void walk_json(const std::string& json)
    {
        bson_error_t error;
        bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()),
                                         static_cast<ssize_t>(json.size()), &error);
        ASSERT_NE(doc, nullptr) << error.message << " in " << json;
        walk(doc);
        bson_destroy(doc);
    }
    const db_column_t* column(const std::string& sql_name) const
    {
        for (const db_column_t* c = sample->columns; c; c = c->next)
            if (sql_name == c->sql_name)
                return c;
        return nullptr;
    }
    std::vector<std::string> names() const
    {
        std::vector<std::string> out;
        for (const db_column_t* c = sample->columns; c; c = c->next)
            out.push_back(c->sql_name);
        return out;
    }
};

size_t json_length(const std::string& json)
{
    bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()), -1, nullptr);
    size_t len = 0;
    char* text = bson_as_json(doc, &len);
    bson_free(text);
    bson_destroy(doc);
    return len;
}

// ---- first_sql_type ------------------------------------------------------------

struct FirstCase {
    int bson_type;
    int narrow_result;
    int wide_result;
};

TEST(FirstSqlType, DecisionTable)
{
    const FirstCase cases[] = {
        {BSON_TYPE_DOUBLE, SQL_T_DOUBLE, SQL_T_DOUBLE},
        {BSON_TYPE_UTF8, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_DOCUMENT, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_ARRAY, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_BINARY, SQL_T_VARBINARY, SQL_T_VARBINARY},
        {BSON_TYPE_UNDEFINED, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_OID, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_BOOL, SQL_T_TINYINT, SQL_T_TINYINT},
        {BSON_TYPE_DATE_TIME, SQL_T_TYPE_TIMESTAMP, SQL_T_TYPE_TIMESTAMP},
        {BSON_TYPE_NULL, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_REGEX, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_CODE, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_SYMBOL, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_CODEWSCOPE, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_INT32, SQL_T_INTEGER, SQL_T_INTEGER},
        {BSON_TYPE_TIMESTAMP, SQL_T_VARCHAR, SQL_T_VARCHAR},
        {BSON_TYPE_INT64, SQL_T_BIGINT, SQL_T_BIGINT},
        {BSON_TYPE_DECIMAL128, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_MAXKEY, SQL_T_VARCHAR, SQL_T_WVARCHAR},
        {BSON_TYPE_MINKEY, SQL_T_VARCHAR, SQL_T_WVARCHAR},
    };
    for (const FirstCase& c : cases) {
        EXPECT_EQ(first_sql_type(c.bson_type, narrow), c.narrow_result) << "BSON type " << c.bson_type;
        EXPECT_EQ(first_sql_type(c.bson_type, wide), c.wide_result) << "BSON type " << c.bson_type << " wide";
    }
}

// ---- settle_sql_type -----------------------------------------------------------

// Every BSON code worth trying: 0 to 19, max key, min key, and codes no type has.
const int all_codes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 127, 255, 20, 126, 254, -1};

struct SettleRow {
    int current;
    // BSON type -> result; every code not listed gives the text type.
    std::vector<std::pair<int, int>> exceptions;
};

TEST(SettleSqlType, DecisionTable)
{
    std::vector<std::pair<int, int>> varbinary_all;
    for (int code : all_codes)
        if ((code >= 0 && code <= 18) || code == 127 || code == 255)
            varbinary_all.push_back({code, SQL_T_VARBINARY});

    const SettleRow rows[] = {
        {SQL_T_TINYINT,
         {{1, SQL_T_DOUBLE}, {5, SQL_T_VARBINARY}, {6, SQL_T_TINYINT}, {8, SQL_T_TINYINT}, {16, SQL_T_INTEGER},
          {18, SQL_T_BIGINT}}},
        {SQL_T_BIGINT,
         {{1, SQL_T_DOUBLE}, {5, SQL_T_VARBINARY}, {6, SQL_T_BIGINT}, {8, SQL_T_BIGINT}, {16, SQL_T_BIGINT},
          {18, SQL_T_BIGINT}}},
        {SQL_T_VARBINARY, varbinary_all},
        {SQL_T_INTEGER,
         {{1, SQL_T_DOUBLE}, {5, SQL_T_VARBINARY}, {6, SQL_T_INTEGER}, {8, SQL_T_INTEGER}, {16, SQL_T_INTEGER},
          {18, SQL_T_BIGINT}}},
        {SQL_T_DOUBLE,
         {{1, SQL_T_DOUBLE}, {6, SQL_T_DOUBLE}, {16, SQL_T_DOUBLE}, {18, SQL_T_DOUBLE}, {5, SQL_T_VARBINARY}}},
        {SQL_T_TYPE_TIMESTAMP, {{5, SQL_T_VARBINARY}, {6, SQL_T_TYPE_TIMESTAMP}, {9, SQL_T_TYPE_TIMESTAMP}}},
        {SQL_T_VARCHAR, {{5, SQL_T_VARBINARY}}},
        {SQL_T_WVARCHAR, {{5, SQL_T_VARBINARY}}},
        {SQL_T_CHAR, {{5, SQL_T_VARBINARY}}},
        {SQL_T_NUMERIC, {{5, SQL_T_VARBINARY}}},
        {SQL_T_BIT, {{5, SQL_T_VARBINARY}}},
    };
    for (const SettleRow& row : rows) {
        for (int code : all_codes) {
            for (bool flag : {narrow, wide}) {
                int expected = flag ? SQL_T_WVARCHAR : SQL_T_VARCHAR;
                for (const auto& e : row.exceptions)
                    if (e.first == code)
                        expected = e.second;
                EXPECT_EQ(settle_sql_type(row.current, code, flag), expected)
                    << "current " << row.current << ", BSON " << code << (flag ? ", wide" : "");
            }
        }
    }
}

// ---- walking documents ----------------------------------------------------------

TEST(Discovery, WorkedExample)
{
    Sample s;
    const std::string tags1 = R"({"0": "a", "1": "bc"})";
    const std::string address = R"({"city": "Paris"})";
    s.walk_json(R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819203"}, "name": "Ann", "age": 31,
                    "tags": ["a", "bc"], "address": {"city": "Paris"}})");
    EXPECT_EQ(s.column("age")->sql_type, SQL_T_INTEGER);
    s.walk_json(R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819204"}, "name": "Bertha", "age": 31.5,
                    "tags": ["x"], "flag": true})");

    struct Expected {
        const char* sql_name;
        const char* mongo_name;
        int mongo_type;
        int sql_type;
        size_t length;
    };
    const Expected expected[] = {
        {"_id", "_id", 7, SQL_T_VARCHAR, 24},
        {"name", "name", 2, SQL_T_VARCHAR, 6},
        {"age", "age", 1, SQL_T_DOUBLE, 255},
        {"tags", "tags", 4, SQL_T_VARCHAR, std::max(json_length(tags1), json_length(R"({"0": "x"})"))},
        {"tags_0", "tags.0", 2, SQL_T_VARCHAR, 1},
        {"tags_1", "tags.1", 2, SQL_T_VARCHAR, 2},
        {"address", "address", 3, SQL_T_VARCHAR, json_length(address)},
        {"address_city", "address.city", 2, SQL_T_VARCHAR, 5},
        {"flag", "flag", 8, SQL_T_TINYINT, 255},
    };
    ASSERT_EQ(s.sample->count, 9);
    const db_column_t* c = s.sample->columns;
    const db_column_t* prev = nullptr;
    for (const Expected& e : expected) {
        ASSERT_NE(c, nullptr);
        EXPECT_STREQ(c->sql_name, e.sql_name);
        EXPECT_STREQ(c->mongo_name, e.mongo_name) << e.sql_name;
        EXPECT_EQ(c->mongo_type, e.mongo_type) << e.sql_name;
        EXPECT_EQ(c->sql_type, e.sql_type) << e.sql_name;
        EXPECT_EQ(static_cast<size_t>(c->length), e.length) << e.sql_name;
        EXPECT_EQ(c->precision, 0);
        EXPECT_EQ(c->scale, 0);
        EXPECT_TRUE(c->visible);
        EXPECT_EQ(c->index, 0);
        EXPECT_EQ(c->indexes, nullptr);
        EXPECT_FALSE(c->virtual_array);
        EXPECT_EQ(c->id[0], '\0');
        EXPECT_EQ(c->prev, prev);
        prev = c;
        c = c->next;
    }
    EXPECT_EQ(c, nullptr);
    // Key paths: none at the top level for scalars, the keys down to the field otherwise.
    EXPECT_EQ(s.column("name")->path, nullptr);
    char* path = join_names(s.column("address_city")->path, "/");
    EXPECT_STREQ(path, "address/city");
    std::free(path);
}

TEST(Discovery, NumbersSettle)
{
    struct Case {
        std::vector<std::string> docs;
        int sql_type;
        int mongo_type;
        int length;
    };
    const Case cases[] = {
        {{R"({"a": 1})", R"({"a": 2.5})"}, SQL_T_DOUBLE, 1, 255},
        {{R"({"a": 1})", R"({"a": 2.5})", R"({"a": "x"})"}, SQL_T_VARCHAR, 2, 255},
        {{R"({"a": 1})", R"({"a": {"$numberLong": "5"}})"}, SQL_T_BIGINT, 18, 255},
        {{R"({"a": true})", R"({"a": 7})"}, SQL_T_INTEGER, 16, 255},
        {{R"({"a": "abc"})", R"({"a": "abcdefghij"})"}, SQL_T_VARCHAR, 2, 10},
        {{R"({"a": "abc"})", R"({"a": 4})"}, SQL_T_VARCHAR, 16, 255},
        {{R"({"a": 4})", R"({"a": null})"}, SQL_T_VARCHAR, 10, 255},
        {{R"({"a": {"$date": "2020-01-01T00:00:00Z"}})", R"({"a": null})"}, SQL_T_VARCHAR, 10, 255},
        {{R"({"a": 1})", R"({"a": {"$binary": {"base64": "AAECAw==", "subType": "00"}}})", R"({"a": "x"})"},
         SQL_T_VARBINARY, 2, 255},
        {{R"({"a": "xx"})", R"({"a": {"$oid": "5f0c1a2b3c4d5e6f70819203"}})"}, SQL_T_VARCHAR, 7, 24},
        {{R"({"a": {"$binary": {"base64": "AAECAwQF", "subType": "00"}}})"}, SQL_T_VARBINARY, 5, 6},
        {{R"({"a": ""})", R"({"a": ""})"}, SQL_T_VARCHAR, 2, 0},
    };
    for (const Case& c : cases) {
        Sample s;
        std::string all;
        for (const std::string& doc : c.docs) {
            s.walk_json(doc);
            all += doc + " ";
        }
        ASSERT_EQ(s.sample->count, 1) << all;
        EXPECT_EQ(s.column("a")->sql_type, c.sql_type) << all;
        EXPECT_EQ(s.column("a")->mongo_type, c.mongo_type) << all;
        EXPECT_EQ(s.column("a")->length, c.length) << all;
    }
}

TEST(Discovery, LengthsCompareUnsigned)
{
    Sample s;
    s.walk_json(R"({"a": "abc"})");
    // A length another tool made negative counts as longer than anything seen.
    const_cast<db_column_t*>(s.column("a"))->length = -5;
    s.walk_json(R"({"a": "abcdefghij"})");
    EXPECT_EQ(s.column("a")->length, -5);
    s.walk_json(R"({"a": 12})");
    EXPECT_EQ(s.column("a")->length, -5);
}

TEST(Discovery, SubDocumentsAndArrays)
{
    Sample s;
    s.walk_json(R"({"address": {"street": "Main", "city": "Oslo"}, "empty": {}, "tags": ["a", "b", "c"]})");
    s.walk_json(R"({"tags": ["z"], "nested": {"deep": {"x": 1}}})");
    EXPECT_EQ(s.names(), (std::vector<std::string>{"address", "address_street", "address_city", "empty", "tags",
                                                    "tags_0", "tags_1", "tags_2", "nested", "nested_deep",
                                                    "nested_deep_x"}));
    EXPECT_STREQ(s.column("address_street")->mongo_name, "address.street");
    EXPECT_EQ(s.column("address")->mongo_type, 3);
    EXPECT_EQ(static_cast<size_t>(s.column("address")->length),
              json_length(R"({"street": "Main", "city": "Oslo"})"));
    EXPECT_EQ(s.column("empty")->mongo_type, 3);
    EXPECT_EQ(static_cast<size_t>(s.column("empty")->length), json_length("{}"));
    EXPECT_STREQ(s.column("tags_2")->mongo_name, "tags.2");
    EXPECT_STREQ(s.column("nested_deep_x")->mongo_name, "nested.deep.x");
    EXPECT_EQ(s.column("nested_deep_x")->sql_type, SQL_T_INTEGER);
}

TEST(Discovery, CollidingNamesShareTheFirstColumn)
{
    Sample s;
    s.walk_json(R"({"a_b": "xyz", "a": {"b": 5}})");
    EXPECT_EQ(s.names(), (std::vector<std::string>{"a_b", "a"}));
    const db_column_t* c = s.column("a_b");
    EXPECT_STREQ(c->mongo_name, "a_b"); // the first sighting's name stays
    EXPECT_EQ(c->mongo_type, 16);
    EXPECT_EQ(c->sql_type, SQL_T_VARCHAR);
    EXPECT_EQ(c->length, 255);
    // The path follows the latest sighting.
    char* path = join_names(c->path, ".");
    EXPECT_STREQ(path, "a.b");
    std::free(path);

    // A container colliding with a scalar column, the other way round.
    Sample t;
    t.walk_json(R"({"x": {"y": 1}, "x_y": {"z": 2}})");
    EXPECT_EQ(t.names(), (std::vector<std::string>{"x", "x_y", "x_y_z"}));
    EXPECT_EQ(t.column("x_y")->mongo_type, 3);
    EXPECT_STREQ(t.column("x_y")->mongo_name, "x.y");
}

TEST(Discovery, WideFlag)
{
    Sample s(true);
    s.walk_json(R"({"name": "x", "ts": {"$timestamp": {"t": 1, "i": 1}}, "ts2": {"$timestamp": {"t": 1, "i": 1}},
                    "sub": {"k": "v"}, "n": 1})");
    s.walk_json(R"({"ts2": {"$timestamp": {"t": 2, "i": 1}}, "n": "now text"})");
    EXPECT_EQ(s.column("name")->sql_type, SQL_T_WVARCHAR);
    EXPECT_EQ(s.column("ts")->sql_type, SQL_T_VARCHAR); // one sighting only
    EXPECT_EQ(s.column("ts2")->sql_type, SQL_T_WVARCHAR);
    EXPECT_EQ(s.column("sub")->sql_type, SQL_T_WVARCHAR);
    EXPECT_EQ(s.column("sub_k")->sql_type, SQL_T_WVARCHAR);
    EXPECT_EQ(s.column("n")->sql_type, SQL_T_WVARCHAR);
}

TEST(Discovery, WalksOntoAHandMadeSample)
{
    // A sample whose list was built without discovery still finds its columns.
    Sample s;
    db_column_t* c = new_column();
    c->sql_name = copy_text("a");
    c->mongo_name = copy_text("a");
    c->sql_type = SQL_T_INTEGER;
    c->mongo_type = 16;
    c->length = 255;
    s.sample->columns = c;
    s.sample->count = 1;
    s.walk_json(R"({"a": 2.5, "b": 1})");
    EXPECT_EQ(s.names(), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(s.column("a")->sql_type, SQL_T_DOUBLE);
    EXPECT_EQ(s.sample->count, 2);
    EXPECT_EQ(s.column("b")->prev, c);
}

// The index beside the list must give exactly what a scan of the list gives: a model
// that scans, fed random documents full of colliding names, agrees on every column.
struct ModelColumn {
    std::string sql_name, mongo_name;
    int mongo_type, sql_type;
    uint32_t length;
};

void model_walk(std::vector<ModelColumn>& model, const bson_iter_t* it, const std::vector<std::string>& parent)
{
    std::vector<std::string> path = parent;
    path.push_back(bson_iter_key(it));
    std::string sql, mongo;
    for (size_t i = 0; i < path.size(); ++i) {
        sql += (i ? "_" : "") + path[i];
        mongo += (i ? "." : "") + path[i];
    }
    int type = bson_iter_type(it);
    ModelColumn* found = nullptr;
    for (ModelColumn& m : model)
        if (m.sql_name == sql) {
            found = &m;
            break;
        }
    if (!found) {
        model.push_back({sql, mongo, type, first_sql_type(type, false), 0});
        found = &model.back();
    } else {
        found->sql_type = settle_sql_type(found->sql_type, type, false);
        found->mongo_type = type;
    }
    if (type == BSON_TYPE_DOCUMENT || type == BSON_TYPE_ARRAY) {
        bson_iter_t child;
        bson_iter_recurse(it, &child);
        while (bson_iter_next(&child))
            model_walk(model, &child, path);
    }
}

TEST(Discovery, IndexAgreesWithAListScan)
{
    std::mt19937 random(20240501);
    const char* keys[] = {"a", "b", "a_b", "b_a", "c", "a_b_c", "0", "1", "x"};
    Sample s;
    std::vector<ModelColumn> model;
    for (int n = 0; n < 300; ++n) {
        bson_t doc = BSON_INITIALIZER;
        std::function<void(bson_t*, int)> fill = [&](bson_t* into, int depth) {
            int fields = 1 + static_cast<int>(random() % 5);
            for (int f = 0; f < fields; ++f) {
                const char* key = keys[random() % 9];
                switch (random() % (depth < 3 ? 6 : 4)) {
                case 0: BSON_APPEND_INT32(into, key, 1); break;
                case 1: BSON_APPEND_UTF8(into, key, "text"); break;
                case 2: BSON_APPEND_DOUBLE(into, key, 1.5); break;
                case 3: BSON_APPEND_BOOL(into, key, true); break;
                case 4: {
                    bson_t child;
                    BSON_APPEND_DOCUMENT_BEGIN(into, key, &child);
                    fill(&child, depth + 1);
                    bson_append_document_end(into, &child);
                    break;
                }
                default: {
                    bson_t child;
                    BSON_APPEND_ARRAY_BEGIN(into, key, &child);
                    BSON_APPEND_INT32(&child, "0", 1);
                    BSON_APPEND_UTF8(&child, "1", "two");
                    bson_append_array_end(into, &child);
                }
                }
            }
        };
        fill(&doc, 0);
        s.walk(&doc);
        bson_iter_t it;
        bson_iter_init(&it, &doc);
        while (bson_iter_next(&it))
            model_walk(model, &it, {});
        bson_destroy(&doc);
    }
    ASSERT_EQ(static_cast<size_t>(s.sample->count), model.size());
    const db_column_t* c = s.sample->columns;
    for (const ModelColumn& m : model) {
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(m.sql_name, c->sql_name);
        EXPECT_EQ(m.mongo_name, c->mongo_name);
        EXPECT_EQ(m.mongo_type, c->mongo_type) << m.sql_name;
        EXPECT_EQ(m.sql_type, c->sql_type) << m.sql_name;
        c = c->next;
    }
}

TEST(Discovery, ManyDistinctFields)
{
    Sample s;
    bson_t doc = BSON_INITIALIZER;
    for (int i = 0; i < 5000; ++i)
        BSON_APPEND_INT32(&doc, ("f" + std::to_string(i)).c_str(), i);
    s.walk(&doc);
    s.walk(&doc);
    bson_destroy(&doc);
    ASSERT_EQ(s.sample->count, 5000);
    int i = 0;
    for (const db_column_t* c = s.sample->columns; c; c = c->next, ++i)
        ASSERT_EQ(c->sql_name, "f" + std::to_string(i));
}

// ---- key paths -------------------------------------------------------------------

TEST(KeyPaths, CopyAppendJoin)
{
    EXPECT_EQ(copy_names(nullptr), nullptr);
    char* empty = join_names(nullptr, "_");
    EXPECT_STREQ(empty, "");
    std::free(empty);

    db_name_t* path = append_name(nullptr, "a");
    path = append_name(path, "b");
    path = append_name(path, "");
    db_name_t* copy = copy_names(path);
    path = append_name(path, "c");
    char* joined = join_names(path, "_");
    char* copied = join_names(copy, ".");
    EXPECT_STREQ(joined, "a_b__c");
    EXPECT_STREQ(copied, "a.b.");
    EXPECT_NE(copy->name, path->name); // a deep copy
    std::free(joined);
    std::free(copied);
    free_names(path);
    free_names(copy);
    free_names(nullptr);
}

} // namespace
