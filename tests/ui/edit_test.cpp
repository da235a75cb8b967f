// Editing the column grid as a user does, leaving a table with edits, saving to the real
// server, and the schema dump of a column in two indexes.
#include "tests/support/ui_support.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

TEST(Editing, ChecksRemoveLeaveSaveAndDump)
{
    WindowOnData data;
    data.insert("things", R"({"name": "n", "count": 3, "tags": ["a"]})"); // rows _id, count, name, tags, tags_0
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
        int red; // rows red in the column typed into
    } rows[] = {{1, 0, "name", "Warning: Duplicate SQL Name 'name'", 2},
                {1, 0, "count", "", 0},
                {2, 5, "-1", "Warning: Invalid Length Value : '-1'", 1},
                {2, 5, "1.5", "Warning: Invalid Length Value : '1.5'", 1},
                {2, 5, "0", "", 0}};
    for (const auto& row : rows) {
        p.type(row.row, row.column, row.typed);
        int red = 0;
        for (int r = 0; r < p.grid()->rowCount(); ++r)
            red += p.grid()->item(r, row.column)->foreground().color() == QColor(255, 0, 0);
        EXPECT_EQ(p.ui()->errorMsg->text() + QString::number(red),
                  row.message + QString::number(row.red)) << row.typed;
    }
    p.grid()->setCurrentCell(2, 1);
    p.ui()->pushButtonRemove->click();
    EXPECT_EQ(boxes.texts().back() + boxes.boxes.back().informative,
              "To Remove Column,please select SQL Name to remove.");
    // A virtual-table tick adds the tree item, and clearing it takes the item away.
    QTreeWidgetItem* things = tree_item(w.get(), "things");
    p.box(3, 9)->click();
    EXPECT_EQ(things->childCount(), 1);
    p.box(3, 9)->click();
    EXPECT_EQ(things->childCount(), 0);
    // Leaving the table asks to save, and No writes nothing.
    texts_t stored = read_json(data.client, data.schema, "columns");
    boxes.answers = {QMessageBox::No};
    p.pick("vessels");
    EXPECT_EQ(boxes.texts().back(), "Schema for table 'things' was edited.");
    EXPECT_EQ(read_json(data.client, data.schema, "columns"), stored);

    // Saved, and read back by a new window; its dump appends, with a block for each index.
    p.pick("things");
    p.type(2, 0, "title");
    p.box(3, 9)->click();
    boxes.answers = {QMessageBox::Yes};
    p.ui()->pushButtonSave->click();
    BoxRecorder again;
    Schema w2(window_arguments(data.data, data.schema, {"-debug", file}));
    EXPECT_EQ(column_texts(SchemaProbe{&w2}.grid(), 0), (texts_t{"_id", "count", "tags", "tags_0", "title"}));
    EXPECT_EQ(tree_item(&w2, "things")->child(0)->text(0), "tags");
    SchemaProbe{&w2}.ui()->pushButtonDump->click();
    SchemaProbe{&w2}.ui()->pushButtonDump->click();
    EXPECT_EQ(again.texts(), (texts_t{"Dump Schema to", "Schema dumped to", "Dump Schema to", "Schema dumped to"}));
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
