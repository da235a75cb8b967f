// A schema on the real server browsed, edited, dumped and saved: the first table, edit
// checks, a virtual table in both views, pages, and the sample's size.
#include "tests/support/ui_support.h"

#include <QRegularExpression>
#include <QTemporaryDir>

using namespace testenv;

namespace {

TEST(Browse, EditDumpSaveAndVirtualTableInBothViews)
{
    WindowOnData data;
    data.insert("orders", R"({"_id": {"$oid": "5f0000000000000000000001"}, "no": 7, "k": 1,
                              "tags": ["a", {"$binary": {"base64": "AQI=", "subType": "00"}}]})");
    data.insert("orders", R"({"no": 9.5, "tags": ["z"], "_id": 5})");
    data.insert("zoo", R"({"z": 1})");
    data.index("orders", R"({"k": 1})", "k_up");
    data.index("orders", R"({"no": 1, "k": -1})", "no_k");
    QTemporaryDir dir;
    QString file = dir.path() + "/dump.txt";
    BoxRecorder boxes;
    SchemaProbe p{data.open({"-debug", file})};
    QTreeWidgetItem* table = p.ui()->treeWidget->currentItem();
    EXPECT_EQ(p.ui()->tableTitle->text() + p.ui()->labelCurrentSchema->text(),
              "Table : <b>orders</b>Schema : <b>" + QString::fromStdString(data.schema) + "</b>");
    // "_id" first, then in SQL name order; a column in two indexes has a tool-tip row for each.
    EXPECT_EQ(rows_text(p.grid()), (texts_t{"_id|SQL_VARCHAR|Yes|_id|NumberInt32|255|||[ ]|",
                                            "k|SQL_INTEGER|Yes|k|NumberInt32||||[ ]|",
                                            "no|SQL_DOUBLE|Yes|no|NumberDouble||||[ ]|",
                                            "tags|SQL_VARCHAR||tags|Array|59|||[ ]|[ ]",
                                            "tags_0|SQL_VARCHAR||tags.0|String|1|||[ ]|",
                                            "tags_1|SQL_BIGINT||tags.1|BinaryData||||[ ]|"}));
    for (int row : {0, 1}) // only "_id" keeps its names
        for (int column : {0, 3})
            EXPECT_EQ(bool(p.grid()->item(row, column)->flags() & Qt::ItemIsEditable), row == 1) << column;
    EXPECT_EQ(p.grid()->item(1, 2)->toolTip().remove(QRegularExpression("<[^>]*>")),
              "SQL Index NameIndex Keyk_up1no_k2");
    EXPECT_EQ(row_text(p.sample(), 1), R"(5|<null>|9.5|["0":"z"]|z|<null>)");
    EXPECT_EQ(p.sample()->horizontalHeaderItem(4)->toolTip(), ""); // an element's tip is a virtual table's
    // The dump appends, with a block for each index of a column.
    p.ui()->pushButtonDump->click();
    p.ui()->pushButtonDump->click();
    std::string dumped = file_text(file.toStdString()), k = "SQL Column    : k\r\nSQL Type      : 4\r\n"
        "SQL Index     : Yes\r\n  Asc         : 1\r\n  Index       : 1\r\n  Index Name  : k_up\r\n"
        "  Primary     : 0\r\n  SQL Column  : k\r\n  Unique      : 0\r\n  Asc         : 0\r\n"
        "  Index       : 2\r\n  Index Name  : no_k\r\n  Primary     : 0\r\n  SQL Column  : k\r\n"
        "  Unique      : 0\r\nMongo Name    : k\r\n";
    ASSERT_NE(dumped.find(k), std::string::npos) << dumped;
    EXPECT_NE(dumped.find(k, dumped.find(k) + 1), std::string::npos);

