// The column grid: pages of 18 column rows in three layouts, and the row widgets.
#include "ui/schema.h"

#include "core/connect.h"
#include "core/message.h"
#include "core/records.h"
#include "discovery/discover.h"
#include "discovery/types.h"
#include "store/change/merge.h"
#include "store/read/read.h"
#include "ui/grid.h"
#include "ui_schema.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QSignalMapper>
#include <QTableWidget>
#include <QTreeWidget>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const sql_combo_style =
    "QComboBox {background-color: white; border: 0px; width: 118px} QComboBox::drop-down "
    "{border-width: 0px;} QComboBox::down-arrow {border-width: 0px;}";
const char* const mongo_combo_style =
    "QComboBox {background-color: white; border: 0px; width: 78px} QComboBox::drop-down "
    "{border-width: 0px;} QComboBox::down-arrow {border-width: 0px;}";

const Qt::ItemFlags editable_flags = Qt::ItemIsEditable | Qt::ItemIsEnabled;
const Qt::ItemFlags read_only_flags = Qt::ItemIsEnabled;

QCheckBox* check_box_in(QWidget* container)
{
    return container ? container->findChild<QCheckBox*>() : nullptr;
}

QWidget* boxed(QCheckBox* box, int left_margin)
{
    QWidget* container = new QWidget();
    QHBoxLayout* layout = new QHBoxLayout(container);
    layout->addWidget(box);
    layout->setAlignment(Qt::AlignLeft);
    layout->setContentsMargins(left_margin, 0, 0, 0);
    return container;
}

bool belongs_to_virtual_table(const db_column_t* c, const char* array_name, bool have_array)
{
    if (c->sql_name && std::strcmp(c->sql_name, "_id") == 0)
        return true;
    if (!have_array || !c->mongo_name)
        return false;
    size_t n = std::strlen(array_name);
    return std::strcmp(c->mongo_name, array_name) == 0 ||
           (std::strncmp(c->mongo_name, array_name, n) == 0 && c->mongo_name[n] == '.');
}

const db_column_t* column_named(const db_column_t* c, const char* sql_name)
{
    for (; c; c = c->next)
        if (c->sql_name && std::strcmp(c->sql_name, sql_name) == 0)
            return c;
    return nullptr;
}

void choose(QComboBox* combo, int code)
{
    int index = combo->findData(code, Qt::UserRole, Qt::MatchExactly);
    if (index >= 0)
        combo->setCurrentIndex(index);
}

// A type column's combo box, mapped to the row for the slot that checks a choice; an
// unseen code is chosen before the mapping, so that no slot sees it.
struct type_list_t {
    const type_name_t* names;
    int count;
    const char* style;
};

QComboBox* typeCombo(QTableWidget* grid, int row, int column, const type_list_t& types, QSignalMapper* mapper,
                     int unseen_code = INT_MIN)
{
    QComboBox* combo = new QComboBox();
    for (int i = 0; i < types.count; ++i)
        combo->addItem(types.names[i].name, types.names[i].code);
    if (unseen_code != INT_MIN)
        choose(combo, unseen_code);
    combo->setStyleSheet(types.style);
    grid->setCellWidget(row, column, combo);
    QObject::connect(combo, SIGNAL(currentIndexChanged(int)), mapper, SLOT(map()));
    mapper->setMapping(combo, row);
    return combo;
}

// Length for a text type, precision and scale for NUMERIC; the others read only. The
// length's item.
QTableWidgetItem* setSizeItems(QTableWidget* grid, int row, int sqlType, int length, int precision, int scale)
{
    QTableWidgetItem* lengthItem = new QTableWidgetItem("");
    QTableWidgetItem* precisionItem = new QTableWidgetItem("");
    QTableWidgetItem* scaleItem = new QTableWidgetItem("");
    lengthItem->setFlags(editable_flags);
    precisionItem->setFlags(editable_flags);
    scaleItem->setFlags(editable_flags);
    if (is_text_sql_type(sqlType)) {
        lengthItem->setText(QString::number(length));
        precisionItem->setFlags(read_only_flags);
        scaleItem->setFlags(read_only_flags);
    } else if (sqlType == SQL_T_NUMERIC) {
        precisionItem->setText(QString::number(precision));
        scaleItem->setText(QString::number(scale));
        lengthItem->setFlags(read_only_flags);
    } else {
        lengthItem->setFlags(read_only_flags);
        precisionItem->setFlags(read_only_flags);
        scaleItem->setFlags(read_only_flags);
    }
    grid->setItem(row, COL_LENGTH, lengthItem);
    grid->setItem(row, COL_PRECISION, precisionItem);
    grid->setItem(row, COL_SCALE, scaleItem);
    return lengthItem;
}

} // namespace

