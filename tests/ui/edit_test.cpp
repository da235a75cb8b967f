// Editing the column grid as a user does: checks, colours, type changes, insert, remove.
#include "tests/support/test_env.h"
#include "tests/support/ui_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

const QColor red(255, 0, 0);
const QColor black(0, 0, 0);

struct Editing : ::testing::Test, GridDriver {
    WindowOnData data{"edit"};
    BoxRecorder boxes;
    std::unique_ptr<Schema> w;
    Ui_Schema* ui = nullptr;

    void open(int extra_fields = 0)
    {
        std::string doc = R"({"name": "n", "city": "c", "count": 3, "tags": ["a"])";
        for (int i = 0; i < extra_fields; ++i)
            doc += ", \"x" + std::to_string(100 + i) + "\": " + std::to_string(i);
        data.insert("things", doc + "}");
        data.insert("vessels", R"({"v": 1})");
        w = data.open(boxes);
        ui = SchemaProbe(w.get()).ui();
        grid = ui->tableWidget;
    }
    QColor colour(int row, int column) { return grid->item(row, column)->foreground().color(); }
    SchemaProbe probe() { return SchemaProbe(w.get()); }
};

TEST_F(Editing, DuplicateNamesTurnRedAndBlackAgain)
{
    open();
    int city = row_of("city"), name = row_of("name");
    type(city, 0, "name");
    EXPECT_EQ(ui->errorMsg->text(), "Warning: Duplicate SQL Name 'name'");
    EXPECT_EQ(colour(city, 0), red);
    EXPECT_EQ(colour(name, 0), red);
    EXPECT_EQ(colour(row_of("count"), 0), black);
    EXPECT_TRUE(probe().edited());
    type(city, 0, "town");
    EXPECT_EQ(ui->errorMsg->text(), "");
    EXPECT_EQ(colour(city, 0), black);
    EXPECT_EQ(colour(name, 0), black);

    type(city, 3, "name");
    EXPECT_EQ(ui->errorMsg->text(), "Warning: Duplicate MongoDB Name 'name'");
    EXPECT_EQ(colour(name, 3), red);
    // The sample follows the edit: the renamed column now reads the name field.
    EXPECT_EQ(ui->dataWidget->horizontalHeaderItem(city)->text(), "town");
    EXPECT_EQ(ui->dataWidget->item(0, city)->text(), "n");
}

TEST_F(Editing, NameOfAColumnOnAnotherPage)
{
    open(30); // 36 columns: two pages
    ASSERT_EQ(probe().db().page_count, 2);
    int city = row_of("city");
    type(city, 0, "x129"); // on page 2
    EXPECT_EQ(ui->errorMsg->text(), "Warning: Duplicate SQL Name 'x129'");
    EXPECT_EQ(colour(city, 0), red);
    // A duplicate within the page is reported before one on another page.
    type(row_of("count"), 0, "x129");
    EXPECT_EQ(colour(row_of("name"), 0), black);
}

TEST_F(Editing, NumberChecks)
{
    open();
    int name = row_of("name");
    struct {
        const char* text;
        bool valid;
    } cases[] = {{"12", true}, {"0", true}, {"", true}, {"-1", false}, {"abc", false},
                 {"1.5", false}, {"99999999999", false}};
    for (const auto& c : cases) {
        type(name, 5, c.text);
        EXPECT_EQ(colour(name, 5), c.valid ? black : red) << c.text;
        EXPECT_EQ(ui->errorMsg->text(), c.valid ? QString() : QString("Warning: Invalid Length Value : '") + c.text + "'")
            << c.text;
    }
    int count = row_of("count");
    combo(count, 1)->setCurrentIndex(combo(count, 1)->findText("SQL_NUMERIC"));
    type(count, 6, "x");
    EXPECT_EQ(ui->errorMsg->text(), "Warning: Invalid Precision Value : 'x'");
    type(count, 7, "-2");
    EXPECT_EQ(ui->errorMsg->text(), "Warning: Invalid Scale Value : '-2'");
}

