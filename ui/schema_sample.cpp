// The data sample under the grid, the paging buttons and their states.
#include "ui/schema.h"

#include "core/connect.h"
#include "core/records.h"
#include "discovery/types.h"
#include "sample/loaders.h"
#include "sample/render.h"
#include "ui/grid.h"
#include "ui_schema.h"

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <cstdlib>
#include <cstring>

namespace {

// Appends the rows to the grid, read only.
void fill_sample_grid(QTableWidget* grid, const sample_rows_t& rows)
{
    for (const std::vector<std::string>& cells : rows) {
        int row = grid->rowCount();
        grid->insertRow(row);
        grid->setRowHeight(row, 20);
        for (size_t c = 0; c < cells.size(); ++c) {
            QTableWidgetItem* item = new QTableWidgetItem(QString::fromStdString(cells[c]));
            item->setFlags(item->flags() & ~Qt::ItemIsEditable);
            grid->setItem(row, static_cast<int>(c), item);
        }
    }
}

QTableWidgetItem* header_item(const QString& text)
{
    QTableWidgetItem* item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return item;
}

// "tags.2" -> 2: the element of the virtual table's array that a Detail View column reads.
bool element_number(const QByteArray& mongo_name, int* number)
{
    int dot = mongo_name.lastIndexOf('.');
    if (dot < 0 || dot + 1 >= mongo_name.size())
        return false;
    bool ok = false;
    *number = mongo_name.mid(dot + 1).toInt(&ok, 10);
    return ok;
}
}

// Reads the sample's rows as server work and fills the sample grid with what was read.
template <typename Read> void Schema::showSampleRows(DBINFO* dbInfo, Read read)
{
    QTableWidget* data = ui->dataWidget;
    data->resizeColumnsToContents();
    sample_rows_t rows;
    bson_error_t error{};
    bool whole = false;
    serverWork([&] { whole = read(&rows, &error); });
    fill_sample_grid(data, rows);
    if (!whole)
        noteReadFault("The data sample of '" + dbInfo->table + "'", SIDE_DATA, &error);
    data->resizeColumnsToContents();
    data->horizontalHeader()->setStretchLastSection(true);
}

void Schema::refreshData(DBINFO* dbInfo)
{
    QTableWidget* data = ui->dataWidget;
    QTableWidget* grid = ui->tableWidget;
    for (int r = data->rowCount() - 1; r >= 0; --r)
        data->removeRow(r);

    if (!dbInfo->virtual_table.isEmpty() && ui->viewMode->currentIndex() == 1) {
        data->hide();
        data->setColumnCount(3);
        for (int c = 0; c < 3; ++c)
            data->setHorizontalHeaderItem(c, header_item(QString::fromUtf8(cellBytes(c, DRIVER_COL_SQL_NAME))));
        QString key_name = QString::fromUtf8(cellBytes(0, DRIVER_COL_MONGO_NAME));
        QString array_name = QString::fromUtf8(cellBytes(1, DRIVER_COL_MONGO_NAME));
        showSampleRows(dbInfo, [&](sample_rows_t* rows, bson_error_t* error) {
            return read_array_rows(dbInfo, key_name, array_name, rows, error);
        });
        data->show();
        return;
    }

    data->hide();
    if (sender() && grid->currentColumn() == COL_SQL_NAME) {
        int row = grid->currentRow();
        QTableWidgetItem* mongo = grid->item(row, COL_MONGO_NAME);
        if (mongo && cellBytes(row, COL_MONGO_NAME) == "New Column")
            mongo->setText(QString::fromUtf8(cellBytes(row, COL_SQL_NAME)));
    }

    int shown = countVisibleRows(grid);
    data->setColumnCount(shown);
    if (shown == 0) {
        data->show();
        return;
    }
    sample_column_t* head = nullptr;
    sample_column_t** link = &head;
    int k = 0;
    for (int row = 0; row < grid->rowCount(); ++row) {
        if (!isColumnVisible(grid, row))
            continue;
        QTableWidgetItem* header = header_item(QString::fromUtf8(cellBytes(row, COL_SQL_NAME)));
        QByteArray mongo_name = cellBytes(row, COL_MONGO_NAME);
        int number;
        if (!dbInfo->virtual_table.isEmpty() && element_number(mongo_name, &number))
            header->setToolTip(QString("Virtual Table %1$index is : %2").arg(dbInfo->virtual_table).arg(number));
        data->setHorizontalHeaderItem(k++, header);
        sample_column_t* column = static_cast<sample_column_t*>(record_alloc(sizeof(sample_column_t)));
        column->mongo_name = copy_text(mongo_name.constData());
        column->sql_type = sql_type_of_name(cellBytes(row, COL_SQL_TYPE).constData());
        column->mongo_type = mongo_type_of_name(cellBytes(row, COL_MONGO_TYPE).constData());
        column->length = leading_decimal(cellBytes(row, COL_LENGTH).constData());
        column->precision = leading_decimal(cellBytes(row, COL_PRECISION).constData());
        column->scale = leading_decimal(cellBytes(row, COL_SCALE).constData());
        *link = column;
        link = &column->next;
    }
    showSampleRows(dbInfo, [&](sample_rows_t* rows, bson_error_t* error) {
        return read_document_rows(dbInfo, head, dbInfo->catalog, dbInfo->table, rows, error);
    });
    free_sample_columns(head);
    data->show();
}

