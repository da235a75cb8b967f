// The table tree: catalogs, tables and their virtual tables, and picking an entry.
#include "ui/schema.h"

#include "core/records.h"
#include "core/schema_names.h"
#include "startup/schema_check.h"
#include "store/read/read.h"
#include "ui/grid.h"
#include "ui_schema.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <cstdlib>
#include <cstring>
#include <map>

void Schema::run_schema_check()
{
    if (!check_schema_at_start(&dbinfo))
        std::exit(0);
    setWindowTitle(mode_title(dbinfo.mode));
    updateLabels();
    if (dbinfo.mode != MODE_VIEW_ONLY)
        read_table_tree(&dbinfo);
    buildTree(&dbinfo);
    if (dbinfo.mode != MODE_VIEW_ONLY)
        release_table_tree(&dbinfo);
}

void Schema::buildTree(DBINFO* dbInfo)
{
    ui->treeWidget->setColumnCount(1);
    for (db_catalog_t* cat = dbInfo->tables; cat; cat = cat->next) {
        QTreeWidgetItem* catalogItem = new QTreeWidgetItem(ITEM_CATALOG);
        catalogItem->setText(0, QString::fromUtf8(cat->name));
        ui->treeWidget->addTopLevelItem(catalogItem);
        catalogItem->setExpanded(true);
        if (dbInfo->catalog.isEmpty())
            dbInfo->catalog = QString::fromUtf8(cat->name);
        for (db_schema_t* sch = cat->schemas; sch; sch = sch->next)
            addTableItems(dbInfo, catalogItem, QString::fromUtf8(sch->name), sch->tables);
    }
}

void Schema::addTableItems(DBINFO* dbInfo, QTreeWidgetItem* catalogItem, const QString& schemaName,
                           db_table_t* tables)
{
    if (dbInfo->schema.isEmpty())
        dbInfo->schema = schemaName;
    // The tree needs only the names of the virtual tables: one query per catalog and
    // schema asked for (loading the first table may change which), not one per table.
    std::map<std::pair<QByteArray, QByteArray>, db_table_vts_t*> vts;
    std::map<std::pair<QByteArray, QByteArray>, std::unordered_map<std::string_view, const db_name_t*>> names_of;
    // Once, not once a table: a connection by signature is looked up and parsed each time.
    if (tables)
        connect(ui->treeWidget, SIGNAL(itemPressed(QTreeWidgetItem*, int)), this,
                SLOT(clicked_on_Tree(QTreeWidgetItem*, int)), Qt::UniqueConnection);
    // The names of the catalog and schema asked for, while they stay the same.
    QString catalog_here, schema_here;
    const std::unordered_map<std::string_view, const db_name_t*>* names_here = nullptr;
    for (db_table_t* t = tables; t; t = t->next) {
        QTreeWidgetItem* item = new QTreeWidgetItem(ITEM_TABLE);
        item->setText(0, QString::fromUtf8(t->name));
        if (t->mongo_name) // for finding it by its collection
            item->setData(0, Qt::UserRole, QString::fromUtf8(t->mongo_name));
        if (dbInfo->mode != MODE_VIEW_ONLY) {
            if (!names_here || dbInfo->catalog != catalog_here || dbInfo->schema != schema_here) {
                catalog_here = dbInfo->catalog;
                schema_here = dbInfo->schema;
                std::pair<QByteArray, QByteArray> key(catalog_here.toUtf8(), schema_here.toUtf8());
                auto found = vts.find(key);
                if (found == vts.end()) {
                    found = vts.emplace(key, read_schema_virtual_names(dbInfo, key.first.constData(),
                                                                       key.second.constData())).first;
                    names_of[key] = virtual_names_by_table(found->second);
                }
                names_here = &names_of[key];
            }
            auto names = names_here->find(t->name);
            for (const db_name_t* n = names == names_here->end() ? nullptr : names->second; n; n = n->next) {
                QTreeWidgetItem* vt = new QTreeWidgetItem(ITEM_VIRTUAL_TABLE);
                vt->setText(0, QString::fromUtf8(n->name));
                item->addChild(vt);
            }
        }
        // Into the tree with its children: each child added there would be told to the view.
        catalogItem->addChild(item);
        item->setExpanded(true);
        if (dbInfo->table.isEmpty()) {
            dbInfo->table = QString::fromUtf8(t->name);
            ui->treeWidget->setCurrentItem(item);
            clicked_on_Tree(item, 0);
        }
    }
    for (auto& entry : vts)
        free_table_vts(entry.second);
}

