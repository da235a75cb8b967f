// Rendering of BSON values and their conversion to a column's SQL type.
#include "discovery/types.h"
#include "sample/render.h"

#include <bson/bson.h>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace {

using Fill = std::function<void(bson_t*)>;

// One document {v: ...} and an iterator standing on v, as the loaders see a field.
class Field {
public:
    explicit Field(const Fill& fill)
    {
        bson_init(&doc_);
        fill(&doc_);
        found_ = bson_iter_init_find(&it_, &doc_, "v");
    }
    ~Field() { bson_destroy(&doc_); }
    Field(const Field&) = delete;
    Field& operator=(const Field&) = delete;

    bool found() const { return found_; }
    const bson_iter_t* iter() const { return &it_; }
    const bson_value_t* value() { return bson_iter_value(&it_); }

    std::string text()
    {
        char* t = value_to_text(&it_, value());
        std::string out = t;
        std::free(t);
        return out;
    }

    std::string as(int sql_type, int precision = 0, int scale = 0)
    {
        sample_column_t column = {nullptr, sql_type, value()->value_type, 0, precision, scale, nullptr};
        char* rendered = value_to_text(&it_, value());
        char* shown = convert_for_sql_type(rendered, value(), &column);
        std::string out = shown;
        std::free(rendered);
        std::free(shown);
        return out;
    }

private:
    bson_t doc_;
    bson_iter_t it_;
    bool found_ = false;
};

std::string refused(const std::string& text)
{
    return "Cannot convert data : " + text;
}

Fill dbl(double v)
{
    return [v](bson_t* d) { BSON_APPEND_DOUBLE(d, "v", v); };
}
Fill i32(int32_t v)
{
    return [v](bson_t* d) { BSON_APPEND_INT32(d, "v", v); };
}
Fill i64(int64_t v)
{
    return [v](bson_t* d) { BSON_APPEND_INT64(d, "v", v); };
}
Fill str(const char* v)
{
    return [v](bson_t* d) { BSON_APPEND_UTF8(d, "v", v); };
}
Fill date(int64_t ms)
{
    return [ms](bson_t* d) { BSON_APPEND_DATE_TIME(d, "v", ms); };
}
// An array or document given as relaxed JSON, e.g. "[1, \"a\"]".
Fill json(const char* text, bool array)
{
    return [text, array](bson_t* d) {
        bson_error_t error;
        bson_t* inner = bson_new_from_json(reinterpret_cast<const uint8_t*>(text), -1, &error);
        ASSERT_NE(inner, nullptr) << error.message;
        if (array)
            BSON_APPEND_ARRAY(d, "v", inner);
        else
            BSON_APPEND_DOCUMENT(d, "v", inner);
        bson_destroy(inner);
    };
}
Fill arr(const char* text)
{
    return json(text, true);
}
Fill doc(const char* text)
{
    return json(text, false);
}

const uint8_t dead[] = {0xde, 0xad};
const char* const oid_hex = "0123456789abcdef01234567";

// The column groups the conversion table tells apart, in the order of the expectations below.
// The four text types are one group: each of them is checked.
const int text_group = 9;
const std::vector<std::vector<int>> sql_groups = {
    {SQL_T_BIGINT},   {SQL_T_BINARY},  {SQL_T_BIT},     {SQL_T_DOUBLE},         {SQL_T_INTEGER},
    {SQL_T_NUMERIC},  {SQL_T_SMALLINT}, {SQL_T_TINYINT}, {SQL_T_TYPE_TIMESTAMP},
    {SQL_T_VARCHAR, SQL_T_LONGVARCHAR, SQL_T_WVARCHAR, SQL_T_WLONGVARCHAR},
    {SQL_T_CHAR},     {SQL_T_VARBINARY},
};
const char* const group_names[] = {"BIGINT", "BINARY",  "BIT",       "DOUBLE", "INTEGER", "NUMERIC",
                                   "SMALLINT", "TINYINT", "TIMESTAMP", "text", "CHAR", "VARBINARY"};

