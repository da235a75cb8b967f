// Rendering of BSON values and their conversion to a column's SQL type.
#include "discovery/types.h"
#include "sample/render.h"

#include <bson/bson.h>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The field v of {"v": <json>} (relaxed extended JSON), as the loaders see a field.
class Field {
public:
    explicit Field(const std::string& json)
    {
        std::string text = "{\"v\": " + json + "}";
        bson_error_t error;
        doc_ = bson_new_from_json(reinterpret_cast<const uint8_t*>(text.c_str()), -1, &error);
        if (!doc_) {
            ADD_FAILURE() << error.message << " in " << json;
            doc_ = bson_new();
            BSON_APPEND_NULL(doc_, "v");
        }
        bson_iter_init_find(&it_, doc_, "v");
    }
    ~Field() { bson_destroy(doc_); }
    const bson_iter_t* iter() const { return &it_; }
    const bson_value_t* value() { return bson_iter_value(&it_); }
    std::string text() { return take(value_to_text(&it_, value())); }
    std::string as(int sql_type, int precision = 0, int scale = 0)
    {
        sample_column_t column = {nullptr, sql_type, value()->value_type, 0, precision, scale, nullptr};
        char* rendered = value_to_text(&it_, value());
        std::string out = take(convert_for_sql_type(rendered, value(), &column));
        std::free(rendered);
        return out;
    }
    static std::string take(char* text)
    {
        std::string out = text;
        std::free(text);
        return out;
    }

private:
    bson_t* doc_ = nullptr;
    bson_iter_t it_{};
};

std::string dbl(const char* text) { return std::string("{\"$numberDouble\": \"") + text + "\"}"; }
std::string lng(const char* text) { return std::string("{\"$numberLong\": \"") + text + "\"}"; }
std::string date(const char* ms) { return "{\"$date\": " + lng(ms) + "}"; }
std::string bin(const char* base64, const char* subtype = "00")
{
    return std::string("{\"$binary\": {\"base64\": \"") + base64 + "\", \"subType\": \"" + subtype + "\"}}";
}
const std::string refused = "Cannot convert data : ";

// Each BSON type against each group of column types the conversion tells apart: "=" is
// the rendered text unchanged, "!" its refusal. NUMERIC columns have precision 12, scale 2.
TEST(Render, EveryBsonTypeAgainstEveryColumnType)
{
    const std::vector<std::vector<int>> groups = {
        {SQL_T_BIGINT}, {SQL_T_BINARY}, {SQL_T_BIT}, {SQL_T_DOUBLE}, {SQL_T_INTEGER}, {SQL_T_NUMERIC},
        {SQL_T_SMALLINT}, {SQL_T_TINYINT}, {SQL_T_TYPE_TIMESTAMP},
        {SQL_T_VARCHAR, SQL_T_LONGVARCHAR, SQL_T_WVARCHAR, SQL_T_WLONGVARCHAR}, {SQL_T_CHAR}, {SQL_T_VARBINARY}};
    const char *R = "!", *C = "=";
    const struct {
        std::string json, rendered;
        std::vector<const char*> expected; // none: "=" in every group
    } rows[] = {
        {"2.5", "2.5", {"2", "0x0000000000000440", R, C, "2", "0000000002.50", "2", "2", R, C, R, R}},
        {"-300", "-300", {"-300", "0xd4feffff", R, "-300", "-300", "-0000000300.00", "-300", "-44", R, C, R, R}},
        {lng("5000000000"), "5000000000",
         {C, "0x00f2052a01000000", R, "5000000000", "705032704", "5000000000.00", "-3584", "0", R, C, R, R}},
        {"\"abc\"", "abc", {R, "0x61626300", R, R, R, R, R, R, R, C, R, R}},
        {"{\"a\": 1}", "{ \"a\" : 1 }", {R, "0x7b20226122203a2031207d", R, R, R, R, R, R, R, C, R, R}},
        {"[1, \"x\"]", "[\"0\":1,\"1\":\"x\"]",
         {R, "0x5b2230223a312c2231223a2278225d", R, R, R, R, R, R, R, C, R, R}},
        {bin("3q0="), "0xdead", {R, C, R, R, R, R, R, R, R, R, R, R}},
        {"{\"$oid\": \"0123456789abcdef01234567\"}", "0123456789abcdef01234567",
         {R, "0x0123456789abcdef01234567", R, R, R, R, R, R, R, C, R, R}},
        {"true", "1", {R, "0x01", C, R, R, R, R, R, R, C, R, R}},
        {"false", "0", {R, "0x00", C, R, R, R, R, R, R, C, R, R}},
        {date("1"), "1970-01-01 00:00:00.1", {R, "0x0100000000000000", R, R, R, R, R, R, C, C, R, R}},
        // Types without a rendering show <null> in every column.
        {"null", "<null>", {}},
        {"{\"$undefined\": true}", "<null>", {}},
        {"{\"$regularExpression\": {\"pattern\": \"^a\", \"options\": \"i\"}}", "<null>", {}},
        {"{\"$code\": \"f()\"}", "<null>", {}},
        {"{\"$symbol\": \"s\"}", "<null>", {}},
        {"{\"$timestamp\": {\"t\": 5, \"i\": 1}}", "<null>", {}},
        {"{\"$numberDecimal\": \"1.5\"}", "<null>", {}},
        {"{\"$minKey\": 1}", "<null>", {}},
        {"{\"$maxKey\": 1}", "<null>", {}},
    };
    for (const auto& row : rows) {
        Field f(row.json);
        EXPECT_EQ(f.text(), row.rendered) << row.json;
        for (size_t g = 0; g < groups.size(); ++g) {
            std::string want = row.expected.empty() ? C : row.expected.at(g);
            want = want == C ? row.rendered : want == R ? refused + row.rendered : want;
            for (int sql : groups[g])
                EXPECT_EQ(f.as(sql, 12, 2), want) << row.json << " as SQL type " << sql;
        }
    }
}

