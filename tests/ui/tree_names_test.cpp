// One table name in two catalogs; names that are not ASCII under a Latin-1 code page.
#include "tests/support/ui_support.h"

#include <QTextCodec>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

TEST(TreeNames, ReadOnlyPickInTheOtherCatalogAndNamesKeptAsUtf8)
{
    WindowOnData data;
    data.insert("orders", R"({"_id": 1, "étapes": ["a", "b"], "New Column": [1], "名前": "x"})");
    BoxRecorder boxes;
    auto w = data.open();
    SchemaProbe p{w.get()};
    // A second catalog's "orders" with one column that belongs to none of its virtual tables.
    insert_json(data.client, data.schema, "columns", R"({"sql_catalog": "zz", "sql_schema": "dbo",
        "sql_table": "orders", "index": 1, "sql_name": "x", "sql_type": 12, "mongo_name": "x", "mongo_type": 2})");
    QTextCodec* was = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    p.box(p.row_of("étapes"), 9)->click();
    p.box(p.row_of("New Column"), 9)->click();
    p.ui()->pushButtonSave->click();
    p.refresh();
    EXPECT_EQ(p.sample()->horizontalHeaderItem(p.sample()->columnCount() - 1)->text().toStdString(), "名前");
    // The other catalog's table comes first in the tree; its virtual-table items are remade
    // by name when this catalog's table is left, the pressed one among them.
    auto* orders = new QTreeWidgetItem(new QTreeWidgetItem(QStringList("zz"), 0), QStringList("orders"), 2);
    p.ui()->treeWidget->insertTopLevelItem(0, orders->parent());
    new QTreeWidgetItem(orders, QStringList("étapes"), 3);
    p.db().mode = MODE_READ_ONLY;
    p.press(orders->child(0));
    EXPECT_EQ(orders->childCount(), 2);
    EXPECT_EQ(p.ui()->treeWidget->currentItem()->parent(), orders);
    EXPECT_EQ(p.ui()->treeWidget->currentItem()->text(0) + " " + p.db().catalog + "." + p.db().virtual_table,
              "étapes zz.étapes");
    // Driver Views: the generated names keep the array's name; "New Column" rows all stay.
    QTreeWidgetItem* mine = p.ui()->treeWidget->topLevelItem(1)->child(0);
    for (int i = 0; i < 2; ++i) {
        p.press(mine->child(i));
        p.ui()->viewMode->setCurrentIndex(1);
        std::string name = mine->child(i)->text(0).toStdString();
        EXPECT_EQ(column_texts(p.grid(), 0), (texts_t{"_id", name + "$index", name + "$value"}));
    }
    QTextCodec::setCodecForLocale(was);
}