// "=" stands for the rendered text unchanged, "!" for its refusal.
struct MatrixRow {
    const char* name;
    Fill fill;
    const char* rendered;
    std::vector<const char*> expected;
};

TEST(RenderMatrix, EveryBsonTypeAgainstEverySqlTypeGroup)
{
    const char* R = "!";
    const char* C = "=";
    // NUMERIC columns here have precision 12 and scale 2.
    const std::vector<MatrixRow> rows = {
        {"double", dbl(2.5), "2.5",
         {"2", "0x0000000000000440", R, C, "2", "0000000002.50", "2", "2", R, C, R, R}},
        {"int32", i32(-300), "-300",
         {"-300", "0xd4feffff", R, "-300", "-300", "-0000000300.00", "-300", "-44", R, C, R, R}},
        {"int64", i64(5000000000), "5000000000",
         {C, "0x00f2052a01000000", R, "5000000000", "705032704", "5000000000.00", "-3584", "0", R, C, R, R}},
        {"string", str("abc"), "abc", {R, "0x61626300", R, R, R, R, R, R, R, C, R, R}},
        {"document", doc("{\"a\": 1}"), "{ \"a\" : 1 }",
         {R, "0x7b20226122203a2031207d", R, R, R, R, R, R, R, C, R, R}},
        {"array", arr("[1, \"x\"]"), "[\"0\":1,\"1\":\"x\"]",
         {R, "0x5b2230223a312c2231223a2278225d", R, R, R, R, R, R, R, C, R, R}},
        {"binary",
         [](bson_t* d) { bson_append_binary(d, "v", 1, BSON_SUBTYPE_BINARY, dead, sizeof dead); },
         "0xdead", {R, C, R, R, R, R, R, R, R, R, R, R}},
        {"oid",
         [](bson_t* d) {
             bson_oid_t oid;
             bson_oid_init_from_string(&oid, oid_hex);
             BSON_APPEND_OID(d, "v", &oid);
         },
         oid_hex, {R, "0x0123456789abcdef01234567", R, R, R, R, R, R, R, C, R, R}},
        {"true", [](bson_t* d) { BSON_APPEND_BOOL(d, "v", true); }, "1",
         {R, "0x01", C, R, R, R, R, R, R, C, R, R}},
        {"false", [](bson_t* d) { BSON_APPEND_BOOL(d, "v", false); }, "0",
         {R, "0x00", C, R, R, R, R, R, R, C, R, R}},
        {"date", date(1), "1970-01-01 00:00:00.1",
         {R, "0x0100000000000000", R, R, R, R, R, R, C, C, R, R}},
    };
    for (const MatrixRow& row : rows) {
        Field f(row.fill);
        ASSERT_TRUE(f.found()) << row.name;
        EXPECT_EQ(f.text(), row.rendered) << row.name;
        ASSERT_EQ(row.expected.size(), sql_groups.size()) << row.name;
        for (size_t g = 0; g < sql_groups.size(); ++g) {
            std::string want = row.expected[g];
            if (want == C)
                want = row.rendered;
            else if (want == R)
                want = refused(row.rendered);
            for (int sql : sql_groups[g])
                EXPECT_EQ(f.as(sql, 12, 2), want) << row.name << " as " << group_names[g] << " (" << sql << ")";
        }
    }
}