TEST(Render, TextOfEachValue)
{
    const struct {
        std::string json, text;
    } rows[] = {
        // Doubles: six decimals, trailing zeros dropped.
        {"3.0", "3"}, {"-0.0", "-0"}, {"-0.5", "-0.5"}, {"1e-7", "0"}, {"-1e-7", "-0"},
        {"5.1e-7", "0.000001"}, {"1000000.0", "1000000"}, {"0.1", "0.1"}, {"123.456", "123.456"},
        {"1e20", "100000000000000000000"}, {"9223372036854775808.0", "9223372036854775808"},
        {dbl("Infinity"), "inf"}, {dbl("-Infinity"), "-inf"}, {dbl("NaN"), "nan"},
        {"-2147483648", "-2147483648"}, {lng("-9223372036854775808"), "-9223372036854775808"},
        {lng("9223372036854775807"), "9223372036854775807"},
        // Milliseconds after the point without leading zeros.
        {date("0"), "1970-01-01 00:00:00.0"}, {date("5"), "1970-01-01 00:00:00.5"},
        {date("50"), "1970-01-01 00:00:00.50"}, {date("1005"), "1970-01-01 00:00:01.5"},
        {date("86399999"), "1970-01-01 23:59:59.999"}, {date("68169600000"), "1972-02-29 00:00:00.0"},
        {date("951782400000"), "2000-02-29 00:00:00.0"}, {date("1709210096789"), "2024-02-29 12:34:56.789"},
        {date("4107542400000"), "2100-03-01 00:00:00.0"}, {date("253402300799999"), "9999-12-31 23:59:59.999"},
        // Before the epoch (no "00:00:00.-1") and after year 9999 a date shows empty.
        {date("-1"), ""}, {date("-999"), ""}, {date("-1000"), ""}, {date("-1001"), ""},
        {date("-9223372036854775808"), ""}, {date("253402300800000"), ""}, {date("9223372036854775807"), ""},
        // Arrays: keyed elements, nested in place, only strings quoted, nothing escaped.
        {"[1, [2, 3]]", "[\"0\":1,\"1\":[\"0\":2,\"1\":3]]"}, {"[]", "[]"},
        {"[[\"a\"], []]", "[\"0\":[\"0\":\"a\"],\"1\":[]]"},
        {"[\"say \\\"hi\\\"\"]", "[\"0\":\"say \"hi\"\"]"},
        {"[{\"a\": [1]}]", "[\"0\":{ \"a\" : [ 1 ] }]"},
        {"[null, true, {\"$date\": 0}, {\"$oid\": \"0123456789abcdef01234567\"}, " + bin("3q0=") + ", " +
             lng("7") + ", -1]",
         "[\"0\":<null>,\"1\":1,\"2\":1970-01-01 00:00:00.0,\"3\":0123456789abcdef01234567,\"4\":0xdead,"
         "\"5\":7,\"6\":-1]"},
        {"[0,1,2,3,4,5,6,7,8,9,10]", "[\"0\":0,\"1\":1,\"2\":2,\"3\":3,\"4\":4,\"5\":5,\"6\":6,\"7\":7,"
                                     "\"8\":8,\"9\":9,\"10\":10]"},
        {bin(""), "0x"}, {bin("AA/w/w=="), "0x000ff0ff"}, {bin("AA8=", "80"), "0x000f"}, // no subtype shown
        {"\"ab\\u0000cd\"", "ab"}, // the text stops at a zero byte
    };
    for (const auto& row : rows)
        EXPECT_EQ(Field(row.json).text(), row.text) << row.json;

    std::string huge = Field("1e300").text();
    EXPECT_EQ(huge.size(), 301u);
    EXPECT_EQ(huge.substr(0, 4), "1000");
    EXPECT_EQ(Field("1.7976931348623157e308").text().size(), 309u);
}

