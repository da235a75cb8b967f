#include "discovery/types.h"

#include <cstring>

const type_name_t sql_type_names[] = {
    {"SQL_BIGINT", -5},       {"SQL_BINARY", -2},      {"SQL_BIT", -7},
    {"SQL_DOUBLE", 8},        {"SQL_INTEGER", 4},      {"SQL_NUMERIC", 2},
    {"SQL_SMALLINT", 5},      {"SQL_TINYINT", -6},     {"SQL_TYPE_TIMESTAMP", 93},
    {"SQL_VARCHAR", 12},      {"SQL_LONGVARCHAR", -1}, {"SQL_WVARCHAR", -9},
    {"SQL_WLONGVARCHAR", -10},
};
const int sql_type_name_count = sizeof sql_type_names / sizeof sql_type_names[0];

const type_name_t mongo_type_names[] = {
    {"Array", 4},         {"BinaryData", 5},  {"Bool", 8},    {"Date", 9},   {"NumberDouble", 1},
    {"NumberInt32", 16},  {"NumberLong64", 18}, {"Object", 3}, {"OID", 7},   {"String", 2},
};
const int mongo_type_name_count = sizeof mongo_type_names / sizeof mongo_type_names[0];

namespace {
int lookup(const type_name_t* table, int count, const char* name, int otherwise)
{
    if (!name)
        return otherwise;
    for (int i = 0; i < count; ++i)
        if (std::strcmp(table[i].name, name) == 0)
            return table[i].code;
    return otherwise;
}
}

int sql_type_of_name(const char* name)
{
    return lookup(sql_type_names, sql_type_name_count, name, -1);
}

int mongo_type_of_name(const char* name)
{
    return lookup(mongo_type_names, mongo_type_name_count, name, 6);
}

const char* driver_sql_type_name(int code)
{
    switch (code) {
    case 1: return "SQL_CHAR";
    case 12: return "SQL_VARCHAR";
    case 4: return "SQL_INTEGER";
    default: return "";
    }
}

const char* driver_mongo_type_name(int code)
{
    switch (code) {
    case 7: return "OID";
    case -1:
    case -2: return "Driver Defined";
    default: return "";
    }
}

bool is_text_sql_type(int code)
{
    return code == SQL_T_VARCHAR || code == SQL_T_WVARCHAR || code == SQL_T_LONGVARCHAR ||
           code == SQL_T_WLONGVARCHAR;
}