void Schema::fillGrid(const QString& table, const QString& virtualTable, int page, int keep)
{
    if (keep == 0) {
        dbinfo.page_size = 18;
        dbinfo.column_count = 0;
        dbinfo.current_page = page;
        free_columns(dbinfo.columns);
        dbinfo.columns = nullptr;
        free_names(dbinfo.vt_names);
        dbinfo.vt_names = nullptr;
        dbinfo.page_count = 0;
    }
    setGridHeaders(ui->viewMode->currentIndex());
    if (virtualTable.isEmpty())
        fillTableGrid(table, page, keep);
    else if (ui->viewMode->currentIndex() == 0)
        fillVirtualTableGrid(table, virtualTable, page, keep);
    else
        fillDriverViewGrid(table, virtualTable);
}

void Schema::setGridHeaders(int view)
{
    QTableWidget* grid = ui->tableWidget;
    QStringList headers;
    if (view == 0)
        headers << "SQL Name" << "SQL Type" << "SQL Index" << "MongoDB Name" << "MongoDB Type"
                << "Length" << "Precision" << "Scale" << "Hide" << "Virtual Table";
    else
        headers << "SQL Name" << "SQL Type" << "MongoDB Name" << "MongoDB Type" << "Length";
    grid->setColumnCount(headers.size());
    for (int i = 0; i < headers.size(); ++i) {
        QTableWidgetItem* header = new QTableWidgetItem(headers[i]);
        if (view == 0 && i == COL_HIDE)
            header->setTextAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        else
            header->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        grid->setHorizontalHeaderItem(i, header);
    }
    grid->resizeColumnsToContents();
    grid->setRowCount(0);
}

namespace {
// Both base and Detail View fills take the records from the same place.
db_column_t* load_records(DBINFO* d, const QString& table, db_name_t** vt_names, bson_error_t* error)
{
    *vt_names = nullptr;
    QByteArray name = table.toUtf8();
    if (d->mode == MODE_VIEW_ONLY) {
        // Without a schema a pick samples its one collection.
        brolix_progress(0, 1, nullptr);
        db_column_t* columns = discover_columns(d, name.constData());
        brolix_progress(1, 1, name.constData());
        return columns;
    }
    return read_table_columns(d, d->catalog.toUtf8().constData(), d->schema.toUtf8().constData(),
                              name.constData(), vt_names, error);
}
}

void Schema::fillTableGrid(const QString& table, int page, int keep)
{
    fillColumnPage(table, QString(), page, keep);
}

void Schema::fillVirtualTableGrid(const QString& table, const QString& virtualTable, int page, int keep)
{
    fillColumnPage(table, virtualTable, page, keep);
}

