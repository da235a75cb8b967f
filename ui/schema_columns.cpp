// Inserting and removing column rows.
#include "ui/schema.h"

#include "core/message.h"
#include "ui/grid.h"
#include "ui_schema.h"

#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>

void Schema::on_pushButtonInsert_clicked()
{
    QTableWidget* grid = ui->tableWidget;
    int existing = -1;
    if (findNewColumnRow(grid, &existing)) {
        QTreeWidgetItem* current = ui->treeWidget->currentItem();
        bool insideVirtualTable = !(current && current->type() == ITEM_TABLE);
        int row = insertionRow();
        addColumnRow(insideVirtualTable, "New Column", 12, nullptr, "New Column", 2, 255, 0, 0, true, false);
        grid->setCurrentCell(row, COL_SQL_NAME);
        resetGridUndo(true); // rows moved: the edits before cannot be taken back
    } else {
        grid->setCurrentCell(existing, COL_SQL_NAME);
    }
    if (grid->rowCount() > 0)
        ui->pushButtonRemove->setEnabled(true);
}

void Schema::on_pushButtonRemove_clicked()
{
    QTableWidget* grid = ui->tableWidget;
    int row = grid->currentRow();
    int column = grid->currentColumn();
    if (column != 0 || row < 0) {
        show_message("To Remove Column,", "please select SQL Name to remove.", BTN_OK, BTN_OK);
        return;
    }
    if (row == 0 && dbinfo.current_page == 1) {
        show_message("Cannot Remove '_id' Column.", "Sorry, this column cannot be removed.", BTN_OK, BTN_OK);
        return;
    }
    grid->removeRow(row);
    edited = true;
    remapRowWidgets();
    int rows = grid->rowCount();
    if (rows > 0)
        grid->setCurrentCell(row < rows ? row : rows - 1, COL_SQL_NAME);
    ui->pushButtonRemove->setEnabled(rows > 0);
    refreshData(&dbinfo);
    resetGridUndo(true); // rows moved: the edits before cannot be taken back
}
