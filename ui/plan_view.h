// The plan of the selected table or of the whole schema: one row per change, each with a
// check box. Apply closes the view accepted; the window then writes the checked changes as
// server work, with its busy bar and Cancel in reach.
#ifndef BROLIX_UI_PLAN_VIEW_H
#define BROLIX_UI_PLAN_VIEW_H

#include <QDialog>
#include <vector>

class Ui_PlanView;
struct plan_t;

class PlanView : public QDialog {
    Q_OBJECT

public:
    // The plan stays the caller's.
    explicit PlanView(const plan_t* plan, QWidget* parent = nullptr);
    ~PlanView() override;

    // The ids whose box is checked, in the plan's order.
    std::vector<int> checkedIds() const;
    Ui_PlanView* ui;

private slots:
    void on_pushButtonApply_clicked();
    void on_pushButtonClose_clicked();

};

#endif
