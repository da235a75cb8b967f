// Virtual tables: an array column presented as a table of its own.
#ifndef BROLIX_STORE_VIRTUAL_H
#define BROLIX_STORE_VIRTUAL_H

struct DBINFO;
struct db_column_t;

// Removes every virtual table whose parent is dbinfo's selected table.
void remove_virtual_tables(DBINFO* dbinfo);
// Writes the six documents of the virtual table of column in parent_table; true always.
bool add_virtual_table(DBINFO* dbinfo, const char* parent_table, db_column_t* column);

#endif