    // Checks as the user types; a removal refused; leaving with edits asks, and No writes nothing.
    const struct {
        int row, column;
        const char* typed;
        QString told;
    } rows[] = {{1, 0, "no", "Warning: Duplicate SQL Name 'no'2"},
                {1, 0, "k", "0"},
                {4, 5, "-1", "Warning: Invalid Length Value : '-1'1"},
                {4, 5, "1.5", "Warning: Invalid Length Value : '1.5'1"},
                {4, 5, "0", "0"}};
    for (const auto& row : rows) { // the message, and how many rows are red in the column (the rest black)
        p.type(row.row, row.column, row.typed);
        int red = 0;
        for (int r = 0; r < p.grid()->rowCount(); ++r) {
            QColor ink = p.grid()->item(r, row.column)->foreground().color();
            red += ink == QColor(255, 0, 0);
            EXPECT_TRUE(ink == QColor(255, 0, 0) || ink == QColor(0, 0, 0)) << r << " " << row.typed;
        }
        EXPECT_EQ(p.ui()->errorMsg->text() + QString::number(red), row.told) << row.typed;
    }
    p.grid()->setCurrentCell(2, 1);
    p.ui()->pushButtonRemove->click();
    EXPECT_EQ(boxes.boxes.back().text + boxes.boxes.back().informative,
              "To Remove Column,please select SQL Name to remove.");
    const int before = p.grid()->rowCount(); // one new column at a time, after the current row
    p.grid()->setCurrentCell(0, 0);
    p.ui()->pushButtonInsert->click();
    p.ui()->pushButtonInsert->click();
    const int added = p.grid()->currentRow();
    EXPECT_EQ(added, 1);
    EXPECT_EQ(p.grid()->rowCount(), before + 1);
    EXPECT_EQ(rows_text(p.grid(), added, added), texts_t{"New Column|SQL_VARCHAR||New Column|String|255|||[ ]|"});
    p.grid()->setCurrentCell(added, 0);
    p.ui()->pushButtonRemove->click();
    EXPECT_EQ(p.grid()->rowCount(), before);
    EXPECT_EQ(p.grid()->currentRow(), added); // the next row, or the last when it was the last
    p.grid()->setCurrentCell(before - 1, 0);
    p.ui()->pushButtonInsert->click();
    p.grid()->setCurrentCell(before, 0);
    p.ui()->pushButtonRemove->click();
    EXPECT_EQ(p.grid()->currentRow(), before - 1);
    // Array offers a virtual table for a top-level field of a table only.
    auto as_type = [](SchemaProbe& probe, int row, const char* type) {
        qobject_cast<QComboBox*>(probe.grid()->cellWidget(row, 4))->setCurrentText(type);
        return rows_text(probe.grid(), row, row)[0];
    };
    EXPECT_EQ(as_type(p, 2, "Array"), "no|SQL_DOUBLE|Yes|no|Array|255|||[ ]|[ ]");
    EXPECT_EQ(as_type(p, 4, "Array"), "tags_0|SQL_VARCHAR||tags.0|Array|0|||[ ]|");
    EXPECT_EQ(as_type(p, 2, "NumberDouble"), "no|SQL_DOUBLE|Yes|no|NumberDouble|255|||[ ]|");
    as_type(p, 4, "String");
    p.box(3, 9)->click(); // a virtual-table tick adds the tree item, clearing it takes it away
    EXPECT_EQ(table->childCount(), 1);
    p.box(3, 9)->click();
    EXPECT_EQ(table->childCount(), 0);
    texts_t stored = read_json(data.client, data.schema, "columns");
    boxes.answers = {QMessageBox::No};
    p.pick("zoo");
    EXPECT_EQ(boxes.boxes.back().text, "Schema for table 'orders' was edited.");
    EXPECT_EQ(read_json(data.client, data.schema, "columns"), stored);
    p.press(table);

