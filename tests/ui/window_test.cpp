// Start-up as the window meets it: the boxes that end the process, the questions of the
// schema check, and the three modes.
#include "tests/support/mock_server.h"
#include "tests/support/ui_support.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

const std::string title = "Tarnwell MongoDB Schema Editor";
const char* press_ok = "Please press OK to exit.";

// A schema made by a first start on collections a and b (Yes creates it).
void schema_on_a_and_b(WindowOnData& data)
{
    data.insert("a", R"({"x": 1})");
    data.insert("b", R"({"y": 1})");
    BoxRecorder boxes;
    data.open(boxes);
}

std::string regex_of(const std::string& text)
{
    std::string out;
    for (char c : text)
        out += std::string(std::strchr("[](){}.*+?^$|\\", c) ? "\\" : "") + c;
    return out;
}

struct fatal_row_t {
    const char* name;
    std::function<QStringList()> start; // makes its data; gives the arguments
    std::string text, informative;     // "@" stands for a database name of the row
};

TEST(StartUp, BoxesThatEndTheProcess)
{
    auto on = [](const std::string& data, const std::string& schema, const std::string& host = server()) {
        QString h = QString::fromStdString(host);
        return QStringList{"brolix", "-ds", h, "-db", QString::fromStdString(data), "-ss", h, "-sc",
                           QString::fromStdString(schema)};
    };
    const fatal_row_t rows[] = {
        {"bad line", [] { return QStringList{"brolix", "-ssl", "yes"}; },
         "Invalid command line arguments. Usage is:", press_ok},
        {"unknown data source", [] {
             qputenv("ODBCINI", "/nonexistent/odbc.ini");
             qputenv("ODBCSYSINI", "/nonexistent");
             return QStringList{"brolix", "-dsn", "no_such_source"};
         }, "Datasource not found.", press_ok},
        {"dead server", [] {
             return QStringList{"brolix", "-ds", QString::fromStdString(dead_server()), "-db", "x", "-ss",
                                QString::fromStdString(server()), "-sc", "y"};
         }, "Could not connect to Database - 'x'", "MongoDB Error:"},
        {"-18 same database", [] { return window_arguments("same_db", "same_db"); },
         "The Schema and the Database cannot be the same database.",
         "In the DSN, either the Server and Schema Server, or the Database and Schema Database, must be different."},
        {"-3 foreign collection", [] {
             std::string name = unique_name("ui_foreign");
             mongoc_client_t* c = fixture_client();
             insert_json(c, name, "t", "{}");
             insert_json(c, name + "_schema", "notes", "{}");
             mongoc_client_destroy(c);
             return window_arguments(name, name + "_schema");
         }, "The schema '@' contains non-schema data or collections and cannot be used.", press_ok},
        {"-31 answered No", [] {
             static WindowOnData data("ui_missing"); // dropped as the process ends
             schema_on_a_and_b(data);
             drop_database(data.client, data.data);
             data.insert("a", R"({"x": 1})");
             return window_arguments(data.data, data.schema);
         }, "Collections are referenced in the schema that do not exist in the database.",
         "Press 'Yes' to remove these references from the schema or \npress 'No' to exit."},
        {"general error", [on] {
             static ScriptedServer refusing;
             refusing.start(R"({"errors": {"listCollections:bare": [13, "not authorized"]}})");
             return on("ui_general", "ui_general_schema", refusing.address());
         }, "General Error : -4", "Occurred during Schema Validation."},
    };
    for (const fatal_row_t& row : rows) {
        std::string text = regex_of(row.text), informative = regex_of(row.informative);
        size_t at = text.find('@');
        if (at != std::string::npos)
            text.replace(at, 1, "[^|]*");
        EXPECT_EXIT(
            {
                QStringList arguments = row.start();
                BoxRecorder echo(true);
                echo.answer(QMessageBox::No);
                Schema window(arguments);
                std::_Exit(3); // the window opened
            },
            ::testing::ExitedWithCode(0),
            "BOX\\[" + regex_of(title) + "\\|" + text + "[^|]*\\|" + informative)
            << row.name;
    }
}

struct question_row_t {
    const char* name;
    std::function<void(WindowOnData&)> before; // the data, and a schema when there is one
    int answer;
    std::string text, informative;
    std::vector<std::string> tables; // the schema's tables afterwards
};

