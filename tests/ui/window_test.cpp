// Start-up as the window meets it: the boxes that end the process, the questions of the
// schema check, the progress bar, and the View Only and Read Only modes.
#include "tests/support/mock_server.h"
#include "tests/support/ui_support.h"

#include <QProgressBar>
#include <QtGlobal>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec> // Qt 6 takes the local 8-bit encoding to be UTF-8 always
#endif
#include <algorithm>
#include <functional>

using namespace testenv;

namespace {

const std::string title = "Tarnwell MongoDB Schema Editor";

// The set-up of a row: a first start on collections a and b made the schema, then the
// data database holds the collections named (the first start only, on a, when none are)
// and the schema took the commands given.
std::function<QStringList(WindowOnData&)> first_start(const texts_t& then, const texts_t& commands = {})
{
    return [then, commands](WindowOnData& data) {
        data.insert("a", "{}");
        if (!then.empty()) {
            data.insert("b", "{}");
            data.create();
            drop_database(data.client, data.data);
            for (const std::string& c : then)
                data.insert(c, "{}");
            for (const std::string& command : commands)
                command_json(data.client, data.schema, command);
        }
        return window_arguments(data.data, data.schema);
    };
}

// The bar's course, also in a window not shown yet: "show done/total", "done/total" while shown, "hide".
struct BarTrace : QObject {
    texts_t seen;
    QProgressBar* bar = nullptr;
    BarTrace() { qApp->installEventFilter(this); }
    ~BarTrace() override { qApp->removeEventFilter(this); }
    std::string at(int value) { return std::to_string(value) + "/" + std::to_string(bar->maximum()); }
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* found = qobject_cast<QProgressBar*>(object);
        if (found && !bar && found->objectName() == "progressBar")
            connect(bar = found, &QProgressBar::valueChanged, [this](int v) {
                if (!bar->isHidden())
                    seen.push_back(at(v));
            });
        if (found && found == bar && event->type() == QEvent::ShowToParent)
            seen.push_back("show " + at(bar->value()));
        else if (found && found == bar && event->type() == QEvent::HideToParent && !seen.empty())
            seen.push_back("hide");
        return false;
    }
};