TEST(RenderMatrix, TypesWithoutRenderingShowNullInEveryColumn)
{
    const std::vector<std::pair<const char*, Fill>> rows = {
        {"null", [](bson_t* d) { BSON_APPEND_NULL(d, "v"); }},
        {"undefined", [](bson_t* d) { BSON_APPEND_UNDEFINED(d, "v"); }},
        {"regex", [](bson_t* d) { BSON_APPEND_REGEX(d, "v", "^a", "i"); }},
        {"code", [](bson_t* d) { BSON_APPEND_CODE(d, "v", "f()"); }},
        {"symbol", [](bson_t* d) { BSON_APPEND_SYMBOL(d, "v", "s"); }},
        {"timestamp", [](bson_t* d) { BSON_APPEND_TIMESTAMP(d, "v", 5, 1); }},
        {"decimal128",
         [](bson_t* d) {
             bson_decimal128_t dec;
             bson_decimal128_from_string("1.5", &dec);
             BSON_APPEND_DECIMAL128(d, "v", &dec);
         }},
        {"minkey", [](bson_t* d) { BSON_APPEND_MINKEY(d, "v"); }},
        {"maxkey", [](bson_t* d) { BSON_APPEND_MAXKEY(d, "v"); }},
    };
    for (const auto& row : rows) {
        Field f(row.second);
        ASSERT_TRUE(f.found()) << row.first;
        EXPECT_EQ(f.text(), "<null>") << row.first;
        for (const auto& group : sql_groups)
            for (int sql : group)
                EXPECT_EQ(f.as(sql, 12, 2), "<null>") << row.first << " as " << sql;
    }
}

TEST(RenderConvert, EmptyRenderedTextIsRefusedAsEmpty)
{
    Field empty(str(""));
    EXPECT_EQ(empty.as(SQL_T_INTEGER), "");
    EXPECT_EQ(empty.as(SQL_T_CHAR), "");
    EXPECT_EQ(empty.as(SQL_T_VARCHAR), "");
    EXPECT_EQ(empty.as(SQL_T_BINARY), "0x00"); // the terminating zero byte
    Field before_epoch(date(-1000));
    EXPECT_EQ(before_epoch.as(SQL_T_TYPE_TIMESTAMP), "");
    EXPECT_EQ(before_epoch.as(SQL_T_INTEGER), "");
    EXPECT_EQ(before_epoch.as(SQL_T_BINARY), "0x18fcffffffffffff");
    Field abc(str("abc"));
    EXPECT_EQ(abc.as(SQL_T_INTEGER), refused("abc"));
}

TEST(RenderConvert, MissingTextCountsAsNull)
{
    const std::vector<std::pair<Fill, std::vector<std::pair<int, const char*>>>> rows = {
        {str("abc"), {{SQL_T_VARCHAR, "<null>"}, {SQL_T_INTEGER, "Cannot convert data : <null>"}}},
        {doc("{}"), {{SQL_T_BINARY, "0x3c6e756c6c3e"}}},
        {[](bson_t* d) { BSON_APPEND_NULL(d, "v"); }, {{SQL_T_BIGINT, "<null>"}}},
        {i64(5), {{SQL_T_BIGINT, "<null>"}}},
    };
    for (const auto& row : rows) {
        Field f(row.first);
        for (const auto& c : row.second) {
            sample_column_t column = {nullptr, c.first, 0, 0, 0, 0, nullptr};
            char* shown = convert_for_sql_type(nullptr, f.value(), &column);
            EXPECT_STREQ(shown, c.second) << c.first;
            std::free(shown);
        }
    }
}

TEST(RenderConvert, StringQuotesAndStringsWithZeroBytesInBinary)
{
    // The text stops at the first zero byte, and so does the binary form of the string.
    Field f([](bson_t* d) { bson_append_utf8(d, "v", 1, "ab\0cd", 5); });
    EXPECT_EQ(f.text(), "ab");
    EXPECT_EQ(f.as(SQL_T_BINARY), "0x616200");
    Field quoted(str("say \"hi\""));
    EXPECT_EQ(quoted.text(), "say \"hi\"");
}

struct TextCase {
    const char* name;
    Fill fill;
    const char* text;
};

void expect_texts(const std::vector<TextCase>& cases)
{
    for (const TextCase& c : cases) {
        Field f(c.fill);
        ASSERT_TRUE(f.found()) << c.name;
        EXPECT_EQ(f.text(), c.text) << c.name;
    }
}

