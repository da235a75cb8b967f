// Browsing a schema on the real server: the first table, picks, pages, the sample, and
// virtual tables in both views.
#include "tests/support/ui_support.h"

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

std::string text(QTableWidget* grid, int row, int column)
{
    QTableWidgetItem* item = grid->item(row, column);
    return item ? item->text().toStdString() : "<no item>";
}

std::string header(QTableWidget* grid, int column)
{
    QTableWidgetItem* item = grid->horizontalHeaderItem(column);
    return item ? item->text().toStdString() : "<no header>";
}

std::string tip(const std::vector<std::pair<const char*, int>>& entries)
{
    std::string html = "<table cellpadding=3><tr><th align='left'><p>SQL Index Name</p></th><th align='left'><p>"
                       "Index Key</p></th></tr>";
    for (const auto& e : entries)
        html += std::string("<tr><td align='left'><p>") + e.first + "</p></td><td align='center'><p>" +
                std::to_string(e.second) + "</p></td></tr>";
    return html + "</table>";
}

void create_index(WindowOnData& data, const char* collection, const char* keys_json, const char* name)
{
    bson_t keys;
    ASSERT_TRUE(bson_init_from_json(&keys, keys_json, -1, nullptr));
    bson_t* command = BCON_NEW("createIndexes", BCON_UTF8(collection), "indexes", "[", "{", "key",
                               BCON_DOCUMENT(&keys), "name", BCON_UTF8(name), "}", "]");
    bson_error_t error;
    EXPECT_TRUE(mongoc_client_command_simple(data.client, data.data.c_str(), command, nullptr, nullptr, &error))
        << error.message;
    bson_destroy(command);
    bson_destroy(&keys);
}

TEST(Browse, FirstTableTreeGridAndSample)
{
    WindowOnData data("browse_first");
    data.insert("people", R"({"name": "Ann", "age": 31, "address": {"city": "York"}, "k": 1})");
    data.insert("people", R"({"name": "Bob", "age": 42.5, "k": 2})");
    data.insert("zoo", R"({"animal": "owl"})");
    create_index(data, "people", R"({"k": 1})", "k_up");
    create_index(data, "people", R"({"age": 1, "k": -1})", "age_k");
    BoxRecorder boxes;
    auto w = data.open(boxes);
    SchemaProbe p(w.get());
    QTreeWidget* tree = p.ui()->treeWidget;
    ASSERT_EQ(tree->topLevelItemCount(), 1);
    QTreeWidgetItem* catalog = tree->topLevelItem(0);
    EXPECT_EQ(catalog->text(0).toStdString(), data.data);
    ASSERT_EQ(catalog->childCount(), 2);
    EXPECT_EQ(catalog->child(1)->text(0), "zoo");
    EXPECT_EQ(tree->currentItem(), catalog->child(0));
    EXPECT_EQ(p.db().qualified_table.toStdString(), data.data + ".people");
    EXPECT_EQ(p.ui()->tableTitle->text(), "Table : <b>people</b>");
    EXPECT_EQ(p.ui()->labelCurrentSchema->text().toStdString(), "Schema : <b>" + data.schema + "</b>");
    EXPECT_TRUE(p.ui()->viewMode->isHidden());
    EXPECT_TRUE(p.ui()->pushButtonDump->isHidden()); // no -debug

    // "_id" first, the others in SQL name order.
    std::vector<std::string> names;
    for (int r = 0; r < p.grid()->rowCount(); ++r)
        names.push_back(p.cell(r, 0).toStdString());
    EXPECT_EQ(names, (std::vector<std::string>{"_id", "address", "address_city", "age", "k", "name"}));
    EXPECT_EQ(p.combo(3, 1)->currentText(), "SQL_DOUBLE");
    EXPECT_EQ(text(p.grid(), 5, 5), "3");
    // The identity row: only its length may be edited; an integer row has no sizes to edit.
    EXPECT_EQ(p.grid()->item(0, 0)->flags(), Qt::ItemIsEnabled);
    EXPECT_FALSE(p.combo(0, 1)->isEnabled());
    EXPECT_EQ(p.grid()->item(0, 5)->flags(), Qt::ItemIsEditable | Qt::ItemIsEnabled);
    EXPECT_EQ(p.grid()->item(4, 5)->flags(), Qt::ItemIsEnabled);
    // A column in two indexes: one tool-tip row per index, with its place in the key.
    EXPECT_EQ(p.grid()->item(0, 2)->toolTip().toStdString(), tip({{"_id_", 1}}));
    EXPECT_EQ(text(p.grid(), 4, 2), "Yes");
    EXPECT_EQ(p.grid()->item(4, 2)->toolTip().toStdString(), tip({{"age_k", 2}, {"k_up", 1}}));
    EXPECT_EQ(text(p.grid(), 1, 2), "");
    EXPECT_TRUE(p.ui()->pushButtonSave->isEnabled());
    EXPECT_TRUE(p.ui()->pushButtonInsert->isEnabled());
    EXPECT_FALSE(p.ui()->pushButtonPageDown->isEnabled());
    EXPECT_EQ(p.ui()->dataMsg->text(), "Data Sample - Showing Page 1 of 1");

    QTableWidget* sample = p.sample();
    ASSERT_EQ(sample->rowCount(), 2);
    ASSERT_EQ(sample->columnCount(), 6);
    EXPECT_EQ(header(sample, 2), "address_city");
    EXPECT_EQ(text(sample, 0, 2), "York");
    EXPECT_EQ(text(sample, 1, 2), "<null>");
    EXPECT_EQ(text(sample, 1, 3), "42.5");
    EXPECT_FALSE(sample->item(0, 5)->flags() & Qt::ItemIsEditable);
    EXPECT_FALSE(p.edited());

    // Picking the shown entry, or a catalog, reads nothing; another table is one sample query.
    p.ui()->errorMsg->setText("marker");
    FindCounter finds(p.db().client);
    p.press(tree->currentItem());
    p.press(catalog);
    EXPECT_EQ(p.ui()->errorMsg->text(), "marker");
    EXPECT_EQ(finds.finds, 0);
    p.pick("zoo");
    EXPECT_EQ(p.db().table, "zoo");
    EXPECT_EQ(p.ui()->errorMsg->text(), "");
    EXPECT_EQ(p.grid()->rowCount(), 2);
    EXPECT_EQ(finds.finds, 1);
    EXPECT_EQ(boxes.boxes.size(), 1u);
}

