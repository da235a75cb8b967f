// The Schema main window. Its slots are spread over ui/schema_*.cpp by concern:
// start-up, tree, grid, edit checks, insert and remove, sample and paging, save, dump.
#ifndef BROLIX_UI_SCHEMA_H
#define BROLIX_UI_SCHEMA_H

#include "core/dbinfo.h"
#include "ui/grid_undo.h"

#include <QMainWindow>
#include <QStringList>
#include <bson/bson.h>
#include <functional>
#include <utility>
#include <vector>

class QCloseEvent;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QSignalMapper;
class QTableWidget;
class QTableWidgetItem;
class QTreeWidgetItem;
class TreeFilter;
class Ui_Schema;
struct db_column_t;
struct db_index_t;
struct db_table_t;

class Schema : public QMainWindow {
    Q_OBJECT

public:
    // Runs the whole start-up sequence on the process arguments; returns only when
    // start-up succeeded (a fatal problem ends the process with exit code 0).
    explicit Schema(QWidget* parent = nullptr);
    // The same sequence on the given arguments (the first is the program path).
    explicit Schema(const QStringList& arguments, QWidget* parent = nullptr);
    ~Schema() override;

    // Shows one modal box titled "Tarnwell MongoDB Schema Editor" and returns the button pressed.
    int show_message(const char* text, const char* informative, int buttons, int default_button);

    // Sets the status bar's progress bar to done of total and paints it; done == total hides it.
    void show_progress(int done, int total);

    // When set, show_message hands the finished box to this instead of running it.
    static std::function<int(QMessageBox*)> message_box_hook;

    DBINFO dbinfo;
    char version[32];
    char build_date[64];
    Ui_Schema* ui;
    QSignalMapper* sqltype_mapper;
    QSignalMapper* mongotype_mapper;
    QSignalMapper* virtuality_mapper;
    QSignalMapper* visibility_mapper;
    bool edited;
    bool left_with_edits;
    bool filling_grid;
    // Collections done of the total while a run over them goes on; hidden when idle.
    QProgressBar* progressBar;
    // The last column read failed: the grid is no copy of the table, so nothing is saved.
    bool columns_unread = false;
    // What could not be read for the current view, shown in errorMsg once it is built.
    QString read_fault;
    // The last edit's warning: it stays in errorMsg, before any read fault, until the next edit.
    QString edit_warning;
    // The current table's columns as they were read, before any edit: another program's
    // save found since is taken under the edits made here.
    db_column_t* read_columns = nullptr;

    // Runs server work off the window's thread and returns when it is done, the window
    // painting meanwhile; false when it was cancelled. Every action's server work goes
    // through here. While work runs, what would start more is disabled, and after 2 s the
    // status bar shows a busy bar and Cancel.
    bool serverWork(const std::function<void()>& work);
    // Called while work runs (about every 25 ms), with the time waited.
    void whileWorking(int waited_ms);
    // Cancel: the rest of the current action's server work fails at once, as a failed read.
    void cancelWork();
    // Work cancelled (or a close asked for) is under way: the requests that fail for it are
    // not told one by one.
    bool cancelling() const;
    QPushButton* cancelButton = nullptr;

    // What a key in the filter field above the tree does for its text (the benchmark times it).
    void applyTreeFilter(const QString& text);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void brolix_init(DBINFO* dbInfo);
    bool parseCommandLineArgs(QStringList argList);
    void clicked_on_Tree(QTreeWidgetItem* item, int column);
    void new_sqltype(int i);
    void new_mongotype(int i);
    void validateEdit();
    void refreshData(DBINFO* dbInfo);
    void visibilityChanged(int row);
    void virtualityChanged(int row);
    void resetMenuVirtualTables();
    QTreeWidgetItem* rebuildMenuVirtualTables(QTreeWidgetItem* currItem);
    void save_triggered();
    QTreeWidgetItem* schema_changed(QTreeWidgetItem* currItem);
    void on_pushButtonFirstPage_clicked();
    void on_pushButtonLastPage_clicked();
    void on_pushButtonPageUp_clicked();
    void on_pushButtonPageDown_clicked();
    void on_pushButtonRemove_clicked();
    void on_pushButtonInsert_clicked();
    void on_pushButtonExit_clicked();
    void on_pushButtonSave_clicked();
    void on_pushButtonAbout_clicked();
    void on_pushButtonDump_clicked();
    // The selected table's column profile, read as server work, in a view of its own.
    void on_pushButtonProfile_clicked();
    // The plan of the picked table or of the whole schema, reviewed, then applied.
    void on_pushButtonPlan_clicked();
    // The versions of the picked table or of the whole schema; in Edit mode one reverted.
    void on_pushButtonHistory_clicked();
    // The grid's last edit taken back (Ctrl+Z), or the last taken back made again (Ctrl+Shift+Z).
    void on_pushButtonUndo_clicked();
    void on_pushButtonRedo_clicked();
    void VTViewModeChanged(int index);
    void saveSchema();
    // After a save refused because another program changed the table: the table read
    // again with this window's edits on top, to be looked at and saved.
    void reloadWithEdits();
    void updateColumnsFromGrid(bool resetVAs);
    void highlight(QTableWidgetItem* item, bool state);
    char* formatToolTipText(db_index_t* indexList);
    char* getVColToolTip();
    void showButtons(int view);

private:
    friend struct SchemaProbe; // widget tests

