// Editing the column grid as a user does: checks, colours, type changes, insert, remove,
// and leaving a table with edits.
#include "tests/support/ui_support.h"

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

struct Editing : ::testing::Test, SchemaProbe {
    WindowOnData data{"edit"};
    BoxRecorder boxes;
    std::unique_ptr<Schema> window;
    Editing() : SchemaProbe(nullptr) {}

    void open(int extra_fields = 0) // 6 columns, and two pages from 13 extra fields on
    {
        std::string doc = R"({"name": "n", "city": "c", "count": 3, "tags": ["a"])";
        for (int i = 0; i < extra_fields; ++i)
            doc += ", \"x" + std::to_string(100 + i) + "\": " + std::to_string(i);
        data.insert("things", doc + "}");
        data.insert("vessels", R"({"v": 1})");
        window = data.open(boxes);
        w = window.get();
    }
    bool red(int row, int column) { return grid()->item(row, column)->foreground().color() == QColor(255, 0, 0); }
    QString message() { return ui()->errorMsg->text(); }
    std::vector<std::string> sizes(int row)
    {
        std::vector<std::string> out;
        for (int c = 5; c <= 7; ++c)
            out.push_back(grid()->item(row, c)->text().toStdString() +
                          (grid()->item(row, c)->flags() & Qt::ItemIsEditable ? "" : "-"));
        return out;
    }
};

TEST_F(Editing, DuplicateNamesTurnRedAndBlackAgain)
{
    open(30);
    int city = row_of("city"), name = row_of("name");
    type(city, 0, "name");
    EXPECT_EQ(message(), "Warning: Duplicate SQL Name 'name'");
    EXPECT_TRUE(red(city, 0));
    EXPECT_TRUE(red(name, 0));
    EXPECT_FALSE(red(row_of("count"), 0));
    EXPECT_TRUE(edited());
    type(city, 0, "town");
    EXPECT_EQ(message(), "");
    EXPECT_FALSE(red(city, 0));
    EXPECT_FALSE(red(name, 0));

    type(city, 3, "name");
    EXPECT_EQ(message(), "Warning: Duplicate MongoDB Name 'name'");
    EXPECT_TRUE(red(name, 3));
    // The sample follows the edit: the renamed column reads the name field.
    EXPECT_EQ(sample()->horizontalHeaderItem(city)->text(), "town");
    EXPECT_EQ(sample()->item(0, city)->text(), "n");

    type(city, 0, "x129"); // a name on page 2
    EXPECT_EQ(message(), "Warning: Duplicate SQL Name 'x129'");
    EXPECT_TRUE(red(city, 0));
}

TEST_F(Editing, NumbersAndTypeChanges)
{
    open();
    int name = row_of("name"), count = row_of("count");
    const std::pair<const char*, bool> lengths[] = {{"12", true}, {"0", true}, {"", true}, {"-1", false},
                                                    {"abc", false}, {"1.5", false}, {"99999999999", false}};
    for (const auto& c : lengths) {
        type(name, 5, c.first);
        EXPECT_EQ(red(name, 5), !c.second) << c.first;
        EXPECT_EQ(message(), c.second ? QString() : QString("Warning: Invalid Length Value : '") + c.first + "'")
            << c.first;
    }
    using sizes_t = std::vector<std::string>; // length, precision, scale; "-" read-only
    const std::pair<const char*, sizes_t> types[] = {
        {"SQL_VARCHAR", {"255", "-", "-"}},  {"SQL_NUMERIC", {"-", "10", "2"}},  {"SQL_INTEGER", {"-", "-", "-"}},
        {"SQL_LONGVARCHAR", {"-", "-", "-"}}, {"SQL_WLONGVARCHAR", {"-", "-", "-"}}, {"SQL_WVARCHAR", {"255", "-", "-"}},
    };
    for (const auto& t : types) {
        choose(count, 1, t.first);
        EXPECT_EQ(sizes(count), t.second) << t.first;
    }
    choose(count, 1, "SQL_NUMERIC");
    type(count, 6, "x");
    EXPECT_EQ(message(), "Warning: Invalid Precision Value : 'x'");
    type(count, 7, "-2");
    EXPECT_EQ(message(), "Warning: Invalid Scale Value : '-2'");

    // The virtual-table box comes with the Array type and goes with a dotted name.
    int city = row_of("city"), tags = row_of("tags");
    EXPECT_EQ(box(city, 9), nullptr);
    choose(city, 4, "Array");
    ASSERT_NE(box(city, 9), nullptr);
    EXPECT_FALSE(box(city, 9)->isChecked());
    choose(city, 4, "Object");
    EXPECT_EQ(box(city, 9), nullptr);
    type(tags, 3, "deep.tags");
    EXPECT_EQ(box(tags, 9), nullptr);
    type(tags, 3, "tags");
    EXPECT_NE(box(tags, 9), nullptr);
}