TEST_F(Editing, TypeChangesResetTheSizes)
{
    open();
    int r = row_of("count");
    auto sizes = [&] {
        return std::vector<std::string>{grid->item(r, 5)->text().toStdString(), grid->item(r, 6)->text().toStdString(),
                                        grid->item(r, 7)->text().toStdString()};
    };
    auto editable = [&](int column) { return bool(grid->item(r, column)->flags() & Qt::ItemIsEditable); };
    combo(r, 1)->setCurrentIndex(combo(r, 1)->findText("SQL_VARCHAR"));
    EXPECT_EQ(sizes(), (std::vector<std::string>{"255", "", ""}));
    EXPECT_TRUE(editable(5));
    EXPECT_FALSE(editable(6));
    combo(r, 1)->setCurrentIndex(combo(r, 1)->findText("SQL_NUMERIC"));
    EXPECT_EQ(sizes(), (std::vector<std::string>{"", "10", "2"}));
    EXPECT_FALSE(editable(5));
    EXPECT_TRUE(editable(6));
    EXPECT_TRUE(editable(7));
    for (const char* name : {"SQL_INTEGER", "SQL_LONGVARCHAR", "SQL_WLONGVARCHAR"}) {
        combo(r, 1)->setCurrentIndex(combo(r, 1)->findText(name));
        EXPECT_EQ(sizes(), (std::vector<std::string>{"", "", ""})) << name;
        EXPECT_FALSE(editable(5)) << name;
    }
    combo(r, 1)->setCurrentIndex(combo(r, 1)->findText("SQL_WVARCHAR"));
    EXPECT_EQ(sizes(), (std::vector<std::string>{"255", "", ""}));
    EXPECT_TRUE(probe().edited());
}

TEST_F(Editing, ArrayTypeAndDottedNamesAddAndRemoveTheVirtualTableBox)
{
    open();
    int r = row_of("city");
    EXPECT_EQ(box(r, 9), nullptr);
    combo(r, 4)->setCurrentIndex(combo(r, 4)->findText("Array"));
    ASSERT_NE(box(r, 9), nullptr);
    EXPECT_FALSE(box(r, 9)->isChecked());
    combo(r, 4)->setCurrentIndex(combo(r, 4)->findText("Object"));
    EXPECT_EQ(box(r, 9), nullptr);

    int tags = row_of("tags");
    ASSERT_NE(box(tags, 9), nullptr);
    type(tags, 3, "deep.tags");
    EXPECT_EQ(box(tags, 9), nullptr);
    type(tags, 3, "tags");
    ASSERT_NE(box(tags, 9), nullptr);
    EXPECT_FALSE(box(tags, 9)->isChecked());
}

TEST_F(Editing, InsertTwiceSelectsTheFirstNewRow)
{
    open();
    int rows = grid->rowCount();
    grid->setCurrentCell(2, 0);
    ui->pushButtonInsert->click();
    ASSERT_EQ(grid->rowCount(), rows + 1);
    EXPECT_EQ(grid->item(3, 0)->text(), "New Column");
    EXPECT_EQ(grid->item(3, 3)->text(), "New Column");
    EXPECT_EQ(combo(3, 1)->currentText(), "SQL_VARCHAR");
    EXPECT_EQ(combo(3, 4)->currentText(), "String");
    EXPECT_EQ(grid->item(3, 5)->text(), "255");
    EXPECT_FALSE(grid->item(3, 6)->flags() & Qt::ItemIsEditable);
    EXPECT_EQ(grid->currentRow(), 3);
    EXPECT_EQ(grid->currentColumn(), 0);
    grid->setCurrentCell(0, 0);
    ui->pushButtonInsert->click();
    EXPECT_EQ(grid->rowCount(), rows + 1);
    EXPECT_EQ(grid->currentRow(), 3);
    // Typing the SQL name gives the MongoDB name too, while it still reads "New Column".
    type(3, 0, "added");
    EXPECT_EQ(grid->item(3, 3)->text(), "added");
    type(3, 0, "renamed");
    EXPECT_EQ(grid->item(3, 3)->text(), "added");
}

