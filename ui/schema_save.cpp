// Saving the current table, and the question asked before edits are left behind.
#include "ui/schema.h"

#include "app/message.h"
#include "store/save.h"
#include "ui_schema.h"

#include <QLabel>
#include <QTreeWidget>
#include <cstdio>

namespace {
enum { ITEM_TABLE = 2, ITEM_VIRTUAL_TABLE = 3 };
}

void Schema::saveSchema()
{
    if (columns_unread) {
        // Saving the empty grid would remove every column the schema holds.
        ui->errorMsg->setText("Not saved: the columns of '" + dbinfo.table +
                              "' were not read from the schema. Pick the table again once the server answers.");
        return;
    }
    if (edited)
        updateColumnsFromGrid(true);
    ui->errorMsg->setText("Saving Schema: In progress, please wait ...");
    process_pending_events();
    save_table_columns(&dbinfo, dbinfo.columns);
    ui->errorMsg->setText("");
    process_pending_events();
    edited = false;
    left_with_edits = false;
}

void Schema::save_triggered()
{
    if (show_message("Save current schema?", "", BTN_YES_NO, BTN_YES) != BTN_YES)
        return;
    saveSchema();
    clearGrids();
    fillGrid(dbinfo.table, dbinfo.virtual_table, dbinfo.current_page, 0);
    refreshData(&dbinfo);
}

void Schema::on_pushButtonSave_clicked()
{
    save_triggered();
}

QTreeWidgetItem* Schema::schema_changed(QTreeWidgetItem* currItem)
{
    if (dbinfo.mode == MODE_READ_ONLY) {
        resetMenuVirtualTables();
        return currItem;
    }
    if (dbinfo.mode == MODE_VIEW_ONLY)
        return currItem;
    if (!edited && !left_with_edits)
        return currItem;

    QByteArray table = dbinfo.table.toLocal8Bit();
    QByteArray virtualTable = dbinfo.virtual_table.toLocal8Bit();
    QByteArray left = virtualTable.isEmpty() ? "table '" + table + "'"
                                             : "virtual table '" + table + "." + virtualTable + "'";
    QByteArray text = "Schema for " + left + " was edited.";
    if (show_message(text.constData(), "Do you want to save any changes made?", BTN_YES_NO, BTN_YES) == BTN_YES) {
        saveSchema();
        return ui->treeWidget->currentItem();
    }

    if (!currItem)
        return nullptr;
    QTreeWidgetItem* parent = nullptr;
    QString name;
    bool isVirtual = currItem->type() == ITEM_VIRTUAL_TABLE;
    if (isVirtual) {
        parent = currItem->parent();
        name = currItem->text(0);
    }
    resetMenuVirtualTables();
    if (!isVirtual)
        return currItem;

    // The virtual-table items were made anew: find the one of the same name.
    QTreeWidgetItem* found = parent;
    for (QTreeWidgetItemIterator it(ui->treeWidget); *it; ++it) {
        if ((*it)->parent() == parent && (*it)->text(0) == name) {
            found = *it;
            break;
        }
    }
    if (found) {
        ui->treeWidget->setCurrentItem(found);
        found->setSelected(true);
        if (found != parent && parent)
            parent->setSelected(false);
    }
    return found;
}
