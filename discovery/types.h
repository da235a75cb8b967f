// Names and codes of the SQL (ODBC) and MongoDB (BSON) types.
#ifndef BROLIX_DISCOVERY_TYPES_H
#define BROLIX_DISCOVERY_TYPES_H

// ODBC SQL type codes used by the schema.
enum {
    SQL_T_CHAR = 1,
    SQL_T_NUMERIC = 2,
    SQL_T_INTEGER = 4,
    SQL_T_SMALLINT = 5,
    SQL_T_DOUBLE = 8,
    SQL_T_VARCHAR = 12,
    SQL_T_TYPE_TIMESTAMP = 93,
    SQL_T_LONGVARCHAR = -1,
    SQL_T_BINARY = -2,
    SQL_T_VARBINARY = -3,
    SQL_T_BIGINT = -5,
    SQL_T_TINYINT = -6,
    SQL_T_BIT = -7,
    SQL_T_WVARCHAR = -9,
    SQL_T_WLONGVARCHAR = -10
};

// Markers of the generated columns of a virtual table.
enum { MONGO_T_VT_INDEX = -1, MONGO_T_VT_VALUE = -2 };

struct type_name_t {
    const char* name;
    int code;
};

// The SQL type chooser, in its order (13 entries).
extern const type_name_t sql_type_names[];
extern const int sql_type_name_count;
// The MongoDB type chooser, in its order (10 entries).
extern const type_name_t mongo_type_names[];
extern const int mongo_type_name_count;

// Code of a chooser name; unknown text gives -1 (SQL) or 6 (BSON undefined).
int sql_type_of_name(const char* name);
int mongo_type_of_name(const char* name);

// Names of the driver view of a virtual table; "" for codes it does not show.
const char* driver_sql_type_name(int code);
const char* driver_mongo_type_name(int code);

// The four character types.
bool is_text_sql_type(int code);

#endif
