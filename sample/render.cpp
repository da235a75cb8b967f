#include "sample/render.h"

#include "discovery/types.h"

#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

char* dup(const std::string& s)
{
    char* out = static_cast<char*>(std::malloc(s.size() + 1));
    if (!out)
        std::exit(0);
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
    return out;
}

std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(&out[0], static_cast<size_t>(n) + 1, fmt, again);
    va_end(again);
    return out;
}

std::string hex(const uint8_t* bytes, size_t count, const char* prefix)
{
    static const char digits[] = "0123456789abcdef";
    std::string out = prefix ? prefix : "";
    out.reserve(out.size() + 2 * count);
    for (size_t i = 0; i < count; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0x0f];
    }
    return out;
}

// The low count bytes of bits, least significant first, as the driver hands binary columns.
// Taken by shifting, so the order does not depend on the host's byte order.
std::string low_bytes_hex(uint64_t bits, size_t count)
{
    uint8_t bytes[8];
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    return hex(bytes, count, "0x");
}

std::string little_endian_hex(int32_t value)
{
    return low_bytes_hex(static_cast<uint32_t>(value), sizeof value);
}

std::string little_endian_hex(int64_t value)
{
    return low_bytes_hex(static_cast<uint64_t>(value), sizeof value);
}

std::string little_endian_hex(double value)
{
    uint64_t bits;
    static_assert(sizeof bits == sizeof value, "IEEE double");
    std::memcpy(&bits, &value, sizeof bits);
    return low_bytes_hex(bits, sizeof bits);
}

std::string double_text(double v)
{
    std::string s = format("%f", v);
    if (s.find('.') != std::string::npos) {
        while (!s.empty() && s.back() == '0')
            s.pop_back();
        if (!s.empty() && s.back() == '.')
            s.pop_back();
    }
    return s;
}

// Proleptic Gregorian date of a day count since 1970-01-01 (days >= 0), by eras of 400 years.
// Done here rather than by gmtime so the result is the same on every platform and every
// time_t width.
void civil_from_days(int64_t days, int64_t* year, int* month, int* day)
{
    days += 719468; // from 0000-03-01
    int64_t era = days / 146097;
    int64_t doe = days - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

std::string date_text(int64_t ms)
{
    // Every time before the epoch, the last 999 ms before it included, shows empty: a
    // negative remainder after the point (00:00:00.-1) would read as a time it is not.
    if (ms < 0)
        return "";
    // The calendar reaches to the end of year 9999, the last year of a four-digit year
    // and of an SQL timestamp; later times show empty too.
    const int64_t last_shown_ms = 253402300799999; // 9999-12-31 23:59:59.999
    if (ms > last_shown_ms)
        return "";
    int64_t seconds = ms / 1000;
    int64_t days = seconds / 86400;
    int64_t in_day = seconds % 86400;
    int64_t year;
    int month, day;
    civil_from_days(days, &year, &month, &day);
    return format("%04lld-%02d-%02d %02d:%02d:%02d.%i", static_cast<long long>(year), month, day,
                  static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60),
                  static_cast<int>(in_day % 60), static_cast<int>(ms - seconds * 1000));
}

std::string render(const bson_value_t* value);

std::string document_json(const bson_value_t* value)
{
    bson_t doc;
    if (!bson_init_static(&doc, value->value.v_doc.data, value->value.v_doc.data_len))
        return "";
    char* json = bson_as_json(&doc, nullptr);
    std::string out = json ? json : "";
    bson_free(json);
    return out;
}

// Pieces are appended to one growing text: a large array stays linear, where appending
// each piece to a C string would measure the whole text again every time.
std::string array_text(const bson_value_t* value)
{
    bson_t array;
    bson_iter_t it;
    if (!bson_init_static(&array, value->value.v_doc.data, value->value.v_doc.data_len) ||
        !bson_iter_init(&it, &array))
        return "[]";
    std::string out = "[";
    int i = 0;
    while (bson_iter_next(&it)) {
        const bson_value_t* element = bson_iter_value(&it);
        out += format(i == 0 ? "\"%i\":" : ",\"%i\":", i);
        bool quoted = element->value_type == BSON_TYPE_UTF8;
        if (quoted)
            out += '"';
        out += render(element);
        if (quoted)
            out += '"';
        ++i;
    }
    out += ']';
    return out;
}