TEST_F(Editing, InsertAndRemove)
{
    open();
    int rows = grid()->rowCount();
    EXPECT_EQ(grid()->currentColumn(), 0); // a fill leaves the first cell current
    ui()->pushButtonInsert->click();       // below the current row, even the first
    EXPECT_EQ(cell(1, 0), "New Column");
    grid()->setCurrentCell(1, 0);
    ui()->pushButtonRemove->click();
    grid()->setCurrentCell(2, 0);
    ui()->pushButtonInsert->click();
    ASSERT_EQ(grid()->rowCount(), rows + 1);
    EXPECT_EQ(cell(3, 0), "New Column");
    EXPECT_EQ(cell(3, 3), "New Column");
    EXPECT_EQ(combo(3, 1)->currentText(), "SQL_VARCHAR");
    EXPECT_EQ(combo(3, 4)->currentText(), "String");
    EXPECT_EQ(sizes(3), (std::vector<std::string>{"255", "-", "-"}));
    grid()->setCurrentCell(0, 0);
    ui()->pushButtonInsert->click(); // a second one selects the first
    EXPECT_EQ(grid()->rowCount(), rows + 1);
    EXPECT_EQ(grid()->currentRow(), 3);
    EXPECT_EQ(grid()->currentColumn(), 0);
    type(3, 0, "added"); // names the MongoDB field too while that reads "New Column"
    EXPECT_EQ(cell(3, 3), "added");
    type(3, 0, "renamed");
    EXPECT_EQ(cell(3, 3), "added");

    const std::pair<int, const char*> refused[] = {{1, "To Remove Column,|please select SQL Name to remove."},
                                                   {0, "Cannot Remove '_id' Column.|Sorry, this column cannot be removed."}};
    for (const auto& r : refused) {
        grid()->setCurrentCell(r.first ? 2 : 0, r.first);
        boxes.boxes.clear();
        ui()->pushButtonRemove->click();
        ASSERT_EQ(boxes.boxes.size(), 1u) << r.second;
        EXPECT_EQ(boxes.boxes[0].text + "|" + boxes.boxes[0].informative, r.second);
    }
    rows = grid()->rowCount();
    // Remove row 2; the rows that move up answer to their new numbers.
    QByteArray moved = cell(3, 0), after = cell(4, 0);
    grid()->setCurrentCell(2, 0);
    ui()->pushButtonRemove->click();
    EXPECT_EQ(grid()->rowCount(), rows - 1);
    EXPECT_EQ(cell(2, 0), moved);
    EXPECT_EQ(sample()->columnCount(), rows - 1);
    choose(2, 1, "SQL_NUMERIC");
    EXPECT_EQ(cell(2, 6), "10");
    EXPECT_EQ(cell(3, 0), after);
    EXPECT_NE(cell(3, 6), "10");
    int last = grid()->rowCount() - 1; // removing the last row makes the one above current
    grid()->setCurrentCell(last, 0);
    ui()->pushButtonRemove->click();
    EXPECT_EQ(grid()->currentRow(), last - 1);
}

TEST_F(Editing, LeavingWithEditsAsksAndNoWritesNothing)
{
    open(30);
    std::vector<std::string> before = read_json(data.client, data.schema, "columns");
    type(row_of("city"), 0, "town");
    ui()->pushButtonPageDown->click();
    EXPECT_TRUE(left_with_edits());
    EXPECT_FALSE(edited());
    ui()->pushButtonPageUp->click();
    EXPECT_GE(row_of("town"), 0); // the edit survived paging

    const char* ways[] = {"Save", "close", "pick"};
    for (const char* way : ways) {
        SCOPED_TRACE(way);
        boxes.boxes.clear();
        boxes.answer(QMessageBox::No);
        if (way == ways[0])
            ui()->pushButtonSave->click();
        else if (way == ways[1])
            w->close();
        else
            pick("vessels");
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].text, way == ways[0] ? "Save current schema?" : "Schema for table 'things' was edited.");
        EXPECT_EQ(read_json(data.client, data.schema, "columns"), before);
    }
    EXPECT_EQ(db().table, "vessels");
    EXPECT_FALSE(left_with_edits());
    // Back: the stored schema, without the edit, and no question.
    pick("things");
    EXPECT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(row_of("town"), -1);
}

} // namespace
