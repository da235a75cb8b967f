// Start-up sequence, message boxes and the window actions About, Exit and close.
#include "ui/schema.h"

#include "core/connect.h"
#include "core/message.h"
#include "core/records.h"
#include "core/secrets.h"
#include "core/work.h"
#include "startup/cmdline.h"
#include "startup/datasource.h"
#include "startup/schema_check.h"
#include "startup/start.h"
#include "store/read/read.h"
#include "ui/tree_filter.h"
#include "ui_schema.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGridLayout>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalMapper>
#include <QSpacerItem>
#include <QStatusBar>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::function<int(QMessageBox*)> Schema::message_box_hook;

namespace {
int window_message(void* context, const char* text, const char* informative, int buttons,
                   int default_button)
{
    Schema* window = static_cast<Schema*>(context);
    if (window->cancelling() && buttons == BTN_OK)
        return BTN_OK; // what the cancelled work left is told once it is over
    return window->show_message(text, informative, buttons, default_button);
}

void window_progress(void* context, int done, int total, const char*)
{
    static_cast<Schema*>(context)->show_progress(done, total);
}
}

Schema::Schema(QWidget* parent) : Schema(QCoreApplication::arguments(), parent) {}

Schema::Schema(const QStringList& arguments, QWidget* parent)
    : QMainWindow(parent), ui(new Ui_Schema), edited(false), left_with_edits(false),
      filling_grid(false), progressBar(nullptr)
{
    dbinfo_clear(&dbinfo);
    start_up(arguments);
}

Schema::~Schema()
{
    set_message_routine(nullptr, nullptr);
    set_progress_routine(nullptr, nullptr);
    // The clients stay open until the process ends; the lists of the current table go now.
    free_columns(dbinfo.columns);
    dbinfo.columns = nullptr;
    free_columns(read_columns);
    free_names(dbinfo.vt_names);
    dbinfo.vt_names = nullptr;
    free_table_refs(dbinfo.db_collections);
    dbinfo.db_collections = nullptr;
    free_table_refs(dbinfo.md_tables);
    dbinfo.md_tables = nullptr;
    release_table_tree(&dbinfo);
    delete ui;
}

void Schema::start_up(const QStringList& arguments)
{
    brolix_init(&dbinfo);
    sqltype_mapper = new QSignalMapper(this);
    mongotype_mapper = new QSignalMapper(this);
    virtuality_mapper = new QSignalMapper(this);
    visibility_mapper = new QSignalMapper(this);
    ui->setupUi(this);
    // Designer cannot place widgets in a status bar's own layout, so the bar is added here.
    progressBar = new QProgressBar;
    progressBar->setObjectName("progressBar");
    progressBar->setMaximumWidth(350);
    progressBar->setMaximumHeight(fontMetrics().height());
    progressBar->hide();
    ui->statusBar->addWidget(progressBar, 1);
    cancelButton = new QPushButton("Cancel");
    cancelButton->setObjectName("pushButtonCancel");
    cancelButton->hide();
    ui->statusBar->addPermanentWidget(cancelButton);
    connect(cancelButton, &QPushButton::clicked, this, &Schema::cancelWork);
    // Enter in the filter picks its first match the way a click on it does.
    tree_filter = new TreeFilter(ui->treeFilter, ui->treeWidget, [this](QTreeWidgetItem* item) {
        if (working)
            return;
        ui->treeWidget->setCurrentItem(item);
        clicked_on_Tree(item, 0);
    });
    for (auto step : {std::make_pair("Ctrl+Z", &Schema::on_pushButtonUndo_clicked),
                      std::make_pair("Ctrl+Shift+Z", &Schema::on_pushButtonRedo_clicked)}) {
        QAction* action = new QAction(this);
        action->setShortcut(QKeySequence(step.first));
        connect(action, &QAction::triggered, this, step.second);
        addAction(action);
    }
    QCoreApplication::instance()->installEventFilter(this);
    set_message_routine(window_message, this);
    set_progress_routine(window_progress, this);
    mongoc_init();

    start_steps_t steps;
    steps.parse = [&](DBINFO*) { return parseCommandLineArgs(arguments); };
    start_t started;
    if (!start_program(&dbinfo, steps, &started)) {
        if (started.stop == START_ARGUMENTS) {
            show_message(usage_text(), "Please press OK to exit.", BTN_OK, BTN_OK);
            std::exit(0);
        }
        if (started.stop == START_PASSWORDS || started.stop == START_DATA_SOURCE)
            fatal(started.text.c_str());
        if (started.stop == START_CONNECTION)
            std::exit(0);
    }
    if (!settle_told(&dbinfo, started))
        std::exit(0);

    run_schema_check();

    ui->tableWidget->setStyleSheet("font-size: 11px;");
    ui->dataWidget->setStyleSheet("font-size: 11px;");
    ui->treeWidget->setStyleSheet("font-size: 11px;");
    connect(ui->viewMode, SIGNAL(currentIndexChanged(int)), this, SLOT(VTViewModeChanged(int)),
            Qt::UniqueConnection);
    connect(ui->tableWidget, SIGNAL(itemChanged(QTableWidgetItem*)), this, SLOT(validateEdit()),
            Qt::UniqueConnection);
    // Applying a plan writes the schema: offered where saving is.
    ui->pushButtonPlan->setVisible(dbinfo.mode == MODE_EDIT);
    // The history is the schema's: there is none without one.
    ui->pushButtonHistory->setVisible(dbinfo.mode != MODE_VIEW_ONLY);
    // Only edits that can be saved are taken back.
    ui->pushButtonUndo->setVisible(dbinfo.mode == MODE_EDIT);
    ui->pushButtonRedo->setVisible(dbinfo.mode == MODE_EDIT);
    started_up = true;
}

