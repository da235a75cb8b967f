// The schema's columns documents as start-up last had them whole: read to the end by
// validation, or written by creation. While start-up holds the table tree, the tree's
// virtual-table names and the first table's columns are served from here rather than by
// queries that have the server scan the collection again. Every other write to the
// columns collection forgets them.
#ifndef BROLIX_STORE_SEEN_H
#define BROLIX_STORE_SEEN_H

#include "store/write/fields.h"
#include "store/write/write.h"

#include <functional>
#include <string>

struct DBINFO;

// Starts a new record for dbinfo's schema database; the old one goes.
void seen_columns_start(const DBINFO* dbinfo);
// Adds a copy of a document the collection holds (to a record being made or a whole one).
void seen_columns_add(const bson_t* doc);
// The same with its keys already read (read_column_keys).
void seen_columns_add(const bson_t* doc, const column_keys_t& keys);
// Ends the record: it serves only when it holds the whole collection.
void seen_columns_finish(bool whole);
// Takes out the documents of the tables, as a removal by catalog, schema and table does.
void seen_columns_remove_tables(const char* catalog, const char* schema, const std::vector<std::string>& tables);
void seen_columns_forget(void);

// The table's documents sorted by sql_name as the server sorts them; false when they
// are not known here (the caller asks the server).
bool seen_table_columns(const DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                        doc_refs_t* docs);
// Hands each document of the catalog and schema to take, in the order they were read (also
// without a table tree); false, taking none, when they are not known here. A document
// handed over lasts only for the call: a catalog of 10,000 tables has 300,000 of them.
bool seen_catalog_columns(const DBINFO* dbinfo, const char* catalog, const char* schema,
                          const std::function<void(const doc_ref_t&)>& take);
// The sql_table and sql_name (null when it has none) of each document of the catalog and
// schema whose virtual_array is true: by table in the order met, each table's sorted by
// name (the order a table's virtual tables are read in). The names point into the record.
bool seen_virtual_names(const DBINFO* dbinfo, const char* catalog, const char* schema,
                        const std::function<void(const char* table, const char* name)>& take);

#endif
