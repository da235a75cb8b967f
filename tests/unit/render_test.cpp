// Rendering of BSON values and their conversion to a column's SQL type.
#include "discovery/types.h"
#include "sample/render.h"

#include <bson/bson.h>
#include <gtest/gtest.h>
#include <sstream>

namespace {

enum {
    BIGINT = SQL_T_BIGINT, BINARY = SQL_T_BINARY, CHAR = SQL_T_CHAR, DOUBLE = SQL_T_DOUBLE,
    INTEGER = SQL_T_INTEGER, NUMERIC = SQL_T_NUMERIC, SMALLINT = SQL_T_SMALLINT, TINYINT = SQL_T_TINYINT,
    VARCHAR = SQL_T_VARCHAR, TIMESTAMP = SQL_T_TYPE_TIMESTAMP, TEXT = 0 // the rendered text itself
};

// The field v of {"v": <json>} (relaxed extended JSON) as the loaders show it: its text, or
// the text converted for a column of the SQL type.
std::string shown(const std::string& json, int sql_type, int precision = 0, int scale = 0)
{
    std::string whole = "{\"v\": " + json + "}";
    bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(whole.c_str()), -1, nullptr);
    bson_iter_t it;
    if (!doc || !bson_iter_init_find(&it, doc, "v"))
        return "(not JSON)";
    sample_column_t column = {nullptr, sql_type, bson_iter_type(&it), 0, precision, scale, nullptr};
    char* text = value_to_text(&it, bson_iter_value(&it));
    char* converted = sql_type == TEXT ? nullptr : convert_for_sql_type(text, bson_iter_value(&it), &column);
    std::string out = converted ? converted : text;
    std::free(text);
    std::free(converted);
    bson_destroy(doc);
    return out;
}

std::string dbl(const char* text) { return std::string("{\"$numberDouble\": \"") + text + "\"}"; }
std::string lng(const char* text) { return std::string("{\"$numberLong\": \"") + text + "\"}"; }
std::string date(const char* ms) { return "{\"$date\": " + lng(ms) + "}"; }
std::string bin(const char* base64, const char* subtype = "00")
{
    return std::string("{\"$binary\": {\"base64\": \"") + base64 + "\", \"subType\": \"" + subtype + "\"}}";
}
const std::string refused = "Cannot convert data : ";

