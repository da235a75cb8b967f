// Editing the column grid as a user does, leaving a table with edits, saving to the real
// server, and the schema dump.
#include "tests/support/ui_support.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>
#include <set>

using namespace testenv;

namespace {

struct Editing : ::testing::Test, SchemaProbe {
    WindowOnData data{"edit"};
    BoxRecorder boxes;
    std::unique_ptr<Schema> window;
    QTemporaryDir dir;
    QString file = dir.path() + "/dump.txt";
    Editing() : SchemaProbe(nullptr) {}

    // "things" has two pages (31 columns), "vessels" one.
    void open()
    {
        std::string doc = R"({"name": "n", "city": "c", "count": 3, "tags": ["a"])";
        for (int i = 0; i < 25; ++i)
            doc += ", \"x" + std::to_string(100 + i) + "\": " + std::to_string(i);
        data.insert("things", doc + "}");
        data.insert("vessels", R"({"v": 1})");
        window = data.open({"-debug", file});
        w = window.get();
    }
    void save()
    {
        boxes.answer(QMessageBox::Yes);
        ui()->pushButtonSave->click();
        EXPECT_EQ(boxes.texts().back(), "Save current schema?");
    }
    // The dump file with each "Generated" time, checked for its form, replaced by @TIME@.
    std::string written()
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return "<no file>";
        return QString::fromUtf8(f.readAll())
            .replace(QRegularExpression("\nGenerated     : \\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d\r\n"),
                     "\nGenerated     : @TIME@\r\n")
            .toStdString();
    }
};

TEST_F(Editing, ChecksColoursAndTypeChanges)
{
    open();
    int city = row_of("city"), name = row_of("name"), count = row_of("count");
    choose(count, 1, "SQL_NUMERIC");
    const struct {
        int row, column;
        const char* typed;
        QString message;
        std::vector<int> red; // rows red in the column typed into
    } rows[] = {
        {city, 0, "name", "Warning: Duplicate SQL Name 'name'", {city, name}},
        {city, 0, "town", "", {}},
        {city, 3, "name", "Warning: Duplicate MongoDB Name 'name'", {city, name}},
        {city, 0, "x120", "Warning: Duplicate SQL Name 'x120'", {city}}, // a name on page 2
        {name, 5, "12", "", {}},
        {name, 5, "-1", "Warning: Invalid Length Value : '-1'", {name}},
        {name, 5, "1.5", "Warning: Invalid Length Value : '1.5'", {name}},
        {name, 5, "0", "", {}},
        {count, 6, "x", "Warning: Invalid Precision Value : 'x'", {count}},
        {count, 7, "-2", "Warning: Invalid Scale Value : '-2'", {count}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.typed);
        type(row.row, row.column, row.typed);
        EXPECT_EQ(ui()->errorMsg->text(), row.message);
        std::set<int> red;
        for (int r = 0; r < grid()->rowCount(); ++r)
            if (grid()->item(r, row.column)->foreground().color() == QColor(255, 0, 0))
                red.insert(r);
        EXPECT_EQ(red, (std::set<int>(row.red.begin(), row.red.end())));
    }
    EXPECT_EQ(sample()->item(0, city)->text(), "n"); // the sample reads the field named
    // Sizes that the type has are editable: length, precision, scale.
    const std::pair<const char*, const char*> types[] = {
        {"SQL_VARCHAR", "255|||[ ]|"}, {"SQL_NUMERIC", "|10|2|[ ]|"}, {"SQL_INTEGER", "|||[ ]|"},
        {"SQL_WLONGVARCHAR", "|||[ ]|"}, {"SQL_WVARCHAR", "255|||[ ]|"}};
    for (const auto& t : types) {
        choose(count, 1, t.first);
        EXPECT_EQ(row_text(grid(), count), "count|" + std::string(t.first) + "||count|NumberInt32|" + t.second);
        EXPECT_EQ(bool(grid()->item(count, 5)->flags() & Qt::ItemIsEditable), t.second[0] == '2') << t.first;
    }
    // The virtual-table box comes with the Array type and goes with a dotted name.
    choose(city, 4, "Array");
    EXPECT_EQ(row_text(grid(), city).substr(row_text(grid(), city).size() - 7), "[ ]|[ ]");
    type(row_of("tags"), 3, "deep.tags");
    EXPECT_EQ(box(row_of("tags"), 9), nullptr);
}