namespace {

// What a pick names: "catalog.table", and the virtual table's name for one of those;
// false for an item that is no table.
bool picked_names(const QTreeWidgetItem* item, int column, QString* virtual_table, QString* qualified)
{
    if (!item || (item->type() != ITEM_TABLE && item->type() != ITEM_VIRTUAL_TABLE) || !item->parent())
        return false;
    if (item->type() == ITEM_TABLE) {
        *qualified = item->parent()->text(column) + "." + item->text(column);
        return true;
    }
    if (!item->parent()->parent())
        return false;
    *virtual_table = item->text(column);
    *qualified = item->parent()->parent()->text(column) + "." + item->parent()->text(column);
    return true;
}

} // namespace

void Schema::clicked_on_Tree(QTreeWidgetItem* item, int column)
{
    QString newVirtual;
    QString newQualified;
    if (!picked_names(item, column, &newVirtual, &newQualified))
        return;
    bool isVirtual = item->type() == ITEM_VIRTUAL_TABLE;
    if (newQualified == dbinfo.qualified_table && newVirtual == dbinfo.virtual_table && !dbinfo.view_switch)
        return;

    ui->errorMsg->setText("Loading Data: In progress, please wait ...");
    process_pending_events();
    read_fault.clear();
    QString oldQualified = dbinfo.qualified_table;

    if (!dbinfo.view_switch && ui->viewMode->currentIndex() != 0) {
        // The change of view picks the current item inside this pick, and that pick may
        // remake the pressed item (leaving a table puts its virtual-table items back): go
        // on with the item it left current.
        ui->viewMode->setCurrentIndex(0);
        item = ui->treeWidget->currentItem();
        if (!item)
            return;
    }

    if (dbinfo.mode == MODE_EDIT || !isVirtual) {
        QTreeWidgetItem* next = schema_changed(item);
        if (next)
            item = next;
    }

    if (dbinfo.mode != MODE_EDIT) {
        if (newQualified != dbinfo.qualified_table) {
            // The reset finds the table being left by name alone: with the same table name
            // in two catalogs it may remake the pressed item's siblings, the pressed item
            // with them. Its parent stays; take the new child of the same name.
            QTreeWidgetItem* parent = isVirtual ? item->parent() : nullptr;
            resetMenuVirtualTables();
            if (parent) {
                item = parent;
                for (int i = 0; i < parent->childCount(); ++i)
                    if (parent->child(i)->text(column) == newVirtual) {
                        item = parent->child(i);
                        break;
                    }
                ui->treeWidget->setCurrentItem(item);
            }
        }
        if ((edited || left_with_edits) && newQualified == dbinfo.qualified_table)
            updateColumnsFromGrid(false);
    }

    clearGrids();

    if (item->type() == ITEM_VIRTUAL_TABLE && item->parent() && item->parent()->parent()) {
        dbinfo.catalog = item->parent()->parent()->text(column);
        dbinfo.table = item->parent()->text(column);
        dbinfo.virtual_table = item->text(column);
    } else if (item->parent()) {
        dbinfo.catalog = item->parent()->text(column);
        dbinfo.table = item->text(column);
        dbinfo.virtual_table = "";
    }
    dbinfo.schema = SQL_SCHEMA;
    dbinfo.qualified_table = newQualified;

    fillGrid(dbinfo.table, dbinfo.virtual_table, 1, dbinfo.qualified_table == oldQualified ? 1 : 0);
    updateLabels();
    left_with_edits = false;
    resetGridUndo(false);

    ui->pushButtonDump->hide();
    if (dbinfo.debug_file[0]) {
        if (dbinfo.mode == MODE_VIEW_ONLY)
            ui->pushButtonDump->setText("Dump View");
        ui->pushButtonDump->show();
    }
    ui->viewMode->setVisible(!dbinfo.virtual_table.isEmpty());

    refreshData(&dbinfo);
    ui->errorMsg->setText(read_fault);
    process_pending_events();
}

void Schema::VTViewModeChanged(int)
{
    dbinfo.view_switch = true;
    clicked_on_Tree(ui->treeWidget->currentItem(), 0);
    dbinfo.view_switch = false;
}

