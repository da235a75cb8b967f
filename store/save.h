// Writing a table's edited columns back to the schema database.
#ifndef BROLIX_STORE_SAVE_H
#define BROLIX_STORE_SAVE_H

struct DBINFO;
struct db_column_t;

// Replaces the columns documents of dbinfo's selected table, then its index metadata and
// its virtual tables.
void save_table_columns(DBINFO* dbinfo, db_column_t* columns);

#endif