TEST(RenderDouble, SixDecimalsWithoutTrailingZeros)
{
    expect_texts({
        {"2.5", dbl(2.5), "2.5"},
        {"3.0", dbl(3.0), "3"},
        {"0.0", dbl(0.0), "0"},
        {"-0.0", dbl(-0.0), "-0"},
        {"-0.5", dbl(-0.5), "-0.5"},
        {"1e-7", dbl(1e-7), "0"},
        {"-1e-7", dbl(-1e-7), "-0"},
        {"5e-7 rounds up", dbl(5.1e-7), "0.000001"},
        {"100.0", dbl(100.0), "100"},
        {"1000000 keeps its zeros", dbl(1000000.0), "1000000"},
        {"0.1", dbl(0.1), "0.1"},
        {"123.456", dbl(123.456), "123.456"},
        {"1e20", dbl(1e20), "100000000000000000000"},
        {"-1e15", dbl(-1e15), "-1000000000000000"},
        {"2^63", dbl(9223372036854775808.0), "9223372036854775808"},
        {"infinity", dbl(std::numeric_limits<double>::infinity()), "inf"},
        {"-infinity", dbl(-std::numeric_limits<double>::infinity()), "-inf"},
        {"nan", dbl(std::numeric_limits<double>::quiet_NaN()), "nan"},
    });
    Field huge(dbl(1e300));
    std::string text = huge.text();
    EXPECT_EQ(text.size(), 301u);
    EXPECT_EQ(text.substr(0, 4), "1000");
    Field largest(dbl(std::numeric_limits<double>::max()));
    EXPECT_EQ(largest.text().size(), 309u);
}

TEST(RenderNumbers, IntegersAndBooleans)
{
    expect_texts({
        {"int32 0", i32(0), "0"},
        {"int32 min", i32(INT32_MIN), "-2147483648"},
        {"int32 max", i32(INT32_MAX), "2147483647"},
        {"int64 min", i64(INT64_MIN), "-9223372036854775808"},
        {"int64 max", i64(INT64_MAX), "9223372036854775807"},
        {"true", [](bson_t* d) { BSON_APPEND_BOOL(d, "v", true); }, "1"},
        {"false", [](bson_t* d) { BSON_APPEND_BOOL(d, "v", false); }, "0"},
    });
}

TEST(RenderDate, MillisecondsAfterThePointWithoutLeadingZeros)
{
    expect_texts({
        {"epoch", date(0), "1970-01-01 00:00:00.0"},
        {"1 ms", date(1), "1970-01-01 00:00:00.1"},
        {"5 ms", date(5), "1970-01-01 00:00:00.5"},
        {"50 ms", date(50), "1970-01-01 00:00:00.50"},
        {"500 ms", date(500), "1970-01-01 00:00:00.500"},
        {"1005 ms", date(1005), "1970-01-01 00:00:01.5"},
        {"end of first day", date(86399999), "1970-01-01 23:59:59.999"},
        {"leap day 1972", date(68169600000), "1972-02-29 00:00:00.0"},
        {"leap day 2000", date(951782400000), "2000-02-29 00:00:00.0"},
        {"leap day 2024", date(1709210096789), "2024-02-29 12:34:56.789"},
        {"2100 is no leap year", date(4107542400000), "2100-03-01 00:00:00.0"},
        {"last shown", date(253402300799999), "9999-12-31 23:59:59.999"},
    });
}

TEST(RenderDate, BeforeTheEpochAndBeyondYear9999ShowEmpty)
{
    // -999..-1 ms would print a negative remainder (00:00:00.-1); they show empty like
    // every other time before the epoch.
    expect_texts({
        {"-1 ms", date(-1), ""},
        {"-999 ms", date(-999), ""},
        {"-1000 ms", date(-1000), ""},
        {"-1001 ms", date(-1001), ""},
        {"int64 min", date(INT64_MIN), ""},
        {"year 10000", date(253402300800000), ""},
        {"int64 max", date(INT64_MAX), ""},
    });
}