struct paging_row_t {
    int fields; // besides _id
    int pages, last_page_rows;
};

TEST(Browse, EighteenColumnsToAPage)
{
    const paging_row_t rows[] = {{17, 1, 18}, {18, 2, 1}, {39, 3, 4}};
    WindowOnData data("browse_pages");
    for (const paging_row_t& row : rows) {
        std::string doc = "{";
        for (int i = 1; i <= row.fields; ++i)
            doc += std::string(i > 1 ? "," : "") + "\"f" + (i < 10 ? "0" : "") + std::to_string(i) + "\": " +
                   std::to_string(i);
        data.insert("w" + std::to_string(row.fields), doc + "}");
    }
    BoxRecorder boxes;
    auto w = data.open(boxes);
    SchemaProbe p(w.get());
    Ui_Schema* u = p.ui();
    for (const paging_row_t& row : rows) {
        SCOPED_TRACE(row.fields);
        p.pick(QString("w%1").arg(row.fields));
        EXPECT_EQ(p.db().page_count, row.pages);
        EXPECT_EQ(p.grid()->rowCount(), row.pages > 1 ? 18 : row.last_page_rows);
        EXPECT_EQ(p.sample()->columnCount(), p.grid()->rowCount());
        EXPECT_EQ(u->dataMsg->text(), QString("Data Sample - Showing Page 1 of %1").arg(row.pages));
        EXPECT_FALSE(u->pushButtonFirstPage->isEnabled());
        EXPECT_FALSE(u->pushButtonPageUp->isEnabled());
        EXPECT_EQ(u->pushButtonPageDown->isEnabled(), row.pages > 1);
        EXPECT_EQ(u->pushButtonLastPage->isEnabled(), row.pages > 1);
        if (row.pages == 1)
            continue;
        u->pushButtonPageDown->click();
        EXPECT_EQ(p.db().current_page, 2);
        EXPECT_EQ(p.cell(0, 0), "f18");
        EXPECT_EQ(text(p.sample(), 0, 0), "18");
        EXPECT_TRUE(u->pushButtonPageUp->isEnabled());
        u->pushButtonLastPage->click();
        EXPECT_EQ(p.grid()->rowCount(), row.last_page_rows);
        EXPECT_EQ(p.cell(row.last_page_rows - 1, 0).toStdString(), "f" + std::to_string(row.fields));
        EXPECT_EQ(u->dataMsg->text(), QString("Data Sample - Showing Page %1 of %1").arg(row.pages));
        EXPECT_TRUE(u->pushButtonFirstPage->isEnabled());
        EXPECT_FALSE(u->pushButtonPageDown->isEnabled());
        EXPECT_FALSE(u->pushButtonLastPage->isEnabled());
        u->pushButtonPageUp->click();
        EXPECT_EQ(p.db().current_page, row.pages - 1);
        u->pushButtonFirstPage->click();
        EXPECT_EQ(p.cell(0, 0), "_id");
        EXPECT_FALSE(p.left_with_edits()); // paging without edits copies nothing
    }
}

