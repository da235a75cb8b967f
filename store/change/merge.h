// A table's edits carried over onto what another program saved meanwhile: the window
// that finds its table changed since it was read reloads it with its own edits on top.
#ifndef BROLIX_STORE_MERGE_H
#define BROLIX_STORE_MERGE_H

struct db_column_t;

// A copy of a column list with its index entries (the caller owns it).
db_column_t* copy_columns(const db_column_t* columns);

// The columns of fresh with the edits that turn read into edited applied: a field this
// program changed takes its value, every other field keeps fresh's; a column this program
// added is added after the column it followed, one it removed is removed; a column the
// other program removed stays removed unless this program edited it. Columns are told
// apart by MongoDB name (and, for a name that stands twice, by which of them it is).
// None of the lists is changed; the caller owns the result.
db_column_t* merge_column_edits(const db_column_t* read, const db_column_t* edited, const db_column_t* fresh);

#endif
