// A save that did not finish, as the window meets it: the edits stay pending, the offer to
// write again leans to writing, focus stays where the user left it, and an edit's warning
// outlives the read faults of a server that keeps failing.
#include "core/connect.h"
#include "tests/support/ui_support.h"

#include <fstream>

using namespace testenv;

namespace {

TEST(SaveCutShort, EditsStayPendingAndFocusAndWarningsStay)
{
    WindowOnData data;
    data.insert("a", R"({"x": 1, "y": 2})");
    data.insert("b", R"({"z": 1})");
    BoxRecorder boxes;
    SchemaProbe p{data.open()};
    p.show();
    p.pick("a");

    // Focus is where the user left it once a pick's work is over, not on Exit.
    p.ui()->treeWidget->setFocus();
    p.pick("b");
    p.pick("a");
    EXPECT_EQ(QApplication::focusWidget(), p.ui()->treeWidget) << "focus moved on after the work";

    // Both servers gone: an edit's warning stays, told with the read fault once.
    strcpy(p.db().server, dead_server().c_str());
    strcpy(p.db().md_server, dead_server().c_str());
    renew_connections(&p.db());
    p.type(p.row_of("y"), 0, "x");
    for (int i = 0; i < 2; ++i)
        p.refresh();
    QString said = p.ui()->errorMsg->text();
    EXPECT_TRUE(said.startsWith("Warning: Duplicate SQL Name 'x'")) << said.toStdString();
    EXPECT_EQ(said.count("could not be read"), 1) << said.toStdString();

    // The save fails; No to writing again; leaving the table asks about the edits again.
    auto shown = [&](const std::string& text) {
        const texts_t all = boxes.texts();
        return std::count_if(all.begin(), all.end(), [&](const std::string& b) { return b.find(text) != b.npos; });
    };
    boxes.boxes.clear();
    boxes.answers = {QMessageBox::Yes};
    boxes.answers.resize(20, QMessageBox::No);
    p.ui()->pushButtonSave->click();
    ASSERT_EQ(shown("was not saved"), 1);
    for (const shown_box_t& b : boxes.boxes)
        EXPECT_TRUE(b.text.find("was not saved") == std::string::npos || b.default_button == QMessageBox::Yes)
            << "the offer to write again leans to No";
    p.pick("b");
    EXPECT_EQ(shown("Schema for table 'a' was edited."), 1) << "the edits were left without a question";
}

// A table of another catalog than the connected database: a save would write its index
// entries and virtual tables under the connected catalog, from the wrong collection.
TEST(SaveCutShort, AnotherCatalogsTableIsNotSavedHere)
{
    WindowOnData data;
    data.insert("a", R"({"x": 1})");
    data.create();
    const std::string key = R"({"sql_catalog": "zz", "sql_schema": "dbo", "sql_table": "b", )";
    insert_json(data.client, data.schema, "tables", key + R"("mongo_name": "b", "mongo_database": "zz", "type": "TABLE"})");
    insert_json(data.client, data.schema, "columns", key + R"("index": 1, "sql_name": "y", "sql_type": 12,
        "mongo_name": "y", "mongo_type": 2, "length": 40, "visible": true})");
    const texts_t before = data.documents();
    BoxRecorder boxes;
    SchemaProbe p{data.open()};
    p.pick("b");
    ASSERT_EQ(p.db().catalog.toStdString(), "zz");
    p.ui()->pushButtonSave->click();
    EXPECT_TRUE(p.ui()->errorMsg->text().startsWith("Not saved: 'b' is a table of the catalog 'zz'."))
        << p.ui()->errorMsg->text().toStdString();
    EXPECT_EQ(data.documents(), before);
}

} // namespace

// Another program's change to the table since it was read is never written over unseen:
// the save is refused naming who changed it, and offers the table read again with the
// edits on top, or saving over it after a second question. A save the server refuses
// says what it refused and is not offered again unchanged.
TEST(SharedSave, AnotherProgramsChangeIsNeverWrittenOver)
{
    WindowOnData data;
    data.insert("customers", R"({"email": "a@b", "name": "Ann"})");
    data.insert("t", R"({"tags": ["x"]})");
    data.insert("t_tags", R"({"y": 1})");
    BoxRecorder boxes;
    SchemaProbe p{data.open()};
    auto colleague_renames = [&](const std::string& from, const std::string& to) {
        std::string exported;
        ASSERT_EQ(data.cli("export", &exported), 0);
        for (size_t at; (at = exported.find("\"sql_name\" : \"" + from + "\"")) != std::string::npos;)
            exported.replace(at + 14, from.size(), to);
        const std::string file = build_dir() + "/" + data.data + ".json";
        std::ofstream(file) << exported;
        ASSERT_EQ(data.cli("import --replace " + file), 0);
    };
    auto names = [&] {
        std::string all;
        for (const std::string& doc : read_json(data.client, data.schema, "columns", R"({"sql_table": "customers"})")) {
            size_t at = doc.find("\"sql_name\" : \"") + 14;
            all += " " + doc.substr(at, doc.find('"', at) - at);
        }
        return all;
    };
    p.pick("customers");
    p.type(p.row_of("name"), 0, "full_name");
    colleague_renames("email", "email_x");
    boxes.boxes.clear();
    boxes.answers = {QMessageBox::Yes, QMessageBox::Yes}; // save, then read again with the edits on top
    p.ui()->pushButtonSave->click();
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text.rfind("Table 'customers' was changed by brolix-cli import on host ", 0), 0u)
        << boxes.boxes[1].text;
    EXPECT_EQ(names(), " _id email_x name") << "written over";
    EXPECT_EQ(column_texts(p.grid(), 0), (texts_t{"_id", "email_x", "full_name"}));
    p.ui()->pushButtonSave->click(); // Yes: the edits on top are saved
    EXPECT_EQ(names(), " _id email_x full_name");

    // Changed again meanwhile: No to reading again, Yes to saving over it.
    p.type(p.row_of("full_name"), 0, "fn");
    colleague_renames("email_x", "email");
    boxes.answers = {QMessageBox::Yes, QMessageBox::No, QMessageBox::Yes};
    p.ui()->pushButtonSave->click();
    EXPECT_EQ(names(), " _id email_x fn");

    // A virtual table named as a table is: refused by the schema's unique index, told once.
    p.pick("t");
    p.box(p.row_of("tags"), 9)->click();
    boxes.boxes.clear();
    boxes.answers = {QMessageBox::Yes};
    p.ui()->pushButtonSave->click();
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].text, "Mongo error saving table.");
    EXPECT_EQ(boxes.boxes[1].informative.rfind("The server refused the columns document of 't_tags' ('_id'): E11000", 0), 0u)
        << boxes.boxes[1].informative;
}