void Schema::clearGrids()
{
    for (QTableWidget* grid : {ui->tableWidget, ui->dataWidget}) {
        grid->hide();
        for (int r = grid->rowCount() - 1; r >= 0; --r)
            grid->removeRow(r);
        grid->show();
    }
}

void Schema::paging_moved(int page)
{
    read_fault.clear();
    if (edited) {
        updateColumnsFromGrid(false);
        edited = false;
        left_with_edits = true;
    }
    dbinfo.current_page = page;
    clearGrids();
    fillGrid(dbinfo.table, dbinfo.virtual_table, dbinfo.current_page, 1);
    refreshData(&dbinfo);
}

void Schema::on_pushButtonFirstPage_clicked() { paging_moved(1); }
void Schema::on_pushButtonLastPage_clicked() { paging_moved(dbinfo.page_count); }
void Schema::on_pushButtonPageUp_clicked() { paging_moved(dbinfo.current_page - 1); }
void Schema::on_pushButtonPageDown_clicked() { paging_moved(dbinfo.current_page + 1); }

void Schema::showButtons(int view)
{
    QString label = "Data Sample";
    if (view == 2) {
        for (QPushButton* b : {ui->pushButtonFirstPage, ui->pushButtonLastPage, ui->pushButtonPageUp,
                               ui->pushButtonPageDown, ui->pushButtonInsert, ui->pushButtonRemove,
                               ui->pushButtonSave})
            b->setEnabled(false);
    } else {
        bool rows = ui->tableWidget->rowCount() > 0;
        ui->pushButtonRemove->setEnabled(rows);
        for (QPushButton* b : {ui->pushButtonFirstPage, ui->pushButtonLastPage, ui->pushButtonPageUp,
                               ui->pushButtonPageDown})
            b->setEnabled(false);
        if (dbinfo.page_count > 0) {
            bool forward = dbinfo.current_page < dbinfo.page_count;
            bool back = dbinfo.current_page > 1;
            ui->pushButtonPageDown->setEnabled(forward);
            ui->pushButtonLastPage->setEnabled(forward);
            ui->pushButtonFirstPage->setEnabled(back);
            ui->pushButtonPageUp->setEnabled(back);
        }
        ui->pushButtonInsert->setEnabled(true);
        ui->pushButtonRemove->setEnabled(rows);
        if (dbinfo.mode == MODE_EDIT)
            ui->pushButtonSave->setEnabled(!columns_unread);
        if (dbinfo.page_count > 0)
            label = QString("Data Sample - Showing Page %1 of %2").arg(dbinfo.current_page).arg(dbinfo.page_count);
    }
    ui->dataMsg->setText(label);
}
