// Browsing a schema on the real server: start-up, tree, grid pages, views, sample.
#include "tests/support/test_env.h"
#include "tests/support/ui_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <string>

using namespace testenv;

namespace {

QCheckBox* box_at(QTableWidget* grid, int row, int column)
{
    QWidget* w = grid->cellWidget(row, column);
    return w ? w->findChild<QCheckBox*>() : nullptr;
}

std::string header(QTableWidget* grid, int column)
{
    QTableWidgetItem* item = grid->horizontalHeaderItem(column);
    return item ? item->text().toStdString() : "";
}

std::string text(QTableWidget* grid, int row, int column)
{
    QTableWidgetItem* item = grid->item(row, column);
    return item ? item->text().toStdString() : "";
}

std::string wide_document(int fields)
{
    std::string json = "{";
    for (int i = 1; i <= fields; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "f%02d", i);
        json += std::string(i > 1 ? "," : "") + "\"" + name + "\": " + std::to_string(i);
    }
    return json + "}";
}

TEST(Browse, StartUpCreatesTheSchemaAndLoadsTheFirstTable)
{
    WindowOnData data("browse_first");
    data.insert("people", R"({"name": "Ann", "age": 31, "address": {"city": "York"}})");
    data.insert("people", R"({"name": "Bob", "age": 42.5})");
    data.insert("zoo", R"({"animal": "owl"})");
    BoxRecorder boxes;
    auto w = data.open(boxes);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text, "The schema '" + data.schema + "' does not exist or may be invalid.");
    EXPECT_EQ(boxes.boxes[0].informative, "Press 'Yes' to create a new schema or press 'No' to exit.");
    EXPECT_EQ(boxes.boxes[0].buttons, int(QMessageBox::Yes | QMessageBox::No));
    EXPECT_EQ(boxes.boxes[0].default_button, int(QMessageBox::Yes));

    SchemaProbe p(w.get());
    EXPECT_EQ(w->windowTitle(), "Tarnwell MongoDB Schema Editor (Edit Mode)");
    QTreeWidget* tree = p.ui()->treeWidget;
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* catalog = tree->topLevelItem(0);
    EXPECT_EQ(catalog->text(0).toStdString(), data.data);
    EXPECT_EQ(catalog->type(), 0);
    ASSERT_EQ(catalog->childCount(), 2);
    EXPECT_EQ(catalog->child(0)->text(0), "people");
    EXPECT_EQ(catalog->child(0)->type(), 2);
    EXPECT_EQ(catalog->child(1)->text(0), "zoo");
    EXPECT_EQ(tree->currentItem(), catalog->child(0));
    EXPECT_EQ(tree->headerItem()->text(0).toStdString(), data.data);

    EXPECT_EQ(p.db().table, "people");
    EXPECT_EQ(p.db().schema, "dbo");
    EXPECT_EQ(p.db().qualified_table.toStdString(), data.data + ".people");
    EXPECT_EQ(p.ui()->tableTitle->text(), "Table : <b>people</b>");
    EXPECT_EQ(p.ui()->labelCurrentSchema->text().toStdString(), "Schema : <b>" + data.schema + "</b>");
    EXPECT_EQ(p.ui()->errorMsg->text(), "");
    EXPECT_FALSE(p.ui()->viewMode->isVisible());
    EXPECT_TRUE(p.ui()->pushButtonDump->isHidden()); // no -debug

    QTableWidget* grid = p.ui()->tableWidget;
    ASSERT_EQ(grid->columnCount(), 10);
    EXPECT_EQ(header(grid, 0), "SQL Name");
    EXPECT_EQ(header(grid, 9), "Virtual Table");
    // "_id" first, the others in SQL name order.
    ASSERT_EQ(grid->rowCount(), 5);
    EXPECT_EQ(p.cell(0, 0), "_id");
    EXPECT_EQ(p.cell(1, 0), "address");
    EXPECT_EQ(p.cell(2, 0), "address_city");
    EXPECT_EQ(p.cell(3, 0), "age");
    EXPECT_EQ(p.cell(4, 0), "name");
    EXPECT_EQ(p.cell(3, 1), "SQL_DOUBLE");
    EXPECT_EQ(p.cell(4, 4), "String");
    EXPECT_EQ(p.cell(4, 5), "3");
    EXPECT_EQ(p.cell(0, 2), "Yes"); // the _id_ index
    EXPECT_TRUE(p.ui()->pushButtonSave->isEnabled());
    EXPECT_TRUE(p.ui()->pushButtonInsert->isEnabled());
    EXPECT_TRUE(p.ui()->pushButtonRemove->isEnabled());
    EXPECT_FALSE(p.ui()->pushButtonPageDown->isEnabled());
    EXPECT_EQ(p.ui()->dataMsg->text(), "Data Sample - Showing Page 1 of 1");

    QTableWidget* sample = p.ui()->dataWidget;
    ASSERT_EQ(sample->columnCount(), 5);
    ASSERT_EQ(sample->rowCount(), 2);
    EXPECT_EQ(header(sample, 2), "address_city");
    EXPECT_EQ(text(sample, 0, 2), "York");
    EXPECT_EQ(text(sample, 1, 2), "<null>");
    EXPECT_EQ(text(sample, 1, 3), "42.5");
    EXPECT_EQ(text(sample, 0, 4), "Ann");
    EXPECT_FALSE(sample->item(0, 4)->flags() & Qt::ItemIsEditable);
    EXPECT_FALSE(p.edited());
}

