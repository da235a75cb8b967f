// The schema file: one catalog's schema as one JSON file, read and checked completely
// before anything is written. Untrusted input: it comes from a repository, a colleague
// or an editor.
#ifndef BROLIX_STORE_SCHEMA_FILE_H
#define BROLIX_STORE_SCHEMA_FILE_H

#include "core/outcomes.h"
#include "core/schema_names.h"

#include <bson/bson.h>
#include <cstddef>
#include <vector>

// The value of the file's "format" member.
const char* schema_file_format(void);

struct schema_file_problem_t {
    int code;
    int line;       // from 1
    int other_line; // SCHEMA_FILE_DUPLICATE: the first document with that key
    char collection[16];
    char field[128];
    char detail[512];
    char document[512]; // which document, by its table and name, when it could be told
};

// The checked documents of a file, in file order, by collection kind (1 tables,
// 2 columns, 3 index).
struct schema_file_t {
    struct doc_t {
        bson_t* doc;
    };
    std::vector<doc_t> docs[KIND_SLOTS];
};

// The largest document a server takes unless it says otherwise (maxBsonObjectSize).
const size_t schema_document_limit = 16 * 1024 * 1024;

// Checks the whole text as a file of the catalog, everything an import needs before its
// first write: each document's fields, types, size and distinct _id, the keys of the
// schema's unique indexes, every table's documents and index entries naming its columns,
// every virtual table's parent. Null with the first problem found otherwise. The caller
// frees the result.
schema_file_t* read_schema_file(const char* text, size_t size, const char* catalog,
                                schema_file_problem_t* problem, size_t document_limit = schema_document_limit);
void free_schema_file(schema_file_t* file);
// Documents of the collection kind (1 tables, 2 columns, 3 index).
int schema_file_count(const schema_file_t* file, int kind);

#endif
