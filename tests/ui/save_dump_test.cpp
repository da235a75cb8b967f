// Saving through the window and reading it back from the real server; the schema dump.
#include "tests/support/ui_support.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <algorithm>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

struct SaveFlow : ::testing::Test, SchemaProbe {
    WindowOnData data{"save"};
    BoxRecorder boxes;
    std::unique_ptr<Schema> window;
    QTemporaryDir dir;
    SaveFlow() : SchemaProbe(nullptr) {}

    void open(const QStringList& extra = QStringList())
    {
        window = data.open(boxes, extra);
        w = window.get();
    }
    void save()
    {
        size_t before = boxes.boxes.size();
        boxes.answer(QMessageBox::Yes);
        ui()->pushButtonSave->click();
        ASSERT_GT(boxes.boxes.size(), before);
        EXPECT_EQ(boxes.boxes[before].text, "Save current schema?");
    }
    int count(const char* collection, const std::string& filter)
    {
        return int(read_json(data.client, data.schema, collection, filter).size());
    }
    // The virtual table things_tags: its tables, columns and index documents.
    std::vector<int> things_tags()
    {
        const char* f = R"({"sql_table": "things_tags"})";
        return {count("tables", f), count("columns", f), count("index", f)};
    }
    QString file() { return dir.path() + "/dump.txt"; }
    void dump(int answer = QMessageBox::Yes)
    {
        boxes.answer(answer);
        ui()->pushButtonDump->click();
    }
    // The dump file with each "Generated" time, checked for its form, replaced by @TIME@.
    std::string written()
    {
        QFile f(file());
        if (!f.open(QIODevice::ReadOnly))
            return "<no file>";
        QString text = QString::fromUtf8(f.readAll());
        text.replace(QRegularExpression("\nGenerated     : \\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d\r\n"),
                     "\nGenerated     : @TIME@\r\n");
        return text.toStdString();
    }
    std::string expected(const char* name, const std::string& table)
    {
        QFile f(QString::fromStdString(source_dir() + "/tests/ui/data/") + name);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << name;
        return f.readAll().replace("@NAME@", QByteArray::fromStdString(data.data + table)).toStdString();
    }
    // The fixture the command-line dump test shares.
    void items()
    {
        data.insert("items", R"({"_id": {"$oid": "5f00000000000000000000aa"}, "sku": "A1", "qty": 3, "parts": ["x"]})");
        bson_t* command = BCON_NEW("createIndexes", BCON_UTF8("items"), "indexes", "[", "{", "key", "{", "sku",
                                   BCON_INT32(1), "}", "name", BCON_UTF8("items_sku"), "unique", BCON_BOOL(true),
                                   "}", "]");
        bson_error_t error;
        EXPECT_TRUE(mongoc_client_command_simple(data.client, data.data.c_str(), command, nullptr, nullptr, &error))
            << error.message;
        bson_destroy(command);
    }
};

