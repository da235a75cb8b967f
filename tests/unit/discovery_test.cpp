// Flattening of documents into columns, the type decisions and the names of the types.
#include "core/dbinfo.h"
#include "core/records.h"
#include "discovery/discover.h"
#include "discovery/types.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <sql.h>
#include <sqlext.h>

namespace {

// Letters of the SQL types discovery picks: t text (VARCHAR, WVARCHAR when wide), V VARCHAR even
// when wide, W WVARCHAR, D DOUBLE, B VARBINARY, T TINYINT, I INTEGER, L BIGINT, S TIMESTAMP.
const std::string letters = "VWDBTILS";
const int letter_types[] = {SQL_VARCHAR, SQL_WVARCHAR, SQL_DOUBLE, SQL_VARBINARY,
                            SQL_TINYINT, SQL_INTEGER, SQL_BIGINT, SQL_TYPE_TIMESTAMP};

// Each field of the document into the sample, as sampling walks it.
void walk(db_sample_t* sample, const bson_t* doc)
{
    bson_iter_t it;
    for (bool ok = doc && bson_iter_init(&it, doc); ok && bson_iter_next(&it);)
        walk_field(sample, &it, nullptr);
}

// The columns documents leave, walked in turn, as "sql_name[=mongo_name][@key path] mongo_type
// sql_type length"; the path where it is not the MongoDB name, the type by its chooser's name.
std::string columns_of(const std::vector<std::string>& docs, bool wide)
{
    DBINFO d;
    dbinfo_clear(&d);
    d.default_wide = wide;
    db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    sample->dbinfo = &d;
    for (const std::string& json : docs) {
        bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.c_str()), -1, nullptr);
        walk(sample, doc);
        bson_destroy(doc);
    }
    std::string out;
    int count = 0;
    for (const db_column_t* c = sample->columns; c; c = c->next, ++count) {
        char* joined = join_names(c->path, ".");
        std::string sql = c->sql_name, mongo = c->mongo_name, path = joined;
        std::free(joined);
        out += (out.empty() ? "" : ", ") + sql + (mongo == sql ? "" : "=" + mongo);
        out += path == mongo || (path.empty() && mongo.find('.') == std::string::npos) ? "" : "@" + path;
        std::string type = std::to_string(c->mongo_type);
        for (int i = 0; i < mongo_type_name_count; ++i)
            type = mongo_type_names[i].code == c->mongo_type ? mongo_type_names[i].name : type;
        out += " " + type + " " +
               letters[std::find(letter_types, letter_types + 8, c->sql_type) - letter_types] + " " +
               std::to_string(c->length);
    }
    out += count == sample->count ? "" : " (count " + std::to_string(sample->count) + ")";
    free_sample(sample);
    return out;
}

TEST(Discovery, TypeDecisions)
{
    // BSON codes 1 to 19, max key, min key, then codes no type has.
    const int codes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 127, 255,
                         0, 20, 128, 256, -1};
    const std::pair<std::vector<int>, const char*> rows[] = { // 0: the first sighting
        {{0}, "DtttBttTSttttttIVLttt"}, {{SQL_TINYINT}, "DtttBTtTtttttttItLtttttttt"},
        {{SQL_BIGINT}, "DtttBLtLtttttttLtLtttttttt"}, {{SQL_VARBINARY}, "BBBBBBBBBBBBBBBBBBtBBBtttt"},
        {{SQL_INTEGER}, "DtttBItItttttttItLtttttttt"}, {{SQL_DOUBLE}, "DtttBDtttttttttDtDtttttttt"},
        {{SQL_TYPE_TIMESTAMP}, "ttttBSttSttttttttttttttttt"},
        {{SQL_VARCHAR, SQL_WVARCHAR, SQL_CHAR, SQL_NUMERIC, SQL_BIT}, "ttttBttttttttttttttttttttt"}};
    auto decided = [](int current, int code, bool wide) {
        return current ? settle_sql_type(current, code, wide) : first_sql_type(code, wide);
    };
    for (const auto& row : rows)
        for (int current : row.first)
            for (size_t i = 0; row.second[i]; ++i)
                for (bool wide : {false, true})
                    EXPECT_EQ(decided(current, codes[i], wide),
                              letter_types[letters.find(row.second[i] == 't' ? "VW"[wide] : row.second[i])])
                        << "current " << current << ", BSON " << codes[i] << (wide ? ", wide" : "");
}

