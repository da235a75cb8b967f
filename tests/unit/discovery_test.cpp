// Flattening of documents into columns, the type decisions and the names of the types.
#include "app/dbinfo.h"
#include "discovery/discover.h"
#include "discovery/lookup.h"
#include "discovery/types.h"
#include "store/records.h"

#include <algorithm>
#include <bson/bson.h>
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <string>
#include <vector>

namespace {

// Letters of the SQL types discovery picks: t text (VARCHAR, WVARCHAR when wide), V VARCHAR even
// when wide, W WVARCHAR, D DOUBLE, B VARBINARY, T TINYINT, I INTEGER, L BIGINT, S TIMESTAMP.
const std::string letters = "VWDBTILS";
const int letter_types[] = {SQL_VARCHAR, SQL_WVARCHAR, SQL_DOUBLE,  SQL_VARBINARY,
                            SQL_TINYINT, SQL_INTEGER,  SQL_BIGINT, SQL_TYPE_TIMESTAMP};
int type_of(char letter, bool wide)
{
    return letter == 't' ? type_of(wide ? 'W' : 'V', wide) : letter_types[letters.find(letter)];
}

// A sample over an in-memory record, fed document by document as sampling would; its columns
// as "sql_name[=mongo_name][@key path] mongo_type sql_type length", the path where it differs.
std::string columns_of(const std::vector<std::string>& docs, bool wide = false, int negative_length = 0)
{
    DBINFO d;
    dbinfo_clear(&d);
    d.default_wide = wide;
    db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    sample->dbinfo = &d;
    for (const std::string& json : docs) {
        bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.c_str()), -1, nullptr);
        EXPECT_NE(doc, nullptr) << json;
        bson_iter_t it;
        for (bool ok = doc && bson_iter_init(&it, doc); ok && bson_iter_next(&it);)
            walk_field(sample, &it, nullptr);
        bson_destroy(doc);
        if (negative_length) // a length another tool wrote
            sample->columns->length = negative_length, negative_length = 0;
    }
    std::string out;
    int count = 0;
    for (const db_column_t* c = sample->columns; c; c = c->next, ++count) {
        char* joined = join_names(c->path, ".");
        std::string mongo = c->mongo_name, path = joined;
        std::free(joined);
        out += (out.empty() ? "" : ", ") + std::string(c->sql_name) + (mongo == c->sql_name ? "" : "=" + mongo);
        out += path == mongo || (path.empty() && mongo.find('.') == std::string::npos) ? "" : "@" + path;
        out += " " + std::to_string(c->mongo_type) + " ";
        out += letters[std::find(letter_types, letter_types + 8, c->sql_type) - letter_types];
        out += " " + std::to_string(c->length);
        EXPECT_EQ(lookup_column(sample, c->sql_name), c);
    }
    EXPECT_EQ(sample->count, count);
    free_sample(sample);
    return out;
}

TEST(Discovery, TypeDecisions)
{
    // BSON codes 1 to 19, max key, min key, then codes no type has.
    const int codes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 127, 255,
                         0, 20, 128, 256, -1};
    const std::pair<std::vector<int>, const char*> rows[] = { // 0: the first sighting
        {{0}, "DtttBttTSttttttIVLttt"},
        {{SQL_TINYINT}, "DtttBTtTtttttttItLtttttttt"},
        {{SQL_BIGINT}, "DtttBLtLtttttttLtLtttttttt"},
        {{SQL_VARBINARY}, "BBBBBBBBBBBBBBBBBBtBBBtttt"},
        {{SQL_INTEGER}, "DtttBItItttttttItLtttttttt"},
        {{SQL_DOUBLE}, "DtttBDtttttttttDtDtttttttt"},
        {{SQL_TYPE_TIMESTAMP}, "ttttBSttSttttttttttttttttt"},
        {{SQL_VARCHAR, SQL_WVARCHAR, SQL_CHAR, SQL_NUMERIC, SQL_BIT}, "ttttBttttttttttttttttttttt"}};
    for (const auto& row : rows)
        for (int current : row.first)
            for (size_t i = 0; row.second[i]; ++i)
                for (bool wide : {false, true})
                    EXPECT_EQ(current ? settle_sql_type(current, codes[i], wide) : first_sql_type(codes[i], wide),
                              type_of(row.second[i], wide))
                        << "current " << current << ", BSON " << codes[i] << (wide ? ", wide" : "");
}

