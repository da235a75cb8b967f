// Edit checks on the column grid, and reading a page back into the column records.
#include "ui/schema.h"

#include "core/message.h"
#include "core/records.h"
#include "discovery/types.h"
#include "ui/grid.h"
#include "ui_schema.h"

#include <QBrush>
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QLabel>
#include <QTableWidget>
#include <QTreeWidget>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const Qt::ItemFlags editable_flags = Qt::ItemIsEditable | Qt::ItemIsEnabled;
const Qt::ItemFlags read_only_flags = Qt::ItemIsEnabled;

void colour(QTableWidgetItem* item, bool red)
{
    item->setForeground(QBrush(red ? QColor(255, 0, 0) : QColor(0, 0, 0), Qt::SolidPattern));
}


} // namespace

void Schema::validateEdit()
{
    edited = true;
    QTableWidget* grid = ui->tableWidget;
    int row = grid->currentRow();
    int column = grid->currentColumn();
    if (!filling_grid)
        grid->blockSignals(true);
    checkCell(row, column);
    refreshData(&dbinfo);
    if (!filling_grid)
        grid->blockSignals(false);
    recordGridEdit(column);
}

void Schema::warn(const QString& warning)
{
    edit_warning = warning;
    ui->errorMsg->setText(warning);
}

void Schema::checkCell(int row, int column)
{
    if (row < 0 || column < 0)
        return;
    ui->errorMsg->setText("");
    edit_warning.clear();
    QTableWidget* grid = ui->tableWidget;
    QTableWidgetItem* item = grid->item(row, column);
    switch (column) {
    case COL_SQL_NAME:
        if (!item)
            return;
        if (markDuplicates(row, COL_SQL_NAME))
            warn(QString("Warning: Duplicate SQL Name '") + QString::fromUtf8(cellBytes(row, COL_SQL_NAME)) + "'");
        return;
    case COL_MONGO_NAME: {
        if (!item)
            return;
        if (markDuplicates(row, COL_MONGO_NAME))
            warn(QString("Warning: Duplicate MongoDB Name '") + QString::fromUtf8(cellBytes(row, COL_MONGO_NAME)) + "'");
        if (cellBytes(row, COL_MONGO_TYPE) != "Array")
            return;
        QByteArray name = cellBytes(row, COL_MONGO_NAME);
        bool dotted = countDots(name.constData()) > 0;
        bool hasBox = grid->cellWidget(row, COL_VIRTUAL) != nullptr;
        bool changed = false;
        if (!dotted && !hasBox) {
            addVirtualTableCheckBox(row, false);
            changed = true;
        } else if (dotted && hasBox) {
            removeVirtualTableCheckBox(row);
            changed = true;
        }
        if (changed)
            rebuildMenuVirtualTables(ui->treeWidget->currentItem());
        return;
    }
    case COL_LENGTH:
    case COL_PRECISION:
    case COL_SCALE: {
        if (!item)
            return;
        if (checkNumber(item)) {
            const char* what = column == COL_LENGTH ? "Warning: Invalid Length Value : '"
                               : column == COL_PRECISION ? "Warning: Invalid Precision Value : '"
                                                         : "Warning: Invalid Scale Value : '";
            warn(QString(what) + item->text() + "'");
        }
        return;
    }
    default:
        return;
    }
}

bool Schema::markDuplicates(int row, int column)
{
    QTableWidget* grid = ui->tableWidget;
    int rows = grid->rowCount();
    std::vector<bool> marked(rows, false);
    bool pair = false;
    for (int i = 0; i < rows; ++i) {
        QTableWidgetItem* a = grid->item(i, column);
        if (!a)
            continue;
        for (int j = i + 1; j < rows; ++j) {
            QTableWidgetItem* b = grid->item(j, column);
            if (b && a->text() == b->text()) {
                marked[i] = marked[j] = true;
                pair = true;
            }
        }
    }
    if (!pair && dbinfo.page_count > 1 && row >= 0 && row < rows) {
        QByteArray text = cellBytes(row, column);
        for (db_column_t* c = dbinfo.columns; c; c = c->next) {
            if (c->on_page)
                continue;
            const char* name = column == COL_SQL_NAME ? c->sql_name : c->mongo_name;
            if (name && text == name) {
                marked[row] = true;
                break;
            }
        }
    }
    bool any = false;
    for (int i = 0; i < rows; ++i) {
        if (QTableWidgetItem* item = grid->item(i, column))
            colour(item, marked[i]);
        any = any || marked[i];
    }
    return any;
}

