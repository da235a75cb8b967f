// Saving through the window and reading it back from the real server; the schema dump.
#include "tests/support/test_env.h"
#include "tests/support/ui_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

struct SaveFlow : ::testing::Test, GridDriver {
    WindowOnData data{"save"};
    BoxRecorder boxes;
    std::unique_ptr<Schema> w;
    Ui_Schema* ui = nullptr;

    void open(const QStringList& extra = QStringList())
    {
        w = data.open(boxes, extra);
        ui = SchemaProbe(w.get()).ui();
        grid = ui->tableWidget;
    }
    void save()
    {
        size_t before = boxes.boxes.size();
        boxes.answer(QMessageBox::Yes);
        ui->pushButtonSave->click();
        ASSERT_GT(boxes.boxes.size(), before);
        EXPECT_EQ(boxes.boxes[before].text, "Save current schema?");
    }
    std::vector<bson_t*> columns_of(const std::string& table)
    {
        return read_documents(data.client, data.schema, "columns", "{\"sql_table\": \"" + table + "\"}");
    }
    int count(const char* collection, const std::string& filter)
    {
        std::vector<bson_t*> docs = read_documents(data.client, data.schema, collection, filter);
        int n = static_cast<int>(docs.size());
        destroy_documents(docs);
        return n;
    }
};

std::string text_of(const bson_t* doc, const char* key)
{
    bson_iter_t it;
    return bson_iter_init_find(&it, doc, key) && BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : "";
}

int int_of(const bson_t* doc, const char* key)
{
    bson_iter_t it;
    return bson_iter_init_find(&it, doc, key) && BSON_ITER_HOLDS_INT32(&it) ? bson_iter_int32(&it) : -999;
}

TEST_F(SaveFlow, EditSaveAndReopen)
{
    data.insert("things", R"({"name": "n", "count": 3, "city": "c", "tags": ["a", "b"]})");
    open();
    type(row_of("name"), 0, "title");
    int count_row = row_of("count");
    combo(count_row, 1)->setCurrentIndex(combo(count_row, 1)->findText("SQL_NUMERIC"));
    type(count_row, 6, "12");
    box(row_of("city"), 8)->click(); // hidden
    box(row_of("tags"), 9)->click(); // virtual table
    type(row_of("tags_1"), 5, "-1");  // kept as typed (red, but saved)
    save();
    EXPECT_FALSE(SchemaProbe(w.get()).edited());
    EXPECT_FALSE(SchemaProbe(w.get()).left_with_edits());
    EXPECT_EQ(ui->errorMsg->text(), "");

    std::vector<bson_t*> docs = columns_of("things");
    ASSERT_EQ(docs.size(), 7u);
    std::vector<std::string> names;
    for (size_t i = 0; i < docs.size(); ++i) {
        EXPECT_EQ(int_of(docs[i], "index"), int(i) + 1);
        names.push_back(text_of(docs[i], "sql_name"));
    }
    // The grid's order: "_id" first, then as the page showed them.
    EXPECT_EQ(names, (std::vector<std::string>{"_id", "city", "count", "title", "tags", "tags_0", "tags_1"}));
    using fields = std::vector<std::string>;
    const fields with_length{"_id", "sql_catalog", "sql_schema", "sql_table", "index", "sql_name", "sql_type",
                             "mongo_name", "mongo_type", "length", "visible", "virtual_array"};
    EXPECT_EQ(field_names(docs[0]), with_length);
    const fields numeric{"_id", "sql_catalog", "sql_schema", "sql_table", "index", "sql_name", "sql_type",
                         "mongo_name", "mongo_type", "precision", "scale", "visible", "virtual_array"};
    EXPECT_EQ(field_names(docs[2]), numeric);
    EXPECT_EQ(int_of(docs[2], "sql_type"), 2);
    EXPECT_EQ(int_of(docs[2], "precision"), 12);
    EXPECT_EQ(int_of(docs[2], "scale"), 2);
    EXPECT_EQ(text_of(docs[3], "mongo_name"), "name");
    EXPECT_EQ(int_of(docs[6], "length"), -1);
    bson_iter_t it;
    ASSERT_TRUE(bson_iter_init_find(&it, docs[1], "visible"));
    EXPECT_FALSE(bson_iter_bool(&it));
    ASSERT_TRUE(bson_iter_init_find(&it, docs[4], "virtual_array"));
    EXPECT_TRUE(bson_iter_bool(&it));
    EXPECT_EQ(text_of(docs[0], "sql_catalog"), data.data);
    EXPECT_EQ(text_of(docs[0], "sql_schema"), "dbo");
    destroy_documents(docs);

    // The virtual table and its index metadata.
    EXPECT_EQ(count("tables", "{\"sql_table\": \"things_tags\", \"virtual_parent\": \"things\"}"), 1);
    EXPECT_EQ(count("columns", "{\"sql_table\": \"things_tags\"}"), 3);
    EXPECT_EQ(count("index", "{\"sql_table\": \"things_tags\"}"), 2);
    EXPECT_EQ(count("index", "{\"sql_table\": \"things\", \"sql_col_name\": \"_id\"}"), 1);

    // Reopened, the editor shows what was saved and asks nothing.
    BoxRecorder again;
    auto w2 = make_window(window_arguments(data.data, data.schema));
    EXPECT_TRUE(again.boxes.empty()) << again.texts()[0];
    SchemaProbe p2(w2.get());
    // Read back in SQL name order, "_id" first.
    const char* order[] = {"_id", "city", "count", "tags", "tags_0", "tags_1", "title"};
    for (int r = 0; r < 7; ++r)
        EXPECT_EQ(p2.cell(r, 0), order[r]);
    EXPECT_EQ(p2.cell(2, 6), "12");
    EXPECT_EQ(p2.cell(5, 5), "-1");
    EXPECT_FALSE(p2.isColumnVisible(1));
    EXPECT_TRUE(p2.isVirtualTableChecked(3));
    QTreeWidgetItem* things = tree_item(w2.get(), "things");
    ASSERT_EQ(things->childCount(), 1);
    EXPECT_EQ(things->child(0)->text(0), "tags");
}

