// Saving the current table, and the question asked before edits are left behind.
#include "ui/schema.h"

#include "core/message.h"
#include "core/connect.h"
#include "core/records.h"
#include "store/write/journal.h"
#include "store/change/merge.h"
#include "store/read/read.h"
#include "store/change/save.h"
#include "ui/grid.h"
#include "ui_schema.h"

#include <QLabel>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>

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
    // A save not made, or left in the journal, says why and is offered again from the
    // records while the user wants (Enter does: the edits are safest written); one the
    // server refused is not: it would meet the same refusal. A close asked for meanwhile
    // waits for the answers.
    saving = true;
    int left = 0;
    bool saved = false, over = false, reloaded = false;
    auto attempt = [&] { serverWork([&] { saved = save_table(&dbinfo, dbinfo.columns, &left, over); }); };
    attempt();
    // While Exit or a close waits, its own question about the edits comes next instead.
    while (!saved && close_pending == CLOSE_NONE) {
        int outcome = last_save_outcome();
        QByteArray table = dbinfo.table.toLocal8Bit();
        if (outcome == CHANGE_REFUSED) // its box said what the server refused
            break;
        if (outcome == CHANGE_CONFLICT) {
            if (show_message(last_save_told(),
                             "Your edits are kept.<br><br>Press 'Yes' to read the table again with your edits on top "
                             "of it, or 'No' to choose whether to save over the other change.",
                             BTN_YES_NO, BTN_YES) == BTN_YES) {
                reloaded = true;
                break;
            }
            if (show_message(("Save table '" + table + "' over the other change?").constData(),
                             "What the other program changed in the table is lost.<br><br>Press 'Yes' to save over "
                             "it or 'No' to keep your edits for a later save.",
                             BTN_YES_NO, BTN_YES) != BTN_YES)
                break;
            over = true;
            attempt();
            continue;
        }
        const char* part = left & SAVE_LEFT_COLUMNS ? "columns" : left & SAVE_LEFT_INDEXES ? "index entries"
                                                                                           : "virtual tables";
        bool incomplete = left & SAVE_INCOMPLETE;
        QByteArray why = outcome == CHANGE_HELD || outcome == CHANGE_FENCED ? QByteArray(last_save_told())
                         : outcome == CHANGE_CANCELLED                      ? QByteArray("The save was cancelled.")
                                                                            : QByteArray("The server did not answer.");
        QByteArray text = "Table '" + table + "' was not saved" +
                          (incomplete ? QByteArray(" in full: its ") + part + " were not all written."
                                      : QByteArray(": the schema holds it as it was."));
        if (show_message(text.constData(),
                         (why + (incomplete ? " Your edits are kept.<br><br>Press 'Yes' to write the table again or "
                                              "'No' to keep the edits for a later save."
                                            : "<br><br>Press 'Yes' to try again or 'No' to leave the schema as it "
                                              "was."))
                             .constData(),
                         BTN_YES_NO, BTN_YES) != BTN_YES)
            break;
        attempt();
    }
    ui->errorMsg->setText("");
    process_pending_events();
    edited = false;
    // A table not saved keeps its edits pending: leaving it asks again.
    left_with_edits = !saved;
    resetGridUndo(left_with_edits);
    saving = false;
    if (reloaded)
        reloadWithEdits();
    if (close_pending != CLOSE_NONE)
        QTimer::singleShot(0, this, [this] { finishPendingClose(); });
}

void Schema::reloadWithEdits()
{
    QByteArray catalog = dbinfo.catalog.toUtf8(), schema = dbinfo.schema.toUtf8(), table = dbinfo.table.toUtf8();
    db_column_t* fresh = nullptr;
    db_name_t* names = nullptr;
    bson_error_t error{};
    serverWork([&] {
        fresh = read_table_columns(&dbinfo, catalog.constData(), schema.constData(), table.constData(), &names, &error);
    });
    if (error.domain) {
        free_columns(fresh);
        free_names(names);
        noteReadFault("The columns of '" + dbinfo.table + "'", SIDE_SCHEMA, &error);
        return;
    }
    db_column_t* merged = merge_column_edits(read_columns, dbinfo.columns, fresh);
    free_columns(dbinfo.columns);
    dbinfo.columns = merged;
    free_columns(read_columns);
    read_columns = fresh;
    free_names(dbinfo.vt_names);
    dbinfo.vt_names = names;
    fillGrid(dbinfo.table, dbinfo.virtual_table, dbinfo.current_page, 1);
    left_with_edits = true;
    resetGridUndo(true);
    ui->errorMsg->setText("Read again with your edits on top: look them over and save.");
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
