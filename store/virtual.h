// Virtual tables: an array column presented as a table of its own.
#ifndef BROLIX_STORE_VIRTUAL_H
#define BROLIX_STORE_VIRTUAL_H

#include <cstddef>

struct DBINFO;
struct db_column_t;

// Writes the six documents of the virtual table of each column in parent_table, with one
// request per collection; false when a document was not written because the schema
// server was gone (each failure has shown its box).
bool add_virtual_tables(DBINFO* dbinfo, const char* parent_table, db_column_t* const* columns, size_t count);
// Removes every virtual table whose parent is dbinfo's selected table; false when a
// removal failed because the server was gone.
bool remove_virtual_tables_reporting(DBINFO* dbinfo);

#endif
