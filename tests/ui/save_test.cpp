// A save that did not finish, as the window meets it: the edits stay pending, the offer to
// write again leans to writing, focus stays where the user left it, and an edit's warning
// outlives the read faults of a server that keeps failing.
#include "core/connect.h"
#include "tests/support/ui_support.h"

#include <QApplication>
#include <QLabel>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

TEST(SaveCutShort, EditsStayPendingAndFocusAndWarningsStay)
{
    WindowOnData data;
    data.insert("a", R"({"x": 1, "y": 2})");
    data.insert("b", R"({"z": 1})");
    BoxRecorder boxes;
    auto w = data.open();
    SchemaProbe p{w.get()};
    w->show();
    QApplication::setActiveWindow(w.get());
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
        int n = 0;
        for (const shown_box_t& b : boxes.boxes)
            n += b.text.find(text) != std::string::npos;
        return n;
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
    {
        BoxRecorder boxes;
        data.open();
    }
    const std::string key = R"({"sql_catalog": "zz", "sql_schema": "dbo", "sql_table": "b", )";
    insert_json(data.client, data.schema, "tables", key + R"("mongo_name": "b", "mongo_database": "zz", "type": "TABLE"})");
    insert_json(data.client, data.schema, "columns", key + R"("index": 1, "sql_name": "y", "sql_type": 12,
        "mongo_name": "y", "mongo_type": 2, "length": 40, "visible": true})");
    texts_t before;
    for (const char* c : {"tables", "columns", "index"})
        for (const std::string& doc : read_json(data.client, data.schema, c))
            before.push_back(doc);
    BoxRecorder boxes;
    auto w = data.open();
    SchemaProbe p{w.get()};
    p.pick("b");
    ASSERT_EQ(p.db().catalog.toStdString(), "zz");
    p.ui()->pushButtonSave->click();
    EXPECT_TRUE(p.ui()->errorMsg->text().startsWith("Not saved: 'b' is a table of the catalog 'zz'."))
        << p.ui()->errorMsg->text().toStdString();
    texts_t after;
    for (const char* c : {"tables", "columns", "index"})
        for (const std::string& doc : read_json(data.client, data.schema, c))
            after.push_back(doc);
    EXPECT_EQ(after, before);
}

} // namespace
