// Widget-test ground: the real message boxes as the window builds them, answered from a
// script; windows on fresh databases; access to the window's private parts.
#ifndef BROLIX_TESTS_SUPPORT_UI_SUPPORT_H
#define BROLIX_TESTS_SUPPORT_UI_SUPPORT_H

#include "tests/support/test_env.h"
#include "ui/schema.h"
#include "ui_schema.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMessageBox>
#include <QTableWidget>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace testenv {

struct shown_box_t {
    std::string title, text, informative;
    int buttons, default_button, width;
};

// Installs Schema::message_box_hook for its lifetime: every box is shown offscreen,
// measured, recorded and answered with the next scripted button (else its default).
// With echo, each box is also written to standard error as BOX[title|text|informative]
// (for the start-ups that end the process).
class BoxRecorder {
public:
    explicit BoxRecorder(bool echo = false);
    ~BoxRecorder();
    void answer(int button) { answers.push_back(button); }
    std::vector<std::string> texts() const;
    std::vector<shown_box_t> boxes;
    std::deque<int> answers;
};

// Arguments for a window on the first test server (no schema name when md_database is empty).
QStringList window_arguments(const std::string& database, const std::string& md_database,
                             const QStringList& extra = QStringList());

// A data database of fresh name filled by the caller, and windows opened on it with a
// schema of fresh name: start-up reports the schema missing and the box recorder's
// first answer (Yes unless scripted otherwise) creates it. Both databases go at the end.
struct WindowOnData {
    std::string data, schema;
    mongoc_client_t* client;
    explicit WindowOnData(const std::string& prefix);
    ~WindowOnData();
    void insert(const std::string& collection, const std::string& json);
    void index(const char* collection, const char* keys_json, const char* name);
    std::unique_ptr<Schema> open(const QStringList& extra = QStringList());
    // Documents in a schema collection that match the filter.
    int count(const char* collection, const std::string& filter);
};

// Counts the find commands a client sends from now on.
struct FindCounter {
    explicit FindCounter(mongoc_client_t* client);
    ~FindCounter();
    int finds = 0;
    mongoc_client_t* client;
};

QTreeWidgetItem* tree_item(Schema* w, const QString& text);
using texts_t = std::vector<std::string>;
// A grid row as one text: each cell's text, a combo's choice, a check box as [x] or [ ].
std::string row_text(QTableWidget* grid, int row);
texts_t rows_text(QTableWidget* grid);
// One column of a grid, top to bottom.
texts_t column_texts(QTableWidget* grid, int column);

} // namespace testenv

// Reaches the window's private parts and works the column grid as a user does.
struct SchemaProbe {
    Schema* w;
    explicit SchemaProbe(Schema* window) : w(window) {}
    Ui_Schema* ui() { return w->ui; }
    DBINFO& db() { return w->dbinfo; }
    bool& edited() { return w->edited; }
    bool& left_with_edits() { return w->left_with_edits; }
    // A pick in the tree: the item made current, then pressed.
    void press(QTreeWidgetItem* item);
    void pick(const QString& text) { press(testenv::tree_item(w, text)); }
    QByteArray cell(int row, int column) { return w->cellBytes(row, column); }
    void refresh() { w->refreshData(&w->dbinfo); }
    QTableWidget* grid() { return w->ui->tableWidget; }
    QTableWidget* sample() { return w->ui->dataWidget; }
    int row_of(const char* sql_name);
    // Makes the cell current and replaces its text, as typing does.
    void type(int row, int column, const QString& text);
    QCheckBox* box(int row, int column);
    QComboBox* combo(int row, int column) { return qobject_cast<QComboBox*>(grid()->cellWidget(row, column)); }
    void choose(int row, int column, const char* text) { combo(row, column)->setCurrentIndex(combo(row, column)->findText(text)); }
};

#endif
