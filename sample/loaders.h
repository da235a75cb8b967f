// Filling the data sample grid from the table's collection.
#ifndef BROLIX_SAMPLE_LOADERS_H
#define BROLIX_SAMPLE_LOADERS_H

#include <QString>

class QTableWidget;
struct DBINFO;
struct sample_column_t;

// One row per document, one cell per shown column (base tables and the Detail View).
void load_document_rows(DBINFO* dbinfo, QTableWidget* grid, sample_column_t* columns,
                        const QString& catalog, const QString& table);
// One row per element of the top-level array array_name (the Driver View).
void load_array_rows(DBINFO* dbinfo, QTableWidget* grid, const QString& key_name,
                     const QString& array_name);
void set_null_cell(QTableWidget* grid, int row, int column);

#endif