// The first box of each start-up and its answer: the process ends (exit code 0), or the
// window opens in Edit mode with the schema's tables as given.
TEST(StartUp, BoxesAndAnswers)
{
    const std::string ok = " # Please press OK to exit.";
    const std::string note = R"({"update": "columns", "updates": [{"q": {}, "u": {"$set": {"note": 1}}, "multi": true}]})";
    const std::string fields = "The schema '@' holds fields that no schema document may hold: 'note' in 2 documents "
                               "of 'columns'. # Press 'Yes' to remove these fields (every table keeps its edits) or "
                               "press 'No' to exit.";
    const std::string bare = "The schema '@' is out of step with the database: table 'a' has no columns while its "
                             "collection holds documents (and 1 more). # Press 'Yes' to take these tables again from "
                             "the database and refresh the index entries (every other table keeps its edits) or press "
                             "'No' to keep the schema as it stands.";
    const std::string no_columns = R"({"delete": "columns", "deletes": [{"q": {}, "limit": 0}]})";
    const struct {
        std::function<QStringList(WindowOnData&)> start; // makes its data; gives the arguments
        int answer;
        std::string box; // "text # informative", @ for the schema name; empty: asserted in another row
        const char* tables; // with the number of columns; nullptr: the process ends
        texts_t bar;        // the progress bar's course
    } rows[] = {
        {[](WindowOnData&) { return QStringList{"brolix", "-ssl", "yes"}; }, QMessageBox::Ok,
         "Invalid command line arguments. Usage is:" + ok, nullptr, {}},
        {[](WindowOnData&) { return window_arguments("same_db", "same_db"); }, QMessageBox::Ok, // -18
         "The Schema and the Database cannot be the same database. # In the DSN, either the Server and "
         "Schema Server, or the Database and Schema Database, must be different.", nullptr, {}},
        {[](WindowOnData& d) { // -3
             d.insert("t", "{}");
             insert_json(d.client, d.schema, "notes", "{}");
             return window_arguments(d.data, d.schema);
         }, QMessageBox::Ok, "The schema '@' contains non-schema data or collections and cannot be used." +
         ok, nullptr, {}},
        {[](WindowOnData& d) { // general error
             static ScriptedServer refusing;
             refusing.start(R"({"errors": {"listCollections:bare": [13, "not authorized"]}})");
             QString at = refusing.address().c_str();
             return window_arguments(d.data, d.schema, {"-ds", at, "-ss", at});
         }, QMessageBox::Ok, "General Error : -4 # Occurred during Schema Validation.", nullptr, {}},
        {first_start({"a"}), QMessageBox::No, "Collections are referenced in the schema that do not exist in "
         "the database. # Press 'Yes' to remove these references from the schema or \npress 'No' to exit.",
         nullptr, {}}, // -31
        {first_start({}), QMessageBox::Yes, "The schema '@' does not exist or may be invalid. # Press 'Yes' "
         "to create a new schema or press 'No' to exit.", "a1", {"show 0/1", "1/1", "hide"}}, // -1
        {first_start({"a", "b", "c"}), QMessageBox::No, "Collections exist in the database that are not "
         "referenced in the schema. # Press 'Yes' to add them to the schema or\npress 'No' to ignore them.",
         "ab2", {}}, // -30
        {first_start({"a"}), QMessageBox::Yes, "", "a1", {}}, // -31
        {first_start({"a", "c"}), QMessageBox::Yes, "The database and the schema do not match each other. # "
         "Press 'Yes' to synchronise the schema with the databse.", "ac2", {"show 0/2", "1/2", "2/2", "hide"}},
        {first_start({"a", "b"}, {note}), QMessageBox::No, fields, nullptr, {}}, // -35
        {first_start({"a", "b"}, {note}), QMessageBox::Yes, fields, "ab2", {}},
        {first_start({"a", "b"}, {no_columns}), QMessageBox::No, bare, "ab0", {}}, // -34
        {first_start({"a", "b"}, {no_columns}), QMessageBox::Yes, bare, "ab2", {"show 0/2", "1/2", "2/2", "hide"}},
        {first_start({"a", "b"}, {note, R"({"delete": "tables", "deletes": [{"q": {}, "limit": 0}]})"}), QMessageBox::Yes,
         "The schema '@' does not exist or may be invalid. # Press 'Yes' to create a new schema or press 'No' to "
         "exit.", "ab2", {"show 0/2", "1/2", "2/2", "hide"}}, // -2: no tables to lose
        {[](WindowOnData& d) { // a journal every start would fail on: set aside only when agreed
             QStringList arguments = first_start({"a", "b"})(d);
             insert_json(d.client, d.schema + "_journal", "journal", R"({"_id": "header", "action": "save"})");
             return arguments;
         }, QMessageBox::No, "@ # Press 'Yes' to set the journal aside (it is kept whole) and open the schema as it "
         "stands, or press 'No' to exit.", nullptr, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.box);
        if (!row.tables) { // in a child process: the box is on its standard error
            QString box = QString::fromStdString(row.box).replace("(", "\\(").replace(")", "\\)");
            box.replace("@", ".*").replace(" # ", ".* # ");
            EXPECT_EXIT(
                {
                    static WindowOnData data; // dropped as the process ends
                    QStringList arguments = row.start(data);
                    BoxRecorder echo(true);
                    echo.answers = {row.answer};
                    Schema window(arguments);
                    std::_Exit(3); // the window opened
                },
                ::testing::ExitedWithCode(0), "BOX: " + title + " # " + box.toStdString());
            continue;
        }
        WindowOnData data;
        QStringList arguments = row.start(data);
        BoxRecorder boxes;
        boxes.answers = {row.answer};
        BarTrace trace;
        Schema w(arguments);
        EXPECT_EQ(trace.seen, row.bar);
        ASSERT_EQ(boxes.boxes.size(), 1u);
        const shown_box_t& box = boxes.boxes[0];
        if (!row.box.empty()) {
            EXPECT_EQ(box.text + " # " + box.informative, QString::fromStdString(row.box).replace("@",
                      QString::fromStdString(data.schema)).toStdString());
        }
        EXPECT_EQ(box.buttons, int(QMessageBox::Yes | QMessageBox::No));
        EXPECT_EQ(box.default_button, int(QMessageBox::Yes));
        EXPECT_GE(box.width, 300); // wide enough for its title
        std::string tables;
        for (const std::string& t : read_json(data.client, data.schema, "tables"))
            tables += t.substr(t.find("\"sql_table\" : \"") + 15, 1);
        std::sort(tables.begin(), tables.end());
        EXPECT_EQ(tables + std::to_string(read_json(data.client, data.schema, "columns").size()), row.tables);
        EXPECT_EQ(w.windowTitle().toStdString(), title + " (Edit Mode)");
    }
}

