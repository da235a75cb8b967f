// Start-up as the window meets it: the boxes that end the process, the questions of the
// schema check, and the View Only and Read Only modes.
#include "tests/support/mock_server.h"
#include "tests/support/ui_support.h"

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <set>

using namespace testenv;

namespace {

const std::string title = "Tarnwell MongoDB Schema Editor";

// A schema made by a first start on collections a and b; then the data database holds
// only the collections named.
void schema_on_a_and_b(WindowOnData& data, const texts_t& left)
{
    data.insert("a", "{}");
    data.insert("b", "{}");
    BoxRecorder boxes;
    data.open();
    drop_database(data.client, data.data);
    for (const std::string& c : left)
        data.insert(c, "{}");
}

TEST(StartUp, BoxesThatEndTheProcess)
{
    const char* press_ok = "Please press OK to exit.";
    const struct {
        std::function<QStringList()> start; // makes its data; gives the arguments
        std::string text, informative;      // "@" stands for the schema name
    } rows[] = {
        {[] { return QStringList{"brolix", "-ssl", "yes"}; }, "Invalid command line arguments. Usage is:", press_ok},
        {[] { return window_arguments("same_db", "same_db"); },
         "The Schema and the Database cannot be the same database.",
         "In the DSN, either the Server and Schema Server, or the Database and Schema Database, must be different."},
        {[] {
             static WindowOnData data; // dropped as the process ends
             data.insert("t", "{}");
             insert_json(data.client, data.schema, "notes", "{}");
             return window_arguments(data.data, data.schema);
         }, "The schema '@' contains non-schema data or collections and cannot be used.", press_ok},
        {[] {
             static WindowOnData data;
             schema_on_a_and_b(data, {"a"});
             return window_arguments(data.data, data.schema);
         }, "Collections are referenced in the schema that do not exist in the database.", // -31, No
         "Press 'Yes' to remove these references from the schema or \npress 'No' to exit."},
        {[] {
             static ScriptedServer refusing;
             refusing.start(R"({"errors": {"listCollections:bare": [13, "not authorized"]}})");
             QString at = refusing.address().c_str();
             return window_arguments("ui_general", "ui_general_schema", {"-ds", at, "-ss", at});
         }, "General Error : -4", "Occurred during Schema Validation."},
    };
    auto quoted = [](const std::string& text) { return std::regex_replace(text, std::regex(R"([][(){}.*+?^$|\\])"), R"(\$&)"); };
    for (const auto& row : rows) {
        std::string text = std::regex_replace(quoted(row.text), std::regex("@"), "[^|]*");
        EXPECT_EXIT(
            {
                QStringList arguments = row.start();
                BoxRecorder echo(true);
                echo.answers = {QMessageBox::No};
                Schema window(arguments);
                std::_Exit(3); // the window opened
            },
            ::testing::ExitedWithCode(0), "BOX\\[" + quoted(title) + "\\|" + text + "[^|]*\\|" + quoted(row.informative));
    }
}

TEST(StartUp, SchemaCheckQuestionsThatOpenTheWindow)
{
    const struct {
        texts_t left; // after a first start on a and b; none: a first start on a
        int answer;
        std::string text, informative; // empty: asserted in the table above
        std::set<std::string> tables;  // the schema's tables afterwards
    } rows[] = {
        {{}, QMessageBox::Yes, "The schema '@' does not exist or may be invalid.", // -1
         "Press 'Yes' to create a new schema or press 'No' to exit.", {"a"}},
        {{"a", "b", "c"}, QMessageBox::No, "Collections exist in the database that are not referenced in the schema.",
         "Press 'Yes' to add them to the schema or\npress 'No' to ignore them.", {"a", "b"}}, // -30
        {{"a"}, QMessageBox::Yes, "", "", {"a"}},                                            // -31
        {{"a", "c"}, QMessageBox::Yes, "The database and the schema do not match each other.", // -32
         "Press 'Yes' to synchronise the schema with the databse.", {"a", "c"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        WindowOnData data;
        if (row.left.empty())
            data.insert("a", "{}");
        else
            schema_on_a_and_b(data, row.left);
        BoxRecorder boxes;
        boxes.answers = {row.answer};
        auto w = data.open();
        ASSERT_EQ(boxes.boxes.size(), 1u);
        const shown_box_t& box = boxes.boxes[0];
        if (!row.text.empty())
            EXPECT_EQ(box.text + "|" + box.informative,
                      std::regex_replace(row.text, std::regex("@"), data.schema) + "|" + row.informative);
        EXPECT_EQ(box.buttons + box.default_button, int(QMessageBox::Yes | QMessageBox::No) + QMessageBox::Yes);
        EXPECT_GE(box.width, 300); // wide enough for its title
        std::set<std::string> tables;
        for (const std::string& t : read_json(data.client, data.schema, "tables"))
            tables.insert(t.substr(t.find("\"sql_table\" : \"") + 15, 1));
        EXPECT_EQ(tables, row.tables);
        EXPECT_EQ(w->windowTitle().toStdString(), title + " (Edit Mode)");
    }
}

TEST(Modes, ViewOnlyWithData)
{
    WindowOnData data;
    data.insert("t", R"({"tags": ["a", "b"], "n": 1})");
    BoxRecorder boxes;
    Schema w(window_arguments(data.data, "", {"-debug", "/nonexistent/dump.txt"}));
    SchemaProbe p{&w};
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text + "|" + boxes.boxes[0].informative, "A schema name is not defined for the "
              "datasource.|Press 'Yes' to view the data anyway or \npress 'No' to go back and add a schema name?");
    EXPECT_EQ(w.windowTitle().toStdString(), title + " (View Only Mode)");
    EXPECT_EQ(p.ui()->labelCurrentSchema->text() + p.ui()->pushButtonDump->text(), "Schema : <b>None</b>Dump View");
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    EXPECT_EQ(tree_item(&w, "t")->childCount(), 0); // no virtual tables
    EXPECT_EQ(column_texts(p.grid(), 0), (texts_t{"_id", "tags", "tags_0", "tags_1", "n"}));
    EXPECT_EQ(row_text(p.sample(), 0).substr(24), R"(|["0":"a","1":"b"]|a|b|1)");
    EXPECT_TRUE(collection_names(data.client, data.schema).empty());
}

// A schema server that refuses validate on the index collection: the schema made on the
// test server is served from a scripted one (which ignores filters: only the base
// tables' documents, and of the columns those of "orders").
TEST(Modes, ReadOnly)
{
    WindowOnData data;
    data.insert("orders", R"({"n": 1, "tags": ["a"]})");
    data.insert("zoo", R"({"z": 1})");
    {
        BoxRecorder boxes;
        auto w = data.open();
        SchemaProbe{w.get()}.box(2, 9)->click(); // tags: a virtual table
        SchemaProbe{w.get()}.ui()->pushButtonSave->click();
    }
    std::string docs; // plus a column of "orders" without a MongoDB name (another tool's)
    for (std::string c : {"tables", "columns", "index"}) {
        std::string list = c != "columns" ? "" : R"({"sql_catalog": ")" + data.data +
            R"(", "sql_schema": "dbo", "sql_table": "orders", "index": 9, "sql_name": "computed", "sql_type": 12})";
        std::string only = c == "columns" ? R"(, "sql_table": "orders")" : "";
        for (const std::string& d : read_json(data.client, data.schema, c, R"({"virtual_parent": null)" + only + "}"))
            list += (list.empty() ? "" : ",") + d;
        docs += (docs.empty() ? "\"" : ", \"") + data.schema + "." + c + "\": [" + list + "]";
    }
    ScriptedServer schema_server;
    ASSERT_TRUE(schema_server.start(R"({"collections": {")" + data.schema + R"(": ["tables", "columns", "index"]},
                                       "documents": {)" + docs + R"(}, "errors": {"validate": [13, "no"]}})"));
    BoxRecorder boxes;
    Schema w(window_arguments(data.data, data.schema, {"-ss", schema_server.address().c_str()}));
    SchemaProbe p{&w};
    EXPECT_EQ(w.windowTitle().toStdString(), title + " (Read Only Mode)");
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    // The first pick of start-up resets the first table's children from a list not yet
    // read; leaving the table puts the stored ones back, whatever the grid's tick says.
    QTreeWidgetItem* orders = tree_item(&w, "orders");
    p.box(p.row_of("tags"), 9)->click();
    EXPECT_EQ(orders->childCount(), 0);
    p.pick("zoo");
    EXPECT_EQ(p.ui()->treeWidget->currentItem(), tree_item(&w, "zoo")); // the pick stays marked
    ASSERT_EQ(orders->childCount(), 1);
    p.press(orders->child(0));
    EXPECT_EQ(column_texts(p.grid(), 0), (texts_t{"_id", "tags", "tags_0"}));
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    EXPECT_EQ(boxes.texts(), texts_t{});
    EXPECT_EQ(schema_server.count("insert") + schema_server.count("delete") + schema_server.count("update"), 0);
}

} // namespace
