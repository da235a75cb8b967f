// Reading the values of schema documents, whatever type another tool stored there.
#ifndef BROLIX_STORE_FIELDS_H
#define BROLIX_STORE_FIELDS_H

#include <bson/bson.h>
#include <cstdint>
#include <string>

// An int32 as it is, a double truncated toward zero (held to the int32 range; NaN
// gives 0), any other type 0.
int32_t schema_number(const bson_iter_t* iter);
// The text of a document's field; "" when it is missing or holds no text.
std::string schema_text(const bson_t* doc, const char* field);

// A boolean's value; any other type gives otherwise.
bool schema_flag(const bson_iter_t* iter, bool otherwise);

// Positions elements before the first element of the reply's "cursor.firstBatch" array;
// false when the reply has none. Listings read only this first batch.
bool first_batch(const bson_t* reply, bson_iter_t* elements);

// The kind of a schema database's collection (KIND_SYSTEM_INDEXES included), else KIND_NONE.
int schema_collection_kind(const char* name);
// A field name that documents of the collection kind (KIND_TABLES to KIND_INDEX) may hold.
bool schema_field_allowed(int kind, const char* field);

// What places a columns document, read in one pass: sql_catalog, sql_schema, sql_table and
// sql_name (their text, has[] when there) and whether virtual_array is true. fit is false
// when one of them appears twice or holds another type (so do not stand for the document
// then), or the document cannot be read.
struct column_keys_t {
    const char* text[4];
    uint32_t len[4];
    bool has[4];
    bool is_virtual;
    bool fit;
};
void read_column_keys(const bson_t* doc, column_keys_t* keys);

struct db_column_t;
struct db_index_t;

// The readers of one schema document each: pure, no server, any BSON accepted.

// A tables document's names, pointing into the document.
struct db_table_doc_t {
    const char* catalog;
    const char* schema;
    const char* table;
    const char* mongo_name;
    bool is_virtual;
};
// As the table tree reads it (tree: the first text of each name; a name that is no
// text is none) and as validation's comparison list reads it (ref: the last field of
// each name, empty when it is no text); the virtual flag from the boolean fields.
// False when the document cannot be walked (the tree skips it, the list keeps it empty).
bool read_tables_document(const bson_t* doc, db_table_doc_t* tree, db_table_doc_t* ref);

// A columns document into a new column (new_column): id, names, numbers and flags as
// the column reader takes them; the list and the index entries are the caller's. True
// when the mongo_name it keeps is "_id": the column then goes to the head of its list.
bool read_column_document(const bson_t* doc, db_column_t* column);

// An index document into a zero-filled entry: sql_col_name (when text), index,
// index_name (none when absent or not text), the four flags (false unless boolean true
// as the last of its name), from_schema set.
void read_index_document(const bson_t* doc, db_index_t* entry);

// Validation's check of one document of a schema collection of the kind (1 tables,
// 2 columns, 3 index): false when a field is not among the kind's allowed names, or
// when the document cannot be walked.
bool schema_document_allowed(const bson_t* doc, int kind);

// Find options for reading a whole collection: replies of 20,000 documents (the server
// still stops one at its message size), so a few round trips read a large schema, and no
// one reply takes a server long enough to be taken for one gone: FerretDB builds a
// reply of 100,000 columns documents in about as long as a request is given.
// The caller destroys the options.
bson_t* whole_collection_opts(void);

#endif
