// Widget-test ground: the real message boxes as the window builds them, answered
// from a script, and access to the window's private slots.
#ifndef BROLIX_TESTS_SUPPORT_UI_SUPPORT_H
#define BROLIX_TESTS_SUPPORT_UI_SUPPORT_H

#include "ui/schema.h"
#include "ui_schema.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QTableWidget>
#include <QStringList>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace testenv {

struct shown_box_t {
    std::string title;
    std::string text;
    std::string informative;
    int buttons;
    int default_button;
    int width;
};

// Installs Schema::message_box_hook for its lifetime: every box is shown offscreen,
// measured, recorded and answered with the next scripted button (else its default).
class BoxRecorder {
public:
    // With echo, every box is also written to standard error (for death tests).
    explicit BoxRecorder(bool echo = false);
    ~BoxRecorder();
    void answer(int button) { answers.push_back(button); }
    std::vector<shown_box_t> boxes;
    std::deque<int> answers;
    // The texts of the boxes shown so far, one per box.
    std::vector<std::string> texts() const;
};

// Arguments for a window on the first test server.
QStringList window_arguments(const std::string& database, const std::string& md_database,
                             const QStringList& extra = QStringList());

std::unique_ptr<Schema> make_window(const QStringList& arguments);

} // namespace testenv

// Reaches the window's private parts, as the widget tests need.
struct SchemaProbe {
    Schema* w;
    explicit SchemaProbe(Schema* window) : w(window) {}
    Ui_Schema* ui() { return w->ui; }
    DBINFO& db() { return w->dbinfo; }
    bool& edited() { return w->edited; }
    bool& left_with_edits() { return w->left_with_edits; }
    void press(QTreeWidgetItem* item) { w->clicked_on_Tree(item, 0); }
    QByteArray cell(int row, int column) { return w->cellBytes(row, column); }
    QTreeWidgetItem* schema_changed(QTreeWidgetItem* item) { return w->schema_changed(item); }
    void updateColumnsFromGrid(bool reset) { w->updateColumnsFromGrid(reset); }
    void refresh() { w->refreshData(&w->dbinfo); }
    void fillGrid(const QString& t, const QString& vt, int page, int keep) { w->fillGrid(t, vt, page, keep); }
    int countVisibleRows() { return w->countVisibleRows(w->ui->tableWidget); }
    bool isVirtualTableChecked(int row) { return w->isVirtualTableChecked(w->ui->tableWidget, row); }
    bool isColumnVisible(int row) { return w->isColumnVisible(w->ui->tableWidget, row); }
    char* formatToolTipText(db_index_t* list) { return w->formatToolTipText(list); }
};

#endif

namespace testenv {

// A data database of fresh name filled by the caller, and a window opened on it with a
// schema of fresh name: start-up reports the schema missing and the recorder's first
// answer (Yes unless scripted otherwise) creates it.
struct WindowOnData {
    std::string data;
    std::string schema;
    mongoc_client_t* client;
    explicit WindowOnData(const std::string& prefix);
    ~WindowOnData();
    void insert(const std::string& collection, const std::string& json);
    std::unique_ptr<Schema> open(BoxRecorder& boxes, const QStringList& extra = QStringList());
};

// Counts the find commands a client sends from now on.
struct FindCounter {
    explicit FindCounter(mongoc_client_t* client);
    ~FindCounter();
    int finds = 0;
    mongoc_client_t* client;
};

QTreeWidgetItem* tree_item(Schema* w, const QString& text);

// Works the column grid as a user does: finds rows by SQL name, types into cells.
struct GridDriver {
    QTableWidget* grid = nullptr;
    int row_of(const char* sql_name) const;
    // Makes the cell current and replaces its text, as typing does.
    void type(int row, int column, const QString& text) const;
    QCheckBox* box(int row, int column) const;
    QComboBox* combo(int row, int column) const;
};

} // namespace testenv