TEST_F(Editing, InsertRemoveAndLeavingWithEdits)
{
    open();
    texts_t before = read_json(data.client, data.schema, "columns");
    grid()->setCurrentCell(2, 0);
    ui()->pushButtonInsert->click(); // below the current row
    EXPECT_EQ(row_text(grid(), 3), "New Column|SQL_VARCHAR||New Column|String|255|||[ ]|");
    type(3, 0, "added"); // names the MongoDB field too while that reads "New Column"
    type(3, 0, "renamed");
    EXPECT_EQ(cell(3, 3), "added");
    const std::pair<int, const char*> refused[] = {{1, "To Remove Column,|please select SQL Name to remove."},
                                                   {0, "Cannot Remove '_id' Column.|Sorry, this column cannot be removed."}};
    for (const auto& r : refused) {
        grid()->setCurrentCell(r.first ? 2 : 0, r.first);
        ui()->pushButtonRemove->click();
        EXPECT_EQ(boxes.boxes.back().text + "|" + boxes.boxes.back().informative, r.second);
    }
    // The rows that move up answer to their new numbers.
    QByteArray moved = cell(3, 0);
    grid()->setCurrentCell(2, 0);
    ui()->pushButtonRemove->click();
    choose(2, 1, "SQL_NUMERIC");
    EXPECT_EQ(cell(2, 0) + " " + cell(2, 6) + " " + cell(3, 6), moved + " 10 ");
    EXPECT_EQ(sample()->columnCount(), 18);

    // The edits survive paging; Save, close and a pick each ask, and No writes nothing.
    ui()->pushButtonPageDown->click();
    ui()->pushButtonPageUp->click();
    EXPECT_EQ(cell(2, 0), "renamed");
    for (const char* way : {"Save current schema?", "Schema for table 'things' was edited.", "pick"}) {
        boxes.answer(QMessageBox::No);
        if (way[0] == 'S' && way[1] == 'a')
            ui()->pushButtonSave->click();
        else if (way[0] == 'S')
            w->close();
        else
            pick("vessels");
        EXPECT_EQ(boxes.texts().back(), way[0] == 'p' ? "Schema for table 'things' was edited." : way);
        EXPECT_EQ(read_json(data.client, data.schema, "columns"), before) << way;
    }
    pick("things"); // back: the stored schema, and no question
    EXPECT_EQ(boxes.boxes.size(), 6u);
    EXPECT_EQ(row_of("renamed"), -1);
}

TEST_F(Editing, SaveReopenAndDump)
{
    data.index("things", R"({"name": 1, "count": -1})", "name_count");
    data.index("things", R"({"count": 1})", "count_up");
    open();
    type(row_of("name"), 0, "title");
    box(row_of("city"), 8)->click();  // hidden
    box(row_of("tags"), 9)->click();  // virtual table
    type(row_of("tags_0"), 5, "-1"); // kept as typed (red, but saved)
    ui()->pushButtonPageDown->click();
    type(1, 0, "renamed"); // saved on page two, page two is shown again
    save();
    EXPECT_EQ(ui()->dataMsg->text(), "Data Sample - Showing Page 2 of 2");
    EXPECT_FALSE(edited() || left_with_edits());

    BoxRecorder again; // reopened, in SQL name order, with what was saved and no question
    Schema w2(window_arguments(data.data, data.schema, {"-debug", file}));
    SchemaProbe p2(&w2);
    texts_t rows = rows_text(p2.grid());
    ASSERT_EQ(rows.size(), 18u);
    EXPECT_EQ(texts_t(rows.begin(), rows.begin() + 4),
              (texts_t{"_id|SQL_VARCHAR|Yes|_id|OID|24|||[ ]|", "city|SQL_VARCHAR||city|String|1|||[x]|",
                       "count|SQL_INTEGER|Yes|count|NumberInt32||||[ ]|",
                       "renamed|SQL_INTEGER||x113|NumberInt32||||[ ]|"}));
    EXPECT_EQ(row_text(p2.grid(), 4), "tags|SQL_VARCHAR||tags|Array|13|||[ ]|[x]");
    EXPECT_EQ(row_text(p2.grid(), 5), "tags_0|SQL_VARCHAR||tags.0|String|-1|||[ ]|");
    EXPECT_EQ(tree_item(&w2, "things")->child(0)->text(0), "tags");

    // A dump appends; a column in two indexes has a block for each.
    p2.ui()->pushButtonDump->click();
    p2.ui()->pushButtonDump->click();
    EXPECT_EQ(again.texts(), (texts_t{"Dump Schema to", "Schema dumped to", "Dump Schema to", "Schema dumped to"}));
    EXPECT_EQ(again.boxes[1].informative, file.toStdString() + ".");
    std::string count = "SQL Column    : count\r\nSQL Type      : 4\r\nSQL Index     : Yes\r\n"
                        "  Asc         : 1\r\n  Index       : 1\r\n  Index Name  : count_up\r\n  Primary     : 0\r\n"
                        "  SQL Column  : count\r\n  Unique      : 0\r\n"
                        "  Asc         : 0\r\n  Index       : 2\r\n  Index Name  : name_count\r\n  Primary     : 0\r\n"
                        "  SQL Column  : count\r\n  Unique      : 0\r\nMongo Name    : count\r\n";
    std::string dumped = written();
    ASSERT_NE(dumped.find(count), std::string::npos) << dumped;
    EXPECT_NE(dumped.find(count, dumped.find(count) + 1), std::string::npos);

    // Clearing the tick and saving removes the virtual table.
    p2.box(4, 9)->click();
    p2.ui()->pushButtonSave->click();
    EXPECT_EQ(again.texts().back(), "Save current schema?");
    EXPECT_EQ(data.count("tables", R"({"sql_table": "things_tags"})"), 0);
    EXPECT_EQ(tree_item(&w2, "things")->childCount(), 0);
}

} // namespace
