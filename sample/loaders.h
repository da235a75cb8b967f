// Filling the data sample grid from the table's collection.
#ifndef BROLIX_SAMPLE_LOADERS_H
#define BROLIX_SAMPLE_LOADERS_H

#include <QString>

class QTableWidget;
struct DBINFO;
struct sample_column_t;

// Both loaders give false when the read broke off (the grid keeps the rows read before),
// with the library's error in error_text (2048 bytes) when one is given.
// One row per document, one cell per shown column (base tables and the Detail View).
bool load_document_rows(DBINFO* dbinfo, QTableWidget* grid, sample_column_t* columns,
                        const QString& catalog, const QString& table, char* error_text = nullptr);
// One row per element of the top-level array array_name (the Driver View).
bool load_array_rows(DBINFO* dbinfo, QTableWidget* grid, const QString& key_name,
                     const QString& array_name, char* error_text = nullptr);
void set_null_cell(QTableWidget* grid, int row, int column);

#endif