TEST_F(SaveFlow, SavingTwiceKeepsOneVirtualTableAndClearingRemovesIt)
{
    data.insert("things", R"({"tags": ["a"]})");
    open();
    box(row_of("tags"), 9)->click();
    save();
    save();
    EXPECT_EQ(count("tables", "{\"sql_table\": \"things_tags\"}"), 1);
    EXPECT_EQ(count("columns", "{\"sql_table\": \"things_tags\"}"), 3);
    EXPECT_EQ(count("index", "{\"sql_table\": \"things_tags\"}"), 2);
    EXPECT_EQ(boxes.boxes.size(), 3u); // the creation question and two save questions
    box(row_of("tags"), 9)->click();
    save();
    EXPECT_EQ(count("tables", "{\"sql_table\": \"things_tags\"}"), 0);
    EXPECT_EQ(count("columns", "{\"sql_table\": \"things_tags\"}"), 0);
    EXPECT_EQ(count("index", "{\"sql_table\": \"things_tags\"}"), 0);
    EXPECT_EQ(tree_item(w.get(), "things")->childCount(), 0);
}

TEST_F(SaveFlow, BaseTableNamedLikeTheVirtualTable)
{
    data.insert("things", R"({"tags": ["a"]})");
    data.insert("things_tags", R"({"p": 1, "q": 2})");
    open();
    box(row_of("tags"), 9)->click();
    save();
    ASSERT_GE(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[2].text, "Mongo error adding virtual table.");
    EXPECT_NE(boxes.boxes[2].informative.find("E11000"), std::string::npos) << boxes.boxes[2].informative;
    // The other documents were still attempted: the ones that do not collide went in.
    std::vector<std::string> texts = boxes.texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Mongo error adding virtual table."), 1);
    EXPECT_EQ(count("columns", "{\"sql_table\": \"things_tags\", \"virtual_parent\": \"things\"}") +
                  static_cast<int>(std::count_if(texts.begin(), texts.end(),
                                                 [](const std::string& t) { return t.find("virtual column") != std::string::npos ||
                                                                                   t.find("index _id") != std::string::npos; })),
              3);
    // The base table itself is untouched.
    EXPECT_EQ(count("tables", "{\"sql_table\": \"things_tags\"}"), 1);
}

TEST_F(SaveFlow, SaveOnPageTwoShowsPageTwoAgain)
{
    std::string doc = "{";
    for (int i = 0; i < 25; ++i)
        doc += std::string(i ? "," : "") + "\"c" + std::to_string(10 + i) + "\": " + std::to_string(i);
    data.insert("wide", doc + "}");
    open();
    ui->pushButtonPageDown->click();
    type(1, 0, "renamed");
    save();
    EXPECT_EQ(SchemaProbe(w.get()).db().current_page, 2);
    EXPECT_EQ(ui->dataMsg->text(), "Data Sample - Showing Page 2 of 2");
    EXPECT_EQ(row_of("renamed") >= 0 || row_of("c28") >= 0, true);
    EXPECT_EQ(count("columns", "{\"sql_name\": \"renamed\"}"), 1);
}