// One page of column rows: of the whole table, or of the records of one virtual table.
void Schema::fillColumnPage(const QString& table, const QString& virtualTable, int page, int keep)
{
    QTableWidget* grid = ui->tableWidget;
    bool inside = !virtualTable.isEmpty();
    db_column_t* records = nullptr;
    db_name_t* names = nullptr;
    if (!table.isEmpty() && keep == 0) {
        free_columns(dbinfo.columns);
        free_names(dbinfo.vt_names);
        dbinfo.columns = nullptr;
        dbinfo.vt_names = nullptr;
        int side = dbinfo.mode == MODE_VIEW_ONLY ? SIDE_DATA : SIDE_SCHEMA;
        bson_error_t error{};
        bool answers = false;
        serverWork([&] {
            records = load_records(&dbinfo, table, &names, &error);
            // No records is also what a server gone away gives: ask it before trusting that.
            answers = error.domain == 0 && (records || side_answers(&dbinfo, side, &error));
        });
        columns_unread = !answers;
        records_rewritten = false;
        free_columns(read_columns);
        read_columns = answers ? copy_columns(records) : nullptr;
        // A read cut short shows what came, but it is no copy of the table to save.
        int read = 0;
        for (const db_column_t* c = records; c; c = c->next)
            ++read;
        if (columns_unread && read > 0)
            noteReadFault("The columns of '" + table + "' after the first " + QString::number(read) +
                              " (Save stays off)",
                          side, &error);
        else if (columns_unread)
            noteReadFault("The columns of '" + table + "'", side, &error);
    }
    grid->hide();
    filling_grid = true;
    grid->blockSignals(true);
    if (!table.isEmpty()) {
        if (keep != 0) {
            records = dbinfo.columns;
            names = dbinfo.vt_names;
            dbinfo.current_page = page;
        }
        dbinfo.columns = records;
        dbinfo.vt_names = names;
        // Without the array's own record only the "_id" row belongs to a virtual table.
        QByteArray vt = virtualTable.toUtf8();
        const db_column_t* array = inside ? column_named(records, vt.constData()) : nullptr;
        std::string array_name = array && array->mongo_name ? array->mongo_name : "";
        auto shown_here = [&](const db_column_t* c) {
            return !inside || belongs_to_virtual_table(c, array_name.c_str(), array != nullptr);
        };
        if (records) {
            int count = 0;
            for (db_column_t* c = records; c; c = c->next) {
                c->on_page = false;
                count += shown_here(c) ? 1 : 0;
            }
            dbinfo.column_count = count;
            if (dbinfo.current_page == 0)
                dbinfo.current_page = 1;
            // One page even when none of the records belongs to the virtual table shown.
            dbinfo.page_count = (count - 1) / dbinfo.page_size + 1;
        }
        int skip = (dbinfo.current_page - 1) * dbinfo.page_size;
        int shown = 0;
        for (db_column_t* c = records; c && shown < dbinfo.page_size; c = c->next) {
            if (!shown_here(c))
                continue;
            if (skip > 0) {
                --skip;
                continue;
            }
            c->on_page = true;
            addColumnRow(inside, c->sql_name, c->sql_type, c->indexes, c->mongo_name, c->mongo_type,
                         c->length, c->precision, c->scale, c->visible, c->virtual_array);
            ++shown;
        }
        grid->setCurrentCell(0, COL_SQL_NAME);
    }
    finishFill(inside ? 1 : 0);
    if (keep == 0) // a table read afresh: nothing to take back
        resetGridUndo(false);
}

void Schema::fillDriverViewGrid(const QString& table, const QString& virtualTable)
{
    QTableWidget* grid = ui->tableWidget;
    grid->hide();
    filling_grid = true;
    grid->blockSignals(true);
    if (!table.isEmpty() && !virtualTable.isEmpty()) {
        QByteArray vt = virtualTable.toUtf8();
        const db_column_t* id = column_named(dbinfo.columns, "_id");
        const db_column_t* array = column_named(dbinfo.columns, vt.constData());
        const char* id_field = id && id->mongo_name ? id->mongo_name : vt.constData();
        const char* array_name = array && array->mongo_name ? array->mongo_name : vt.constData();
        addDriverViewRow("_id", 1, id_field, 7, 24);
        addDriverViewRow((vt + "$index").constData(), 4, array_name, -1, 0);
        addDriverViewRow((vt + "$value").constData(), 12, array_name, -2, 512);
        grid->setCurrentCell(0, DRIVER_COL_SQL_NAME);
    }
    finishFill(2);
}

void Schema::finishFill(int view)
{
    QTableWidget* grid = ui->tableWidget;
    grid->resizeColumnsToContents();
    grid->horizontalHeader()->setStretchLastSection(true);
    grid->show();
    edited = false;
    showButtons(view);
    grid->blockSignals(false);
    filling_grid = false;
    snapshotGridRows();
}

int Schema::insertionRow()
{
    int current = ui->tableWidget->currentRow();
    return current < 0 ? ui->tableWidget->rowCount() : current + 1;
}

