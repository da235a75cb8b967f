// The Profile view of the selected table: its rows, their marks, and a refused read told
// in the window.
#include "tests/support/ui_support.h"

#include <QDialog>

using namespace testenv;

namespace {

TEST(Profile, ShowsEachColumnMarkedWhereTheSavedTypeCannotShowItOrItIsRare)
{
    WindowOnData data;
    for (int i = 1; i <= 3; ++i)
        data.insert("orders", "{\"_id\": " + std::to_string(i) + ", \"qty\": " + std::to_string(i) + "}");
    BoxRecorder boxes;
    SchemaProbe p{data.open({"-ps", "3"})}; // creation saves qty as SQL_INTEGER
    data.insert("orders", R"({"_id": 4, "qty": "four"})");
    for (int i = 5; i <= 30; ++i)
        data.insert("orders", "{\"_id\": " + std::to_string(i) + ", \"qty\": " + std::to_string(i) +
                                  (i == 30 ? ", \"late\": \"yes\"" : "") + "}");
    p.db().preview_rows = 100;
    p.ui()->pushButtonProfile->click();
    auto* dialog = p.w->findChild<QDialog*>("Profile");
    ASSERT_TRUE(dialog && dialog->isVisible()) << p.ui()->errorMsg->text().toStdString();
    EXPECT_EQ(dialog->findChild<QLabel*>("summary")->text(), "orders: 30 documents sampled (first)");
    EXPECT_EQ(rows_text(dialog->findChild<QTableWidget*>("profileTable")),
              (texts_t{"_id|100.0% (30)|NumberInt32 30|0||SQL_INTEGER|_id 1|",
                       "qty|100.0% (30)|NumberInt32 29, String 1|0|4 - 4|SQL_VARCHAR (saved SQL_INTEGER)|"
                       "_id 4 (was SQL_INTEGER)|does not fit SQL_INTEGER",
                       "late|3.3% (1)|String 1|0|3 - 3|SQL_VARCHAR|_id 30|rare"}));
    auto* grid = dialog->findChild<QTableWidget*>("profileTable");
    EXPECT_EQ(grid->item(1, 0)->background().color(), QColor(255, 200, 200));
    EXPECT_NE(grid->item(0, 0)->background().color(), QColor(255, 200, 200));
    dialog->close();

    p.db().sample_strategy = SAMPLE_RANDOM;
    p.ui()->pushButtonProfile->click();
    EXPECT_EQ(p.ui()->errorMsg->text(),
              "The profile of 'orders' could not be read: the data server cannot sample at random ($sample).");
    ASSERT_EQ(boxes.boxes.size(), 1u) << "the refused read boxed";
    EXPECT_EQ(boxes.boxes[0].text, "The schema '" + data.schema + "' does not exist or may be invalid.");
}

} // namespace