TEST(RenderArray, KeyedElementsNestedInPlace)
{
    expect_texts({
        {"flat", arr("[1, \"a\", 2.5]"), "[\"0\":1,\"1\":\"a\",\"2\":2.5]"},
        {"nested", arr("[1, [2, 3]]"), "[\"0\":1,\"1\":[\"0\":2,\"1\":3]]"},
        {"empty", arr("[]"), "[]"},
        {"array in array", arr("[[5]]"), "[\"0\":[\"0\":5]]"},
        {"string in nested array", arr("[[\"a\"], []]"), "[\"0\":[\"0\":\"a\"],\"1\":[]]"},
        {"document unquoted", arr("[{\"a\": \"x\"}]"), "[\"0\":{ \"a\" : \"x\" }]"},
        {"quote not escaped", arr("[\"say \\\"hi\\\"\"]"), "[\"0\":\"say \"hi\"\"]"},
        {"array inside document inside array", arr("[{\"a\": [1]}]"), "[\"0\":{ \"a\" : [ 1 ] }]"},
        {"others unquoted", arr("[null, true, {\"$date\": 0}, {\"$oid\": \"0123456789abcdef01234567\"}]"),
         "[\"0\":<null>,\"1\":1,\"2\":1970-01-01 00:00:00.0,\"3\":0123456789abcdef01234567]"},
        {"binary element", arr("[{\"$binary\": {\"base64\": \"3q0=\", \"subType\": \"00\"}}]"),
         "[\"0\":0xdead]"},
        {"ints and longs", arr("[{\"$numberLong\": \"7\"}, -1]"), "[\"0\":7,\"1\":-1]"},
    });
}

TEST(RenderArray, KeysCountPastNine)
{
    Field f(arr("[0,1,2,3,4,5,6,7,8,9,10,11]"));
    EXPECT_EQ(f.text(), "[\"0\":0,\"1\":1,\"2\":2,\"3\":3,\"4\":4,\"5\":5,\"6\":6,\"7\":7,\"8\":8,\"9\":9,"
                        "\"10\":10,\"11\":11]");
}

TEST(RenderArray, LargeArray)
{
    const int count = 200000;
    Field f([](bson_t* d) {
        bson_t child;
        BSON_APPEND_ARRAY_BEGIN(d, "v", &child);
        char key[16];
        for (int i = 0; i < count; ++i) {
            const char* k;
            bson_uint32_to_string(static_cast<uint32_t>(i), &k, key, sizeof key);
            BSON_APPEND_INT32(&child, k, 1);
        }
        bson_append_array_end(d, &child);
    });
    std::string text = f.text();
    EXPECT_EQ(text.substr(0, 12), "[\"0\":1,\"1\":1");
    EXPECT_EQ(text.substr(text.size() - 12), ",\"199999\":1]");
    size_t expected = 2; // brackets
    for (int i = 0; i < count; ++i)
        expected += std::to_string(i).size() + 4 + (i > 0 ? 1 : 0);
    EXPECT_EQ(text.size(), expected);
}

TEST(RenderBinary, HexOfEveryByte)
{
    const uint8_t bytes[] = {0x00, 0x0f, 0xf0, 0xff};
    expect_texts({
        {"zero bytes", [](bson_t* d) { bson_append_binary(d, "v", 1, BSON_SUBTYPE_BINARY, nullptr, 0); }, "0x"},
        {"bytes", [&](bson_t* d) { bson_append_binary(d, "v", 1, BSON_SUBTYPE_BINARY, bytes, 4); }, "0x000ff0ff"},
        {"subtype not shown", [&](bson_t* d) { bson_append_binary(d, "v", 1, BSON_SUBTYPE_USER, bytes, 2); }, "0x000f"},
        {"uuid", [&](bson_t* d) { bson_append_binary(d, "v", 1, BSON_SUBTYPE_UUID, bytes, 4); }, "0x000ff0ff"},
    });
    Field empty([](bson_t* d) { bson_append_binary(d, "v", 1, BSON_SUBTYPE_BINARY, nullptr, 0); });
    EXPECT_EQ(empty.as(SQL_T_BINARY), "0x");
    EXPECT_EQ(empty.as(SQL_T_VARCHAR), refused("0x"));

    // A value that carries no data at all.
    bson_value_t none;
    std::memset(&none, 0, sizeof none);
    none.value_type = BSON_TYPE_BINARY;
    char* text = value_to_text(nullptr, &none);
    EXPECT_STREQ(text, "<null>");
    std::free(text);
}