TEST(Browse, PickingTheShownEntryDoesNothingAndCatalogsAreIgnored)
{
    WindowOnData data("browse_pick");
    data.insert("a", R"({"x": 1})");
    data.insert("b", R"({"y": "text", "z": true})");
    BoxRecorder boxes;
    auto w = data.open(boxes);
    SchemaProbe p(w.get());
    QTreeWidget* tree = p.ui()->treeWidget;
    p.ui()->errorMsg->setText("marker");
    FindCounter finds(p.db().client);
    p.press(tree->currentItem());
    p.press(tree->topLevelItem(0));
    EXPECT_EQ(p.ui()->errorMsg->text(), "marker");
    EXPECT_EQ(finds.finds, 0);

    QTreeWidgetItem* b = tree_item(w.get(), "b");
    tree->setCurrentItem(b);
    p.press(b);
    EXPECT_EQ(p.db().table, "b");
    EXPECT_EQ(p.ui()->errorMsg->text(), "");
    EXPECT_EQ(p.ui()->tableWidget->rowCount(), 3);
    EXPECT_EQ(p.cell(2, 1), "SQL_TINYINT");
    EXPECT_EQ(finds.finds, 1); // one sample query
    EXPECT_EQ(boxes.boxes.size(), 1u);
}

TEST(Browse, FortyColumnsPageEighteenEighteenFour)
{
    WindowOnData data("browse_pages");
    data.insert("wide", wide_document(39));
    BoxRecorder boxes;
    auto w = data.open(boxes);
    SchemaProbe p(w.get());
    Ui_Schema* u = p.ui();
    EXPECT_EQ(p.db().page_count, 3);
    EXPECT_EQ(p.db().column_count, 40);
    EXPECT_EQ(u->tableWidget->rowCount(), 18);
    EXPECT_EQ(u->dataMsg->text(), "Data Sample - Showing Page 1 of 3");
    EXPECT_FALSE(u->pushButtonFirstPage->isEnabled());
    EXPECT_FALSE(u->pushButtonPageUp->isEnabled());
    EXPECT_TRUE(u->pushButtonPageDown->isEnabled());
    EXPECT_TRUE(u->pushButtonLastPage->isEnabled());
    EXPECT_EQ(u->dataWidget->columnCount(), 18);

    u->pushButtonPageDown->click();
    EXPECT_EQ(p.db().current_page, 2);
    EXPECT_EQ(u->tableWidget->rowCount(), 18);
    EXPECT_EQ(p.cell(0, 0), "f18");
    EXPECT_TRUE(u->pushButtonPageUp->isEnabled());
    EXPECT_TRUE(u->pushButtonPageDown->isEnabled());
    EXPECT_EQ(u->dataMsg->text(), "Data Sample - Showing Page 2 of 3");
    EXPECT_EQ(text(u->dataWidget, 0, 0), "18");

    u->pushButtonLastPage->click();
    EXPECT_EQ(u->tableWidget->rowCount(), 4);
    EXPECT_EQ(p.cell(3, 0), "f39");
    EXPECT_TRUE(u->pushButtonFirstPage->isEnabled());
    EXPECT_TRUE(u->pushButtonPageUp->isEnabled());
    EXPECT_FALSE(u->pushButtonPageDown->isEnabled());
    EXPECT_FALSE(u->pushButtonLastPage->isEnabled());

    u->pushButtonPageUp->click();
    EXPECT_EQ(p.db().current_page, 2);
    u->pushButtonFirstPage->click();
    EXPECT_EQ(p.db().current_page, 1);
    EXPECT_EQ(p.cell(0, 0), "_id");
    EXPECT_FALSE(p.left_with_edits()); // paging without edits copies nothing
}

