// History in the window: the versions of the table shown and what the selected one changed;
// a revert writes only after its question is answered Yes, and over later versions of its
// tables only after a second Yes. Read Only lists the versions without Revert; View Only has
// no History.
#include "tests/support/proxy.h"
#include "tests/support/ui_support.h"
#include "ui/history_view.h"
#include "ui_history.h"

#include <QTimer>

using namespace testenv;

namespace {

struct seen_t {
    texts_t versions, what, change; // the versions' numbers and doers; the selected one's change
    bool revert = false;      // Revert offered
};

// The view once it is up (it comes after the versions are read, as server work): the row
// of version select is selected, then Revert (when revert) or Close is clicked.
seen_t through_view(Schema* w, const std::string& select, bool revert)
{
    seen_t seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        HistoryView* view = w->findChild<HistoryView*>("historyView");
        if (!view || !view->isVisible())
            return;
        poll.stop();
        seen.versions = column_texts(view->ui->versionGrid, 0);
        seen.what = column_texts(view->ui->versionGrid, 3);
        for (size_t row = 0; row < seen.versions.size(); ++row)
            if (seen.versions[row] == select)
                view->showVersion(static_cast<int>(row));
        seen.change = column_texts(view->ui->changeGrid, 1);
        seen.revert = !view->ui->pushButtonRevert->isHidden();
        (revert ? view->ui->pushButtonRevert : view->ui->pushButtonClose)->click();
    });
    poll.start(20);
    SchemaProbe{w}.ui()->pushButtonHistory->click();
    return seen;
}

TEST(History, ListsShowsAndRevertsOnlyAfterYes)
{
    WindowOnData data;
    data.insert("orders", R"({"_id": 1, "no": 1, "who": "Ann"})");
    auto orders = [&] { return data.documents(R"({"sql_table": "orders"})"); };
    BoxRecorder boxes;
    SchemaProbe p{data.open()}; // version 1: the schema created
    const texts_t created = orders();
    auto rename = [&](const char* from, const char* to) { // a version of the window's save
        p.pick("orders");
        p.type(p.row_of(from), 0, to);
        boxes.answers = {QMessageBox::Yes};
        p.ui()->pushButtonSave->click();
    };
    rename("who", "customer"); // 2
    data.insert("items", R"({"_id": 1, "sku": "a"})");
    ASSERT_EQ(data.cli("sync --yes"), 0); // 3: items added, every table's document written
    const texts_t before_4 = orders();
    rename("no", "number"); // 4
    const texts_t after_4 = orders();
    ASSERT_NE(after_4, before_4);

    // Each row reads the view afresh: its versions, the selected one's change, the boxes
    // and what was written, the grid read again after a revert.
    const texts_t to_4 = {"4", "3", "2", "1"}, to_5 = {"5", "4", "3", "2", "1"};
    // The window's save writes no length for the integer columns that creation gave 255.
    const texts_t change_2 = {"column _id: length 255 -> 0", "column no: length 255 -> 0",
                              "column who: SQL name who -> customer"},
                  change_4 = {"column no: SQL name no -> number"};
    // 5 took 4 back: of the versions after 2, only 3 stands.
    const std::string later = "Version 2 is not reverted: version 3 changed its tables since.";
    const struct {
        const char* select;
        bool revert;
        std::deque<int> answers;
        const texts_t &versions, &change;
        texts_t boxes;            // the texts of those shown
        const texts_t& documents; // of orders afterwards
        texts_t grid;             // the SQL names shown afterwards
        const char* said;         // in the status line after a revert
    } rows[] = {
        {"2", false, {}, to_4, change_2, {}, after_4, {"_id", "customer", "number"}, ""},
        {"4", true, {QMessageBox::No}, to_4, change_4, {"Revert version 4?"}, after_4, {"_id", "customer", "number"},
         ""},
        {"4", true, {QMessageBox::Yes}, to_4, change_4, {"Revert version 4?"}, before_4, {"_id", "customer", "no"},
         "Reverted version 4 as version 5."},
        // Version 3 came after 2: told, and nothing written without the second Yes; with
        // it, written over it.
        {"2", true, {QMessageBox::No}, to_5, change_2, {later}, before_4, {"_id", "customer", "no"}, ""},
        {"2", true, {QMessageBox::Yes, QMessageBox::No}, to_5, change_2, {later, "Revert version 2?"}, before_4,
         {"_id", "customer", "no"}, ""},
        {"2", true, {QMessageBox::Yes, QMessageBox::Yes}, to_5, change_2, {later, "Revert version 2?"}, created,
         {"_id", "no", "who"}, "Reverted version 2 as version 6."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.select) + " answered " + std::to_string(row.answers.size()));
        p.pick("orders");
        boxes.boxes.clear();
        boxes.answers = row.answers;
        seen_t seen = through_view(p.w, row.select, row.revert);
        EXPECT_EQ(seen.versions, row.versions);
        EXPECT_EQ(seen.change, row.change);
        EXPECT_TRUE(seen.revert);
        EXPECT_EQ(boxes.texts(), row.boxes);
        EXPECT_EQ(orders(), row.documents);
        EXPECT_EQ(column_texts(p.grid(), 0), row.grid);
        if (*row.said) {
            EXPECT_EQ(p.ui()->errorMsg->text().toStdString(), row.said);
        }
        if (boxes.boxes.size() == 1 && row.select[0] == '4') { // the question says what the revert writes
            EXPECT_EQ(boxes.boxes[0].informative.rfind("orders: column no: SQL name number -&gt; no<br><br>", 0), 0u)
                << boxes.boxes[0].informative;
        }
    }

    // Read Only (no validate): the versions listed, no Revert. View Only: no History.
    Proxy proxy;
    ASSERT_TRUE(
        proxy.start("", server(), {"--grant", data.schema + "=read", "--grant", data.schema + "_journal=read"}));
    auto read_only = data.open({"-ss", proxy.address().c_str()});
    ASSERT_TRUE(read_only->windowTitle().endsWith("(Read Only Mode)"));
    SchemaProbe{read_only.get()}.pick("orders");
    seen_t seen = through_view(read_only.get(), "2", false);
    EXPECT_EQ(seen.versions, (texts_t{"6", "5", "4", "3", "2", "1"}));
    EXPECT_EQ(seen.what, (texts_t{"brolix revert version 2", "brolix revert version 4", "brolix save orders",
                                  "brolix-cli sync " + data.data, "brolix save orders",
                                  "brolix creation " + data.schema}));
    EXPECT_EQ(seen.change, change_2);
    EXPECT_FALSE(seen.revert);
    Schema view_only(window_arguments(data.data, ""));
    EXPECT_TRUE(SchemaProbe{&view_only}.ui()->pushButtonHistory->isHidden());
}

} // namespace
