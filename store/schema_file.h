// The schema file: one catalog's schema as one JSON file, read and checked completely
// before anything is written. Untrusted input: it comes from a repository, a colleague
// or an editor.
#ifndef BROLIX_STORE_SCHEMA_FILE_H
#define BROLIX_STORE_SCHEMA_FILE_H

#include <bson/bson.h>
#include <cstddef>
#include <vector>

// What is wrong with a schema file (read_schema_file), or why an export or import failed.
enum schema_file_code {
    SCHEMA_FILE_SYNTAX = -41,         // not JSON: detail is what was expected there
    SCHEMA_FILE_MEMBER_UNKNOWN = -42, // field is a top-level member the layout does not have
    SCHEMA_FILE_MEMBER_REPEATED = -43,
    SCHEMA_FILE_MEMBER_MISSING = -44,
    SCHEMA_FILE_MEMBER_KIND = -45,    // "format" is not schema_file_format(), or an array
                                      // member is not an array of documents
    SCHEMA_FILE_VALUE = -46,          // a document the JSON library refused: detail is its message
    SCHEMA_FILE_FIELD = -47,          // field is not a field of the collection
    SCHEMA_FILE_REPEATED = -48,       // field appears twice in one document
    SCHEMA_FILE_TYPE = -49,           // field is not of the type detail names
    SCHEMA_FILE_MISSING = -50,        // the required field is absent
    SCHEMA_FILE_CATALOG = -51,        // sql_catalog (detail) is not the catalog imported into
    SCHEMA_FILE_DUPLICATE = -52,      // same key as the document on other_line, for the index in detail
    SCHEMA_FILE_ORPHAN = -53,         // a document of a table (detail) the file's tables do not name
    SCHEMA_EXPORT_READ_FAILED = -54,
    SCHEMA_IMPORT_EXISTS = -55,       // the schema holds documents of the catalog already
    SCHEMA_IMPORT_WRITE_FAILED = -56, // detail of the problem record: the server's message
    SCHEMA_IMPORT_NO_LISTING = -57,   // the schema database's collections could not be listed
    SCHEMA_FILE_TOO_BIG = -58,        // a document larger than the server takes (detail: the limit)
    SCHEMA_FILE_NO_COLUMN = -59,      // an index entry's sql_col_name (detail) names no column of its table
    SCHEMA_FILE_NO_PARENT = -60,      // a virtual table whose parent (detail) is not in the file's tables
    SCHEMA_IMPORT_PENDING = -86       // a write failed and so did putting back: the next start does
};

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
    std::vector<doc_t> docs[4];
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