TEST(Browse, IdentityRowIsReadOnlyExceptItsLength)
{
    WindowOnData data("browse_id");
    data.insert("t", R"({"n": 1})");
    BoxRecorder boxes;
    auto w = data.open(boxes);
    QTableWidget* grid = SchemaProbe(w.get()).ui()->tableWidget;
    EXPECT_EQ(grid->item(0, 0)->flags(), Qt::ItemIsEnabled);
    EXPECT_EQ(grid->item(0, 3)->flags(), Qt::ItemIsEnabled);
    EXPECT_FALSE(grid->cellWidget(0, 1)->isEnabled());
    EXPECT_FALSE(grid->cellWidget(0, 4)->isEnabled());
    EXPECT_EQ(grid->item(0, 5)->flags(), Qt::ItemIsEditable | Qt::ItemIsEnabled);
    EXPECT_EQ(grid->item(0, 5)->text(), "24");
    // An ordinary integer row: names editable, sizes read-only.
    EXPECT_TRUE(grid->item(1, 0)->flags() & Qt::ItemIsEditable);
    EXPECT_EQ(grid->item(1, 5)->flags(), Qt::ItemIsEnabled);
    EXPECT_EQ(grid->item(1, 6)->flags(), Qt::ItemIsEnabled);
    EXPECT_EQ(grid->item(1, 2)->text(), "");
    EXPECT_EQ(grid->item(0, 2)->toolTip().toStdString(),
              "<table cellpadding=3><tr><th align='left'><p>SQL Index Name</p></th><th align='left'><p>"
              "Index Key</p></th></tr><tr><td align='left'><p>_id_</p></td><td align='center'><p>1</p>"
              "</td></tr></table>");
}

TEST(Browse, HidingEveryRowLeavesTheSampleEmptyWithoutAQuery)
{
    WindowOnData data("browse_hide");
    data.insert("t", R"({"a": 1, "b": "x"})");
    BoxRecorder boxes;
    auto w = data.open(boxes);
    SchemaProbe p(w.get());
    QTableWidget* grid = p.ui()->tableWidget;
    ASSERT_EQ(grid->rowCount(), 3);
    box_at(grid, 1, 8)->click();
    EXPECT_EQ(p.ui()->dataWidget->columnCount(), 2);
    EXPECT_TRUE(p.edited());
    FindCounter finds(p.db().client);
    box_at(grid, 2, 8)->click();
    EXPECT_EQ(finds.finds, 1);
    box_at(grid, 0, 8)->click(); // the identity column: explained, not an edit
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Hiding the identity column");
    EXPECT_EQ(boxes.boxes[1].informative,
              "The identity column will be hidden in the Data Sample but will remain in the schema.");
    EXPECT_EQ(p.ui()->dataWidget->columnCount(), 0);
    EXPECT_EQ(p.ui()->dataWidget->rowCount(), 0);
    EXPECT_EQ(finds.finds, 1);
    box_at(grid, 0, 8)->click(); // clearing it shows nothing
    EXPECT_EQ(boxes.boxes.size(), 2u);
}