// The dump file, compared byte for byte with the expected text (the time and the
// database name, which change from run to run, substituted).
struct Dump : SaveFlow {
    QTemporaryDir dir;
    QString file() { return dir.path() + "/dump.txt"; }
    std::string substitute(const char* name, const std::string& table)
    {
        QFile f(QString::fromStdString(source_dir() + "/tests/ui/data/") + name);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        QByteArray text = f.readAll();
        text.replace("@NAME@", QByteArray::fromStdString(table));
        return text.toStdString();
    }
    // The file with each "Generated" time replaced by @TIME@, after checking its form.
    std::string written()
    {
        QFile f(file());
        if (!f.open(QIODevice::ReadOnly))
            return "<no file>";
        QString text = QString::fromUtf8(f.readAll());
        QRegularExpression time("\nGenerated     : (\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d:\\d\\d)\r\n");
        text.replace(time, "\nGenerated     : @TIME@\r\n");
        return text.toStdString();
    }
    void dump(int answer = QMessageBox::Yes)
    {
        boxes.answer(answer);
        ui->pushButtonDump->click();
    }
    void items()
    {
        data.insert("items", R"({"_id": {"$oid": "5f00000000000000000000aa"}, "sku": "A1", "qty": 3, "parts": ["x"]})");
        bson_t* keys = BCON_NEW("sku", BCON_INT32(1));
        bson_t* command = BCON_NEW("createIndexes", BCON_UTF8("items"), "indexes", "[", "{", "key",
                                   BCON_DOCUMENT(keys), "name", BCON_UTF8("items_sku"), "unique",
                                   BCON_BOOL(true), "}", "]");
        bson_error_t error;
        ASSERT_TRUE(mongoc_client_command_simple(data.client, data.data.c_str(), command, nullptr, nullptr, &error))
            << error.message;
        bson_destroy(command);
        bson_destroy(keys);
    }
};

TEST_F(Dump, BaseTableAndAppending)
{
    items();
    open({"-debug", file()});
    EXPECT_FALSE(ui->pushButtonDump->isHidden());
    EXPECT_EQ(ui->pushButtonDump->text(), "Dump Schema");
    dump();
    ASSERT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[1].text, "Dump Schema to");
    EXPECT_EQ(boxes.boxes[1].informative, file().toStdString() + " ?");
    EXPECT_EQ(boxes.boxes[2].text, "Schema dumped to");
    EXPECT_EQ(boxes.boxes[2].informative, file().toStdString() + ".");
    std::string one = substitute("dump_base.txt", data.data + ".items");
    EXPECT_EQ(written(), one);
    dump();
    EXPECT_EQ(written(), one + one);
    EXPECT_EQ(ui->errorMsg->text(), "");
}

TEST_F(Dump, VirtualTable)
{
    items();
    open({"-debug", file()});
    box(row_of("parts"), 9)->click();
    save();
    QTreeWidgetItem* vt = tree_item(w.get(), "parts");
    ASSERT_NE(vt, nullptr);
    ui->treeWidget->setCurrentItem(vt);
    SchemaProbe(w.get()).press(vt);
    dump();
    EXPECT_EQ(written(), substitute("dump_virtual.txt", data.data + ".items_parts"));
}

TEST_F(Dump, NoAnswerWritesNothing)
{
    items();
    open({"-debug", file()});
    dump(QMessageBox::No);
    EXPECT_FALSE(QFile::exists(file()));
    EXPECT_EQ(boxes.boxes.size(), 2u);
}

TEST_F(Dump, EmptyTree)
{
    open({"-debug", file()});
    EXPECT_EQ(ui->treeWidget->topLevelItemCount(), 0);
    dump();
    EXPECT_EQ(written(), substitute("dump_empty.txt", "."));
    ASSERT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[2].text, "Schema dumped to");
}

TEST_F(Dump, MissingDirectory)
{
    items();
    QString missing = dir.path() + "/no/such/dir/dump.txt";
    open({"-debug", missing});
    dump();
    ASSERT_EQ(boxes.boxes.size(), 3u);
    EXPECT_EQ(boxes.boxes[2].text, "Cannot dump schema to log file.");
    EXPECT_EQ(boxes.boxes[2].informative, "File used was '" + missing.toStdString() + "'.");
}

TEST_F(Dump, EditsAreOfferedForSavingFirst)
{
    items();
    open({"-debug", file()});
    type(row_of("qty"), 0, "quantity");
    boxes.answer(QMessageBox::Yes); // save the edit first
    dump();
    ASSERT_GE(boxes.boxes.size(), 4u);
    EXPECT_EQ(boxes.boxes[1].text, "Schema for table 'items' was edited.");
    EXPECT_EQ(boxes.boxes[2].text, "Dump Schema to");
    EXPECT_NE(written().find("SQL Column    : quantity\r\n"), std::string::npos);
    EXPECT_EQ(count("columns", "{\"sql_name\": \"quantity\"}"), 1);
}

} // namespace