QTreeWidgetItem* Schema::findTableItem()
{
    QByteArray table = dbinfo.table.toUtf8();
    for (int c = 0; c < ui->treeWidget->topLevelItemCount(); ++c) {
        QTreeWidgetItem* catalogItem = ui->treeWidget->topLevelItem(c);
        if (catalogItem->type() == ITEM_TABLE && catalogItem->text(0).toUtf8() == table)
            return catalogItem;
        for (int t = 0; t < catalogItem->childCount(); ++t) {
            QTreeWidgetItem* item = catalogItem->child(t);
            if (item->type() == ITEM_TABLE && item->text(0).toUtf8() == table)
                return item;
        }
    }
    return nullptr;
}

// Puts the table item's virtual-table children back from vt_names.
void Schema::replaceVirtualTableItems(QTreeWidgetItem* tableItem)
{
    for (int i = tableItem->childCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* child = tableItem->child(i);
        if (ui->treeWidget->currentItem() == child)
            ui->treeWidget->setCurrentItem(tableItem);
        delete tableItem->takeChild(i);
    }
    for (db_name_t* n = dbinfo.vt_names; n; n = n->next) {
        QTreeWidgetItem* vt = new QTreeWidgetItem(ITEM_VIRTUAL_TABLE);
        vt->setText(0, QString::fromUtf8(n->name));
        tableItem->addChild(vt);
    }
}

QTreeWidgetItem* Schema::rebuildMenuVirtualTables(QTreeWidgetItem*)
{
    QTreeWidgetItem* tableItem = findTableItem();
    free_names(dbinfo.vt_names);
    dbinfo.vt_names = nullptr;
    for (db_column_t* c = dbinfo.columns; c; c = c->next)
        if (c->virtual_array)
            dbinfo.vt_names = append_name(dbinfo.vt_names, c->sql_name);
    if (tableItem)
        replaceVirtualTableItems(tableItem);
    QTreeWidgetItem* result = ui->treeWidget->currentItem();
    if (dbinfo.mode == MODE_VIEW_ONLY) {
        free_names(dbinfo.vt_names);
        dbinfo.vt_names = nullptr;
    }
    return result;
}

void Schema::resetMenuVirtualTables()
{
    QTreeWidgetItem* tableItem = findTableItem();
    if (tableItem)
        replaceVirtualTableItems(tableItem);
}

void Schema::virtualityChanged(int row)
{
    recordGridEdit(COL_VIRTUAL);
    QByteArray name = cellBytes(row, COL_SQL_NAME);
    bool ticked = isVirtualTableChecked(ui->tableWidget, row);
    edited = true;
    QTreeWidgetItem* tableItem = findTableItem();
    if (tableItem) {
        for (int i = tableItem->childCount() - 1; i >= 0; --i) {
            if (tableItem->child(i)->text(0).toUtf8() == name) {
                if (ui->treeWidget->currentItem() == tableItem->child(i))
                    ui->treeWidget->setCurrentItem(tableItem);
                delete tableItem->takeChild(i);
                break;
            }
        }
    }
    if (ticked && tableItem) {
        QTreeWidgetItem* vt = new QTreeWidgetItem(ITEM_VIRTUAL_TABLE);
        vt->setText(0, QString::fromUtf8(name));
        tableItem->addChild(vt);
    }
    updateColumnsFromGrid(false);
    edited = false;
    left_with_edits = true;
    fillGrid(dbinfo.table, dbinfo.virtual_table, dbinfo.current_page, 1);
}

void Schema::updateLabels()
{
    QString schemaName = dbinfo.mode == MODE_VIEW_ONLY ? QString("None")
                                                       : QString::fromLocal8Bit(dbinfo.md_database);
    ui->labelCurrentSchema->setText("Schema : <b>" + schemaName + "</b>");
    if (dbinfo.virtual_table.isEmpty())
        ui->tableTitle->setText("Table : <b>" + dbinfo.table + "</b>");
    else
        ui->tableTitle->setText("Virtual Table : <b>" + dbinfo.table + "</b>_<b>" + dbinfo.virtual_table + "</b>");
    ui->treeWidget->setHeaderLabel(QString::fromLocal8Bit(dbinfo.database));
}
