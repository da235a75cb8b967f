// Writing a table's edited columns back to the schema database.
#ifndef BROLIX_STORE_SAVE_H
#define BROLIX_STORE_SAVE_H

struct DBINFO;
struct db_column_t;

// Replaces the columns documents of dbinfo's selected table, then its index metadata and
// its virtual tables.
void save_table_columns(DBINFO* dbinfo, db_column_t* columns);

// What a save could not write because a server was gone: the parts, and SAVE_INCOMPLETE
// when old documents had been removed by then, so that the table is incomplete in the
// schema until it is saved again, from the records (a save never changes them).
enum { SAVE_LEFT_COLUMNS = 1, SAVE_LEFT_INDEXES = 2, SAVE_LEFT_VIRTUAL = 4, SAVE_INCOMPLETE = 8 };

// save_table_columns, telling what was left: true when nothing was, else false with the
// SAVE_LEFT_ parts in *left. Documents refused one by one are no part of it (they fail
// again on every save).
bool save_table(DBINFO* dbinfo, db_column_t* columns, int* left);

#endif