std::string render(const bson_value_t* value)
{
    switch (value->value_type) {
    case BSON_TYPE_DOUBLE:
        return double_text(value->value.v_double);
    case BSON_TYPE_UTF8:
        return value->value.v_utf8.str ? value->value.v_utf8.str : "";
    case BSON_TYPE_DOCUMENT:
        return document_json(value);
    case BSON_TYPE_ARRAY:
        return array_text(value);
    case BSON_TYPE_BINARY:
        if (!value->value.v_binary.data)
            return "<null>";
        return hex(value->value.v_binary.data, value->value.v_binary.data_len, "0x");
    case BSON_TYPE_OID: {
        char oid[25];
        bson_oid_to_string(&value->value.v_oid, oid);
        return oid;
    }
    case BSON_TYPE_BOOL:
        return value->value.v_bool ? "1" : "0";
    case BSON_TYPE_DATE_TIME:
        return date_text(value->value.v_datetime);
    case BSON_TYPE_INT32:
        return format("%i", value->value.v_int32);
    case BSON_TYPE_INT64:
        return format("%lld", static_cast<long long>(value->value.v_int64));
    default:
        return "<null>";
    }
}

const char* const refused_prefix = "Cannot convert data : ";

std::string refuse(const char* text)
{
    if (!*text)
        return "";
    return std::string(refused_prefix) + text;
}

std::string copy(const char* text)
{
    return text;
}

// The widest number the numeric format is asked to print; wider columns are refused
// rather than printed as pages of zeros.
const int numeric_width_limit = 1024;

std::string numeric(double v, const sample_column_t* column, const char* text)
{
    int p = column->precision;
    int s = column->scale;
    if (p < 0 || s < 0 || std::isnan(v) || std::isinf(v))
        return refuse(text);
    long long w = static_cast<long long>(p) + (s > 0 ? 1 : 0) + (v < 0 ? 1 : 0);
    if (w > numeric_width_limit || s > numeric_width_limit)
        return refuse(text);
    std::string fmt = "%0" + format("%i", static_cast<int>(w)) + "." + format("%i", s) + "f";
    std::string printed = format(fmt.c_str(), v);
    if (static_cast<long long>(printed.size()) > w)
        return refuse(text);
    return printed;
}

// Single precision, as the driver narrows numeric values; values beyond it are refused.
bool narrow(double v, float* out)
{
    if (std::isnan(v) || std::isinf(v) || std::fabs(v) > FLT_MAX)
        return false;
    *out = static_cast<float>(v);
    return true;
}

// Truncation toward zero where the result fits; NaN, infinities and values out of
// range have no integer and are refused.
bool truncate64(double v, long long* out)
{
    if (std::isnan(v) || v >= 9223372036854775808.0 || v < -9223372036854775808.0)
        return false;
    *out = static_cast<long long>(v);
    return true;
}