void Schema::addColumnRow(bool insideVirtualTable, const char* sqlName, int sqlType, db_index_t* indexes,
                          const char* mongoName, int mongoType, int length, int precision, int scale,
                          bool visible, bool virtualArray)
{
    QTableWidget* grid = ui->tableWidget;
    const char* sql_name = sqlName ? sqlName : "";
    const char* mongo_name = mongoName ? mongoName : "";
    int row = insertionRow();
    int existing;
    if (!findNewColumnRow(grid, &existing) &&
        (std::strcmp(sql_name, "New Column") == 0 || std::strcmp(mongo_name, "New Column") == 0))
        return;

    grid->insertRow(row);
    grid->setRowHeight(row, 20);
    edited = true;
    remapRowWidgets();

    grid->setItem(row, COL_SQL_NAME, new QTableWidgetItem(QString::fromUtf8(sql_name)));

    QComboBox* sqlCombo =
        typeCombo(grid, row, COL_SQL_TYPE, {sql_type_names, sql_type_name_count, sql_combo_style}, sqltype_mapper);
    connect(sqltype_mapper, SIGNAL(mappedInt(int)), this, SLOT(new_sqltype(int)), Qt::UniqueConnection);
    choose(sqlCombo, sqlType); // once mapped, as a choice of the user's

    QTableWidgetItem* indexItem = new QTableWidgetItem(indexes ? "Yes" : "");
    indexItem->setTextAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    if (indexes) {
        char* tip = formatToolTipText(indexes);
        indexItem->setToolTip(QString::fromUtf8(tip));
        std::free(tip);
    }
    indexItem->setFlags(read_only_flags);
    grid->setItem(row, COL_SQL_INDEX, indexItem);

    grid->setItem(row, COL_MONGO_NAME, new QTableWidgetItem(QString::fromUtf8(mongo_name)));

    QComboBox* mongoCombo = typeCombo(grid, row, COL_MONGO_TYPE,
                                      {mongo_type_names, mongo_type_name_count, mongo_combo_style}, mongotype_mapper,
                                      mongoType);
    connect(mongotype_mapper, SIGNAL(mappedInt(int)), this, SLOT(new_mongotype(int)), Qt::UniqueConnection);

    QTableWidgetItem* lengthItem = setSizeItems(grid, row, sqlType, length, precision, scale);

    grid->item(row, COL_SQL_NAME)->setSelected(true);

    QCheckBox* hide = new QCheckBox();
    hide->setCheckable(true);
    hide->setChecked(!visible);
    grid->setCellWidget(row, COL_HIDE, boxed(hide, 10));
    connect(hide, SIGNAL(clicked()), visibility_mapper, SLOT(map()));
    visibility_mapper->setMapping(hide, row);
    connect(visibility_mapper, SIGNAL(mappedInt(int)), this, SLOT(visibilityChanged(int)), Qt::UniqueConnection);

    if (mongoType == 4 && std::strchr(mongo_name, '.') == nullptr)
        addVirtualTableCheckBox(row, virtualArray || insideVirtualTable);

    if (std::strcmp(mongo_name, "_id") == 0) {
        grid->item(row, COL_SQL_NAME)->setFlags(read_only_flags);
        grid->item(row, COL_MONGO_NAME)->setFlags(read_only_flags);
        sqlCombo->setEnabled(false);
        mongoCombo->setEnabled(false);
        lengthItem->setFlags(editable_flags);
    }
    grid->setCurrentCell(row, COL_SQL_NAME);
}

void Schema::addDriverViewRow(const char* sqlName, int sqlType, const char* mongoName, int mongoType,
                              int length)
{
    QTableWidget* grid = ui->tableWidget;
    int row = insertionRow();
    int existing;
    if (!findNewColumnRow(grid, &existing) &&
        (std::strcmp(sqlName, "New Column") == 0 || std::strcmp(mongoName, "New Column") == 0))
        return;
    grid->insertRow(row);
    grid->setRowHeight(row, 20);
    edited = true;
    const QString texts[DRIVER_COLUMNS] = {QString::fromUtf8(sqlName), driver_sql_type_name(sqlType),
                                           QString::fromUtf8(mongoName), driver_mongo_type_name(mongoType),
                                           length > 0 ? QString::number(length) : QString()};
    for (int c = 0; c < DRIVER_COLUMNS; ++c) {
        QTableWidgetItem* item = new QTableWidgetItem(texts[c]);
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        grid->setItem(row, c, item);
    }
    grid->setCurrentCell(row, DRIVER_COL_SQL_NAME);
}

void Schema::addVirtualTableCheckBox(int row, bool ticked)
{
    QCheckBox* box = new QCheckBox();
    box->setCheckable(true);
    box->setChecked(ticked);
    QWidget* container = boxed(box, 25);
    QTreeWidgetItem* current = ui->treeWidget->currentItem();
    if (current && current->type() == ITEM_TABLE) {
        connect(box, SIGNAL(clicked()), virtuality_mapper, SLOT(map()));
        virtuality_mapper->setMapping(box, row);
        connect(virtuality_mapper, SIGNAL(mappedInt(int)), this, SLOT(virtualityChanged(int)),
                Qt::UniqueConnection);
    } else {
        box->setEnabled(false);
    }
    char* tip = getVColToolTip();
    container->setToolTip(QString::fromUtf8(tip));
    std::free(tip);
    ui->tableWidget->setCellWidget(row, COL_VIRTUAL, container);
}