TEST(RenderValue, IteratorOrValue)
{
    Field f(i32(42));
    char* from_iter = value_to_text(f.iter(), nullptr);
    EXPECT_STREQ(from_iter, "42");
    std::free(from_iter);
    char* none = value_to_text(nullptr, nullptr);
    EXPECT_STREQ(none, "<null>");
    std::free(none);
    char* copied = convert_for_sql_type("42", f.value(), nullptr);
    EXPECT_STREQ(copied, "42");
    std::free(copied);
}

struct NumericCase {
    const char* name;
    Fill fill;
    int precision;
    int scale;
    std::string shown; // "!": refused
};

TEST(RenderNumeric, WidthsAndSinglePrecision)
{
    const int big = 2000000000;
    const std::vector<NumericCase> cases = {
        {"int32 narrowed to single precision", i32(16777217), 10, 2, "16777216.00"},
        {"double narrowed to single precision", dbl(16777217.0), 10, 2, "16777216.00"},
        {"single precision digits", dbl(0.1), 11, 10, "0.1000000015"},
        {"negative pads after the sign", dbl(-1.5), 3, 1, "-01.5"},
        {"rounded to the scale", dbl(12.345), 5, 2, "012.35"},
        {"too wide", dbl(123456.7), 5, 2, "!"},
        {"rounding makes it too wide", dbl(999.5), 3, 0, "!"},
        {"exact width", dbl(999.0), 3, 0, "999"},
        {"scale 0 has no point", i32(5), 3, 0, "005"},
        {"negative int32", i32(-7), 3, 0, "-007"},
        {"leading zero counts", dbl(0.1), 1, 1, "!"},
        {"p0 s0 refuses zero", dbl(0.0), 0, 0, "!"},
        {"p0 s0 refuses int32", i32(5), 0, 0, "!"},
        {"p0 s0 refuses negative", i32(-1), 0, 0, "!"},
        {"p0 s0 refuses int64", i64(0), 0, 0, "!"},
        {"int64 beyond double", i64(9007199254740993), 20, 0, "!"},
        {"int64 at 2^53", i64(9007199254740992), 20, 0, "00009007199254740992"},
        {"int64 keeps double precision", i64(16777217), 10, 2, "16777217.00"},
        {"int64 max rounds to 2^63", i64(INT64_MAX), 25, 0, "!"},
        {"int64 min", i64(INT64_MIN), 25, 0, "-0000009223372036854775808"},
        {"double above single range", dbl(1e39), 60, 0, "!"},
        {"double nan", dbl(std::numeric_limits<double>::quiet_NaN()), 10, 2, "!"},
        {"double infinity", dbl(std::numeric_limits<double>::infinity()), 10, 2, "!"},
        {"negative precision", dbl(1.0), -1, 0, "!"},
        {"negative scale", dbl(1.0), 5, -1, "!"},
        {"huge precision", dbl(1.0), big, 0, "!"},
        {"huge scale", dbl(1.0), 5, big, "!"},
        {"int32 max precision", dbl(1.0), INT32_MAX, INT32_MAX, "!"},
        {"wide but allowed", i32(1), 1000, 0, std::string(999, '0') + "1"},
        {"wider than allowed", i32(1), 1025, 0, "!"},
    };
    for (const NumericCase& c : cases) {
        Field f(c.fill);
        std::string got = f.as(SQL_T_NUMERIC, c.precision, c.scale);
        if (c.shown != "!")
            EXPECT_EQ(got, c.shown) << c.name;
        else
            EXPECT_EQ(got, refused(f.text())) << c.name;
    }
}