TEST(Browse, CellsAreCutAtTheDisplayWidth)
{
    WindowOnData data("browse_width");
    data.insert("t", "{\"s\": \"" + std::string(5000, 'w') + "\"}");
    BoxRecorder boxes;
    auto w = data.open(boxes, {"-cw", "0"});
    SchemaProbe p(w.get());
    EXPECT_EQ(p.db().max_width, 4096);
    ASSERT_EQ(p.ui()->dataWidget->rowCount(), 1);
    EXPECT_EQ(text(p.ui()->dataWidget, 0, 1).size(), 4096u);
    // No -cw: no cut.
    BoxRecorder again;
    auto w2 = make_window(window_arguments(data.data, data.schema));
    EXPECT_EQ(text(SchemaProbe(w2.get()).ui()->dataWidget, 0, 1).size(), 5000u);
}

TEST(Browse, PreviewRowsLimitTheSample)
{
    WindowOnData data("browse_rows");
    for (int i = 0; i < 12; ++i)
        data.insert("t", "{\"i\": " + std::to_string(i) + "}");
    BoxRecorder boxes;
    auto w = data.open(boxes, {"-ps", "5"});
    SchemaProbe p(w.get());
    ASSERT_EQ(p.ui()->dataWidget->rowCount(), 5);
    EXPECT_EQ(text(p.ui()->dataWidget, 4, 1), "4");
}

struct VirtualTables : ::testing::Test {
    WindowOnData data{"browse_vt"};
    BoxRecorder boxes;
    std::unique_ptr<Schema> w;
    void SetUp() override
    {
        data.insert("orders", R"({"_id": {"$oid": "5f0000000000000000000001"}, "no": 7,
                                  "tags": ["a", "bc", {"$binary": {"base64": "AQI=", "subType": "00"}}]})");
        data.insert("orders", R"({"_id": {"$oid": "5f0000000000000000000002"}, "no": 8, "tags": []})");
        data.insert("orders", R"({"no": 9, "tags": ["z"], "_id": 5})");
        w = data.open(boxes);
    }
    int row_of(const char* sql_name)
    {
        SchemaProbe p(w.get());
        for (int r = 0; r < p.ui()->tableWidget->rowCount(); ++r)
            if (p.cell(r, 0) == sql_name)
                return r;
        return -1;
    }
};

