#include "ui/plan_view.h"

#include "store/analysis/plan.h"
#include "ui_plan.h"

#include <QHeaderView>
#include <QTableWidgetItem>

namespace {

// What changes, in a few words: the sides' columns tell the rest.
QString change_words(const drift_t* d)
{
    const QString field = QString::fromUtf8(d->mongo_name ? d->mongo_name : "");
    const QString entry = QString::fromUtf8((d->in_data ? d->data_entry : d->schema_entry).index_name
                                                ? (d->in_data ? d->data_entry : d->schema_entry).index_name
                                                : "");
    switch (d->kind) {
    case DRIFT_TABLE_NEW:
        return d->is_virtual ? "new virtual table" : QString("new table (%1 columns)").arg(d->columns);
    case DRIFT_TABLE_GONE: return d->is_virtual ? "virtual table gone" : "table gone";
    case DRIFT_COLUMN_NEW: return "new column " + field;
    case DRIFT_COLUMN_GONE: return "column gone " + field;
    case DRIFT_COLUMN_TYPE: return "type changed: " + field;
    case DRIFT_COLUMN_LENGTH: return "length changed: " + field;
    case DRIFT_INDEX_NEW: return "new index entry of " + entry;
    case DRIFT_INDEX_GONE: return "index entry gone of " + entry;
    }
    return QString();
}

} // namespace

enum { PLAN_COL_APPLY, PLAN_COL_TABLE, PLAN_COL_CHANGE, PLAN_COL_SCHEMA, PLAN_COL_DATA, PLAN_COL_KEPT };

PlanView::PlanView(const plan_t* plan, QWidget* parent) : QDialog(parent), ui(new Ui_PlanView)
{
    ui->setupUi(this);
    QTableWidget* grid = ui->planGrid;
    grid->setRowCount(static_cast<int>(plan->items.size()));
    int row = 0;
    for (const plan_item_t& item : plan->items) {
        // Every change starts checked: the review is taking out what should wait.
        QTableWidgetItem* box = new QTableWidgetItem(QString::number(item.id));
        box->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        box->setCheckState(Qt::Checked);
        box->setData(Qt::UserRole, item.id);
        grid->setItem(row, PLAN_COL_APPLY, box);
        grid->setItem(row, PLAN_COL_TABLE, new QTableWidgetItem(QString::fromUtf8(item.change->table)));
        QTableWidgetItem* what = new QTableWidgetItem(change_words(item.change));
        what->setToolTip(QString::fromUtf8(plan_item_text(item).c_str()));
        grid->setItem(row, PLAN_COL_CHANGE, what);
        grid->setItem(row, PLAN_COL_SCHEMA,
                      new QTableWidgetItem(QString::fromUtf8(drift_side_text(item.change, true).c_str())));
        grid->setItem(row, PLAN_COL_DATA,
                      new QTableWidgetItem(QString::fromUtf8(drift_side_text(item.change, false).c_str())));
        QTableWidgetItem* kept = new QTableWidgetItem(QString::fromUtf8(plan_kept_text(item).c_str()));
        if (item.kept)
            kept->setToolTip("Edited by hand: applying this change leaves it as it is.");
        grid->setItem(row, PLAN_COL_KEPT, kept);
        ++row;
    }
    grid->resizeColumnsToContents();
    ui->planMsg->setText(plan->items.empty() ? "The data and the schema agree: nothing to change."
                                             : QString("%1 changes").arg(plan->items.size()));
    ui->pushButtonApply->setEnabled(!plan->items.empty());
}

PlanView::~PlanView()
{
    delete ui;
}

std::vector<int> PlanView::checkedIds() const
{
    std::vector<int> ids;
    for (int row = 0; row < ui->planGrid->rowCount(); ++row) {
        const QTableWidgetItem* box = ui->planGrid->item(row, PLAN_COL_APPLY);
        if (box->checkState() == Qt::Checked)
            ids.push_back(box->data(Qt::UserRole).toInt());
    }
    return ids;
}

void PlanView::on_pushButtonApply_clicked()
{
    if (checkedIds().empty()) {
        ui->planMsg->setText("No change is checked.");
        return;
    }
    accept();
}

void PlanView::on_pushButtonClose_clicked()
{
    reject();
}