struct IntCase {
    const char* name;
    Fill fill;
    int sql_type;
    const char* shown; // nullptr: refused
};

TEST(RenderIntegers, TruncationAndWrap)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<IntCase> cases = {
        {"int32 40000 smallint", i32(40000), SQL_T_SMALLINT, "-25536"},
        {"int32 65535 smallint", i32(65535), SQL_T_SMALLINT, "-1"},
        {"int32 32767 smallint", i32(32767), SQL_T_SMALLINT, "32767"},
        {"int32 128 tinyint", i32(128), SQL_T_TINYINT, "-128"},
        {"int32 255 tinyint", i32(255), SQL_T_TINYINT, "-1"},
        {"int32 -129 tinyint", i32(-129), SQL_T_TINYINT, "127"},
        {"int32 min bigint", i32(INT32_MIN), SQL_T_BIGINT, "-2147483648"},
        {"int32 double is integer text", i32(5), SQL_T_DOUBLE, "5"},
        {"int64 70000 smallint", i64(70000), SQL_T_SMALLINT, "4464"},
        {"int64 low 32 bits", i64(4294967297), SQL_T_INTEGER, "1"},
        {"int64 2^31 integer", i64(2147483648), SQL_T_INTEGER, "-2147483648"},
        {"int64 -1 integer", i64(-1), SQL_T_INTEGER, "-1"},
        {"int64 min tinyint", i64(INT64_MIN), SQL_T_TINYINT, "0"},
        {"int64 min double", i64(INT64_MIN), SQL_T_DOUBLE, "-9223372036854775808"},
        {"double truncates toward zero", dbl(-2.9), SQL_T_INTEGER, "-2"},
        {"double -0.5 integer", dbl(-0.5), SQL_T_INTEGER, "0"},
        {"double below int32 max", dbl(2147483647.9), SQL_T_INTEGER, "2147483647"},
        {"double int32 min", dbl(-2147483648.9), SQL_T_INTEGER, "-2147483648"},
        {"double 40000.7 smallint", dbl(40000.7), SQL_T_SMALLINT, "-25536"},
        {"double 200 tinyint", dbl(200.0), SQL_T_TINYINT, "-56"},
        {"double bigint", dbl(-12345678901.5), SQL_T_BIGINT, "-12345678901"},
        {"double int64 min", dbl(-9223372036854775808.0), SQL_T_BIGINT, "-9223372036854775808"},
        {"double below 2^63", dbl(9223372036854774784.0), SQL_T_BIGINT, "9223372036854774784"},
        // No integer holds these: they are refused rather than converted.
        {"double 2^31 integer", dbl(2147483648.0), SQL_T_INTEGER, nullptr},
        {"double below int32 min", dbl(-2147483649.0), SQL_T_INTEGER, nullptr},
        {"double 1e10 smallint", dbl(1e10), SQL_T_SMALLINT, nullptr},
        {"double -1e10 tinyint", dbl(-1e10), SQL_T_TINYINT, nullptr},
        {"double 2^63 bigint", dbl(9223372036854775808.0), SQL_T_BIGINT, nullptr},
        {"double -1e19 bigint", dbl(-1e19), SQL_T_BIGINT, nullptr},
        {"infinity integer", dbl(inf), SQL_T_INTEGER, nullptr},
        {"-infinity bigint", dbl(-inf), SQL_T_BIGINT, nullptr},
        {"nan bigint", dbl(nan), SQL_T_BIGINT, nullptr},
        {"nan integer", dbl(nan), SQL_T_INTEGER, nullptr},
        {"nan smallint", dbl(nan), SQL_T_SMALLINT, nullptr},
        {"nan tinyint", dbl(nan), SQL_T_TINYINT, nullptr},
        {"nan double is copied", dbl(nan), SQL_T_DOUBLE, "nan"},
    };
    for (const IntCase& c : cases) {
        Field f(c.fill);
        std::string got = f.as(c.sql_type);
        if (c.shown)
            EXPECT_EQ(got, c.shown) << c.name;
        else
            EXPECT_EQ(got, refused(f.text())) << c.name;
    }
}

