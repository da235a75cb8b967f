// Plan Changes: the drift of the selected table (or of the whole schema) as a plan to
// review, and the checked changes written in one go.
#include "ui/schema.h"

#include "core/message.h"
#include "startup/schema_check.h"
#include "store/analysis/plan.h"
#include "store/read/read.h"
#include "ui/plan_view.h"
#include "ui_plan.h"
#include "ui_schema.h"

#include <QLabel>
#include <QTreeWidget>
#include <string>

namespace {

std::string with_name(const char* format, const std::string& name)
{
    std::string text = format;
    return text.replace(text.find("%s"), 2, name);
}

} // namespace

void Schema::on_pushButtonPlan_clicked()
{
    schema_changed(nullptr); // the plan is made from the schema as saved
    // The database picked in the tree: the whole schema; else the table shown.
    const QTreeWidgetItem* picked = ui->treeWidget->currentItem();
    const bool whole = !picked || !picked->parent();
    const QByteArray table =
        whole ? QByteArray() : (dbinfo.virtual_table.isEmpty() ? dbinfo.table : dbinfo.virtual_table).toUtf8();
    const char* names[] = {table.constData()};
    const size_t count = table.isEmpty() ? 0 : 1;

    plan_t* plan = nullptr;
    drift_problem_t problem{};
    bool made = false;
    ui->errorMsg->setText("Plan Changes: sampling, please wait ...");
    bool done = serverWork([&] { made = make_plan(&dbinfo, names, count, &plan, &problem); });
    ui->errorMsg->setText("");
    if (!done || !made) {
        free_plan(plan);
        std::string text = !done ? "The plan was not made: cancelled."
                                 : drift_problem_text(&problem);
        show_message(text.c_str(), problem.detail, BTN_OK, BTN_OK);
        return;
    }

    PlanView view(plan, this);
    view.setObjectName("planView");
    std::vector<int> ids;
    if (view.exec() == QDialog::Accepted)
        ids = view.checkedIds();
    if (ids.empty()) {
        free_plan(plan);
        return;
    }
    plan_problem_t failed{};
    bool applied = false;
    ui->errorMsg->setText("Plan Changes: writing, please wait ...");
    if (!serverWork([&] { applied = apply_plan(&dbinfo, plan, ids, &failed); }))
        failed.code = PLAN_WRITE_FAILED;
    ui->errorMsg->setText("");
    free_plan(plan);
    if (!applied) {
        std::string text = failed.code == PLAN_STALE
                               ? "The schema changed since the plan was made; make the plan again."
                               : with_name("The schema '%s' could not be written.", dbinfo.md_database);
        std::string informative = failed.detail;
        if (failed.code == PLAN_WRITE_PENDING)
            informative += "<br>The next start puts back what the schema held before.";
        show_message(text.c_str(), informative.c_str(), BTN_OK, BTN_OK);
        return;
    }

    readTreeAgain(); // tables may have come or gone
    ui->errorMsg->setText("The checked changes were written to the schema.");
}