TEST_F(Editing, RemoveRefusalsAndRemapping)
{
    open();
    grid->setCurrentCell(2, 1);
    ui->pushButtonRemove->click();
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "To Remove Column,");
    EXPECT_EQ(boxes.boxes[1].informative, "please select SQL Name to remove.");
    grid->setCurrentCell(0, 0);
    ui->pushButtonRemove->click();
    ASSERT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[2].text, "Cannot Remove '_id' Column.");
    EXPECT_EQ(boxes.boxes[2].informative, "Sorry, this column cannot be removed.");
    int rows = grid->rowCount();
    EXPECT_FALSE(probe().edited());

    // Remove row 2; the row that moves up answers to its new number.
    QString moved = grid->item(3, 0)->text();
    QString after = grid->item(4, 0)->text();
    grid->setCurrentCell(2, 0);
    ui->pushButtonRemove->click();
    EXPECT_EQ(grid->rowCount(), rows - 1);
    EXPECT_EQ(grid->item(2, 0)->text(), moved);
    EXPECT_TRUE(probe().edited());
    EXPECT_EQ(ui->dataWidget->columnCount(), rows - 1);
    combo(2, 1)->setCurrentIndex(combo(2, 1)->findText("SQL_NUMERIC"));
    EXPECT_EQ(grid->item(2, 6)->text(), "10");
    EXPECT_EQ(grid->item(3, 0)->text(), after);
    EXPECT_NE(grid->item(3, 6)->text(), "10");

    // Removing the last row makes the row above current.
    int last = grid->rowCount() - 1;
    grid->setCurrentCell(last, 0);
    ui->pushButtonRemove->click();
    EXPECT_EQ(grid->currentRow(), last - 1);
}

TEST_F(Editing, PagingWithEditsThenLeavingAsksOnceAndNoWritesNothing)
{
    open(30);
    std::vector<std::string> before = read_json(data.client, data.schema, "columns");
    type(row_of("city"), 0, "town");
    ui->pushButtonPageDown->click();
    EXPECT_TRUE(probe().left_with_edits());
    EXPECT_FALSE(probe().edited());
    ui->pushButtonPageUp->click();
    EXPECT_EQ(grid->item(row_of("town"), 0)->text(), "town"); // the edit survived paging
    EXPECT_EQ(grid->item(row_of("town"), 2)->text(), "");

    QTreeWidgetItem* other = tree_item(w.get(), "vessels");
    ui->treeWidget->setCurrentItem(other);
    boxes.answer(QMessageBox::No);
    probe().press(other);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Schema for table 'things' was edited.");
    EXPECT_EQ(boxes.boxes[1].informative, "Do you want to save any changes made?");
    EXPECT_EQ(probe().db().table, "vessels");
    EXPECT_FALSE(probe().left_with_edits());
    EXPECT_EQ(read_json(data.client, data.schema, "columns"), before);

    // Back to the first table: the stored schema, without the edit, and no question.
    QTreeWidgetItem* things = tree_item(w.get(), "things");
    ui->treeWidget->setCurrentItem(things);
    probe().press(things);
    EXPECT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(row_of("town"), -1);
    EXPECT_GE(row_of("city"), 0);
}

TEST_F(Editing, ClosingWithEditsAsks)
{
    open();
    type(row_of("city"), 0, "town");
    boxes.answer(QMessageBox::No);
    w->close();
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Schema for table 'things' was edited.");
}

TEST_F(Editing, SaveAnsweredNoChangesNothing)
{
    open();
    type(row_of("city"), 0, "town");
    std::vector<std::string> before = read_json(data.client, data.schema, "columns");
    boxes.answer(QMessageBox::No);
    ui->pushButtonSave->click();
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Save current schema?");
    EXPECT_EQ(boxes.boxes[1].informative, "");
    EXPECT_TRUE(probe().edited());
    EXPECT_EQ(read_json(data.client, data.schema, "columns"), before);
}

} // namespace