// Documents walked in turn and the columns they leave.
TEST(Discovery, ColumnsOfDocuments)
{
    const std::string oid = R"({"$oid": "5f0c1a2b3c4d5e6f70819203"})", ts = R"({"$timestamp": {"t": 1, "i": 1}})";
    std::string many, many_columns; // half of the names collide: one column each, in first-seen order
    for (int i = 0; i < 3000; ++i) {
        std::string f = "f" + std::to_string(i);
        many += (i ? ", \"" : "{\"") + f + "\": {\"x\": 1}, \"" + f + "_x\": 2";
        many_columns += (i ? ", " : "") + f + " 3 V 11, " + f + "_x=" + f + ".x@ 16 I 255";
    }
    const struct {
        std::vector<std::string> docs;
        std::string columns;
        bool wide = false;
        int negative_length = 0;
    } rows[] = {
        {{R"({"_id": )" + oid + R"(, "name": "Ann", "age": 31, "tags": ["a", "bc"], "address": {"city": "Paris"}})",
          R"({"_id": )" + oid + R"(, "name": "Bertha", "age": 31.5, "tags": ["x"], "flag": true})"},
         "_id 7 V 24, name 2 V 6, age 1 D 255, tags 4 V 25, tags_0=tags.0 2 V 1, tags_1=tags.1 2 V 2, "
         "address 3 V 20, address_city=address.city 2 V 5, flag 8 T 255"},
        {{R"({"a": "abc"})", R"({"a": "abcdefghij"})", R"({"a": "ab"})"}, "a 2 V 10"},
        {{R"({"a": "abc"})", R"({"a": 4})"}, "a 16 V 255"},
        {{R"({"a": 4})", R"({"a": null})"}, "a 10 V 255"},
        {{R"({"a": "xx"})", R"({"a": )" + oid + "}"}, "a 7 V 24"},
        {{R"({"a": {"$binary": {"base64": "AAECAwQF", "subType": "00"}}})"}, "a 5 B 6"},
        {{R"({"a": ""})", R"({"a": ""})"}, "a 2 V 0"},
        {{R"({"address": {"street": "Main", "city": "Oslo"}, "empty": {}, "tags": ["a", "b", "c"]})",
          R"({"tags": ["z"], "nested": {"deep": {"x": 1}}})"},
         "address 3 V 38, address_street=address.street 2 V 4, address_city=address.city 2 V 4, empty 3 V 3, "
         "tags 4 V 35, tags_0=tags.0 2 V 1, tags_1=tags.1 2 V 1, tags_2=tags.2 2 V 1, nested 3 V 24, "
         "nested_deep=nested.deep 3 V 11, nested_deep_x=nested.deep.x 16 I 255"},
        // Colliding SQL names share the first column: its MongoDB name stays, the path follows.
        {{R"({"a_b": "xyz", "a": {"b": 5}})"}, "a_b@a.b 16 V 255, a 3 V 11"},
        {{R"({"x": {"y": 1}, "x_y": {"z": 2}})"}, "x 3 V 11, x_y=x.y@x_y 3 V 255, x_y_z=x_y.z 16 I 255"},
        {{many + "}", many + "}"}, many_columns},
        {{R"({"name": "x", "ts": )" + ts + R"(, "ts2": )" + ts + R"(, "sub": {"k": "v"}, "n": 1})",
          R"({"ts2": )" + ts + R"(, "n": "now text"})"},
         "name 2 W 1, ts 17 V 255, ts2 17 W 255, sub 3 W 13, sub_k=sub.k 2 W 1, n 2 W 255", true},
        // A negative length counts as longer than anything seen.
        {{R"({"a": "abc"})", R"({"a": "abcdefghij", "b": 1})", R"({"a": 12})"}, "a 16 V -5, b 16 I 255", false,
         -5},
    };
    for (const auto& row : rows)
        EXPECT_EQ(columns_of(row.docs, row.wide, row.negative_length), row.columns) << row.docs[0].substr(0, 80);
}

// The codes are ODBC's and BSON's, which the driver reads from the schema.
TEST(Discovery, TypeNames)
{
#define TYPE(name) {#name, name}
    const std::pair<const char*, int> sql[] = {
        TYPE(SQL_BIGINT),  TYPE(SQL_BINARY),         TYPE(SQL_BIT),     TYPE(SQL_DOUBLE),
        TYPE(SQL_INTEGER), TYPE(SQL_NUMERIC),        TYPE(SQL_SMALLINT), TYPE(SQL_TINYINT),
        TYPE(SQL_VARCHAR), TYPE(SQL_TYPE_TIMESTAMP), TYPE(SQL_LONGVARCHAR), TYPE(SQL_WVARCHAR),
        TYPE(SQL_WLONGVARCHAR), {"sql_varchar", -1}, {"SQL_VARBINARY", -1}, {"", -1}};
    const std::pair<const char*, int> mongo[] = {
        {"Array", BSON_TYPE_ARRAY},   {"BinaryData", BSON_TYPE_BINARY}, {"Bool", BSON_TYPE_BOOL},
        {"Date", BSON_TYPE_DATE_TIME}, {"NumberDouble", BSON_TYPE_DOUBLE}, {"NumberInt32", BSON_TYPE_INT32},
        {"NumberLong64", BSON_TYPE_INT64}, {"Object", BSON_TYPE_DOCUMENT}, {"OID", BSON_TYPE_OID},
        {"String", BSON_TYPE_UTF8}, {"NumberInt32 ", BSON_TYPE_UNDEFINED}, {nullptr, BSON_TYPE_UNDEFINED}};
#undef TYPE
    for (const auto& row : sql)
        EXPECT_EQ(sql_type_of_name(row.first), row.second) << row.first;
    for (const auto& row : mongo)
        EXPECT_EQ(mongo_type_of_name(row.first), row.second) << (row.first ? row.first : "null");
}

} // namespace
