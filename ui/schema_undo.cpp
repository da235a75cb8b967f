// Taking back the grid's edits and making them again, in the order made, until the table
// is saved or left. Every edit is recorded as the rows it changed; a step puts those rows
// back as they were, runs the checks the edit ran, and derives whether the table is edited.
#include "ui/schema.h"

#include "core/records.h"
#include "store/change/merge.h"
#include "ui/grid.h"
#include "ui_schema.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTableWidget>

namespace {
const int text_columns[grid_row_t::TEXTS] = {COL_SQL_NAME, COL_MONGO_NAME, COL_LENGTH, COL_PRECISION, COL_SCALE};

QCheckBox* box_in(QTableWidget* grid, int row, int column)
{
    QWidget* cell = grid->cellWidget(row, column);
    return cell ? cell->findChild<QCheckBox*>() : nullptr;
}

QComboBox* combo_in(QTableWidget* grid, int row, int column)
{
    return qobject_cast<QComboBox*>(grid->cellWidget(row, column));
}
}

grid_row_t Schema::gridRow(int row)
{
    QTableWidget* grid = ui->tableWidget;
    grid_row_t state;
    for (int i = 0; i < grid_row_t::TEXTS; ++i)
        if (QTableWidgetItem* item = grid->item(row, text_columns[i])) {
            state.texts[i] = item->text();
            state.flags[i] = int(item->flags());
        }
    if (QComboBox* combo = combo_in(grid, row, COL_SQL_TYPE))
        state.sql_type = combo->currentIndex();
    if (QComboBox* combo = combo_in(grid, row, COL_MONGO_TYPE))
        state.mongo_type = combo->currentIndex();
    state.hidden = !isColumnVisible(grid, row);
    if (QCheckBox* box = box_in(grid, row, COL_VIRTUAL))
        state.virtual_box = box->isChecked() ? 1 : 0;
    return state;
}

bool Schema::setGridRow(int row, const grid_row_t& state)
{
    QTableWidget* grid = ui->tableWidget;
    QSignalBlocker quiet(grid);
    for (int i = 0; i < grid_row_t::TEXTS; ++i)
        if (QTableWidgetItem* item = grid->item(row, text_columns[i])) {
            item->setText(state.texts[i]);
            item->setFlags(Qt::ItemFlags(state.flags[i]));
        }
    // Set as they were, not chosen: a type's own consequences are in the row already.
    for (auto type : {std::make_pair(COL_SQL_TYPE, state.sql_type), std::make_pair(COL_MONGO_TYPE, state.mongo_type)})
        if (QComboBox* combo = combo_in(grid, row, type.first)) {
            QSignalBlocker still(combo);
            combo->setCurrentIndex(type.second);
        }
    if (QCheckBox* box = box_in(grid, row, COL_HIDE))
        box->setChecked(state.hidden);
    QCheckBox* box = box_in(grid, row, COL_VIRTUAL);
    if (!box && state.virtual_box >= 0)
        addVirtualTableCheckBox(row, state.virtual_box == 1);
    else if (box && state.virtual_box < 0)
        removeVirtualTableCheckBox(row);
    else if (box && box->isChecked() != (state.virtual_box == 1)) {
        box->setChecked(state.virtual_box == 1);
        return true;
    }
    return false;
}

void Schema::snapshotGridRows()
{
    shown_rows.clear();
    if (ui->tableWidget->columnCount() > COL_VIRTUAL)
        for (int row = 0; row < ui->tableWidget->rowCount(); ++row)
            shown_rows.push_back(gridRow(row));
}

void Schema::resetGridUndo(bool edited_before)
{
    grid_edits.clear(edited_before);
    snapshotGridRows();
    showUndoState();
}

// After an edit's own handling: the rows it changed, against the grid as last recorded.
void Schema::recordGridEdit(int column)
{
    QTableWidget* grid = ui->tableWidget;
    if (dbinfo.mode != MODE_EDIT || filling_grid || restoring_rows || grid->columnCount() <= COL_VIRTUAL)
        return;
    if (int(shown_rows.size()) != grid->rowCount()) { // rows came or went unrecorded: no way back past here
        resetGridUndo(true);
        return;
    }
    grid_edit_t edit{dbinfo.current_page, column, false, {}, {}, {}};
    for (int row = 0; row < grid->rowCount(); ++row) {
        grid_row_t now = gridRow(row);
        if (now == shown_rows[row])
            continue;
        grid_row_t hidden_only = shown_rows[row];
        hidden_only.hidden = now.hidden;
        edit.marks = edit.marks || now != hidden_only || cellBytes(row, COL_SQL_NAME) != "_id";
        edit.rows.push_back(row);
        edit.before.push_back(shown_rows[row]);
        edit.after.push_back(now);
        shown_rows[row] = now;
    }
    if (!edit.rows.empty())
        grid_edits.push(edit);
    showUndoState();
}

void Schema::stepGridEdit(bool back)
{
    if (working || dbinfo.mode != MODE_EDIT || (back ? grid_edits.done == 0 : grid_edits.done == grid_edits.edits.size()))
        return;
    const grid_edit_t edit = grid_edits.edits[back ? --grid_edits.done : grid_edits.done++];
    restoring_rows = true;
    if (edit.page != dbinfo.current_page)
        paging_moved(edit.page);
    QTableWidget* grid = ui->tableWidget;
    for (size_t i = 0; i < edit.rows.size() && edit.rows[i] < grid->rowCount(); ++i) {
        int row = edit.rows[i];
        grid->setCurrentCell(row, edit.column);
        if (setGridRow(row, back ? edit.before[i] : edit.after[i]))
            virtualityChanged(row); // the tree and the records follow the tick, as on a click
        else if (row < int(shown_rows.size()))
            shown_rows[row] = back ? edit.before[i] : edit.after[i];
    }
    restoring_rows = false;
    edited = grid_edits.edited();
    if (!edited) {
        left_with_edits = false;
        if (records_rewritten && read_columns) { // as read: index entries and all
            free_columns(dbinfo.columns);
            dbinfo.columns = copy_columns(read_columns);
            records_rewritten = false;
            fillGrid(dbinfo.table, dbinfo.virtual_table, dbinfo.current_page, 1);
        }
    }
    // The checks of a typed cell say again what they say of the state now.
    if (edit.column != COL_SQL_TYPE && edit.column != COL_MONGO_TYPE && edit.column < COL_HIDE) {
        QSignalBlocker quiet(grid);
        for (int row : edit.rows)
            checkCell(row, edit.column);
    }
    refreshData(&dbinfo);
    showUndoState();
}

void Schema::on_pushButtonUndo_clicked()
{
    stepGridEdit(true);
}

void Schema::on_pushButtonRedo_clicked()
{
    stepGridEdit(false);
}

void Schema::showUndoState()
{
    bool on = dbinfo.mode == MODE_EDIT;
    ui->pushButtonUndo->setEnabled(on && grid_edits.done > 0);
    ui->pushButtonRedo->setEnabled(on && grid_edits.done < grid_edits.edits.size());
}
