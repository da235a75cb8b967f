// The widget tree and first states of the main window, its boxes, About, Exit and close.
#include "tests/support/test_env.h"
#include "tests/support/ui_support.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

// A window in View Only mode on an empty data database: start-up leaves every
// widget as the widget set made it.
struct FreshWindow : ::testing::Test {
    BoxRecorder boxes;
    std::unique_ptr<Schema> w;
    void SetUp() override
    {
        w = make_window(window_arguments(unique_name("win_empty"), ""));
        ASSERT_EQ(boxes.boxes.size(), 1u);
        EXPECT_EQ(boxes.boxes[0].text, "A schema name is not defined for the datasource.");
    }
    Ui_Schema* ui() { return SchemaProbe(w.get()).ui(); }
};

struct cell_t {
    const char* name;
    int row, column, row_span, column_span;
};

TEST_F(FreshWindow, WidgetTreeCellsAndSpans)
{
    QGridLayout* grid = ui()->gridLayout;
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->spacing(), 6);
    int l, t, r, b;
    grid->getContentsMargins(&l, &t, &r, &b);
    EXPECT_EQ(l, 11);
    EXPECT_EQ(t, 11);
    EXPECT_EQ(r, 11);
    EXPECT_EQ(b, 11);
    const cell_t cells[] = {
        {"label", 0, 0, 1, 1},           {"tableTitle", 0, 1, 1, 1},
        {"viewMode", 0, 11, 1, 1},       {"labelCurrentSchema", 0, 13, 1, 1},
        {"treeWidget", 1, 0, 8, 1},      {"tableWidget", 1, 1, 1, 13},
        {"dataMsg", 4, 1, 1, 1},         {"pushButtonFirstPage", 4, 8, 1, 1},
        {"pushButtonPageUp", 4, 9, 1, 1}, {"pushButtonPageDown", 4, 10, 1, 1},
        {"pushButtonLastPage", 4, 11, 1, 1}, {"pushButtonInsert", 4, 12, 1, 1},
        {"pushButtonRemove", 4, 13, 1, 1}, {"dataWidget", 8, 1, 1, 13},
        {"errorMsg", 9, 0, 1, 4},        {"pushButtonAbout", 9, 10, 1, 1},
        {"pushButtonDump", 9, 11, 1, 1}, {"pushButtonSave", 9, 12, 1, 1},
        {"pushButtonExit", 9, 13, 1, 1},
    };
    for (const cell_t& c : cells) {
        QWidget* widget = w->findChild<QWidget*>(c.name);
        ASSERT_NE(widget, nullptr) << c.name;
        int index = grid->indexOf(widget);
        ASSERT_GE(index, 0) << c.name;
        int row, column, rows, columns;
        grid->getItemPosition(index, &row, &column, &rows, &columns);
        EXPECT_EQ(row, c.row) << c.name;
        EXPECT_EQ(column, c.column) << c.name;
        EXPECT_EQ(rows, c.row_span) << c.name;
        EXPECT_EQ(columns, c.column_span) << c.name;
    }
    // The two spacers.
    int spacers = 0;
    for (int i = 0; i < grid->count(); ++i) {
        QSpacerItem* spacer = grid->itemAt(i)->spacerItem();
        if (!spacer)
            continue;
        ++spacers;
        int row, column, rows, columns;
        grid->getItemPosition(i, &row, &column, &rows, &columns);
        if (row == 0) {
            EXPECT_EQ(column, 2);
            EXPECT_EQ(spacer->sizeHint(), QSize(20, 22));
            EXPECT_EQ(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Minimum);
            EXPECT_EQ(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        } else {
            EXPECT_EQ(row, 4);
            EXPECT_EQ(column, 2);
            EXPECT_EQ(spacer->sizeHint(), QSize(230, 20));
            EXPECT_EQ(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
            EXPECT_EQ(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);
        }
    }
    EXPECT_EQ(spacers, 2);
    EXPECT_EQ(w->statusBar()->objectName(), "statusBar");
    EXPECT_EQ(w->objectName(), "Schema");
    EXPECT_EQ(w->centralWidget()->objectName(), "centralWidget");
    EXPECT_EQ(w->centralWidget()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    EXPECT_EQ(w->centralWidget()->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

TEST_F(FreshWindow, TextsFontsSizesAndFirstStates)
{
    Ui_Schema* u = ui();
    EXPECT_EQ(w->size(), QSize(1080, 556));
    EXPECT_EQ(w->font().family(), "Arial");
    EXPECT_EQ(w->font().pointSize(), 9);
    EXPECT_EQ(u->label->text(), "Database and Tables");
    EXPECT_EQ(u->label->font().pointSize(), 9);
    EXPECT_EQ(u->dataMsg->text(), "Data Sample ");
    EXPECT_EQ(u->errorMsg->text(), "");
    EXPECT_EQ(u->viewMode->count(), 2);
    EXPECT_EQ(u->viewMode->itemText(0), "Detail View");
    EXPECT_EQ(u->viewMode->itemText(1), "Driver View");
    EXPECT_EQ(u->viewMode->currentIndex(), 0);
    EXPECT_EQ(u->viewMode->maximumHeight(), 21);
    EXPECT_EQ(u->viewMode->focusPolicy(), Qt::ClickFocus);
    EXPECT_EQ(u->treeWidget->minimumWidth(), 250);
    EXPECT_EQ(u->treeWidget->maximumWidth(), 350);
    EXPECT_EQ(u->treeWidget->indentation(), 16);
    EXPECT_TRUE(u->treeWidget->isHeaderHidden());
    EXPECT_FALSE(u->treeWidget->isSortingEnabled());
    EXPECT_FALSE(u->treeWidget->isAnimated());
    EXPECT_EQ(u->treeWidget->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(u->tableWidget->font().family(), "Arial");
    EXPECT_EQ(u->tableWidget->verticalScrollMode(), QAbstractItemView::ScrollPerPixel);
    EXPECT_EQ(u->tableWidget->horizontalScrollMode(), QAbstractItemView::ScrollPerPixel);
    EXPECT_FALSE(u->tableWidget->wordWrap());
    EXPECT_FALSE(u->tableWidget->verticalHeader()->isVisible());
    EXPECT_EQ(u->tableWidget->sizeAdjustPolicy(), QAbstractScrollArea::AdjustIgnored);
    EXPECT_FALSE(u->dataWidget->verticalHeader()->isVisible());
    EXPECT_FALSE(u->dataWidget->verticalHeader()->stretchLastSection());
    EXPECT_EQ(u->tableWidget->styleSheet(), "font-size: 11px;");
    EXPECT_EQ(u->dataWidget->styleSheet(), "font-size: 11px;");
    EXPECT_EQ(u->treeWidget->styleSheet(), "font-size: 11px;");

    struct {
        QPushButton* button;
        const char* text;
        bool enabled;
        int max_width;
    } buttons[] = {
        {u->pushButtonFirstPage, "First Page", true, 72}, {u->pushButtonPageUp, "Page Up", false, 72},
        {u->pushButtonPageDown, "Page Down", false, 72}, {u->pushButtonLastPage, "Last Page", true, 72},
        {u->pushButtonInsert, "Insert", false, 72},       {u->pushButtonRemove, "Remove", false, 72},
        {u->pushButtonAbout, "About", true, 72},           {u->pushButtonDump, "Dump Schema", true, 95},
        {u->pushButtonSave, "Save", false, 72},            {u->pushButtonExit, "Exit", true, 72},
    };
    for (const auto& b : buttons) {
        EXPECT_EQ(b.button->text(), b.text);
        EXPECT_EQ(b.button->isEnabled(), b.enabled) << b.text;
        EXPECT_EQ(b.button->maximumWidth(), b.max_width) << b.text;
    }
    EXPECT_EQ(u->pushButtonInsert->focusPolicy(), Qt::StrongFocus);
    EXPECT_FALSE(u->pushButtonInsert->autoDefault());
    EXPECT_EQ(w->windowTitle(), "Tarnwell MongoDB Schema Editor (View Only Mode)");
    EXPECT_EQ(u->labelCurrentSchema->text(), "Schema : <b>None</b>");
}

TEST_F(FreshWindow, AboutBoxAndBoxWidth)
{
    ui()->pushButtonAbout->click();
    ASSERT_EQ(boxes.boxes.size(), 2u);
    for (const shown_box_t& box : boxes.boxes) {
        EXPECT_EQ(box.title, "Tarnwell MongoDB Schema Editor");
        EXPECT_GE(box.width, 300) << box.text;
    }
    EXPECT_EQ(boxes.boxes[1].text, "Version 1.2.2");
    EXPECT_EQ(boxes.boxes[1].informative, "Built on 4th May 2016 16:00");
    EXPECT_EQ(boxes.boxes[1].buttons, int(QMessageBox::Ok));
    EXPECT_EQ(boxes.boxes[1].default_button, int(QMessageBox::Ok));
}

TEST_F(FreshWindow, ExitEndsTheEventLoopAndCloseIsAccepted)
{
    w->show();
    QTimer::singleShot(0, ui()->pushButtonExit, &QPushButton::click);
    QTimer::singleShot(5000, [] { QCoreApplication::exit(7); }); // would mean Exit did nothing
    EXPECT_EQ(QCoreApplication::exec(), 0);
    QCloseEvent event;
    QCoreApplication::sendEvent(w.get(), &event);
    EXPECT_TRUE(event.isAccepted());
    EXPECT_EQ(boxes.boxes.size(), 1u); // nothing edited: no question
}

TEST(StartUp, NoArgumentsShowsUsageAndExitsZero)
{
    EXPECT_EXIT(
        {
            BoxRecorder boxes(true);
            Schema window(QStringList{"brolix"});
        },
        ::testing::ExitedWithCode(0),
        "BOX\\[Tarnwell MongoDB Schema Editor\\|Invalid command line arguments. Usage is:");
}

TEST(StartUp, BadLineShowsUsageWithItsInformativeText)
{
    EXPECT_EXIT(
        {
            BoxRecorder boxes(true);
            Schema window(QStringList{"brolix", "-ssl", "yes"});
        },
        ::testing::ExitedWithCode(0), "\\|Please press OK to exit.\\]");
}

TEST(StartUp, UnknownDataSource)
{
    EXPECT_EXIT(
        {
            qputenv("ODBCINI", "/nonexistent/odbc.ini");
            qputenv("ODBCSYSINI", "/nonexistent");
            BoxRecorder boxes(true);
            Schema window(QStringList{"brolix", "-dsn", "no_such_source"});
        },
        ::testing::ExitedWithCode(0), "BOX\\[[^|]*\\|Datasource not found.\\|Please press OK to exit.\\]");
}

TEST(StartUp, ConnectionFailureExitsZero)
{
    EXPECT_EXIT(
        {
            BoxRecorder boxes(true);
            Schema window(QStringList{"brolix", "-ds", QString::fromStdString(dead_server()), "-db",
                                      "x", "-ss", QString::fromStdString(server()), "-sc", "y"});
        },
        ::testing::ExitedWithCode(0), "\\|Could not connect to Database - 'x'\\|MongoDB Error:");
}

} // namespace
