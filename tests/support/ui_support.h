// Widget-test ground: the real message boxes as the window builds them, answered from a
// script; windows on fresh databases; the window's private parts; grids read as text.
#ifndef BROLIX_TESTS_SUPPORT_UI_SUPPORT_H
#define BROLIX_TESTS_SUPPORT_UI_SUPPORT_H

#include "tests/support/test_env.h"
#include "ui/schema.h"
#include "ui_schema.h" // and the window's widget classes

#include <QCheckBox>
#include <QMessageBox>
#include <memory>

namespace testenv {

using texts_t = std::vector<std::string>;
struct shown_box_t {
    std::string title, text, informative;
    int buttons, default_button, width;
};

// Installs Schema::message_box_hook for its lifetime: every box is shown offscreen,
// measured, recorded and answered with the next scripted button (else its default).
// With echo, each box is also written to standard error as "BOX: title # text # informative"
// (for the start-ups that end the process).
struct BoxRecorder {
    explicit BoxRecorder(bool echo = false);
    ~BoxRecorder() { Schema::message_box_hook = nullptr; }
    std::vector<shown_box_t> boxes;
    std::deque<int> answers;
    texts_t texts() const; // of the boxes shown
};

// Arguments for a window on the first test server (no schema name when md_database is
// empty); an option given again in extra wins.
QStringList window_arguments(const std::string& database, const std::string& md_database,
                             const QStringList& extra = QStringList());

// A data database of fresh name filled by the caller, and windows on it with a schema of
// fresh name: start-up reports the schema missing and the box recorder's first answer
// (Yes unless scripted otherwise) creates it. Both databases go at the end.
struct WindowOnData {
    std::string data = unique_name("ui"), schema = data + "_schema";
    mongoc_client_t* client = fixture_client();
    ~WindowOnData();
    void insert(const std::string& collection, const std::string& json)
    {
        insert_json(client, data, collection, json);
    }
    void index(const char* collection, const char* keys_json, const char* name);
    std::unique_ptr<Schema> open(const QStringList& extra = {})
    {
        return std::make_unique<Schema>(window_arguments(data, schema, extra));
    }
    void create(); // a first window, its boxes answered by default: the schema made, the window gone
    texts_t documents(const std::string& filter = "{}"); // the schema's tables, columns and index, in turn
    int cli(const std::string& command, std::string* output = nullptr); // brolix-cli on both databases
};

QTreeWidgetItem* tree_item(Schema* w, const QString& text);
// Grid rows as texts: each cell's text, a combo's choice, a check box as [x] or [ ]; or
// one column's texts.
texts_t rows_text(QTableWidget* grid, int first = 0, int last = -1, int column = -1);
inline std::string row_text(QTableWidget* grid, int row) { return rows_text(grid, row, row).at(0); }
inline texts_t column_texts(QTableWidget* grid, int column) { return rows_text(grid, 0, -1, column); }

} // namespace testenv

// Reaches the window's private parts (of a window it owns, when given one) and works the
// column grid as a user does.
struct SchemaProbe {
    std::unique_ptr<Schema> owned;
    Schema* w;
    SchemaProbe(Schema* window) : w(window) {}
    SchemaProbe(std::unique_ptr<Schema> window) : owned(std::move(window)), w(owned.get()) {}
    void show(); // shown and made the active window: focus and keys as a user's
    Ui_Schema* ui() { return w->ui; }
    DBINFO& db() { return w->dbinfo; }
    QTableWidget* grid() { return w->ui->tableWidget; }
    QTableWidget* sample() { return w->ui->dataWidget; }
    void press(QTreeWidgetItem* item); // a pick in the tree: the item made current, then pressed
    void pick(const QString& text) { press(testenv::tree_item(w, text)); }
    void refresh() { w->refreshData(&w->dbinfo); }
    QByteArray cell(int row, int column) { return w->cellBytes(row, column); }
    int row_of(const char* sql_name);
    void type(int row, int column, const QString& text); // the cell made current, its text replaced
    QCheckBox* box(int row, int column);
    bool working() { return w->working; }
    unsigned works() { return w->works; } // pieces of server work so far
};

#endif
