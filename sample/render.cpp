#include "sample/render.h"

#include "discovery/types.h"

#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// Little-endian bytes of a number, as the driver hands binary columns.
template <typename T>
std::string little_endian_hex(T value)
{
    uint8_t bytes[sizeof(T)];
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof(T));
    for (size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    return hex(bytes, sizeof(T), "0x");
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

std::string date_text(int64_t ms)
{
    // Every time before the epoch, the last millisecond before it included, shows empty:
    // the count is not split into a negative second and a negative remainder.
    if (ms < 0)
        return "";
    int64_t seconds = ms / 1000;
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm calendar;
    // Past the calendar's reach (a year beyond what struct tm holds) shows empty too.
    if (!gmtime_r(&t, &calendar))
        return "";
    char text[64];
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &calendar) == 0)
        return "";
    return std::string(text) + "." + format("%i", static_cast<int>(ms - seconds * 1000));
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

std::string array_text(const bson_value_t* value)
{
    bson_t array;
    bson_iter_t it;
    if (!bson_init_static(&array, value->value.v_doc.data, value->value.v_doc.data_len) ||
        !bson_iter_init(&it, &array))
        return "[]";
    char* text = nullptr;
    append_text("[", &text);
    int i = 0;
    while (bson_iter_next(&it)) {
        const bson_value_t* element = bson_iter_value(&it);
        std::string piece = format(i == 0 ? "\"%i\":" : ",\"%i\":", i);
        append_text(piece.c_str(), &text);
        std::string rendered = render(element);
        if (element->value_type == BSON_TYPE_UTF8)
            rendered = "\"" + rendered + "\"";
        append_text(rendered.c_str(), &text);
        ++i;
    }
    append_text("]", &text);
    std::string out = text;
    std::free(text);
    return out;
}

std::string render(const bson_value_t* value)
{
    switch (value->value_type) {
    case BSON_TYPE_DOUBLE:
        return double_text(value->value.v_double);
    case BSON_TYPE_UTF8:
        return std::string(value->value.v_utf8.str, std::strlen(value->value.v_utf8.str));
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
    if (!text)
        return std::string(refused_prefix) + "<null>";
    if (!*text)
        return "";
    return std::string(refused_prefix) + text;
}

std::string copy(const char* text)
{
    return text ? text : "<null>";
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

std::string convert(const char* text, const bson_value_t* value, const sample_column_t* column)
{
    int sql = column->sql_type;
    bool text_type = is_text_sql_type(sql);
    switch (value->value_type) {
    case BSON_TYPE_DOUBLE: {
        double v = value->value.v_double;
        long long l;
        int32_t i;
        float f;
        switch (sql) {
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
            return text_type ? copy(text) : refuse(text);
        }
    }
    case BSON_TYPE_INT32: {
        int32_t v = value->value.v_int32;
        switch (sql) {
        case SQL_T_BIGINT: return format("%ld", static_cast<long>(v));
        case SQL_T_BINARY: return little_endian_hex(v);
        case SQL_T_DOUBLE: return format("%lld", static_cast<long long>(v));
        case SQL_T_INTEGER: return format("%i", v);
        case SQL_T_NUMERIC: return numeric(static_cast<float>(v), column, text);
        case SQL_T_SMALLINT: return format("%i", static_cast<int16_t>(static_cast<uint16_t>(v)));
        case SQL_T_TINYINT: return format("%i", static_cast<int8_t>(static_cast<uint8_t>(v)));
        default: return text_type ? copy(text) : refuse(text);
        }
    }
    case BSON_TYPE_INT64: {
        int64_t v = value->value.v_int64;
        switch (sql) {
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
        default: return text_type ? copy(text) : refuse(text);
        }
    }
    case BSON_TYPE_UTF8:
        if (sql == SQL_T_BINARY) // the terminating zero byte belongs to the value
            return hex(reinterpret_cast<const uint8_t*>(value->value.v_utf8.str),
                       std::strlen(value->value.v_utf8.str) + 1, "0x");
        return text_type ? copy(text) : refuse(text);
    case BSON_TYPE_DOCUMENT:
    case BSON_TYPE_ARRAY:
        if (sql == SQL_T_BINARY)
            return hex(reinterpret_cast<const uint8_t*>(text ? text : ""), text ? std::strlen(text) : 0, "0x");
        return text_type ? copy(text) : refuse(text);
    case BSON_TYPE_BINARY:
        return sql == SQL_T_BINARY ? copy(text) : refuse(text);
    case BSON_TYPE_OID:
        if (sql == SQL_T_BINARY)
            return std::string("0x") + (text ? text : "");
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
    if (!value || !column)
        return dup(copy(text));
    return dup(convert(text, value, column));
}

char* bytes_to_hex(const uint8_t* bytes, size_t count, const char* prefix)
{
    return dup(hex(bytes, count, prefix));
}

void append_text(const char* piece, char** text)
{
    if (!piece)
        return;
    size_t add = std::strlen(piece);
    size_t have = *text ? std::strlen(*text) : 0;
    char* grown = static_cast<char*>(std::realloc(*text, have + add + 1));
    if (!grown)
        std::exit(0);
    std::memcpy(grown + have, piece, add + 1);
    *text = grown;
}
