// Plan Changes in the window: nothing is written until Apply, and Apply writes only the
// checked changes, after which the grid shows them.
#include "store/analysis/drift.h"
#include "tests/support/ui_support.h"
#include "ui/plan_view.h"
#include "ui_plan.h"

#include <QTimer>

using namespace testenv;

namespace {

TEST(Plan, WritesOnlyTheCheckedChangesOnApply)
{
    const struct {
        const char* uncheck; // the change left out, by its words
        bool apply;          // else Close
        texts_t columns, drift;
    } rows[] = {
        {nullptr, false, {"_id", "no", "old"},
         {"new column fresh (Bool, SQL_TINYINT, length 255)", "column gone old (String, SQL_VARCHAR, length 1)",
          "column no: MongoDB type NumberInt32 -> String, SQL type SQL_INTEGER -> SQL_VARCHAR"}},
        {"column gone old (String, SQL_VARCHAR, length 1)", true, {"_id", "fresh", "no", "old"},
         {"column gone old (String, SQL_VARCHAR, length 1)"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.apply ? "apply" : "close");
        WindowOnData data;
        data.insert("orders", R"({"_id": 1, "no": 1, "old": "x"})");
        BoxRecorder boxes;
        SchemaProbe p{data.open()};
        drop_database(data.client, data.data);
        data.insert("orders", R"({"_id": 1, "no": "one", "fresh": true})");
        texts_t shown;
        // The view comes up once the plan is made, as server work: looked for until then.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            PlanView* view = p.w->findChild<PlanView*>("planView");
            if (!view || !view->isVisible())
                return;
            poll.stop();
            QTableWidget* grid = view->ui->planGrid;
            for (int r = 0; r < grid->rowCount(); ++r) {
                QString words = grid->item(r, 2)->toolTip().section(": ", 1, -1);
                shown.push_back(words.toStdString());
                if (row.uncheck && words == row.uncheck)
                    grid->item(r, 0)->setCheckState(Qt::Unchecked);
            }
            (row.apply ? view->ui->pushButtonApply : view->ui->pushButtonClose)->click();
        });
        poll.start(20);
        p.ui()->pushButtonPlan->click();
        EXPECT_EQ(shown, rows[0].drift) << "the view lists every change";
        EXPECT_EQ(column_texts(p.grid(), 0), row.columns);
        drift_t* differences = nullptr;
        drift_problem_t problem;
        ASSERT_TRUE(diff_schema(&p.db(), nullptr, 0, false, &differences, &problem));
        texts_t left;
        for (const drift_t* d = differences; d; d = d->next) {
            drift_t one = *d;
            one.next = nullptr;
            std::string line = drift_text(&one);
            left.push_back(line.substr(8, line.size() - 9)); // less "orders: " and the line's end
        }
        free_drift(differences);
        EXPECT_EQ(left, row.drift);
        EXPECT_TRUE(boxes.boxes.size() == 1) << "only the start-up's offer to create";
    }
}

} // namespace