    void start_up(const QStringList& arguments);
    [[noreturn]] void fatal(const char* text);
    void run_schema_check();

    // tree
    void buildTree(DBINFO* dbInfo);
    void addTableItems(DBINFO* dbInfo, QTreeWidgetItem* catalogItem, const QString& schemaName,
                       db_table_t* tables);
    void updateLabels();
    QTreeWidgetItem* findTableItem();
    void replaceVirtualTableItems(QTreeWidgetItem* tableItem);

    // grid
    void fillGrid(const QString& table, const QString& virtualTable, int page, int keep);
    void setGridHeaders(int view);
    void fillTableGrid(const QString& table, int page, int keep);
    void fillVirtualTableGrid(const QString& table, const QString& virtualTable, int page, int keep);
    void fillDriverViewGrid(const QString& table, const QString& virtualTable);
    void fillColumnPage(const QString& table, const QString& virtualTable, int page, int keep);
    void finishFill(int view);
    void addColumnRow(bool insideVirtualTable, const char* sqlName, int sqlType, db_index_t* indexes,
                      const char* mongoName, int mongoType, int length, int precision, int scale,
                      bool visible, bool virtualArray);
    void addDriverViewRow(const char* sqlName, int sqlType, const char* mongoName, int mongoType,
                          int length);
    void addVirtualTableCheckBox(int row, bool ticked);
    void removeVirtualTableCheckBox(int row);
    bool findNewColumnRow(QTableWidget* grid, int* row);
    bool isVirtualTableChecked(QTableWidget* grid, int row);
    bool isColumnVisible(QTableWidget* grid, int row);
    int countVisibleRows(QTableWidget* grid);
    void cellText(char* out, int row, int column);
    QByteArray cellBytes(int row, int column);
    int insertionRow();
    void remapRowWidgets();

    // edit checks
    void checkCell(int row, int column);
    void warn(const QString& warning);
    bool markDuplicates(int row, int column);
    bool checkNumber(QTableWidgetItem* item);
    int countDots(const char* text);

    // undo of grid edits: every edit is recorded as the rows it changed
    grid_row_t gridRow(int row);
    bool setGridRow(int row, const grid_row_t& state); // true: its Virtual Table tick changed
    void recordGridEdit(int column);
    void stepGridEdit(bool back);
    void resetGridUndo(bool edited_before);
    void snapshotGridRows();
    void showUndoState();
    grid_edits_t grid_edits;
    std::vector<grid_row_t> shown_rows; // the grid as the last recorded edit left it
    bool restoring_rows = false;
    bool records_rewritten = false; // the records were taken from the grid since they were read
    TreeFilter* tree_filter = nullptr;

    // sample
    void clearGrids();
    void paging_moved(int page);

    // dump
    bool append_dump_text(const char* bytes, long long size);

    // history: a version reverted after its dry run and the user's yes
    void revertVersion(int64_t number);
    // After a change to the schema: the tree read again and the table shown again.
    void readTreeAgain();

    void process_pending_events();

    // server work
    void setWorkControlsEnabled(bool enabled);
    void finishPendingClose();
    // What a failed read says in errorMsg (plain words, naming the server) and, with the
    // library's own text, in the -debug file.
    void noteReadFault(const QString& what, int side, const bson_error_t* error);
    // The -debug line of a read fault already told in the window: its line and the library's words.
    void debugReadFault(const QString& line, const bson_error_t* error);
    template <typename Read> void showSampleRows(DBINFO* dbInfo, Read read); // read(rows, error)
    bool started_up = false; // start-up's own work runs on the window's thread
    bool working = false;
    unsigned works = 0; // pieces of work started, for the tests
    bool cancel_requested = false;
    bool saving = false; // a save, its questions included, is under way: a close waits for it
    bool busy_bar = false;
    QWidget* focus_before_work = nullptr; // given focus back once the work is over
    enum { CLOSE_NONE, CLOSE_BY_EXIT, CLOSE_BY_WINDOW } close_pending = CLOSE_NONE;
    std::vector<std::pair<QWidget*, bool>> disabled_for_work;
};

#endif