// "!" is the refusal of the rendered text.
TEST(Render, ConversionAtTheLimits)
{
    const int big = 2000000000;
    const struct {
        std::string json;
        int sql_type, precision, scale;
        std::string shown;
    } rows[] = {
        // Numeric: single precision, the width counts sign, point and leading zero.
        {"16777217", SQL_T_NUMERIC, 10, 2, "16777216.00"},
        {"16777217.0", SQL_T_NUMERIC, 10, 2, "16777216.00"},
        {"0.1", SQL_T_NUMERIC, 11, 10, "0.1000000015"},
        {"-1.5", SQL_T_NUMERIC, 3, 1, "-01.5"},
        {"12.345", SQL_T_NUMERIC, 5, 2, "012.35"},
        {"123456.7", SQL_T_NUMERIC, 5, 2, "!"},
        {"999.5", SQL_T_NUMERIC, 3, 0, "!"}, // too wide once rounded
        {"999.0", SQL_T_NUMERIC, 3, 0, "999"},
        {"-7", SQL_T_NUMERIC, 3, 0, "-007"},
        {"0.1", SQL_T_NUMERIC, 1, 1, "!"},
        {"0.0", SQL_T_NUMERIC, 0, 0, "!"},
        {"5", SQL_T_NUMERIC, 0, 0, "!"},
        {lng("0"), SQL_T_NUMERIC, 0, 0, "!"},
        {lng("9007199254740993"), SQL_T_NUMERIC, 20, 0, "!"}, // no double holds it
        {lng("9007199254740992"), SQL_T_NUMERIC, 20, 0, "00009007199254740992"},
        {lng("16777217"), SQL_T_NUMERIC, 10, 2, "16777217.00"},
        {lng("9223372036854775807"), SQL_T_NUMERIC, 25, 0, "!"},
        {lng("-9223372036854775808"), SQL_T_NUMERIC, 25, 0, "-0000009223372036854775808"},
        {"1e39", SQL_T_NUMERIC, 60, 0, "!"},
        {dbl("NaN"), SQL_T_NUMERIC, 10, 2, "!"},
        {dbl("Infinity"), SQL_T_NUMERIC, 10, 2, "!"},
        {"1.0", SQL_T_NUMERIC, -1, 0, "!"},
        {"1.0", SQL_T_NUMERIC, 5, -1, "!"},
        {"1.0", SQL_T_NUMERIC, big, 0, "!"},
        {"1.0", SQL_T_NUMERIC, 5, big, "!"},
        {"1.0", SQL_T_NUMERIC, INT32_MAX, INT32_MAX, "!"},
        {"1", SQL_T_NUMERIC, 1000, 0, std::string(999, '0') + "1"},
        {"1", SQL_T_NUMERIC, 1025, 0, "!"},
        // Integers: truncation toward zero, then the low bits; no integer holds the "!" ones.
        {"40000", SQL_T_SMALLINT, 0, 0, "-25536"},
        {"32767", SQL_T_SMALLINT, 0, 0, "32767"},
        {"128", SQL_T_TINYINT, 0, 0, "-128"},
        {"-129", SQL_T_TINYINT, 0, 0, "127"},
        {"-2147483648", SQL_T_BIGINT, 0, 0, "-2147483648"},
        {"5", SQL_T_DOUBLE, 0, 0, "5"},
        {lng("70000"), SQL_T_SMALLINT, 0, 0, "4464"},
        {lng("4294967297"), SQL_T_INTEGER, 0, 0, "1"},
        {lng("2147483648"), SQL_T_INTEGER, 0, 0, "-2147483648"},
        {lng("-1"), SQL_T_INTEGER, 0, 0, "-1"},
        {lng("-9223372036854775808"), SQL_T_TINYINT, 0, 0, "0"},
        {lng("-9223372036854775808"), SQL_T_DOUBLE, 0, 0, "-9223372036854775808"},
        {"-2.9", SQL_T_INTEGER, 0, 0, "-2"},
        {"-0.5", SQL_T_INTEGER, 0, 0, "0"},
        {"2147483647.9", SQL_T_INTEGER, 0, 0, "2147483647"},
        {"-2147483648.9", SQL_T_INTEGER, 0, 0, "-2147483648"},
        {"40000.7", SQL_T_SMALLINT, 0, 0, "-25536"},
        {"200.0", SQL_T_TINYINT, 0, 0, "-56"},
        {"-12345678901.5", SQL_T_BIGINT, 0, 0, "-12345678901"},
        {"-9223372036854775808.0", SQL_T_BIGINT, 0, 0, "-9223372036854775808"},
        {"9223372036854774784.0", SQL_T_BIGINT, 0, 0, "9223372036854774784"},
        {"2147483648.0", SQL_T_INTEGER, 0, 0, "!"},
        {"-2147483649.0", SQL_T_INTEGER, 0, 0, "!"},
        {"1e10", SQL_T_SMALLINT, 0, 0, "!"},
        {"-1e10", SQL_T_TINYINT, 0, 0, "!"},
        {"9223372036854775808.0", SQL_T_BIGINT, 0, 0, "!"},
        {"-1e19", SQL_T_BIGINT, 0, 0, "!"},
        {dbl("Infinity"), SQL_T_INTEGER, 0, 0, "!"},
        {dbl("-Infinity"), SQL_T_BIGINT, 0, 0, "!"},
        {dbl("NaN"), SQL_T_BIGINT, 0, 0, "!"},
        {dbl("NaN"), SQL_T_INTEGER, 0, 0, "!"},
        {dbl("NaN"), SQL_T_DOUBLE, 0, 0, "nan"},
        // Binary: little-endian bytes; a string keeps its terminating zero byte.
        {"-2", SQL_T_BINARY, 0, 0, "0xfeffffff"},
        {"16909060", SQL_T_BINARY, 0, 0, "0x04030201"},
        {lng("72623859790382856"), SQL_T_BINARY, 0, 0, "0x0807060504030201"},
        {"1.0", SQL_T_BINARY, 0, 0, "0x000000000000f03f"},
        {"-0.0", SQL_T_BINARY, 0, 0, "0x0000000000000080"},
        {date("256"), SQL_T_BINARY, 0, 0, "0x0001000000000000"},
        {date("-1000"), SQL_T_BINARY, 0, 0, "0x18fcffffffffffff"},
        {"\"ab\\u0000cd\"", SQL_T_BINARY, 0, 0, "0x616200"},
        {"\"\"", SQL_T_BINARY, 0, 0, "0x00"},
        {"[]", SQL_T_BINARY, 0, 0, "0x5b5d"},
        {bin(""), SQL_T_BINARY, 0, 0, "0x"},
        // An empty rendering is refused as empty.
        {"\"\"", SQL_T_INTEGER, 0, 0, ""},
        {"\"\"", SQL_T_CHAR, 0, 0, ""},
        {date("-1000"), SQL_T_TYPE_TIMESTAMP, 0, 0, ""},
        {date("-1000"), SQL_T_INTEGER, 0, 0, ""},
        {bin(""), SQL_T_VARCHAR, 0, 0, "!"},
    };
    for (const auto& row : rows) {
        Field f(row.json);
        EXPECT_EQ(f.as(row.sql_type, row.precision, row.scale), row.shown == "!" ? refused + f.text() : row.shown)
            << row.json << " as SQL type " << row.sql_type << " (" << row.precision << ", " << row.scale << ")";
    }
}

