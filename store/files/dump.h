// The text of a schema dump: labelled lines ending in CR LF, as the Dump Schema button
// appends them to its file and the command line writes them.
#ifndef BROLIX_STORE_DUMP_H
#define BROLIX_STORE_DUMP_H

#include <ctime>
#include <string>

struct db_column_t;

// One dump of a table (virtual_table null or empty) or of one virtual table of it, whose
// columns are the parent table's: only those named like the virtual table are written.
// The first line (one space) comes first, alone, so a writer can test its file with it.
std::string schema_dump_text(const db_column_t* columns, const char* catalog, const char* table,
                             const char* virtual_table, std::time_t generated);

#endif