// Another writer changed the schema while start-up's question was open: the answer is
// carried out on the schema as it is then (the other's table, a column renamed by hand
// since, is kept), not on what was read before the question.
TEST(StartUp, AnswerActsOnTheSchemaAsItIsThen)
{
    WindowOnData data;
    data.insert("a", "{}");
    data.create();
    data.insert("c", R"({"c": 1})");
    const std::string cli = "sync --yes --quiet -ds " + server() + " -db " + data.data + " -ss " + server() +
                            " -sc " + data.schema;
    texts_t asked;
    Schema::message_box_hook = [&](QMessageBox* box) {
        asked.push_back(box->text().toStdString());
        if (asked.size() == 1) {
            std::string output;
            EXPECT_EQ(run_cli(cli, &output), 0) << output;
            command_json(data.client, data.schema, R"({"update": "columns", "updates": [{"q": {"sql_name": "c"},
                                                       "u": {"$set": {"sql_name": "see"}}}]})");
        }
        return int(QMessageBox::Yes);
    };
    {
        Schema w(window_arguments(data.data, data.schema));
        EXPECT_EQ(w.windowTitle().toStdString(), title + " (Edit Mode)");
    }
    Schema::message_box_hook = nullptr;
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked[0].rfind("Collections exist in the database that are not referenced in the schema.", 0), 0u);
    EXPECT_EQ(read_json(data.client, data.schema, "columns", R"({"sql_name": "see"})").size(), 1u);
    EXPECT_TRUE(read_json(data.client, data.schema, "columns", R"({"sql_name": "c"})").empty());
    EXPECT_EQ(read_json(data.client, data.schema, "tables", R"({"sql_table": "c"})").size(), 1u);
}

TEST(Modes, ViewOnlyWithData)
{
    WindowOnData data;
    data.insert("t", R"({"tags": ["a", "b"], "n": 1})");
    data.insert("u", "{}");
    BoxRecorder boxes;
    BarTrace trace; // each table is sampled when it is shown
    Schema w(window_arguments(data.data, "", {"-debug", "/nonexistent/dump.txt"}));
    SchemaProbe p{&w};
    EXPECT_EQ(boxes.boxes.at(0).text + boxes.boxes[0].informative, "A schema name is not defined for the "
              "datasource.Press 'Yes' to view the data anyway or \npress 'No' to go back and add a schema "
              "name?");
    EXPECT_EQ(w.windowTitle() + p.ui()->labelCurrentSchema->text() + p.ui()->pushButtonDump->text(),
              QString::fromStdString(title) + " (View Only Mode)Schema : <b>None</b>Dump View");
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled() || tree_item(&w, "t")->childCount()); // no virtual table
    EXPECT_EQ(row_text(p.sample(), 0).substr(24), R"(|["0":"a","1":"b"]|a|b|1)");
    EXPECT_TRUE(collection_names(data.client, data.schema).empty());
    p.pick("u");
    EXPECT_EQ(trace.seen, (texts_t{"show 0/1", "1/1", "hide", "show 0/1", "1/1", "hide"}));
    EXPECT_TRUE(w.findChild<QProgressBar*>("progressBar")->isHidden());
}

