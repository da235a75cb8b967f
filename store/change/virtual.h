// Virtual tables: an array column presented as a table of its own.
#ifndef BROLIX_STORE_VIRTUAL_H
#define BROLIX_STORE_VIRTUAL_H

#include <cstddef>

struct DBINFO;
struct db_column_t;
struct schema_change_t;

// Adds to change the six documents of the virtual table of each column in parent_table:
// every table first, then the columns of all, then their index entries; in each, the
// virtual tables in the order given.
void add_virtual_table_docs(DBINFO* dbinfo, const char* parent_table, db_column_t* const* columns, size_t count,
                            schema_change_t* change);

#endif
