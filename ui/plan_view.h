// The plan of the selected table or of the whole schema: one row per change, each with a
// check box; Apply hands the checked ids to the window, which writes them as server work.
#ifndef BROLIX_UI_PLAN_VIEW_H
#define BROLIX_UI_PLAN_VIEW_H

#include <QDialog>
#include <functional>
#include <vector>

class Ui_PlanView;
struct plan_t;

class PlanView : public QDialog {
    Q_OBJECT

public:
    // The plan stays the caller's; apply writes the ids given and says whether it did.
    PlanView(const plan_t* plan, const std::function<bool(const std::vector<int>&)>& apply,
             QWidget* parent = nullptr);
    ~PlanView() override;

    // The ids whose box is checked, in the plan's order.
    std::vector<int> checkedIds() const;
    bool applied() const { return wrote; }
    Ui_PlanView* ui;

private slots:
    void on_pushButtonApply_clicked();
    void on_pushButtonClose_clicked();

private:
    const plan_t* plan;
    std::function<bool(const std::vector<int>&)> apply;
    bool wrote = false;
};

#endif
