// The status bar's progress bar: collections done of the total, then hidden.
#include "tests/support/ui_support.h"

#include <QApplication>
#include <QEvent>
#include <QProgressBar>
#include <gtest/gtest.h>

using namespace testenv;

namespace {

// What the bar shows on screen: "show done/total" when it appears, "done/total" as it moves, "hide".
struct BarTrace : QObject {
    std::vector<std::string> seen;
    BarTrace() { qApp->installEventFilter(this); }
    ~BarTrace() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* bar = qobject_cast<QProgressBar*>(object);
        if (!bar || bar->objectName() != "progressBar")
            return false;
        auto at = [bar](int v) { return std::to_string(v) + "/" + std::to_string(bar->maximum()); };
        if (event->type() == QEvent::Show) {
            seen.push_back("show " + at(bar->value()));
            connect(bar, &QProgressBar::valueChanged, this, [this, at](int v) { seen.push_back(at(v)); },
                    Qt::UniqueConnection);
        } else if (event->type() == QEvent::Hide) {
            seen.push_back("hide");
        }
        return false;
    }
};

struct progress_row_t {
    const char* name;
    int collections;   // in the data database at the first start
    int added;         // after a first start that created the schema
    bool view_only;
    std::vector<std::string> expected;
};

} // namespace

TEST(ProgressBar, CountsCollectionsToTheTotalAndHides)
{
    const progress_row_t rows[] = {
        {"creation at start-up", 3, 0, false, {"show 0/3", "1/3", "2/3", "3/3", "hide"}},
        {"synchronisation at start-up", 1, 1, false, {"show 0/2", "1/2", "2/2", "hide"}},
        {"View Only pick", 2, 0, true, {"show 0/1", "1/1", "hide"}},
    };
    for (const progress_row_t& row : rows) {
        SCOPED_TRACE(row.name);
        WindowOnData data("progress");
        for (int i = 0; i < row.collections; ++i)
            data.insert("c" + std::to_string(i), "{\"n\": 1}");
        BoxRecorder boxes; // Yes: create, synchronise, view without a schema
        if (row.added) {
            data.open(boxes).reset();
            data.insert("added", "{\"n\": 1}");
        }
        BarTrace trace;
        std::unique_ptr<Schema> w = row.view_only ? make_window(window_arguments(data.data, "")) : data.open(boxes);
        if (row.view_only) {
            w->show(); // as the process entry does when start-up is over
            SchemaProbe(w.get()).press(tree_item(w.get(), "c1"));
        }
        EXPECT_EQ(trace.seen, row.expected);
        EXPECT_TRUE(w->findChild<QProgressBar*>("progressBar")->isHidden());
    }
}
