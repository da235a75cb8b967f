// Slots not written yet.
#include "ui/schema.h"

#include <QTreeWidgetItem>

void Schema::run_schema_check() {}
void Schema::clicked_on_Tree(QTreeWidgetItem*, int) {}
void Schema::new_sqltype(int) {}
void Schema::new_mongotype(int) {}
void Schema::validateEdit() {}
void Schema::refreshData(DBINFO*) {}
void Schema::visibilityChanged(int) {}
void Schema::virtualityChanged(int) {}
void Schema::resetMenuVirtualTables() {}
QTreeWidgetItem* Schema::rebuildMenuVirtualTables(QTreeWidgetItem*) { return nullptr; }
void Schema::save_triggered() {}
QTreeWidgetItem* Schema::schema_changed(QTreeWidgetItem* item) { return item; }
void Schema::on_pushButtonFirstPage_clicked() {}
void Schema::on_pushButtonLastPage_clicked() {}
void Schema::on_pushButtonPageUp_clicked() {}
void Schema::on_pushButtonPageDown_clicked() {}
void Schema::on_pushButtonRemove_clicked() {}
void Schema::on_pushButtonInsert_clicked() {}
void Schema::on_pushButtonSave_clicked() {}
void Schema::on_pushButtonDump_clicked() {}
void Schema::VTViewModeChanged(int) {}
void Schema::saveSchema() {}
void Schema::updateColumnsFromGrid(bool) {}
void Schema::highlight(QTableWidgetItem*, bool) {}
char* Schema::formatToolTipText(db_index_t*) { return nullptr; }
char* Schema::getVColToolTip() { return nullptr; }
void Schema::showButtons(int) {}