bool Schema::checkNumber(QTableWidgetItem* item)
{
    QString text = item->text();
    if (text.isEmpty()) {
        colour(item, false);
        return false;
    }
    bool ok = false;
    int value = text.toInt(&ok, 10);
    bool invalid = !ok || value < 0;
    colour(item, invalid);
    return invalid;
}

int Schema::countDots(const char* text)
{
    int n = 0;
    for (const char* p = text; p && *p; ++p)
        n += *p == '.';
    return n;
}

void Schema::new_sqltype(int i)
{
    QTableWidget* grid = ui->tableWidget;
    edited = true;
    grid->setCurrentCell(i, COL_SQL_TYPE);
    if (!filling_grid)
        grid->blockSignals(true);
    if (QComboBox* combo = qobject_cast<QComboBox*>(grid->cellWidget(i, COL_SQL_TYPE))) {
        QString name = combo->currentText();
        int code = name == "SQL_VARCHAR" ? 12
                   : name == "SQL_LONGVARCHAR" ? -1
                   : name == "SQL_WVARCHAR" ? -9
                   : name == "SQL_WLONGVARCHAR" ? -10
                   : name == "SQL_NUMERIC" ? 2
                                           : 0;
        QTableWidgetItem* length = grid->item(i, COL_LENGTH);
        QTableWidgetItem* precision = grid->item(i, COL_PRECISION);
        QTableWidgetItem* scale = grid->item(i, COL_SCALE);
        if (length && precision && scale) {
            for (QTableWidgetItem* item : {length, precision, scale}) {
                item->setText("");
                item->setFlags(editable_flags);
            }
            if (code == 12 || code == -9) {
                length->setText("255");
                precision->setFlags(read_only_flags);
                scale->setFlags(read_only_flags);
            } else if (code == 2) {
                precision->setText("10");
                scale->setText("2");
                length->setFlags(read_only_flags);
            } else {
                length->setFlags(read_only_flags);
                precision->setFlags(read_only_flags);
                scale->setFlags(read_only_flags);
            }
        }
    }
    if (!filling_grid) {
        refreshData(&dbinfo);
        grid->blockSignals(false);
    }
    recordGridEdit(COL_SQL_TYPE);
}

void Schema::new_mongotype(int i)
{
    QTableWidget* grid = ui->tableWidget;
    edited = true;
    grid->setCurrentCell(i, COL_MONGO_TYPE);
    if (!filling_grid)
        grid->blockSignals(true);
    if (QComboBox* combo = qobject_cast<QComboBox*>(grid->cellWidget(i, COL_MONGO_TYPE))) {
        QByteArray name = cellBytes(i, COL_MONGO_NAME);
        if (combo->currentText() == "Array" && dbinfo.virtual_table.isEmpty() && countDots(name.constData()) == 0)
            addVirtualTableCheckBox(i, false);
        else
            removeVirtualTableCheckBox(i);
    }
    QTableWidgetItem* length = grid->item(i, COL_LENGTH);
    if (length && length->text().isEmpty()) {
        length->setText("255");
        length->setFlags(length->flags() & Qt::ItemIsEditable ? read_only_flags : editable_flags);
    }
    if (!filling_grid) {
        refreshData(&dbinfo);
        grid->blockSignals(false);
    }
    recordGridEdit(COL_MONGO_TYPE);
}

void Schema::visibilityChanged(int row)
{
    QByteArray name = cellBytes(row, COL_SQL_NAME);
    if (name != "_id") {
        edited = true;
    } else if (dbinfo.mode != MODE_VIEW_ONLY && !isColumnVisible(ui->tableWidget, row)) {
        show_message("Hiding the identity column",
                     "The identity column will be hidden in the Data Sample but will remain in the schema.",
                     BTN_OK, BTN_OK);
    }
    refreshData(&dbinfo);
    recordGridEdit(COL_HIDE);
}

