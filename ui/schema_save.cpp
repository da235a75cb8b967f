// Saving the current table, and the question asked before edits are left behind.
#include "ui/schema.h"

#include "core/message.h"
#include "store/save.h"
#include "ui_schema.h"

#include <QLabel>
#include <QTimer>
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
    if (dbinfo.catalog != QString::fromLocal8Bit(dbinfo.database)) {
        // Its index entries and virtual tables come from its own database's collection,
        // which this window has no connection to: written here they would land in the
        // connected catalog.
        ui->errorMsg->setText("Not saved: '" + dbinfo.table + "' is a table of the catalog '" + dbinfo.catalog +
                              "'. Open the editor on the database '" + dbinfo.catalog + "' to save it.");
        left_with_edits = edited || left_with_edits; // kept in the grid, not reloaded
        return;
    }
    if (edited)
        updateColumnsFromGrid(true);
    ui->errorMsg->setText("Saving Schema: In progress, please wait ...");
    process_pending_events();
    // A server gone before or half-way leaves the table unsaved or incomplete: say which
    // part, and write it again from the records while the user wants (Enter does: the
    // edits are safest written). A close asked for meanwhile waits for the answers.
    saving = true;
    int left = 0;
    bool saved = false;
    // A save cancelled may have written part of the table whatever it could tell: it is
    // taken for incomplete, the edits kept.
    if (!serverWork([&] { saved = save_table(&dbinfo, dbinfo.columns, &left); }) && !saved)
        left |= SAVE_INCOMPLETE;
    // While Exit or a close waits, its own question about the edits comes next instead.
    while (!saved && close_pending == CLOSE_NONE) {
        const char* part = left & SAVE_LEFT_COLUMNS ? "columns" : left & SAVE_LEFT_INDEXES ? "index entries"
                                                                                           : "virtual tables";
        bool incomplete = left & SAVE_INCOMPLETE;
        QByteArray text = "Table '" + dbinfo.table.toLocal8Bit() + "' was not saved" +
                          (incomplete ? QByteArray(" in full: its ") + part + " were not all written."
                                      : QByteArray(": the schema holds it as it was."));
        if (show_message(text.constData(),
                         incomplete ? "The server did not answer. Your edits are kept.<br><br>Press 'Yes' to write "
                                      "the table again or 'No' to keep the edits for a later save."
                                    : "The server did not answer.<br><br>Press 'Yes' to try again or 'No' to "
                                      "leave the schema as it was.",
                         BTN_YES_NO, BTN_YES) != BTN_YES)
            break;
        if (!serverWork([&] { saved = save_table(&dbinfo, dbinfo.columns, &left); }) && !saved)
            left |= SAVE_INCOMPLETE;
    }
    ui->errorMsg->setText("");
    process_pending_events();
    edited = false;
    // A table not saved keeps its edits pending: leaving it asks again.
    left_with_edits = !saved;
    saving = false;
    if (close_pending != CLOSE_NONE)
        QTimer::singleShot(0, this, [this] { finishPendingClose(); });
}

void Schema::save_triggered()
{
    if (show_message("Save current schema?", "", BTN_YES_NO, BTN_YES) != BTN_YES)
        return;
    saveSchema();
    if (left_with_edits)
        return; // the records hold what the schema lacks: no reload from it
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
