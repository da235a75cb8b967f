// The SQL type of a column: the type its first value gives, and how each further value
// settles it (the decision tables).
#include "discovery/discover.h"

#include "discovery/types.h"

#include <mongoc/mongoc.h>

namespace {

int text_type(bool wide) { return wide ? SQL_T_WVARCHAR : SQL_T_VARCHAR; }

} // namespace

int first_sql_type(int bson_type, bool wide)
{
    switch (bson_type) {
    case BSON_TYPE_DOUBLE: return SQL_T_DOUBLE;
    case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
    case BSON_TYPE_BOOL: return SQL_T_TINYINT;
    case BSON_TYPE_DATE_TIME: return SQL_T_TYPE_TIMESTAMP;
    case BSON_TYPE_INT32: return SQL_T_INTEGER;
    case BSON_TYPE_TIMESTAMP: return SQL_T_VARCHAR; // narrow even when wide
    case BSON_TYPE_INT64: return SQL_T_BIGINT;
    default: return text_type(wide);
    }
}

int settle_sql_type(int sql_type, int bson_type, bool wide)
{
    const int text = text_type(wide);
    switch (sql_type) {
    case SQL_T_TINYINT:
        switch (bson_type) {
        case BSON_TYPE_DOUBLE: return SQL_T_DOUBLE;
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_BOOL: return SQL_T_TINYINT;
        case BSON_TYPE_INT32: return SQL_T_INTEGER;
        case BSON_TYPE_INT64: return SQL_T_BIGINT;
        default: return text;
        }
    case SQL_T_BIGINT:
        switch (bson_type) {
        case BSON_TYPE_DOUBLE: return SQL_T_DOUBLE;
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_BOOL:
        case BSON_TYPE_INT32:
        case BSON_TYPE_INT64: return SQL_T_BIGINT;
        default: return text;
        }
    case SQL_T_VARBINARY:
        if ((bson_type >= 0 && bson_type <= 18) || bson_type == 127 || bson_type == 255)
            return SQL_T_VARBINARY;
        return text;
    case SQL_T_INTEGER:
        switch (bson_type) {
        case BSON_TYPE_DOUBLE: return SQL_T_DOUBLE;
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_BOOL:
        case BSON_TYPE_INT32: return SQL_T_INTEGER;
        case BSON_TYPE_INT64: return SQL_T_BIGINT;
        default: return text;
        }
    case SQL_T_DOUBLE:
        switch (bson_type) {
        case BSON_TYPE_DOUBLE:
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_INT32:
        case BSON_TYPE_INT64: return SQL_T_DOUBLE;
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        default: return text;
        }
    case SQL_T_TYPE_TIMESTAMP:
        switch (bson_type) {
        case BSON_TYPE_BINARY: return SQL_T_VARBINARY;
        case BSON_TYPE_UNDEFINED:
        case BSON_TYPE_DATE_TIME: return SQL_T_TYPE_TIMESTAMP;
        default: return text;
        }
    default:
        return bson_type == BSON_TYPE_BINARY ? SQL_T_VARBINARY : text;
    }
}
