// The widget tree and first states of the main window, and its message boxes.
#include "tests/support/test_env.h"
#include "tests/support/ui_support.h"

#include <QApplication>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTableWidget>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

TEST(Window, AboutBox)
{
    BoxRecorder boxes;
    auto w = make_window(window_arguments("window_about", "", {}));
    (void)w;
}

} // namespace
