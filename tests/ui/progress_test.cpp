// The status bar's progress bar: collections done of the total, then hidden.
#include "tests/support/ui_support.h"

#include <QApplication>
#include <QProgressBar>
#include <gtest/gtest.h>

using namespace testenv;

// The bar's course, also in a window not shown yet: "show done/total", "done/total" while shown, "hide".
struct BarTrace : QObject {
    texts_t seen;
    QProgressBar* bar = nullptr;
    BarTrace() { qApp->installEventFilter(this); }
    ~BarTrace() override { qApp->removeEventFilter(this); }
    std::string at(int value) { return std::to_string(value) + "/" + std::to_string(bar->maximum()); }
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* found = qobject_cast<QProgressBar*>(object);
        if (found && !bar && found->objectName() == "progressBar")
            connect(bar = found, &QProgressBar::valueChanged, [this](int v) {
                if (!bar->isHidden())
                    seen.push_back(at(v));
            });
        if (found && found == bar && event->type() == QEvent::ShowToParent)
            seen.push_back("show " + at(bar->value()));
        else if (found && found == bar && event->type() == QEvent::HideToParent && !seen.empty())
            seen.push_back("hide");
        return false;
    }
};

TEST(ProgressBar, CountsCollectionsToTheTotalAndHides)
{
    const struct {
        int collections; // at the first start
        bool added, view_only; // one added after a start that created the schema; no schema
        texts_t expected;
    } rows[] = {
        {3, false, false, {"show 0/3", "1/3", "2/3", "3/3", "hide"}},                          // creation
        {1, true, false, {"show 0/2", "1/2", "2/2", "hide"}},                                  // synchronisation
        {2, false, true, {"show 0/1", "1/1", "hide", "show 0/1", "1/1", "hide"}}, // first table, then a pick
    };
    for (const auto& row : rows) {
        WindowOnData data;
        for (int i = 0; i < row.collections; ++i)
            data.insert("c" + std::to_string(i), "{\"n\": 1}");
        BoxRecorder boxes; // Yes: create, synchronise, view without a schema
        if (row.added) {
            data.open().reset();
            data.insert("added", "{\"n\": 1}");
        }
        BarTrace trace;
        Schema w(window_arguments(data.data, row.view_only ? "" : data.schema));
        if (row.view_only)
            SchemaProbe{&w}.pick("c1");
        EXPECT_EQ(trace.seen, row.expected) << row.collections;
        EXPECT_TRUE(w.findChild<QProgressBar*>("progressBar")->isHidden());
    }
}