// Read Only mode: the schema server refuses validate on the index collection. The schema is
// made on the test server (with names that are not ASCII, saved under a Latin-1 code page)
// and served from a scripted one, which ignores filters: it holds the base tables' documents
// and of the columns those of "orders", with one more that has no MongoDB name (another tool's).
TEST(Modes, ReadOnlyAndOneTableNameInTwoCatalogs)
{
    WindowOnData data;
    data.insert("orders", R"({"_id": 1, "étapes": ["a"], "New Column": [1], "名前": "x"})");
    data.insert("zoo", R"({"z": 1})");
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec* was = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
#endif
    {
        BoxRecorder boxes;
        SchemaProbe p{data.open()};
        p.box(p.row_of("étapes"), 9)->click();
        p.box(p.row_of("New Column"), 9)->click();
        p.ui()->pushButtonSave->click();
        p.refresh();
        QTableWidget* sample = p.sample();
        EXPECT_EQ(sample->horizontalHeaderItem(sample->columnCount() - 1)->text().toStdString(), "名前");
    }
    // The scripted server below answers every find with all its documents, so only orders
    // has columns: zoo's collection is emptied, a table without columns is damage otherwise.
    drop_database(data.client, data.data);
    data.insert("orders", R"({"_id": 1, "étapes": ["a"], "New Column": [1], "名前": "x"})");
    command_json(data.client, data.data, R"({"create": "zoo"})");
    std::string docs;
    for (std::string c : {"tables", "columns", "index"}) {
        std::string list = c != "columns" ? "" : R"({"sql_catalog": ")" + data.data +
            R"(", "sql_schema": "dbo", "sql_table": "orders", "index": 9, "sql_name": "computed"})";
        std::string only = c == "columns" ? R"(, "sql_table": "orders")" : "";
        std::string filter = R"({"virtual_parent": null)" + only + "}";
        for (const std::string& d : read_json(data.client, data.schema, c, filter))
            list += (list.empty() ? "" : ",") + d;
        docs += (docs.empty() ? "\"" : ", \"") + data.schema + "." + c + "\": [" + list + "]";
    }
    ScriptedServer schema_server;
    ASSERT_TRUE(schema_server.start(R"({"collections": {")" + data.schema + R"(": ["tables", "columns",
        "index"]}, "documents": {)" + docs + R"(}, "errors": {"validate": [13, "no"]}})"));
    BoxRecorder boxes;
    Schema w(window_arguments(data.data, data.schema, {"-ss", schema_server.address().c_str()}));
    SchemaProbe p{&w};
    QTreeWidget* tree = p.ui()->treeWidget;
    EXPECT_EQ(w.windowTitle().toStdString(), title + " (Read Only Mode)");
    // The first pick of start-up resets the first table's children from a list not yet
    // read; leaving the table puts the stored ones back, whatever the grid's tick says.
    QTreeWidgetItem* orders = tree_item(&w, "orders");
    p.box(p.row_of("étapes"), 9)->click();
    EXPECT_EQ(orders->childCount(), 0);
    p.pick("zoo");
    EXPECT_EQ(tree->currentItem(), tree_item(&w, "zoo")); // the pick stays marked
    ASSERT_EQ(orders->childCount(), 2);
    p.pick("étapes");
    EXPECT_EQ(column_texts(p.grid(), 0), (texts_t{"_id", "étapes", "étapes_0"}));
    // Another catalog's "orders" first in the tree: the reset finds the table being left by
    // name and remakes that one's items, the pressed one among them.
    auto* other = new QTreeWidgetItem(new QTreeWidgetItem(QStringList("zz"), 0), QStringList("orders"), 2);
    tree->insertTopLevelItem(0, other->parent());
    new QTreeWidgetItem(other, QStringList("étapes"), 3);
    p.press(other->child(0));
    EXPECT_EQ(other->childCount(), 2);
    EXPECT_EQ(tree->currentItem()->parent(), other);
    EXPECT_EQ(tree->currentItem()->text(0) + " " + p.db().catalog + "." + p.db().virtual_table,
              "étapes zz.étapes");
    p.pick("New Column"); // its Driver View keeps every row
    p.ui()->viewMode->setCurrentIndex(1);
    EXPECT_EQ(column_texts(p.grid(), 0), (texts_t{"_id", "New Column$index", "New Column$value"}));
    // From the Driver View of this catalog's table, the pick back to Detail View picks
    // again inside the pick, and that inner pick remakes the pressed item.
    QTreeWidgetItem* ours = tree->topLevelItem(1)->child(0);
    ASSERT_EQ(ours->text(0), "orders");
    p.press(ours->child(0));
    p.ui()->viewMode->setCurrentIndex(1);
    ASSERT_EQ(p.db().catalog.toStdString(), data.data);
    for (int i = 0; i < other->childCount(); ++i)
        if (other->child(i)->text(0) == "étapes")
            p.press(other->child(i));
    EXPECT_EQ(tree->currentItem()->text(0) + " " + p.db().catalog + "." + p.db().virtual_table,
              "étapes zz.étapes");
    EXPECT_EQ(p.ui()->viewMode->currentIndex(), 0);
    EXPECT_FALSE(p.ui()->pushButtonSave->isEnabled());
    EXPECT_TRUE(boxes.boxes.empty());
    for (const char* command : {"insert", "delete", "update"})
        EXPECT_EQ(schema_server.count(command), 0) << command << " in Read Only mode";
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(was);
#endif
}

} // namespace
