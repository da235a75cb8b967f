// The versions of the table shown, or of the whole schema, newest first; the selected
// version's change below them, one row per difference, as a plan is shown. Revert (Edit
// mode only) closes the view accepted: the window then reverts the selected version as
// server work, with its busy bar and Cancel in reach.
#ifndef BROLIX_UI_HISTORY_VIEW_H
#define BROLIX_UI_HISTORY_VIEW_H

#include "store/analysis/history.h"

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class Ui_HistoryView;
struct drift_t;

class HistoryView : public QDialog {
    Q_OBJECT

public:
    // What a version changed, read as the window's server work: false with why set. The
    // differences become the view's.
    using read_fn = std::function<bool(int64_t number, drift_t** differences, QString* why)>;
    HistoryView(const std::vector<version_t>& versions, bool can_revert, read_fn read,
                std::function<void()> cancel_read, QWidget* parent = nullptr);
    ~HistoryView() override;

    // Selects a row and shows its version's change.
    void showVersion(int row);
    // The selected version's number, 0 when none is.
    int64_t selectedVersion() const;
    // Close or Escape while a change is read ends the read too.
    void reject() override;
    Ui_HistoryView* ui;

private slots:
    void versionPicked(int row);
    void on_pushButtonRevert_clicked();
    void on_pushButtonClose_clicked();

private:
    std::vector<int64_t> numbers;
    read_fn read;
    std::function<void()> cancel_read;
    bool can_revert;
    bool reading = false;
};

#endif