// The names shown and chosen carry the codes of the ODBC headers and of BSON, which the driver reads.
TEST(Discovery, TypeNamesCarryTheStandardsCodes)
{
    const std::pair<const char*, int> sql[] = {
        {"SQL_BIGINT", SQL_BIGINT},     {"SQL_BINARY", SQL_BINARY},           {"SQL_BIT", SQL_BIT},
        {"SQL_DOUBLE", SQL_DOUBLE},     {"SQL_INTEGER", SQL_INTEGER},         {"SQL_NUMERIC", SQL_NUMERIC},
        {"SQL_SMALLINT", SQL_SMALLINT}, {"SQL_TINYINT", SQL_TINYINT},         {"SQL_TYPE_TIMESTAMP", SQL_TYPE_TIMESTAMP},
        {"SQL_VARCHAR", SQL_VARCHAR},   {"SQL_LONGVARCHAR", SQL_LONGVARCHAR}, {"SQL_WVARCHAR", SQL_WVARCHAR},
        {"SQL_WLONGVARCHAR", SQL_WLONGVARCHAR}};
    const std::pair<const char*, int> bson[] = {
        {"Array", BSON_TYPE_ARRAY},        {"BinaryData", BSON_TYPE_BINARY}, {"Bool", BSON_TYPE_BOOL},
        {"Date", BSON_TYPE_DATE_TIME},     {"NumberDouble", BSON_TYPE_DOUBLE}, {"NumberInt32", BSON_TYPE_INT32},
        {"NumberLong64", BSON_TYPE_INT64}, {"Object", BSON_TYPE_DOCUMENT},   {"OID", BSON_TYPE_OID},
        {"String", BSON_TYPE_UTF8}};
    ASSERT_EQ(sql_type_name_count, int(std::size(sql)));
    ASSERT_EQ(mongo_type_name_count, int(std::size(bson)));
    for (int i = 0; i < sql_type_name_count; ++i)
        EXPECT_EQ(sql_type_names[i].name + std::string(" ") + std::to_string(sql_type_names[i].code),
                  sql[i].first + std::string(" ") + std::to_string(sql[i].second));
    for (int i = 0; i < mongo_type_name_count; ++i)
        EXPECT_EQ(mongo_type_names[i].name + std::string(" ") + std::to_string(mongo_type_names[i].code),
                  bson[i].first + std::string(" ") + std::to_string(bson[i].second));
}