    // Ticked and saved, the virtual table is picked without a question.
    p.box(3, 9)->click();
    p.ui()->pushButtonSave->click();
    ASSERT_EQ(table->childCount(), 1);
    p.press(table->child(0));
    EXPECT_EQ(boxes.boxes.back().text, "Save current schema?");
    EXPECT_EQ(boxes.boxes.size(), 8u);
    EXPECT_EQ(p.ui()->tableTitle->text(), "Virtual Table : <b>orders</b>_<b>tags</b>");
    EXPECT_EQ(rows_text(p.grid(), 1, 1), texts_t{"tags|SQL_VARCHAR||tags|Array|59|||[ ]|[x]"});
    EXPECT_FALSE(p.box(1, 9)->isEnabled());
    // Driver View: three fixed rows, one sample row per element.
    p.ui()->viewMode->setCurrentIndex(1);
    EXPECT_FALSE(p.ui()->pushButtonRemove->isEnabled() || p.ui()->pushButtonInsert->isEnabled());
    EXPECT_EQ(rows_text(p.grid()), (texts_t{"_id|SQL_CHAR|_id|OID|24",
                                            "tags$index|SQL_INTEGER|tags|Driver Defined|",
                                            "tags$value|SQL_VARCHAR|tags|Driver Defined|512"}));
    EXPECT_EQ(rows_text(p.sample()), (texts_t{"5f0000000000000000000001|0|a",
                                              "5f0000000000000000000001|1|Cannot convert data : 0x0102",
                                              "|0|z"})); // a key that is no ObjectId shows nothing
    p.press(table); // a pick goes back to Detail View
    EXPECT_TRUE(p.ui()->viewMode->isHidden() && p.ui()->viewMode->currentIndex() == 0);
    // -ps counts documents, not elements: the first document's two.
    SchemaProbe q{data.open({"-ps", "1"})};
    q.press(q.ui()->treeWidget->currentItem()->child(0));
    q.ui()->viewMode->setCurrentIndex(1);
    EXPECT_EQ(rows_text(q.sample()), (texts_t{"5f0000000000000000000001|0|a",
                                              "5f0000000000000000000001|1|Cannot convert data : 0x0102"}));
    q.ui()->viewMode->setCurrentIndex(0); // and none inside a virtual table
    EXPECT_EQ(as_type(q, 0, "Array"), "_id|SQL_VARCHAR|Yes|_id|Array|255|||[ ]|");
}

TEST(Browse, EighteenColumnsToAPageAndAHundredSampleRows)
{
    const struct {
        int fields; // besides _id
        std::string first, last; // buttons first, up, down, last; rows; sample columns; message
    } rows[] = {{17, "---- 18 18 Page 1 of 1", ""},
                {18, "--++ 18 18 Page 1 of 2", "++-- 1 1 Page 2 of 2"},
                {39, "--++ 18 18 Page 1 of 3", "++-- 4 4 Page 3 of 3"}};
    WindowOnData data;
    for (int i = 0; i < 105; ++i) // the first collection: 100 sample rows unless -ps says otherwise
        data.insert("a", "{\"i\": " + std::to_string(i) + "}");
    for (const auto& row : rows) {
        std::string doc;
        for (int i = 1; i <= row.fields; ++i)
            doc += QString(", \"f%1\": %2").arg(i, 2, 10, QChar('0')).arg(i).toStdString();
        data.insert("w" + std::to_string(row.fields), "{" + doc.substr(1) + "}");
    }
    BoxRecorder boxes;
    SchemaProbe p{data.open()};
    EXPECT_EQ(p.sample()->rowCount(), 100);
    EXPECT_EQ(SchemaProbe{data.open({"-ps", "-1"})}.sample()->rowCount(), 105);
    Ui_Schema* u = p.ui();
    auto state = [&] {
        std::string out;
        for (QPushButton* b :
             {u->pushButtonFirstPage, u->pushButtonPageUp, u->pushButtonPageDown, u->pushButtonLastPage})
            out += b->isEnabled() ? "+" : "-";
        QString sizes = QString(" %1 %2 ").arg(p.grid()->rowCount()).arg(p.sample()->columnCount());
        return out + sizes.toStdString() +
               u->dataMsg->text().mid(22).toStdString() + u->errorMsg->text().toStdString(); // no fault
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fields);
        p.pick(QString("w%1").arg(row.fields));
        EXPECT_EQ(state(), row.first);
        if (row.last.empty())
            continue;
        u->pushButtonPageDown->click();
        EXPECT_EQ(p.cell(0, 0) + " " + p.sample()->item(0, 0)->text().toUtf8(), "f18 18");
        u->pushButtonLastPage->click();
        EXPECT_EQ(state(), row.last);
        EXPECT_EQ(p.cell(p.grid()->rowCount() - 1, 0).toStdString(), "f" + std::to_string(row.fields));
    }
}

} // namespace
