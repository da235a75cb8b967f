// Start-up as the window meets it: the boxes that end the process, the questions of the
// schema check, and the View Only and Read Only modes.
#include "tests/support/mock_server.h"
#include "tests/support/ui_support.h"

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>
#include <regex>

using namespace testenv;

namespace {

const std::string title = "Tarnwell MongoDB Schema Editor";
const char* press_ok = "Please press OK to exit.";

// A schema made by a first start on collections a and b; then the data database holds
// only the collections named.
void schema_on_a_and_b(WindowOnData& data, std::vector<std::string> left)
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
    const struct {
        const char* name;
        std::function<QStringList()> start; // makes its data; gives the arguments
        std::string text, informative;      // "@" stands for the schema name of the row
    } rows[] = {
        {"bad line", [] { return QStringList{"brolix", "-ssl", "yes"}; },
         "Invalid command line arguments. Usage is:", press_ok},
        {"dead server", [] { return window_arguments("x", "y") << "-ds" << dead_server().c_str(); },
         "Could not connect to Database - 'x'", "MongoDB Error:"},
        {"-18 same database", [] { return window_arguments("same_db", "same_db"); },
         "The Schema and the Database cannot be the same database.",
         "In the DSN, either the Server and Schema Server, or the Database and Schema Database, must be different."},
        {"-3 foreign collection", [] {
             static WindowOnData data("ui_foreign"); // dropped as the process ends
             data.insert("t", "{}");
             insert_json(data.client, data.schema, "notes", "{}");
             return window_arguments(data.data, data.schema);
         }, "The schema '@' contains non-schema data or collections and cannot be used.", press_ok},
        {"-31 answered No", [] {
             static WindowOnData data("ui_missing");
             schema_on_a_and_b(data, {"a"});
             return window_arguments(data.data, data.schema);
         }, "Collections are referenced in the schema that do not exist in the database.",
         "Press 'Yes' to remove these references from the schema or \npress 'No' to exit."},
        {"general error", [] {
             static ScriptedServer refusing;
             refusing.start(R"({"errors": {"listCollections:bare": [13, "not authorized"]}})");
             QStringList args = window_arguments("ui_general", "ui_general_schema");
             return args << "-ds" << refusing.address().c_str() << "-ss" << refusing.address().c_str();
         }, "General Error : -4", "Occurred during Schema Validation."},
    };
    auto quoted = [](const std::string& text) { return std::regex_replace(text, std::regex(R"([][(){}.*+?^$|\\])"), R"(\$&)"); };
    for (const auto& row : rows) {
        std::string text = std::regex_replace(quoted(row.text), std::regex("@"), "[^|]*");
        EXPECT_EXIT(
            {
                QStringList arguments = row.start();
                BoxRecorder echo(true);
                echo.answer(QMessageBox::No);
                Schema window(arguments);
                std::_Exit(3); // the window opened
            },
            ::testing::ExitedWithCode(0), "BOX\\[" + quoted(title) + "\\|" + text + "[^|]*\\|" + quoted(row.informative))
            << row.name;
    }
}

