// Writing a table's edited columns back to the schema database.
#ifndef BROLIX_STORE_SAVE_H
#define BROLIX_STORE_SAVE_H

struct DBINFO;
struct db_column_t;

// Replaces the columns documents of dbinfo's selected table, then its index metadata and
// its virtual tables.
void save_table_columns(DBINFO* dbinfo, db_column_t* columns);

// What a save could not write: the parts, and SAVE_INCOMPLETE when the save was left in
// the journal (the schema could not be put back at once; the next start does it), so that
// the table counts as incomplete until it is saved again, from the records (a save never
// changes them). A save is written whole or not at all; an index listing that failed
// leaves the table's index entries as they were and SAVE_LEFT_INDEXES.
enum { SAVE_LEFT_COLUMNS = 1, SAVE_LEFT_INDEXES = 2, SAVE_LEFT_VIRTUAL = 4, SAVE_INCOMPLETE = 8 };

// save_table_columns, telling what was left: true when nothing was, else false with the
// SAVE_LEFT_ parts in *left. A refused document refuses the whole save (its box says why).
// The table is written only if it still holds what this program last read of it (a
// window's pick): otherwise nothing is written, unless over is set.
bool save_table(DBINFO* dbinfo, db_column_t* columns, int* left, bool over = false);

// How the last save_table ended: CHANGE_APPLIED or another outcome of a change (see
// store/write/journal.h), and its words (who holds the schema, who changed the table, what
// the server refused).
int last_save_outcome(void);
const char* last_save_told(void);

#endif
