// One table name in two catalogs; names that are not ASCII under a Latin-1 code page.
#include "tests/support/ui_support.h"

#include <QLabel>
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
        "sql_table": "orders", "index": 1, "sql_name": "x", "sql_type": 12, "mongo_name": "x",
        "mongo_type": 2, "visible": true})");
    struct Latin1 {
        QTextCodec* was = QTextCodec::codecForLocale();
        Latin1() { QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1")); }
        ~Latin1() { QTextCodec::setCodecForLocale(was); }
    } latin1;
    p.box(p.row_of("étapes"), 9)->click();
    p.box(p.row_of("New Column"), 9)->click();
    p.ui()->pushButtonSave->click();
    p.refresh();
    EXPECT_EQ(p.sample()->horizontalHeaderItem(p.sample()->columnCount() - 1)->text().toStdString(), "名前");

    // The other catalog's table comes first in the tree; its virtual-table items are remade
    // by name when this catalog's table is left, the pressed one among them.
    QTreeWidget* tree = p.ui()->treeWidget;
    auto* zz = new QTreeWidgetItem(QStringList("zz"), 0);
    tree->insertTopLevelItem(0, zz);
    auto* orders = new QTreeWidgetItem(zz, QStringList("orders"), 2);
    new QTreeWidgetItem(orders, QStringList("étapes"), 3);
    p.db().mode = MODE_READ_ONLY;
    p.press(orders->child(0));
    ASSERT_EQ(orders->childCount(), 2);
    EXPECT_EQ(tree->currentItem()->parent(), orders);
    EXPECT_EQ(tree->currentItem()->text(0) + " " + p.db().catalog + "." + p.db().virtual_table, "étapes zz.étapes");
    EXPECT_EQ(p.ui()->dataMsg->text().toStdString(), "Data Sample - Showing Page 1 of 1");

    // Driver Views: the generated names keep the array's name; "New Column" rows all stay.
    QTreeWidgetItem* mine = tree->topLevelItem(1)->child(0);
    for (int i = 0; i < 2; ++i) {
        p.press(mine->child(i));
        p.ui()->viewMode->setCurrentIndex(1);
        EXPECT_EQ(column_texts(p.grid(), 0), (texts_t{"_id", (mine->child(i)->text(0) + "$index").toStdString(),
                                                      (mine->child(i)->text(0) + "$value").toStdString()}));
    }
}