TEST(RenderBinaryForm, LittleEndianBytes)
{
    const std::vector<IntCase> cases = {
        {"int32 7", i32(7), SQL_T_BINARY, "0x07000000"},
        {"int32 -2", i32(-2), SQL_T_BINARY, "0xfeffffff"},
        {"int32 0x01020304", i32(0x01020304), SQL_T_BINARY, "0x04030201"},
        {"int64 -1", i64(-1), SQL_T_BINARY, "0xffffffffffffffff"},
        {"int64 0x0102030405060708", i64(0x0102030405060708), SQL_T_BINARY, "0x0807060504030201"},
        {"double 1.0", dbl(1.0), SQL_T_BINARY, "0x000000000000f03f"},
        {"double -0.0", dbl(-0.0), SQL_T_BINARY, "0x0000000000000080"},
        {"date epoch", date(0), SQL_T_BINARY, "0x0000000000000000"},
        {"date 256 ms", date(256), SQL_T_BINARY, "0x0001000000000000"},
        {"string abc", str("abc"), SQL_T_BINARY, "0x61626300"},
        {"empty array", arr("[]"), SQL_T_BINARY, "0x5b5d"},
    };
    for (const IntCase& c : cases) {
        Field f(c.fill);
        EXPECT_EQ(f.as(c.sql_type), c.shown) << c.name;
    }
}

TEST(RenderHex, BytesToHex)
{
    const uint8_t bytes[] = {0x00, 0x0f, 0xa0, 0xff};
    struct Case {
        const uint8_t* bytes;
        size_t count;
        const char* prefix;
        const char* text;
    };
    const Case cases[] = {
        {bytes, 4, "0x", "0x000fa0ff"}, {bytes, 4, nullptr, "000fa0ff"}, {bytes, 1, "", "00"},
        {bytes, 0, "0x", "0x"},          {bytes, 0, nullptr, ""},         {nullptr, 0, "0x", "0x"},
        {bytes + 3, 1, "prefix ", "prefix ff"},
    };
    for (const Case& c : cases) {
        char* text = bytes_to_hex(c.bytes, c.count, c.prefix);
        EXPECT_STREQ(text, c.text);
        std::free(text);
    }
}

TEST(RenderText, AppendText)
{
    char* text = nullptr;
    append_text(nullptr, &text);
    EXPECT_EQ(text, nullptr);
    append_text("ab", &text);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "ab");
    append_text("", &text);
    EXPECT_STREQ(text, "ab");
    append_text("cde", &text);
    EXPECT_STREQ(text, "abcde");
    append_text(nullptr, &text);
    EXPECT_STREQ(text, "abcde");
    std::free(text);

    char* empty = nullptr;
    append_text("", &empty);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    std::free(empty);
}

sample_column_t* new_sample_column(const char* name, sample_column_t* next)
{
    auto* c = static_cast<sample_column_t*>(std::calloc(1, sizeof(sample_column_t)));
    c->mongo_name = name ? strdup(name) : nullptr;
    c->next = next;
    return c;
}

TEST(RenderColumns, FreeSampleColumns)
{
    // The sanitizer build's leak check is what sees a node or a name left behind.
    free_sample_columns(nullptr);
    free_sample_columns(new_sample_column("a", new_sample_column(nullptr, new_sample_column("b.c", nullptr))));
}

} // namespace
