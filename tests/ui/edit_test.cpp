// Editing the column grid as a user does, leaving a table with edits, saving to the real
// server, and the schema dump.
#include "tests/support/ui_support.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

TEST(Editing, ChecksInsertRemoveLeaveSaveAndDump)
{
    WindowOnData data;
    data.insert("things", R"({"name": "n", "city": "c", "count": 3, "tags": ["a"]})");
    data.insert("vessels", R"({"v": 1})");
    data.index("things", R"({"name": 1, "count": -1})", "name_count");
    data.index("things", R"({"count": 1})", "count_up");
    QTemporaryDir dir;
    QString file = dir.path() + "/dump.txt";
    BoxRecorder boxes;
    auto w = data.open({"-debug", file});
    SchemaProbe p{w.get()};
    const struct {
        int row, column;
        const char* typed;
        QString message;
        texts_t red; // the SQL names of the rows red in the column typed into
    } rows[] = {
        {1, 0, "name", "Warning: Duplicate SQL Name 'name'", {"name", "name"}},
        {1, 0, "town", "", {}},
        {1, 3, "name", "Warning: Duplicate MongoDB Name 'name'", {"town", "name"}},
        {1, 3, "city", "", {}},
        {3, 5, "-1", "Warning: Invalid Length Value : '-1'", {"name"}},
        {3, 5, "1.5", "Warning: Invalid Length Value : '1.5'", {"name"}},
        {3, 5, "0", "", {}},
    };
    for (const auto& row : rows) {
        p.type(row.row, row.column, row.typed);
        EXPECT_EQ(p.ui()->errorMsg->text(), row.message) << row.typed;
        texts_t red;
        for (int r = 0; r < p.grid()->rowCount(); ++r)
            if (p.grid()->item(r, row.column)->foreground().color() == QColor(255, 0, 0))
                red.push_back(p.cell(r, 0).toStdString());
        EXPECT_EQ(red, row.red) << row.typed;
    }
    p.grid()->setCurrentCell(2, 0);
    p.ui()->pushButtonInsert->click(); // below the current row
    EXPECT_EQ(row_text(p.grid(), 3), "New Column|SQL_VARCHAR||New Column|String|255|||[ ]|");
    p.grid()->setCurrentCell(3, 1);
    p.ui()->pushButtonRemove->click();
    EXPECT_EQ(boxes.texts().back() + boxes.boxes.back().informative,
              "To Remove Column,please select SQL Name to remove.");
    p.grid()->setCurrentCell(3, 0);
    p.ui()->pushButtonRemove->click();
    EXPECT_EQ(p.cell(3, 0), "name");
    // A virtual-table tick adds the tree item, and clearing it takes the item away.
    QTreeWidgetItem* things = tree_item(w.get(), "things");
    p.box(4, 9)->click();
    EXPECT_EQ(things->childCount(), 1);
    p.box(4, 9)->click();
    EXPECT_EQ(things->childCount(), 0);

    // Leaving the table asks to save, and No writes nothing; back, the stored schema shows.
    texts_t stored = read_json(data.client, data.schema, "columns");
    boxes.answers = {QMessageBox::No};
    p.pick("vessels");
    EXPECT_EQ(boxes.texts().back(), "Schema for table 'things' was edited.");
    EXPECT_EQ(read_json(data.client, data.schema, "columns"), stored);
    p.pick("things");
    EXPECT_EQ(boxes.boxes.size(), 3u);
    // Saved, and read back by a new window; its dump appends, a column in two indexes with
    // a block for each.
    p.type(1, 0, "town");
    p.box(4, 9)->click();
    boxes.answers = {QMessageBox::Yes};
    p.ui()->pushButtonSave->click();
    BoxRecorder again;
    Schema w2(window_arguments(data.data, data.schema, {"-debug", file}));
    SchemaProbe p2{&w2};
    EXPECT_EQ(column_texts(p2.grid(), 0), (texts_t{"_id", "count", "name", "tags", "tags_0", "town"}));
    EXPECT_EQ(tree_item(&w2, "things")->child(0)->text(0), "tags");
    p2.ui()->pushButtonDump->click();
    p2.ui()->pushButtonDump->click();
    EXPECT_EQ(again.texts(), (texts_t{"Dump Schema to", "Schema dumped to", "Dump Schema to", "Schema dumped to"}));
    EXPECT_EQ(again.boxes[1].informative, file.toStdString() + ".");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    std::string dumped = f.readAll().toStdString(), count = "SQL Column    : count\r\nSQL Type      : 4\r\n"
        "SQL Index     : Yes\r\n  Asc         : 1\r\n  Index       : 1\r\n  Index Name  : count_up\r\n"
        "  Primary     : 0\r\n  SQL Column  : count\r\n  Unique      : 0\r\n  Asc         : 0\r\n"
        "  Index       : 2\r\n  Index Name  : name_count\r\n  Primary     : 0\r\n  SQL Column  : count\r\n"
        "  Unique      : 0\r\nMongo Name    : count\r\n";
    ASSERT_NE(dumped.find(count), std::string::npos) << dumped;
    EXPECT_NE(dumped.find(count, dumped.find(count) + 1), std::string::npos);
}