struct sample_row_t {
    QStringList arguments;
    int rows, width;
};

TEST(Browse, SampleRowsAndCellWidth)
{
    WindowOnData data("browse_sample");
    data.insert("t", "{\"i\": 0, \"s\": \"" + std::string(5000, 'w') + "\"}");
    for (int i = 1; i < 105; ++i)
        data.insert("t", "{\"i\": " + std::to_string(i) + "}");
    const sample_row_t rows[] = {{{}, 100, 5000}, {{"-ps", "5", "-cw", "0"}, 5, 4096}, {{"-ps", "-1", "-cw", "7"}, 105, 7}};
    for (const sample_row_t& row : rows) {
        SCOPED_TRACE(row.arguments.join(" ").toStdString());
        BoxRecorder boxes;
        auto w = data.open(boxes, row.arguments);
        SchemaProbe p(w.get());
        ASSERT_EQ(p.sample()->rowCount(), row.rows);
        EXPECT_EQ(text(p.sample(), row.rows - 1, 1), std::to_string(row.rows - 1));
        EXPECT_EQ(text(p.sample(), 0, 2).size(), size_t(row.width));
    }
}

TEST(Browse, HidingColumnsNarrowsTheSample)
{
    WindowOnData data("browse_hide");
    data.insert("t", R"({"a": 1, "b": "x"})");
    BoxRecorder boxes;
    auto w = data.open(boxes);
    SchemaProbe p(w.get());
    p.box(1, 8)->click();
    EXPECT_EQ(p.sample()->columnCount(), 2);
    EXPECT_TRUE(p.edited());
    FindCounter finds(p.db().client);
    p.box(2, 8)->click();
    EXPECT_EQ(finds.finds, 1);
    p.box(0, 8)->click(); // the identity column: explained, not an edit; nothing left to read
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Hiding the identity column");
    EXPECT_EQ(boxes.boxes[1].informative,
              "The identity column will be hidden in the Data Sample but will remain in the schema.");
    EXPECT_EQ(p.sample()->columnCount(), 0);
    EXPECT_EQ(finds.finds, 1);
    p.box(0, 8)->click(); // clearing it asks nothing
    EXPECT_EQ(boxes.boxes.size(), 2u);
}