TEST(Render, MissingPieces)
{
    // A missing text stands for <null>, in the hexadecimal outcomes too.
    const struct {
        std::string json;
        int sql_type;
        const char* shown;
    } rows[] = {{"\"abc\"", SQL_T_VARCHAR, "<null>"}, {"\"abc\"", SQL_T_INTEGER, "Cannot convert data : <null>"},
                {"{}", SQL_T_BINARY, "0x3c6e756c6c3e"}, {lng("5"), SQL_T_BIGINT, "<null>"}};
    for (const auto& row : rows) {
        Field f(row.json);
        sample_column_t column = {nullptr, row.sql_type, 0, 0, 0, 0, nullptr};
        EXPECT_EQ(Field::take(convert_for_sql_type(nullptr, f.value(), &column)), row.shown) << row.json;
    }
    Field f("42");
    EXPECT_EQ(Field::take(value_to_text(f.iter(), nullptr)), "42");
    EXPECT_EQ(Field::take(value_to_text(nullptr, nullptr)), "<null>");
    EXPECT_EQ(Field::take(convert_for_sql_type("42", f.value(), nullptr)), "42");
    bson_value_t no_data;
    std::memset(&no_data, 0, sizeof no_data);
    no_data.value_type = BSON_TYPE_BINARY;
    EXPECT_EQ(Field::take(value_to_text(nullptr, &no_data)), "<null>");

    const uint8_t bytes[] = {0x00, 0xa0, 0xff};
    EXPECT_EQ(Field::take(bytes_to_hex(bytes, 3, nullptr)), "00a0ff");
    EXPECT_EQ(Field::take(bytes_to_hex(nullptr, 5, "0x")), "0x");
    char* text = nullptr;
    append_text(nullptr, &text);
    EXPECT_EQ(text, nullptr);
    append_text("", &text);
    append_text("ab", &text);
    append_text("cde", &text);
    EXPECT_EQ(Field::take(text), "abcde");
}

} // namespace