void Schema::removeVirtualTableCheckBox(int row)
{
    if (ui->tableWidget->cellWidget(row, COL_MONGO_TYPE))
        ui->tableWidget->removeCellWidget(row, COL_VIRTUAL);
}

// Every row widget reports the row it stands in now.
void Schema::remapRowWidgets()
{
    QTableWidget* grid = ui->tableWidget;
    if (grid->columnCount() <= COL_VIRTUAL)
        return;
    for (int row = 0; row < grid->rowCount(); ++row) {
        if (QWidget* w = grid->cellWidget(row, COL_SQL_TYPE))
            sqltype_mapper->setMapping(w, row);
        if (QWidget* w = grid->cellWidget(row, COL_MONGO_TYPE))
            mongotype_mapper->setMapping(w, row);
        if (QCheckBox* box = check_box_in(grid->cellWidget(row, COL_HIDE)))
            visibility_mapper->setMapping(box, row);
        if (QCheckBox* box = check_box_in(grid->cellWidget(row, COL_VIRTUAL)))
            virtuality_mapper->setMapping(box, row);
    }
}

bool Schema::findNewColumnRow(QTableWidget* grid, int* row)
{
    for (int r = 0; r < grid->rowCount(); ++r) {
        QTableWidgetItem* sql = grid->item(r, COL_SQL_NAME);
        // In the Driver View the column is the MongoDB Type, a type name, never "New Column".
        QTableWidgetItem* mongo = grid->item(r, COL_MONGO_NAME);
        if ((sql && sql->text() == "New Column") || (mongo && mongo->text() == "New Column")) {
            *row = r;
            return false;
        }
    }
    return true;
}

bool Schema::isVirtualTableChecked(QTableWidget* grid, int row)
{
    QCheckBox* box = check_box_in(grid->cellWidget(row, COL_VIRTUAL));
    return box && box->isChecked();
}

bool Schema::isColumnVisible(QTableWidget* grid, int row)
{
    QCheckBox* box = check_box_in(grid->cellWidget(row, COL_HIDE));
    return !(box && box->isChecked());
}

int Schema::countVisibleRows(QTableWidget* grid)
{
    int n = 0;
    for (int r = 0; r < grid->rowCount(); ++r)
        n += isColumnVisible(grid, r) ? 1 : 0;
    return n;
}

// As UTF-8: the names in the grid came from BSON and go back to it.
QByteArray Schema::cellBytes(int row, int column)
{
    QTableWidget* grid = ui->tableWidget;
    if (row < 0 || column < 0 || row >= grid->rowCount() || column >= grid->columnCount())
        return QByteArray();
    if (QComboBox* combo = qobject_cast<QComboBox*>(grid->cellWidget(row, column)))
        return combo->currentText().toUtf8();
    if (QTableWidgetItem* item = grid->item(row, column))
        return item->text().toUtf8();
    return QByteArray();
}

void Schema::cellText(char* out, int row, int column)
{
    QByteArray text = cellBytes(row, column);
    // The callers' buffers hold 2048 bytes; a longer cell text is cut there.
    int n = text.size() < DBINFO_TEXT ? text.size() : DBINFO_TEXT - 1;
    std::memcpy(out, text.constData(), n);
    out[n] = '\0';
}

char* Schema::formatToolTipText(db_index_t* indexList)
{
    std::string html =
        "<table cellpadding=3><tr><th align='left'><p>SQL Index Name</p></th><th align='left'><p>Index "
        "Key</p></th></tr>";
    for (db_index_t* e = indexList; e; e = e->next) {
        if (!e->from_schema)
            continue;
        html += "<tr><td align='left'><p>";
        html += e->index_name ? e->index_name : "";
        html += "</p></td><td align='center'><p>";
        html += std::to_string(e->index);
        html += "</p></td></tr>";
    }
    html += "</table>";
    return copy_text(html.c_str());
}

char* Schema::getVColToolTip()
{
    return copy_text("Enable to create Virtual Table. ");
}