void Schema::highlight(QTableWidgetItem* item, bool state)
{
    colour(item, state);
}

namespace {

// Drops the records of the page from the list, but "_id", which takes id_length (the
// Length of grid row 0). Returns the record the page's new records follow: where the
// first dropped one stood, else the page's "_id" record, else none (the list's head).
db_column_t* drop_page_records(db_column_t** columns, int id_length)
{
    db_column_t* insertAfter = nullptr;
    bool dropped = false;
    for (db_column_t* c = *columns; c;) {
        db_column_t* next = c->next;
        if (c->on_page) {
            if (c->mongo_name && std::strcmp(c->mongo_name, "_id") == 0) {
                c->length = id_length;
            } else {
                if (!dropped) {
                    insertAfter = c->prev;
                    dropped = true;
                }
                if (c->prev)
                    c->prev->next = c->next;
                else
                    *columns = c->next;
                if (c->next)
                    c->next->prev = c->prev;
                if (insertAfter == c)
                    insertAfter = c->prev;
                free_column(c);
            }
        }
        c = next;
    }
    // Without a dropped record the new ones follow the page's "_id" record, if any.
    if (!dropped) {
        for (db_column_t* c = *columns; c; c = c->next)
            if (c->on_page) {
                insertAfter = c;
                break;
            }
    }
    return insertAfter;
}

void insert_after(db_column_t** columns, db_column_t* after, db_column_t* c)
{
    if (after) {
        c->prev = after;
        c->next = after->next;
        if (after->next)
            after->next->prev = c;
        after->next = c;
    } else {
        c->next = *columns;
        if (*columns)
            (*columns)->prev = c;
        *columns = c;
    }
}

} // namespace

void Schema::updateColumnsFromGrid(bool resetVAs)
{
    QTableWidget* grid = ui->tableWidget;
    QTreeWidgetItem* remembered = ui->treeWidget->currentItem();
    records_rewritten = true;

    db_column_t* insertAfter =
        drop_page_records(&dbinfo.columns, leading_decimal(cellBytes(0, COL_LENGTH).constData()));
    for (int row = 0; row < grid->rowCount(); ++row) {
        QByteArray sqlName = cellBytes(row, COL_SQL_NAME);
        if (sqlName == "_id")
            continue;
        db_column_t* c = new_column();
        c->sql_name = copy_text(sqlName.constData());
        c->sql_type = sql_type_of_name(cellBytes(row, COL_SQL_TYPE).constData());
        c->mongo_name = copy_text(cellBytes(row, COL_MONGO_NAME).constData());
        c->mongo_type = mongo_type_of_name(cellBytes(row, COL_MONGO_TYPE).constData());
        c->length = leading_decimal(cellBytes(row, COL_LENGTH).constData());
        c->precision = leading_decimal(cellBytes(row, COL_PRECISION).constData());
        c->scale = leading_decimal(cellBytes(row, COL_SCALE).constData());
        c->visible = isColumnVisible(grid, row);
        c->virtual_array = isVirtualTableChecked(grid, row);
        c->on_page = false;
        insert_after(&dbinfo.columns, insertAfter, c);
        insertAfter = c;
    }

    if (dbinfo.mode != MODE_VIEW_ONLY && resetVAs) {
        QTreeWidgetItem* now = rebuildMenuVirtualTables(remembered);
        if (now && now != remembered) {
            if (now->type() == ITEM_VIRTUAL_TABLE && now->parent() && now->parent()->parent()) {
                dbinfo.catalog = now->parent()->parent()->text(0);
                dbinfo.table = now->parent()->text(0);
                dbinfo.virtual_table = now->text(0);
            } else if (now->type() == ITEM_TABLE && now->parent()) {
                dbinfo.catalog = now->parent()->text(0);
                dbinfo.table = now->text(0);
                dbinfo.virtual_table = "";
            }
            updateLabels();
        }
    }
}