TEST(StartUp, SchemaCheckQuestionsThatOpenTheWindow)
{
    const struct {
        const char* name;
        std::vector<std::string> before, after; // collections before the start and after the first
        int answer;
        std::string text, informative; // empty: asserted in the table above
        std::vector<std::string> tables; // the schema's tables afterwards
    } rows[] = {
        {"-1 Yes creates", {}, {"a"}, QMessageBox::Yes, "The schema '@' does not exist or may be invalid.",
         "Press 'Yes' to create a new schema or press 'No' to exit.", {"a"}},
        {"-30 No ignores the new collection", {"a", "b"}, {"a", "b", "c"}, QMessageBox::No,
         "Collections exist in the database that are not referenced in the schema.",
         "Press 'Yes' to add them to the schema or\npress 'No' to ignore them.", {"a", "b"}},
        {"-31 Yes removes the reference", {"a", "b"}, {"a"}, QMessageBox::Yes, "", "", {"a"}},
        {"-32 Yes synchronises", {"a", "b"}, {"a", "c"}, QMessageBox::Yes,
         "The database and the schema do not match each other.",
         "Press 'Yes' to synchronise the schema with the databse.", {"a", "c"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        WindowOnData data("ui_check");
        if (row.before.empty())
            data.insert("a", "{}");
        else
            schema_on_a_and_b(data, row.after);
        BoxRecorder boxes;
        boxes.answer(row.answer);
        auto w = data.open();
        ASSERT_EQ(boxes.boxes.size(), 1u);
        const shown_box_t& box = boxes.boxes[0];
        if (!row.text.empty()) {
            EXPECT_EQ(box.text, std::regex_replace(row.text, std::regex("@"), data.schema));
            EXPECT_EQ(box.informative, row.informative);
        }
        EXPECT_EQ(box.buttons, int(QMessageBox::Yes | QMessageBox::No));
        EXPECT_EQ(box.default_button, int(QMessageBox::Yes));
        EXPECT_GE(box.width, 300); // wide enough for its title
        std::vector<std::string> tables;
        for (const std::string& t : read_json(data.client, data.schema, "tables"))
            tables.push_back(t.substr(t.find("\"sql_table\" : \"") + 15, 1));
        std::sort(tables.begin(), tables.end());
        EXPECT_EQ(tables, row.tables);
        EXPECT_EQ(w->windowTitle().toStdString(), title + " (Edit Mode)");
    }
}

TEST(Modes, ViewOnlyWithData)
{
    WindowOnData data("ui_view");
    data.insert("t", R"({"tags": ["a", "b"], "n": 1})");
    BoxRecorder boxes;
    Schema w(window_arguments(data.data, "", {"-debug", "/nonexistent/dump.txt"}));
    SchemaProbe p(&w);
    ASSERT_EQ(boxes.texts(), std::vector<std::string>{"A schema name is not defined for the datasource."});
    EXPECT_EQ(boxes.boxes[0].informative,
              "Press 'Yes' to view the data anyway or \npress 'No' to go back and add a schema name?");
    EXPECT_EQ(w.windowTitle().toStdString(), title + " (View Only Mode)");
    EXPECT_EQ(p.ui()->labelCurrentSchema->text(), "Schema : <b>None</b>");
    EXPECT_EQ(p.ui()->pushButtonDump->text(), "Dump View");
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    // The array is flattened into the grid and offers no virtual table.
    EXPECT_EQ(tree_item(&w, "t")->childCount(), 0);
    EXPECT_EQ(column_texts(p.grid(), 0), (texts_t{"_id", "tags", "tags_0", "tags_1", "n"}));
    EXPECT_EQ(row_text(p.sample(), 0).substr(24), R"(|["0":"a","1":"b"]|a|b|1)");
    EXPECT_TRUE(collection_names(data.client, data.schema).empty());
}

// A schema server that refuses validate on the index collection: the schema made on the
// test server is served from a scripted one (which ignores filters, so the virtual
// table's own documents stay out).
TEST(Modes, ReadOnly)
{
    WindowOnData data("ui_read_only");
    data.insert("orders", R"({"n": 1, "tags": ["a"]})");
    data.insert("zoo", R"({"z": 1})");
    {
        BoxRecorder boxes;
        auto w = data.open();
        SchemaProbe p(w.get());
        p.box(p.row_of("tags"), 9)->click();
        p.ui()->pushButtonSave->click();
    }
    // Plus a column record without a MongoDB name (another tool's) among the table's.
    std::string docs;
    for (const char* c : {"tables", "columns", "index"}) {
        std::string list = c != std::string("columns") ? "" : R"({"sql_catalog": ")" + data.data +
            R"(", "sql_schema": "dbo", "sql_table": "orders", "index": 9, "sql_name": "computed", "sql_type": 12})";
        std::string only = c == std::string("columns") ? R"(, "sql_table": "orders")" : "";
        for (const std::string& d : read_json(data.client, data.schema, c, R"({"virtual_parent": null)" + only + "}"))
            list += (list.empty() ? "" : ",") + d;
        docs += std::string(docs.empty() ? "" : ",") + "\"" + data.schema + "." + c + "\": [" + list + "]";
    }
    ScriptedServer schema_server;
    ASSERT_TRUE(schema_server.start(R"({"collections": {")" + data.schema +
                                    R"(": ["tables", "columns", "index"]}, "documents": {)" + docs +
                                    R"(}, "errors": {"validate": [13, "not authorized"]}})"));
    BoxRecorder boxes;
    Schema w(window_arguments(data.data, data.schema, {"-ss", schema_server.address().c_str()}));
    SchemaProbe p(&w);
    EXPECT_EQ(boxes.texts(), std::vector<std::string>{});
    EXPECT_EQ(w.windowTitle().toStdString(), title + " (Read Only Mode)");
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    // The first pick of start-up resets the first table's children from a list not yet
    // read; leaving the table puts the stored ones back, whatever the grid's tick says.
    QTreeWidgetItem* orders = tree_item(&w, "orders");
    ASSERT_TRUE(p.box(p.row_of("tags"), 9)->isChecked());
    p.box(p.row_of("tags"), 9)->click();
    EXPECT_EQ(orders->childCount(), 0);
    p.pick("zoo");
    EXPECT_EQ(p.db().table, "zoo");
    EXPECT_EQ(p.ui()->treeWidget->currentItem(), tree_item(&w, "zoo")); // the pick stays marked
    ASSERT_EQ(orders->childCount(), 1);
    p.press(orders->child(0));
    EXPECT_EQ(column_texts(p.grid(), 0), (std::vector<std::string>{"_id", "tags", "tags_0"}));
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(schema_server.count("insert") + schema_server.count("delete") + schema_server.count("update"), 0);
}

} // namespace
