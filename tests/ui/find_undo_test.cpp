// Finding a table by typing in the field above the tree, and taking back the grid's edits
// with Ctrl+Z (made again with Ctrl+Shift+Z), as the keys reach the window.
#include "tests/support/ui_support.h"

#include <QTest>
#include <QTreeWidgetItemIterator>

using namespace testenv;

namespace {

std::string shown(QTreeWidget* tree) // the items not hidden, the catalog as "C"
{
    std::string out;
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        if (!(*it)->isHidden())
            out += (out.empty() ? "" : " ") + ((*it)->parent() ? (*it)->text(0).toStdString() : "C");
    return out;
}

TEST(FindByTyping, KeepsMatchesWithParentsAndEnterPicksAsAClick)
{
    WindowOnData data;
    data.insert("orders", R"({"tags": ["a"], "n": 1})");
    data.insert("customers", R"({"x": 1})");
    data.insert("zoo", R"({"z": 1})");
    {
        BoxRecorder boxes;
        SchemaProbe p{data.open()};
        p.pick("orders");
        p.box(p.row_of("tags"), 9)->click();
        p.ui()->pushButtonSave->click();
    }
    // A table whose collection is named otherwise is found by either name.
    command_json(data.client, data.schema, R"({"update": "tables", "updates": [{"q": {"sql_table": "customers"},
        "u": {"$set": {"mongo_name": "clients"}}}]})");
    BoxRecorder boxes;
    SchemaProbe p{data.open()};
    QTreeWidget* tree = p.ui()->treeWidget;
    QLineEdit* field = p.ui()->treeFilter;
    p.show();
    const std::string all = shown(tree);
    QTreeWidgetItem* current = tree->currentItem();
    tree->setFocus();
    QTest::keyClicks(tree, "rDe"); // the first key moves to the field, the rest follow it there
    EXPECT_EQ(field->text().toStdString() + " " + shown(tree), "rDe C orders tags");
    EXPECT_EQ(QApplication::focusWidget(), field);
    for (const auto& row : std::vector<std::pair<const char*, const char*>>{
             {"CLIE", "C customers"}, {"tag", "C orders tags"}, {"s_t", "C orders tags"}, {"zz", ""}}) {
        field->setText(row.first);
        EXPECT_EQ(shown(tree), row.second) << row.first;
    }
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_EQ(field->text() + QString::fromStdString(shown(tree)), QString::fromStdString(all));
    EXPECT_EQ(tree->currentItem(), current);
    QTest::keyClick(tree, Qt::Key_F, Qt::ControlModifier);
    EXPECT_EQ(QApplication::focusWidget(), field);

    // Enter picks the first match as a click on it does: the edited table's question first.
    const struct {
        const char *from, *column, *renamed, *typed;
        int answer;
        const char* picked;
    } rows[] = {{"orders", "n", "n2", "zo", QMessageBox::No, "zoo zoo"},
                {"zoo", "z", "z2", "RDER", QMessageBox::Yes, "orders orders"},
                // the virtual tables' items are made anew after a No: the one of that name is shown
                {"orders", "n", "n3", "tags", QMessageBox::No, "orders.tags tags"}};
    for (const auto& row : rows) {
        p.pick(row.from);
        p.type(p.row_of(row.column), 0, row.renamed);
        boxes.boxes.clear();
        boxes.answers = {row.answer};
        field->setText(row.typed);
        QTest::keyClick(field, Qt::Key_Return);
        ASSERT_EQ(boxes.boxes.size(), 1u) << row.typed;
        EXPECT_EQ(boxes.boxes[0].text, std::string("Schema for table '") + row.from + "' was edited.");
        QString vt = p.db().virtual_table.isEmpty() ? "" : "." + p.db().virtual_table;
        EXPECT_EQ((p.db().table + vt + " " + tree->currentItem()->text(0)).toStdString(), row.picked);
        bool saved = !read_json(data.client, data.schema, "columns", std::string(R"({"sql_name": ")") + row.renamed + "\"}").empty();
        EXPECT_EQ(saved, row.answer == QMessageBox::Yes) << row.typed;
    }
}

// Each kind of edit taken back and made again in order: the grid, the tree and the edit
// checks' warning follow; with every edit taken back the table is left without a question,
// also when the edit was made on another page.
TEST(UndoRedo, EveryKindOfGridEditInTheOrderMade)
{
    WindowOnData data;
    data.insert("orders", R"({"n": 1, "s": "x", "tags": ["a"]})");
    std::string wide = R"({"f0": 0)";
    for (int i = 1; i < 19; ++i) // two pages
        wide += ", \"f" + std::to_string(i) + "\": 0";
    data.insert("wide", wide + "}");
    BoxRecorder boxes;
    SchemaProbe p{data.open()};
    p.show();
    QTreeWidgetItem* orders = tree_item(p.w, "orders");
    auto state = [&] {
        std::string out = p.ui()->errorMsg->text().toStdString() + " vt" + std::to_string(orders->childCount());
        for (const std::string& r : rows_text(p.grid()))
            out += "\n" + r;
        return out;
    };
    auto combo = [&](const char* row, const char* type) {
        auto* box = qobject_cast<QComboBox*>(p.grid()->cellWidget(p.row_of(row), 1));
        box->setCurrentIndex(box->findText(type));
    };
    const std::vector<std::function<void()>> edits = {
        [&] { p.type(p.row_of("n"), 0, "s"); }, // a duplicate: warned
        [&] { combo("tags", "SQL_NUMERIC"); },
        [&] { p.box(p.row_of("tags"), 8)->click(); },
        [&] { p.box(p.row_of("tags"), 9)->click(); }};
    std::vector<std::string> states{state()};
    for (const auto& edit : edits) {
        edit();
        states.push_back(state());
    }
    ASSERT_NE(states[1].find("Warning: Duplicate SQL Name 's'"), std::string::npos) << states[1];
    const auto undo = [&] { QTest::keyClick(p.grid(), Qt::Key_Z, Qt::ControlModifier); };
    const auto redo = [&] { QTest::keyClick(p.grid(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier); };
    for (size_t k = edits.size(); k-- > 0;) {
        undo();
        EXPECT_EQ(state(), states[k]) << "undone to " << k;
    }
    for (size_t k = 1; k <= edits.size(); ++k) {
        redo();
        EXPECT_EQ(state(), states[k]) << "made again to " << k;
    }
    for (size_t k = 0; k < edits.size(); ++k)
        undo();
    undo(); // nothing more to take back
    EXPECT_EQ(state(), states[0]);
    EXPECT_FALSE(p.ui()->pushButtonUndo->isEnabled());
    boxes.boxes.clear();
    p.pick("wide");
    const texts_t first = rows_text(p.grid());
    p.type(1, 0, "g");
    p.ui()->pushButtonPageDown->click();
    undo();
    EXPECT_EQ(rows_text(p.grid()), first);
    p.pick("orders");
    EXPECT_TRUE(boxes.boxes.empty()) << boxes.boxes[0].text;
}

} // namespace