bool truncate32(double v, int32_t* out)
{
    if (std::isnan(v) || v >= 2147483648.0 || v <= -2147483649.0)
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

// A double as the column's SQL type reads it; text is its own rendering.
std::string from_double(const char* text, double v, const sample_column_t* column)
{
    long long l;
    int32_t i;
    float f;
    switch (column->sql_type) {
    case SQL_T_BIGINT:
        return truncate64(v, &l) ? format("%lld", l) : refuse(text);
    case SQL_T_BINARY:
        return little_endian_hex(v);
    case SQL_T_DOUBLE:
        return copy(text);
    case SQL_T_INTEGER:
        return truncate32(v, &i) ? format("%i", i) : refuse(text);
    case SQL_T_NUMERIC:
        return narrow(v, &f) ? numeric(f, column, text) : refuse(text);
    case SQL_T_SMALLINT:
        return truncate32(v, &i) ? format("%i", static_cast<int16_t>(static_cast<uint16_t>(i))) : refuse(text);
    case SQL_T_TINYINT:
        return truncate32(v, &i) ? format("%i", static_cast<int8_t>(static_cast<uint8_t>(i))) : refuse(text);
    default:
        return is_text_sql_type(column->sql_type) ? copy(text) : refuse(text);
    }
}

std::string from_int32(const char* text, int32_t v, const sample_column_t* column)
{
    switch (column->sql_type) {
    case SQL_T_BIGINT: return format("%ld", static_cast<long>(v));
    case SQL_T_BINARY: return little_endian_hex(v);
    case SQL_T_DOUBLE: return format("%lld", static_cast<long long>(v));
    case SQL_T_INTEGER: return format("%i", v);
    case SQL_T_NUMERIC: return numeric(static_cast<float>(v), column, text);
    case SQL_T_SMALLINT: return format("%i", static_cast<int16_t>(static_cast<uint16_t>(v)));
    case SQL_T_TINYINT: return format("%i", static_cast<int8_t>(static_cast<uint8_t>(v)));
    default: return is_text_sql_type(column->sql_type) ? copy(text) : refuse(text);
    }
}

std::string from_int64(const char* text, int64_t v, const sample_column_t* column)
{
    switch (column->sql_type) {
    case SQL_T_BIGINT: return copy(text);
    case SQL_T_BINARY: return little_endian_hex(v);
    case SQL_T_DOUBLE: return format("%lld", static_cast<long long>(v));
    case SQL_T_INTEGER: return format("%i", static_cast<int32_t>(static_cast<uint32_t>(v)));
    case SQL_T_NUMERIC: {
        double d = static_cast<double>(v);
        long long back;
        if (!truncate64(d, &back) || back != v)
            return refuse(text);
        return numeric(d, column, text);
    }
    case SQL_T_SMALLINT: return format("%i", static_cast<int16_t>(static_cast<uint16_t>(v)));
    case SQL_T_TINYINT: return format("%i", static_cast<int8_t>(static_cast<uint8_t>(v)));
    default: return is_text_sql_type(column->sql_type) ? copy(text) : refuse(text);
    }
}

std::string convert(const char* text, const bson_value_t* value, const sample_column_t* column)
{
    int sql = column->sql_type;
    bool text_type = is_text_sql_type(sql);
    switch (value->value_type) {
    case BSON_TYPE_DOUBLE:
        return from_double(text, value->value.v_double, column);
    case BSON_TYPE_INT32:
        return from_int32(text, value->value.v_int32, column);
    case BSON_TYPE_INT64:
        return from_int64(text, value->value.v_int64, column);
    case BSON_TYPE_UTF8:
        if (sql == SQL_T_BINARY && value->value.v_utf8.str) // the terminating zero byte belongs to the value
            return hex(reinterpret_cast<const uint8_t*>(value->value.v_utf8.str),
                       std::strlen(value->value.v_utf8.str) + 1, "0x");
        return text_type ? copy(text) : refuse(text);
    case BSON_TYPE_DOCUMENT:
    case BSON_TYPE_ARRAY:
        if (sql == SQL_T_BINARY)
            return hex(reinterpret_cast<const uint8_t*>(text), std::strlen(text), "0x");
        return text_type ? copy(text) : refuse(text);
    case BSON_TYPE_BINARY:
        return sql == SQL_T_BINARY ? copy(text) : refuse(text);
    case BSON_TYPE_OID:
        if (sql == SQL_T_BINARY)
            return std::string("0x") + text;
        return text_type ? copy(text) : refuse(text);
    case BSON_TYPE_BOOL:
        if (sql == SQL_T_BINARY)
            return value->value.v_bool ? "0x01" : "0x00";
        return sql == SQL_T_BIT || text_type ? copy(text) : refuse(text);
    case BSON_TYPE_DATE_TIME:
        if (sql == SQL_T_BINARY)
            return little_endian_hex(value->value.v_datetime);
        return sql == SQL_T_TYPE_TIMESTAMP || text_type ? copy(text) : refuse(text);
    default:
        return copy(text);
    }
}

} // namespace

void free_sample_columns(sample_column_t* columns)
{
    while (columns) {
        sample_column_t* next = columns->next;
        std::free(columns->mongo_name);
        std::free(columns);
        columns = next;
    }
}

char* value_to_text(const bson_iter_t* iter, const bson_value_t* value)
{
    if (!value && iter)
        value = bson_iter_value(const_cast<bson_iter_t*>(iter));
    if (!value)
        return dup("<null>");
    return dup(render(value));
}

char* convert_for_sql_type(const char* text, const bson_value_t* value, const sample_column_t* column)
{
    // A missing text stands for "<null>" in every outcome, the hexadecimal ones included.
    if (!text)
        text = "<null>";
    if (!value || !column)
        return dup(copy(text));
    return dup(convert(text, value, column));
}