TEST(StartUp, SchemaCheckQuestionsThatOpenTheWindow)
{
    const question_row_t rows[] = {
        {"-1 Yes creates", [](WindowOnData& d) { d.insert("a", "{}"); }, QMessageBox::Yes,
         "The schema '@' does not exist or may be invalid.", "Press 'Yes' to create a new schema or press 'No' to exit.",
         {"a"}},
        {"-30 No ignores the new collection", [](WindowOnData& d) { schema_on_a_and_b(d); d.insert("c", "{}"); },
         QMessageBox::No, "Collections exist in the database that are not referenced in the schema.",
         "Press 'Yes' to add them to the schema or\npress 'No' to ignore them.", {"a", "b"}},
        {"-31 Yes removes the reference", [](WindowOnData& d) {
             schema_on_a_and_b(d);
             drop_database(d.client, d.data);
             d.insert("a", "{}");
         }, QMessageBox::Yes, "", "", {"a"}}, // its texts are in the table above
        {"-32 Yes synchronises", [](WindowOnData& d) {
             schema_on_a_and_b(d);
             drop_database(d.client, d.data);
             d.insert("a", "{}");
             d.insert("c", "{}");
         }, QMessageBox::Yes, "The database and the schema do not match each other.",
         "Press 'Yes' to synchronise the schema with the databse.", {"a", "c"}},
    };
    for (const question_row_t& row : rows) {
        SCOPED_TRACE(row.name);
        WindowOnData data("ui_check");
        row.before(data);
        BoxRecorder boxes;
        boxes.answer(row.answer);
        auto w = data.open(boxes);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        std::string text = row.text;
        if (text.find('@') != std::string::npos)
            text.replace(text.find('@'), 1, data.schema);
        if (!text.empty()) {
            EXPECT_EQ(boxes.boxes[0].text, text);
            EXPECT_EQ(boxes.boxes[0].informative, row.informative);
        }
        EXPECT_EQ(boxes.boxes[0].buttons, int(QMessageBox::Yes | QMessageBox::No));
        EXPECT_EQ(boxes.boxes[0].default_button, int(QMessageBox::Yes));
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
    auto w = make_window(window_arguments(data.data, "", {"-debug", "/nonexistent/dump.txt"}));
    SchemaProbe p(w.get());
    ASSERT_EQ(boxes.texts(), std::vector<std::string>{"A schema name is not defined for the datasource."});
    EXPECT_EQ(boxes.boxes[0].informative,
              "Press 'Yes' to view the data anyway or \npress 'No' to go back and add a schema name?");
    EXPECT_EQ(w->windowTitle().toStdString(), title + " (View Only Mode)");
    EXPECT_EQ(p.ui()->labelCurrentSchema->text(), "Schema : <b>None</b>");
    EXPECT_EQ(p.ui()->pushButtonDump->text(), "Dump View");
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    EXPECT_EQ(tree_item(w.get(), "t")->childCount(), 0);
    EXPECT_EQ(p.row_of("tags_1"), 3);
    EXPECT_EQ(p.sample()->item(0, 2)->text(), "a");
    EXPECT_TRUE(collection_names(data.client, data.schema).empty());

    p.ui()->pushButtonAbout->click(); // every box is wide enough for its title
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].title, title);
    EXPECT_GE(boxes.boxes[0].width, 300);
    EXPECT_GE(boxes.boxes[1].width, 300);

    w->show(); // Exit ends the event loop; nothing was edited, so nothing is asked
    QTimer::singleShot(0, p.ui()->pushButtonExit, &QPushButton::click);
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_EQ(boxes.boxes.size(), 2u);
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
        auto w = data.open(boxes);
        SchemaProbe p(w.get());
        p.box(p.row_of("tags"), 9)->click();
        p.ui()->pushButtonSave->click();
    }
    std::string docs;
    for (const char* c : {"tables", "columns", "index"}) {
        std::string list;
        for (const std::string& d : read_json(data.client, data.schema, c, R"({"virtual_parent": null})"))
            list += (list.empty() ? "" : ",") + d;
        docs += std::string(docs.empty() ? "" : ",") + "\"" + data.schema + "." + c + "\": [" + list + "]";
    }
    ScriptedServer schema_server;
    ASSERT_TRUE(schema_server.start(R"({"collections": {")" + data.schema +
                                    R"(": ["tables", "columns", "index"]}, "documents": {)" + docs +
                                    R"(}, "errors": {"validate": [13, "not authorized"]}})"));
    QStringList arguments = window_arguments(data.data, data.schema);
    arguments[6] = QString::fromStdString(schema_server.address());
    BoxRecorder boxes;
    auto w = make_window(arguments);
    SchemaProbe p(w.get());
    EXPECT_TRUE(boxes.boxes.empty()) << boxes.texts()[0];
    EXPECT_EQ(w->windowTitle().toStdString(), title + " (Read Only Mode)");
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    // The first pick of start-up resets the first table's children from a list not yet
    // read; leaving the table puts the stored ones back, whatever the grid's tick says.
    QTreeWidgetItem* orders = tree_item(w.get(), "orders");
    ASSERT_TRUE(p.box(p.row_of("tags"), 9)->isChecked());
    p.box(p.row_of("tags"), 9)->click();
    EXPECT_EQ(orders->childCount(), 0);
    p.pick("zoo");
    EXPECT_EQ(p.db().table, "zoo");
    ASSERT_EQ(orders->childCount(), 1);
    EXPECT_EQ(orders->child(0)->text(0), "tags");
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(schema_server.count("insert") + schema_server.count("delete") + schema_server.count("update"), 0);
}

} // namespace