TEST(Discovery, ColumnsOfDocuments)
{
    const std::string ts = R"({"$timestamp": {"t": 1, "i": 1}})";
    const struct {
        std::vector<std::string> docs;
        std::string columns;
        bool wide = false;
    } rows[] = {
        {{R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819203"}, "age": 31, "tags": ["a", "bc"], "flag": true})",
          R"({"age": 31.5, "tags": ["x"], "a": {"$binary": {"base64": "AAECAwQF", "subType": "00"}}})"},
         "_id OID V 24, age NumberDouble D 255, tags Array V 25, tags_0=tags.0 String V 1, "
         "tags_1=tags.1 String V 2, flag Bool T 255, a BinaryData B 6"},
        {{R"({"a": "abc", "b": 4, "c": "", "d": "x"})", R"({"a": "abcdefghij", "b": null, "c": "", "d": 4})",
          R"({"a": "ab", "e": {"$numberLong": "5"}, "f": {"$date": 0}})"},
         "a String V 10, b 10 V 255, c String V 0, d NumberInt32 V 255, e NumberLong64 L 255, f Date S 255"},
        {{R"({"address": {"street": "Main", "city": "Oslo"}, "empty": {}, "tags": ["a", "b", "c"]})",
          R"({"tags": ["z"], "nested": {"deep": {"x": 1}}})"},
         "address Object V 38, address_street=address.street String V 4, "
         "address_city=address.city String V 4, empty Object V 3, tags Array V 35, tags_0=tags.0 String V 1, "
         "tags_1=tags.1 String V 1, tags_2=tags.2 String V 1, nested Object V 24, "
         "nested_deep=nested.deep Object V 11, "
         "nested_deep_x=nested.deep.x NumberInt32 I 255"},
        // Colliding SQL names share the first column: its MongoDB name stays, the path follows.
        {{R"({"a_b": "xyz", "a": {"b": 5}})"}, "a_b@a.b NumberInt32 V 255, a Object V 11"},
        // ... also where every key before the last differs: the members follow the new path.
        {{R"({"a_b": {"c": {"k": {"m": 1}}}})", R"({"a": {"b_c": {"k": {"n": 2}}}})"},
         "a_b Object V 31, a_b_c=a_b.c@a.b_c Object V 21, a_b_c_k=a_b.c.k@a.b_c.k Object V 11, "
         "a_b_c_k_m=a_b.c.k.m NumberInt32 I 255, a Object V 33, a_b_c_k_n=a.b_c.k.n NumberInt32 I 255"},
        {{R"({"name": "x", "ts": )" + ts + R"(, "sub": {"k": "v"}, "n": 1})", R"({"n": "now text"})"},
         "name String W 1, ts 17 V 255, sub Object W 13, sub_k=sub.k String W 1, n String W 255", true},
        // Binary data keeps its longest; a NUL inside a string is text the library writes.
        {{R"({"b": {"$binary": {"base64": "AAECAwQF", "subType": "00"}}, "o": {"s": "a\u0000b"}})",
          R"({"b": {"$binary": {"base64": "AAE=", "subType": "00"}}})"},
         "b BinaryData B 6, o Object V 20, o_s=o.s String V 3"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(columns_of(row.docs, row.wide), row.columns) << row.docs[0];
    // Enough fields that names share slots of the look-up: each is found again, none added twice.
    std::string wide_doc = "{";
    for (int i = 0; i < 300; ++i)
        wide_doc += (i ? ", \"f" : "\"f") + std::to_string(i) + "\": 1";
    wide_doc += "}";
    EXPECT_EQ(columns_of({wide_doc, wide_doc}, false), columns_of({wide_doc}, false));
}

// Containers have keys without "_" or ".", so that each value has a column of its own.
std::string random_value(std::mt19937& rng, int depth)
{
    static const char* const leaves[] = {
        "7", "-2147483648", "{\"$numberLong\": \"-9007199254740993\"}", "2.5", "-0.0", "3.0", "0.1", "1e300",
        "1e15", "-123456789012345678.0", "{\"$numberDouble\": \"NaN\"}", "\"plain\"", "\"\"",
        "\"q \\\" \\\\ \\t\\n\\u0001\"", "\"caf\\u00e9 \\ud83d\\ude00\"", "true", "null",
        "{\"$oid\": \"5f0c1a2b3c4d5e6f70819203\"}", "{\"$date\": {\"$numberLong\": \"-5\"}}",
        "{\"$regex\": \"^a\\\"\", \"$options\": \"i\"}", "{\"$binary\": \"AAE=\", \"$type\": \"00\"}",
        "{\"$numberDecimal\": \"-1.5E+3\"}", "{\"$timestamp\": {\"t\": 1, \"i\": 2}}", "-0.375", "0", "-99"};
    const int count = sizeof leaves / sizeof leaves[0], pick = int(rng() % (depth > 3 ? count : count + 4));
    if (pick < count)
        return leaves[pick];
    std::string out = pick % 2 ? "[" : "{";
    for (int i = 0, n = int(rng() % 5); i < n; ++i) {
        std::string key = "\"k" + std::to_string(i) + (rng() % 3 ? "\"" : "\\\"\\u00e9\"") + ": ";
        out += (i ? ", " : "") + (pick % 2 ? "" : key) + random_value(rng, depth + 1);
    }
    return out + (pick % 2 ? "]" : "}");
}

// The length given a sub-document or array is that of the text bson_as_json writes for it.
TEST(Discovery, ContainerLengthIsTheLibrarysTextOnRandomDocuments)
{
    std::mt19937 rng(20240601);
    for (int round = 0; round < 405; ++round) {
        std::string json = "{\"a\": " + random_value(rng, 0) + ", \"b\": " + random_value(rng, 0) + "}";
        bson_t* doc = round < 400 ? bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()), -1, nullptr)
                                  : BCON_NEW("k", BCON_INT32(1));
        // Nested about as deep as the walk counts (100), where the text is made instead.
        for (int depth = 0; round >= 400 && depth < 96 + round - 400; ++depth) {
            bson_t* outer = bson_new();
            BSON_APPEND_DOCUMENT(outer, depth % 2 ? "k" : "a", doc);
            bson_destroy(doc);
            doc = outer;
        }
        ASSERT_NE(doc, nullptr) << json;
        BCON_APPEND(doc, "c", "{", "bad", BCON_UTF8(round % 2 ? "x\xc3" : "x"), "}"); // not UTF-8: no text
        db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
        walk(sample, doc);
        for (const db_column_t* c = sample->columns; c; c = c->next) {
            bson_iter_t it, found;
            ASSERT_TRUE(bson_iter_init(&it, doc) && bson_iter_find_descendant(&it, c->mongo_name, &found));
            const bson_value_t* v = bson_iter_value(&found);
            bson_t sub;
            size_t n = 0;
            bool container = v->value_type == BSON_TYPE_DOCUMENT || v->value_type == BSON_TYPE_ARRAY;
            char* text = container && bson_init_static(&sub, v->value.v_doc.data, v->value.v_doc.data_len)
                             ? bson_as_json(&sub, &n)
                             : nullptr;
            EXPECT_EQ(container ? c->length : 0, text ? int32_t(n) : 0) << json << ", column " << c->sql_name;
            bson_free(text);
        }
        free_sample(sample);
        bson_destroy(doc);
    }
}

} // namespace
