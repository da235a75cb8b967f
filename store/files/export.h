// The schema of one catalog written out as a schema file, and such a file written back.
#ifndef BROLIX_STORE_EXPORT_H
#define BROLIX_STORE_EXPORT_H

#include "store/files/schema_file.h"

#include <string>

struct DBINFO;

// The tables, columns and index documents of dbinfo->database, without their _id, each on
// a line of its own as canonical extended JSON, sorted by table and position: the same
// schema always gives the same text. False with SCHEMA_EXPORT_READ_FAILED.
bool export_schema(DBINFO* dbinfo, std::string* text, int* code);

// Writes the file's documents into the schema. A schema database without collections
// gets them first, with their indexes (codes of create_schema_collections); documents
// of the catalog already there are replaced only when replace is set. problem (may be
// null) gets the server's message of a failed write.
bool import_schema(DBINFO* dbinfo, const schema_file_t* file, bool replace, int* code,
                   schema_file_problem_t* problem);

#endif