TEST(Browse, VirtualTableTickedSavedPickedAndBothViews)
{
    WindowOnData data("browse_vt");
    data.insert("orders", R"({"_id": {"$oid": "5f0000000000000000000001"}, "no": 7,
                              "tags": ["a", "bc", {"$binary": {"base64": "AQI=", "subType": "00"}}]})");
    data.insert("orders", R"({"_id": {"$oid": "5f0000000000000000000002"}, "no": 8, "tags": []})");
    data.insert("orders", R"({"no": 9, "tags": ["z"], "_id": 5})");
    BoxRecorder boxes;
    auto w = data.open(boxes);
    SchemaProbe p(w.get());
    int tags = p.row_of("tags");
    ASSERT_NE(p.box(tags, 9), nullptr);
    EXPECT_EQ(p.grid()->cellWidget(tags, 9)->toolTip(), "Enable to create Virtual Table. ");
    EXPECT_EQ(p.box(p.row_of("no"), 9), nullptr);
    EXPECT_EQ(p.box(p.row_of("tags_0"), 9), nullptr); // not top level

    QTreeWidgetItem* table = tree_item(w.get(), "orders");
    p.box(tags, 9)->click();
    p.box(p.row_of("tags"), 9)->click(); // tick and clear: the tree as before
    EXPECT_EQ(table->childCount(), 0);
    p.box(p.row_of("tags"), 9)->click();
    ASSERT_EQ(table->childCount(), 1);
    EXPECT_EQ(table->child(0)->text(0), "tags");
    EXPECT_TRUE(p.left_with_edits());

    // Leaving the table with the tick unsaved and answering No drops the tick and the
    // virtual table with it: the pick lands on the table.
    boxes.answer(QMessageBox::No);
    p.press(table->child(0));
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Schema for table 'orders' was edited.");
    EXPECT_EQ(boxes.boxes[1].informative, "Do you want to save any changes made?");
    EXPECT_EQ(table->childCount(), 0);
    EXPECT_EQ(p.db().virtual_table, "");

    // Ticked (the grid kept the records of the same table) and saved: picked without a question.
    if (p.box(p.row_of("tags"), 9)->isChecked())
        p.box(p.row_of("tags"), 9)->click();
    p.box(p.row_of("tags"), 9)->click();
    p.ui()->pushButtonSave->click();
    ASSERT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[2].text, "Save current schema?");
    ASSERT_EQ(table->childCount(), 1);
    p.press(table->child(0));
    EXPECT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(p.db().virtual_table, "tags");
    EXPECT_EQ(p.ui()->tableTitle->text(), "Virtual Table : <b>orders</b>_<b>tags</b>");
    EXPECT_FALSE(p.ui()->viewMode->isHidden());
    ASSERT_EQ(p.grid()->rowCount(), 5);
    EXPECT_EQ(p.cell(1, 0), "tags");
    EXPECT_EQ(p.cell(4, 3), "tags.2");
    ASSERT_NE(p.box(1, 9), nullptr);
    EXPECT_TRUE(p.box(1, 9)->isChecked());
    EXPECT_FALSE(p.box(1, 9)->isEnabled());
    EXPECT_EQ(p.sample()->horizontalHeaderItem(4)->toolTip(), "Virtual Table tags$index is : 2");

    // Driver View: three fixed rows and one sample row per element.
    p.ui()->viewMode->setCurrentIndex(1);
    ASSERT_EQ(p.grid()->rowCount(), 3);
    const char* expected[3][5] = {{"_id", "SQL_CHAR", "_id", "OID", "24"},
                                  {"tags$index", "SQL_INTEGER", "tags", "Driver Defined", ""},
                                  {"tags$value", "SQL_VARCHAR", "tags", "Driver Defined", "512"}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 5; ++c) {
            EXPECT_EQ(text(p.grid(), r, c), expected[r][c]) << r << "," << c;
            EXPECT_FALSE(p.grid()->item(r, c)->flags() & Qt::ItemIsEditable);
        }
    for (QPushButton* b : {p.ui()->pushButtonInsert, p.ui()->pushButtonSave, p.ui()->pushButtonPageDown})
        EXPECT_FALSE(b->isEnabled());
    QTableWidget* sample = p.sample();
    ASSERT_EQ(sample->rowCount(), 4);
    EXPECT_EQ(header(sample, 1), "tags$index");
    const char* cells[4][3] = {{"5f0000000000000000000001", "0", "a"},
                               {"5f0000000000000000000001", "1", "bc"},
                               {"5f0000000000000000000001", "2", "Cannot convert data : 0x0102"},
                               {"", "0", "z"}}; // a key that is no ObjectId shows nothing
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 3; ++c)
            EXPECT_EQ(text(sample, r, c), cells[r][c]) << r << "," << c;

    // A pick puts the view back to Detail View.
    p.press(table);
    EXPECT_EQ(p.ui()->viewMode->currentIndex(), 0);
    EXPECT_TRUE(p.ui()->viewMode->isHidden());
}

} // namespace