TEST_F(VirtualTables, TickingMakesAChildAndTheTwoViewsShowIt)
{
    SchemaProbe p(w.get());
    QTableWidget* grid = p.ui()->tableWidget;
    int tags = row_of("tags");
    ASSERT_GE(tags, 0);
    ASSERT_NE(box_at(grid, tags, 9), nullptr);
    EXPECT_EQ(grid->cellWidget(tags, 9)->toolTip(), "Enable to create Virtual Table. ");
    EXPECT_EQ(box_at(grid, row_of("no"), 9), nullptr);
    EXPECT_EQ(box_at(grid, row_of("tags_0"), 9), nullptr); // not top level

    box_at(grid, tags, 9)->click();
    QTreeWidgetItem* table = tree_item(w.get(), "orders");
    ASSERT_EQ(table->childCount(), 1);
    EXPECT_EQ(table->child(0)->text(0), "tags");
    EXPECT_EQ(table->child(0)->type(), 3);
    EXPECT_TRUE(p.left_with_edits());
    EXPECT_TRUE(box_at(grid, row_of("tags"), 9)->isChecked());

    // Leaving the table with the tick unsaved and answering No drops the tick, and the
    // virtual table with it: the pick lands on the table.
    QTreeWidgetItem* vt = table->child(0);
    p.ui()->treeWidget->setCurrentItem(vt);
    boxes.answer(QMessageBox::No);
    p.press(vt);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Schema for table 'orders' was edited.");
    EXPECT_EQ(table->childCount(), 0);
    EXPECT_EQ(p.db().virtual_table, "");

    // Tick again and save: the virtual table is stored and can be picked without a question.
    ASSERT_NE(box_at(grid, row_of("tags"), 9), nullptr);
    if (box_at(grid, row_of("tags"), 9)->isChecked()) // the records of the same table stayed
        box_at(grid, row_of("tags"), 9)->click();
    box_at(grid, row_of("tags"), 9)->click();
    EXPECT_EQ(table->childCount(), 1);
    EXPECT_EQ(p.ui()->treeWidget->currentItem(), table);
    p.ui()->pushButtonSave->click();
    ASSERT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[2].text, "Save current schema?");
    ASSERT_EQ(table->childCount(), 1);
    vt = table->child(0);
    p.ui()->treeWidget->setCurrentItem(vt);
    p.press(vt);
    EXPECT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(p.db().virtual_table, "tags");
    EXPECT_EQ(p.ui()->tableTitle->text(), "Virtual Table : <b>orders</b>_<b>tags</b>");
    EXPECT_FALSE(p.ui()->viewMode->isHidden());
    ASSERT_EQ(grid->rowCount(), 5);
    EXPECT_EQ(p.cell(0, 0), "_id");
    EXPECT_EQ(p.cell(1, 0), "tags");
    EXPECT_EQ(p.cell(4, 3), "tags.2");
    ASSERT_NE(box_at(grid, 1, 9), nullptr);
    EXPECT_TRUE(box_at(grid, 1, 9)->isChecked());
    EXPECT_FALSE(box_at(grid, 1, 9)->isEnabled());
    EXPECT_EQ(p.ui()->dataWidget->horizontalHeaderItem(4)->toolTip(), "Virtual Table tags$index is : 2");

    // Driver View: three fixed rows and one sample row per element.
    p.ui()->viewMode->setCurrentIndex(1);
    ASSERT_EQ(grid->columnCount(), 5);
    ASSERT_EQ(grid->rowCount(), 3);
    const char* expected[3][5] = {{"_id", "SQL_CHAR", "_id", "OID", "24"},
                                  {"tags$index", "SQL_INTEGER", "tags", "Driver Defined", ""},
                                  {"tags$value", "SQL_VARCHAR", "tags", "Driver Defined", "512"}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 5; ++c) {
            EXPECT_EQ(text(grid, r, c), expected[r][c]) << r << "," << c;
            EXPECT_FALSE(grid->item(r, c)->flags() & Qt::ItemIsEditable);
        }
    for (QPushButton* b : {p.ui()->pushButtonInsert, p.ui()->pushButtonRemove, p.ui()->pushButtonSave,
                           p.ui()->pushButtonPageDown, p.ui()->pushButtonFirstPage})
        EXPECT_FALSE(b->isEnabled());
    QTableWidget* sample = p.ui()->dataWidget;
    ASSERT_EQ(sample->columnCount(), 3);
    EXPECT_EQ(header(sample, 1), "tags$index");
    ASSERT_EQ(sample->rowCount(), 4);
    EXPECT_EQ(text(sample, 0, 0), "5f0000000000000000000001");
    EXPECT_EQ(text(sample, 1, 1), "1");
    EXPECT_EQ(text(sample, 1, 2), "bc");
    EXPECT_EQ(text(sample, 2, 2), "Cannot convert data : 0x0102");
    EXPECT_EQ(text(sample, 3, 0), ""); // key field is no ObjectId
    EXPECT_EQ(text(sample, 3, 2), "z");

    // A pick by the mouse puts the view back to Detail View.
    QTreeWidgetItem* orders = tree_item(w.get(), "orders");
    p.ui()->treeWidget->setCurrentItem(orders);
    p.press(orders);
    EXPECT_EQ(p.ui()->viewMode->currentIndex(), 0);
    EXPECT_TRUE(p.ui()->viewMode->isHidden());
}

TEST_F(VirtualTables, TickAndClearLeavesTheTreeAsBefore)
{
    SchemaProbe p(w.get());
    QTableWidget* grid = p.ui()->tableWidget;
    box_at(grid, row_of("tags"), 9)->click();
    box_at(grid, row_of("tags"), 9)->click();
    EXPECT_EQ(tree_item(w.get(), "orders")->childCount(), 0);
}

} // namespace
