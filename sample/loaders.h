// The data sample under the column grid: read from the table's collection off the
// window's thread, then put into the grid.
#ifndef BROLIX_SAMPLE_LOADERS_H
#define BROLIX_SAMPLE_LOADERS_H

#include <QString>
#include <bson/bson.h>
#include <string>
#include <vector>

struct DBINFO;
struct sample_column_t;

// Rows of cell texts as the grid shows them ("<null>" where a document lacks the field).
typedef std::vector<std::vector<std::string>> sample_rows_t;

// Both readers give false when the read broke off (the rows read before stay), with the
// library's error in error. They touch no widget.
// One row per document, one cell per shown column (base tables and the Detail View).
bool read_document_rows(DBINFO* dbinfo, sample_column_t* columns, const QString& catalog, const QString& table,
                        sample_rows_t* rows, bson_error_t* error);
// One row per element of the top-level array array_name (the Driver View).
bool read_array_rows(DBINFO* dbinfo, const QString& key_name, const QString& array_name, sample_rows_t* rows,
                     bson_error_t* error);

#endif
