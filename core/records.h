// In-memory schema records. Plain heap records, zero-filled on allocation; every
// string member is a private heap copy owned by the record holding it.
#ifndef BROLIX_CORE_RECORDS_H
#define BROLIX_CORE_RECORDS_H

#include <cstdint>

struct DBINFO;

struct db_name_t {
    char* name;
    db_name_t* next;
};

struct db_index_t {
    char* sql_col_name;
    int32_t index;
    bool primary;
    char* index_name;
    bool unique;
    bool native_id;
    bool asc;
    bool from_schema;
    db_index_t* next;
};

struct db_column_t {
    char id[25];
    int32_t index;
    char* sql_name;
    char* mongo_name;
    int32_t sql_type;
    int32_t mongo_type;
    db_index_t* indexes;
    int32_t length;
    int32_t precision;
    int32_t scale;
    bool visible;
    bool virtual_array;
    char* virtual_parent;
    bool on_page;
    db_name_t* path;
    db_column_t* next;
    db_column_t* prev;
};

struct db_table_t {
    char* name;
    db_table_t* next;
    char* mongo_name; // its collection, when the schema names one other than name
};

struct db_schema_t {
    char* name;
    db_table_t* tables;
    db_schema_t* next;
    db_table_t* last; // of tables: appending stays O(1) over thousands
};

struct db_catalog_t {
    char* name;
    db_schema_t* schemas;
    db_catalog_t* next;
};

struct db_table_ref_t {
    char* key;
    char* mongo_name;
    char* sql_name;
    bool matched;
    bool is_virtual;
    db_table_ref_t* next;
};

// Allocation helpers: zero-filled records and string copies. Running out of memory
// ends the program with exit status 0, as the name join does.
void* record_alloc(unsigned long size);
char* copy_text(const char* text);

// A new column with every field empty and visible set.
db_column_t* new_column(void);

// Releases a column list: strings, index entries, key path and the records. NULL is accepted.
void free_columns(db_column_t* columns);
// Releases one column (not its neighbours).
void free_column(db_column_t* column);
void free_indexes(db_index_t* indexes);
void free_table_refs(db_table_ref_t* refs);
// Releases dbinfo->tables and leaves it NULL.
void free_table_tree(DBINFO* dbinfo);

// Adds catalog / schema / table to dbinfo->tables (exact, case-sensitive names;
// first appearance order; a table already present is not added again). A mongo_name
// other than the table's name is kept with it.
void add_to_table_tree(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                       const char* mongo_name = nullptr);
// The same for a table the caller knows is not there yet: no walk of the schema's tables.
void append_to_table_tree(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                          const char* mongo_name = nullptr);

// Key path lists.
db_name_t* copy_names(const db_name_t* names);
db_name_t* append_name(db_name_t* names, const char* name);
char* join_names(const db_name_t* names, const char* separator);
void free_names(db_name_t* names);

// Frees a NULL-terminated collection-name array as its producer requires: with the
// client library's string-vector routine when the legacy listing made it, else
// string by string.
void free_collection_names(DBINFO* dbinfo, char** names);

// True when the name is one of the server's own collections ("system." prefix).
bool is_system_collection(const char* name);

#endif