TEST_F(SaveFlow, EditSaveAndReopen)
{
    data.insert("things", R"({"name": "n", "count": 3, "city": "c", "tags": ["a", "b"]})");
    open();
    type(row_of("name"), 0, "title");
    choose(row_of("count"), 1, "SQL_NUMERIC");
    type(row_of("count"), 6, "12");
    box(row_of("city"), 8)->click();  // hidden
    box(row_of("tags"), 9)->click();  // virtual table
    type(row_of("tags_1"), 5, "-1"); // kept as typed (red, but saved)
    save();
    EXPECT_FALSE(edited());
    EXPECT_FALSE(left_with_edits());

    // The grid's order, "_id" first; each kind of column with its own fields.
    const char* head = R"({ "sql_catalog" : "@", "sql_schema" : "dbo", "sql_table" : "things", "index" : { "$numberInt" : ")";
    std::vector<std::string> columns = read_json(data.client, data.schema, "columns", R"({"sql_table": "things"})");
    const char* rows[] = {
        R"(1" }, "sql_name" : "_id", "sql_type" : { "$numberInt" : "12" }, "mongo_name" : "_id", "mongo_type" : { "$numberInt" : "7" }, "length" : { "$numberInt" : "24" }, "visible" : true, "virtual_array" : false })",
        R"(2" }, "sql_name" : "city", "sql_type" : { "$numberInt" : "12" }, "mongo_name" : "city", "mongo_type" : { "$numberInt" : "2" }, "length" : { "$numberInt" : "1" }, "visible" : false, "virtual_array" : false })",
        R"(3" }, "sql_name" : "count", "sql_type" : { "$numberInt" : "2" }, "mongo_name" : "count", "mongo_type" : { "$numberInt" : "16" }, "precision" : { "$numberInt" : "12" }, "scale" : { "$numberInt" : "2" }, "visible" : true, "virtual_array" : false })",
        R"(4" }, "sql_name" : "title", "sql_type" : { "$numberInt" : "12" }, "mongo_name" : "name", "mongo_type" : { "$numberInt" : "2" }, "length" : { "$numberInt" : "1" }, "visible" : true, "virtual_array" : false })",
        R"(5" }, "sql_name" : "tags", "sql_type" : { "$numberInt" : "12" }, "mongo_name" : "tags", "mongo_type" : { "$numberInt" : "4" }, "length" : { "$numberInt" : "24" }, "visible" : true, "virtual_array" : true })",
        R"(6" }, "sql_name" : "tags_0", "sql_type" : { "$numberInt" : "12" }, "mongo_name" : "tags.0", "mongo_type" : { "$numberInt" : "2" }, "length" : { "$numberInt" : "1" }, "visible" : true, "virtual_array" : false })",
        R"(7" }, "sql_name" : "tags_1", "sql_type" : { "$numberInt" : "12" }, "mongo_name" : "tags.1", "mongo_type" : { "$numberInt" : "2" }, "length" : { "$numberInt" : "-1" }, "visible" : true, "virtual_array" : false })",
    };
    ASSERT_EQ(columns.size(), 7u);
    for (size_t i = 0; i < columns.size(); ++i) {
        std::string want = QString(head).replace("@", QString::fromStdString(data.data)).toStdString() + rows[i];
        EXPECT_EQ(columns[i], want);
    }
    EXPECT_EQ(count("tables", R"({"sql_table": "things_tags", "virtual_parent": "things"})"), 1);
    EXPECT_EQ(things_tags(), (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(count("index", R"({"sql_table": "things", "sql_col_name": "_id"})"), 1);

    save(); // again: still one virtual table
    EXPECT_EQ(things_tags(), (std::vector<int>{1, 3, 2}));

    // Reopened, in SQL name order, with what was saved and no question.
    BoxRecorder again;
    auto w2 = make_window(window_arguments(data.data, data.schema));
    EXPECT_TRUE(again.boxes.empty());
    SchemaProbe p2(w2.get());
    std::vector<std::string> names;
    for (int r = 0; r < p2.grid()->rowCount(); ++r)
        names.push_back(p2.cell(r, 0).toStdString());
    EXPECT_EQ(names, (std::vector<std::string>{"_id", "city", "count", "tags", "tags_0", "tags_1", "title"}));
    EXPECT_EQ(p2.cell(2, 6), "12");
    EXPECT_EQ(p2.cell(5, 5), "-1");
    EXPECT_TRUE(p2.box(1, 8)->isChecked());
    EXPECT_TRUE(p2.box(3, 9)->isChecked());
    EXPECT_EQ(tree_item(w2.get(), "things")->child(0)->text(0), "tags");

    // Clearing the tick and saving removes the virtual table.
    p2.box(3, 9)->click();
    p2.ui()->pushButtonSave->click();
    EXPECT_EQ(again.texts(), std::vector<std::string>{"Save current schema?"});
    EXPECT_EQ(things_tags(), (std::vector<int>{0, 0, 0}));
    EXPECT_EQ(tree_item(w2.get(), "things")->childCount(), 0);
}

TEST_F(SaveFlow, BaseTableNamedLikeTheVirtualTable)
{
    data.insert("things", R"({"tags": ["a"]})");
    data.insert("things_tags", R"({"p": 1, "q": 2})");
    open();
    box(row_of("tags"), 9)->click();
    save();
    std::vector<std::string> texts = boxes.texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_EQ(texts[2], "Mongo error adding virtual table.");
    EXPECT_NE(boxes.boxes[2].informative.find("E11000"), std::string::npos) << boxes.boxes[2].informative;
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Mongo error adding virtual table."), 1);
    // The other documents were still attempted: each one not written has its box.
    auto refused = std::count_if(texts.begin(), texts.end(), [](const std::string& t) {
        return t.find("virtual column") != std::string::npos || t.find("index _id") != std::string::npos;
    });
    EXPECT_EQ(count("columns", R"({"sql_table": "things_tags", "virtual_parent": "things"})") + refused, 3);
    EXPECT_EQ(count("tables", R"({"sql_table": "things_tags"})"), 1); // the base table untouched
}

TEST_F(SaveFlow, SaveOnPageTwoShowsPageTwoAgain)
{
    std::string doc = "{";
    for (int i = 0; i < 25; ++i)
        doc += std::string(i ? "," : "") + "\"c" + std::to_string(10 + i) + "\": " + std::to_string(i);
    data.insert("wide", doc + "}");
    open();
    ui()->pushButtonPageDown->click();
    type(1, 0, "renamed");
    save();
    EXPECT_EQ(db().current_page, 2);
    EXPECT_EQ(ui()->dataMsg->text(), "Data Sample - Showing Page 2 of 2");
    EXPECT_EQ(count("columns", R"({"sql_name": "renamed"})"), 1);
}

TEST_F(SaveFlow, DumpAppendsTheTableAndItsVirtualTable)
{
    items();
    open({"-debug", file()});
    EXPECT_EQ(ui()->pushButtonDump->text(), "Dump Schema");
    dump(QMessageBox::No);
    EXPECT_FALSE(QFile::exists(file()));
    dump();
    ASSERT_EQ(boxes.boxes.size(), 4u);
    EXPECT_EQ(boxes.boxes[2].text + boxes.boxes[2].informative, "Dump Schema to" + file().toStdString() + " ?");
    EXPECT_EQ(boxes.boxes[3].text + boxes.boxes[3].informative, "Schema dumped to" + file().toStdString() + ".");
    std::string one = expected("dump_base.txt", ".items");
    EXPECT_EQ(written(), one);
    dump();
    EXPECT_EQ(written(), one + one);

    box(row_of("parts"), 9)->click();
    save();
    QFile::remove(file());
    press(tree_item(w, "parts"));
    dump();
    EXPECT_EQ(written(), expected("dump_virtual.txt", ".items_parts"));
}

TEST_F(SaveFlow, DumpOfEditsIndexesAndNoTable)
{
    data.insert("pairs", R"({"k": 1, "a": 2})");
    bson_t* command = BCON_NEW("createIndexes", BCON_UTF8("pairs"), "indexes", "[", "{", "key", "{", "k", BCON_INT32(1),
                               "}", "name", BCON_UTF8("k_up"), "}", "{", "key", "{", "a", BCON_INT32(1), "k",
                               BCON_INT32(-1), "}", "name", BCON_UTF8("a_k"), "}", "]");
    ASSERT_TRUE(mongoc_client_command_simple(data.client, data.data.c_str(), command, nullptr, nullptr, nullptr));
    bson_destroy(command);
    open({"-debug", file()});
    dump(); // a column in two indexes: one block per index
    const char* k = "SQL Column    : k\r\nSQL Type      : 4\r\nSQL Index     : Yes\r\n"
                    "  Asc         : 0\r\n  Index       : 2\r\n  Index Name  : a_k\r\n  Primary     : 0\r\n"
                    "  SQL Column  : k\r\n  Unique      : 0\r\n"
                    "  Asc         : 1\r\n  Index       : 1\r\n  Index Name  : k_up\r\n  Primary     : 0\r\n"
                    "  SQL Column  : k\r\n  Unique      : 0\r\nMongo Name    : k\r\n";
    EXPECT_NE(written().find(k), std::string::npos) << written();
    QFile::remove(file());
    boxes.boxes.clear();
    type(row_of("a"), 0, "alpha");
    boxes.answer(QMessageBox::Yes); // the edit is offered for saving first
    dump();
    EXPECT_EQ(boxes.texts(), (std::vector<std::string>{"Schema for table 'pairs' was edited.", "Dump Schema to",
                                                       "Schema dumped to"}));
    EXPECT_EQ(count("columns", R"({"sql_name": "alpha"})"), 1);
    EXPECT_NE(written().find("SQL Column    : alpha\r\n"), std::string::npos);

    // A directory that does not exist: told, nothing else.
    boxes.boxes.clear();
    std::snprintf(db().debug_file, sizeof db().debug_file, "%s", (dir.path() + "/no/dump.txt").toLocal8Bit().constData());
    dump();
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Cannot dump schema to log file.");
    EXPECT_EQ(boxes.boxes[1].informative, "File used was '" + dir.path().toStdString() + "/no/dump.txt'.");
}

TEST_F(SaveFlow, DumpWithoutATable)
{
    open({"-debug", file()});
    dump();
    EXPECT_EQ(written(), " \r\n\nGenerated     : @TIME@\r\n\nTable         : .\r\n \r\n");
}

} // namespace