void Schema::fatal(const char* text)
{
    show_message(text, "Please press OK to exit.", BTN_OK, BTN_OK);
    std::exit(0);
}

void Schema::brolix_init(DBINFO* dbInfo)
{
    dbinfo_init(dbInfo);
    std::snprintf(version, sizeof version, "%s", "Version " BROLIX_VERSION);
    std::snprintf(build_date, sizeof build_date, "%s", "Built on 4th May 2016 16:00");
}

bool Schema::parseCommandLineArgs(QStringList argList)
{
    return parse_command_line(&dbinfo, argList);
}

int Schema::show_message(const char* text, const char* informative, int buttons, int default_button)
{
    QMessageBox* box = new QMessageBox();
    box->setWindowTitle("Tarnwell MongoDB Schema Editor");
    box->setText(QString::fromLocal8Bit(scrub_secrets(text).c_str()));
    box->setInformativeText(QString::fromLocal8Bit(scrub_secrets(informative).c_str()));
    box->setStandardButtons(QMessageBox::StandardButtons(buttons));
    box->setDefaultButton(QMessageBox::StandardButton(default_button));
    QSpacerItem* spacer = new QSpacerItem(300, 0, QSizePolicy::Minimum, QSizePolicy::Expanding);
    QGridLayout* layout = static_cast<QGridLayout*>(box->layout());
    layout->addItem(spacer, layout->rowCount(), 0, 1, layout->columnCount());
    int answer = message_box_hook ? message_box_hook(box) : box->exec();
    delete box;
    return answer;
}

void Schema::applyTreeFilter(const QString& text)
{
    ui->treeFilter->setText(text);
}

void Schema::on_pushButtonAbout_clicked()
{
    show_message(version, build_date, BTN_OK, BTN_OK);
}

void Schema::on_pushButtonExit_clicked()
{
    if (working) { // the work ends as a failed read, then Exit goes on
        close_pending = CLOSE_BY_EXIT;
        cancel_server_work();
        return;
    }
    schema_changed(nullptr);
    QCoreApplication::quit();
}

void Schema::closeEvent(QCloseEvent* event)
{
    if (working) {
        if (close_pending == CLOSE_NONE)
            close_pending = CLOSE_BY_WINDOW;
        cancel_server_work();
        event->ignore();
        return;
    }
    schema_changed(nullptr);
    event->accept();
}

void Schema::process_pending_events()
{
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
}

void Schema::show_progress(int done, int total)
{
    if (done >= total) {
        progressBar->setValue(total);
        progressBar->hide();
    } else {
        if (done == 0) {
            progressBar->setRange(0, total);
            progressBar->setFormat(total == 1 ? "%v of %m collection" : "%v of %m collections");
        }
        progressBar->setValue(done);
        progressBar->show();
    }
    // Start-up runs before the window is first shown: there the bar only counts.
    if (!isVisible())
        return;
    // Paint it, but leave clicks and keys queued until the run is over.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}