// Each BSON type against each group of column types the conversion tells apart, in the order
// of groups: "=" is the rendered text unchanged, "!" its refusal. NUMERIC has precision 12, scale 2.
TEST(Render, EveryBsonTypeAgainstEveryColumnType)
{
    const std::vector<std::vector<int>> groups = {
        {BIGINT},  {BINARY},  {SQL_T_BIT}, {DOUBLE}, {INTEGER}, {NUMERIC}, {SMALLINT}, {TINYINT}, {TIMESTAMP},
        {VARCHAR, SQL_T_LONGVARCHAR, SQL_T_WVARCHAR, SQL_T_WLONGVARCHAR}, {CHAR}, {SQL_T_VARBINARY}};
    const struct {
        std::string json, rendered, expected = ""; // no expectations: "=" in every group
    } rows[] = {
        {"2.5", "2.5", "2 0x0000000000000440 ! = 2 0000000002.50 2 2 ! = ! !"},
        {"-300", "-300", "-300 0xd4feffff ! -300 -300 -0000000300.00 -300 -44 ! = ! !"},
        {lng("5000000000"), "5000000000",
         "= 0x00f2052a01000000 ! 5000000000 705032704 5000000000.00 -3584 0 ! = ! !"},
        {"\"abc\"", "abc", "! 0x61626300 ! ! ! ! ! ! ! = ! !"},
        {"{\"a\": 1}", "{ \"a\" : 1 }", "! 0x7b20226122203a2031207d ! ! ! ! ! ! ! = ! !"},
        {"[1, \"x\"]", "[\"0\":1,\"1\":\"x\"]", "! 0x5b2230223a312c2231223a2278225d ! ! ! ! ! ! ! = ! !"},
        {bin("3q0="), "0xdead", "! = ! ! ! ! ! ! ! ! ! !"},
        {"{\"$oid\": \"0123456789abcdef01234567\"}", "0123456789abcdef01234567",
         "! 0x0123456789abcdef01234567 ! ! ! ! ! ! ! = ! !"},
        {"true", "1", "! 0x01 = ! ! ! ! ! ! = ! !"}, {"false", "0", "! 0x00 = ! ! ! ! ! ! = ! !"},
        {date("1"), "1970-01-01 00:00:00.1", "! 0x0100000000000000 ! ! ! ! ! ! = = ! !"},
        // Types without a rendering show <null> in every column.
        {"null", "<null>"}, {"{\"$symbol\": \"s\"}", "<null>"}, {"{\"$minKey\": 1}", "<null>"},
        {"{\"$timestamp\": {\"t\": 5, \"i\": 1}}", "<null>"}, {"{\"$numberDecimal\": \"1\"}", "<null>"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(shown(row.json, TEXT), row.rendered) << row.json;
        std::istringstream expected(row.expected);
        for (const auto& group : groups) {
            std::string want = "=";
            expected >> want;
            want = want == "=" ? row.rendered : want == "!" ? refused + row.rendered : want;
            for (int sql : group)
                EXPECT_EQ(shown(row.json, sql, 12, 2), want) << row.json << " as SQL type " << sql;
        }
    }
}

// "!" is the refusal of the rendered text.
TEST(Render, TextsAndConversionsAtTheLimits)
{
    const struct {
        std::string json;
        int sql_type;
        std::string shown;
        int precision = 0, scale = 0;
    } rows[] = {
        // Doubles: six decimals; dates: milliseconds without leading zeros, none before 1970 or after 9999.
        {"-0.0", TEXT, "-0"}, {"5.1e-7", TEXT, "0.000001"}, {dbl("-Infinity"), TEXT, "-inf"},
        {date("951782400000"), TEXT, "2000-02-29 00:00:00.0"}, {date("-1"), TEXT, ""},
        {date("1617148800000"), TEXT, "2021-03-31 00:00:00.0"}, // a month's last day
        {date("253402300799999"), TEXT, "9999-12-31 23:59:59.999"}, {date("253402300800000"), TEXT, ""},
        // Arrays: keyed elements, nested in place, only strings quoted, nothing escaped; no binary
        // subtype shown; a text stops at a zero byte.
        {"[1, [2], \"s\\\"\", 9, 9, 9, 9, 9, 9, 9, 7]", TEXT,
         "[\"0\":1,\"1\":[\"0\":2],\"2\":\"s\"\",\"3\":9,\"4\":9,\"5\":9,\"6\":9,\"7\":9,\"8\":9,\"9\":9,"
         "\"10\":7]"},
        {bin("AA8=", "80"), TEXT, "0x000f"}, {"\"ab\\u0000cd\"", TEXT, "ab"},
        // Numeric: single precision; the width counts sign, point and leading zero, after rounding.
        {"16777217", NUMERIC, "16777216.00", 10, 2}, {lng("16777217"), NUMERIC, "16777217.00", 10, 2},
        {"-1.5", NUMERIC, "-01.5", 3, 1}, {"12.345", NUMERIC, "012.35", 5, 2}, {"999.5", NUMERIC, "!", 3, 0},
        {"0.5", NUMERIC, "0.50", 3, 2},
        {lng("9007199254740993"), NUMERIC, "!", 20, 0}, {dbl("NaN"), NUMERIC, "!", 10, 2},
        {"1.0", NUMERIC, "!", 5, -1}, {"1", NUMERIC, std::string(999, '0') + "1", 1000, 0},
        {"1", NUMERIC, "!", 1025, 0},
        // Integers: truncation toward zero, then the low bits; no integer holds the "!" ones.
        {"40000", SMALLINT, "-25536"}, {lng("4294967297"), INTEGER, "1"}, {"-2.9", INTEGER, "-2"},
        {"-9223372036854775808.0", BIGINT, "-9223372036854775808"}, {"2147483648.0", INTEGER, "!"},
        {"9223372036854775808.0", BIGINT, "!"}, {"-1e19", BIGINT, "!"}, {dbl("NaN"), BIGINT, "!"},
        // Binary: a negative date's bytes, a string's terminating zero byte; an empty text refused as empty.
        {date("-1000"), BINARY, "0x18fcffffffffffff"}, {"\"ab\\u0000cd\"", BINARY, "0x616200"},
        {"\"\"", INTEGER, ""}, {date("-1000"), TIMESTAMP, ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(shown(row.json, row.sql_type, row.precision, row.scale),
                  row.shown == "!" ? refused + shown(row.json, TEXT) : row.shown)
            << row.json << " as " << row.sql_type << " (" << row.precision << ", " << row.scale << ")";
}

} // namespace
