// History: the versions of the table shown (or of the whole schema), what each changed,
// and in Edit mode a version reverted after its dry run and a question.
#include "ui/schema.h"

#include "core/message.h"
#include "store/analysis/drift.h"
#include "store/analysis/history.h"
#include "store/write/journal.h"
#include "store/read/read.h"
#include "startup/told.h"
#include "ui/history_view.h"
#include "ui_history.h"
#include "ui_schema.h"

#include <QLabel>
#include <QTreeWidget>
#include <cstring>
#include <string>

namespace {

QByteArray version_text(const char* format, int64_t number)
{
    return QString(format).arg(number).toUtf8();
}

// What a revert writes, as the question's detail: a long plan is cut, the count told.
QString plan_html(const drift_t* plan)
{
    const QStringList lines = QString::fromUtf8(drift_text(plan).c_str()).split('\n', Qt::SkipEmptyParts);
    const int shown = 20;
    QString text = lines.isEmpty() ? QString("The schema already holds what it replaced.")
                                   : QStringList(lines.mid(0, shown)).join('\n');
    if (lines.size() > shown)
        text += QString("\n... and %1 more").arg(lines.size() - shown);
    return text.toHtmlEscaped().replace('\n', "<br>");
}

} // namespace

void Schema::on_pushButtonHistory_clicked()
{
    if (dbinfo.mode == MODE_VIEW_ONLY)
        return;
    if (dbinfo.mode == MODE_EDIT)
        schema_changed(nullptr); // the history holds what was saved; a revert reads the table again
    // The database picked in the tree: the whole schema; else the table shown.
    const QTreeWidgetItem* picked = ui->treeWidget->currentItem();
    const bool whole = !picked || !picked->parent();
    const QString table = dbinfo.virtual_table.isEmpty() ? dbinfo.table : dbinfo.virtual_table;
    std::vector<std::string> tables;
    if (!whole && !table.isEmpty())
        tables.push_back(table.toStdString());

    std::vector<version_t> versions;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    bool listed = false;
    ui->errorMsg->setText("History: reading, please wait ...");
    bool done = serverWork([&] { listed = list_versions(&dbinfo, tables, &versions, &error); });
    ui->errorMsg->setText("");
    if (!done || !listed) {
        show_message("The history of the schema could not be read.", !done ? "cancelled" : error.message, BTN_OK,
                     BTN_OK);
        return;
    }

    auto read = [this](int64_t number, drift_t** differences, QString* why) {
        version_t version;
        int code = HISTORY_OK;
        bson_error_t failed;
        std::memset(&failed, 0, sizeof failed);
        bool found = false;
        if (!serverWork([&] { found = version_differences(&dbinfo, number, &version, differences, &code, &failed); }))
            *why = "cancelled.";
        else if (!found)
            *why = code == HISTORY_NO_SUCH_VERSION ? "it is no longer kept." : QString::fromUtf8(failed.message);
        return found;
    };
    HistoryView view(versions, dbinfo.mode == MODE_EDIT, read, [this] { cancelWork(); }, this);
    view.setObjectName("historyView");
    view.ui->historyTitle->setText(tables.empty()
                                       ? "Versions of the schema '" + QString::fromUtf8(dbinfo.md_database) + "'"
                                       : "Versions of '" + table + "'");
    if (!versions.empty())
        view.showVersion(0);
    if (view.exec() != QDialog::Accepted || dbinfo.mode != MODE_EDIT)
        return;
    revertVersion(view.selectedVersion());
}

void Schema::revertVersion(int64_t number)
{
    // What it would write first, then the question, then the write (which reads and
    // checks all again under the lock); refused over later versions of its tables unless
    // the user agrees to revert over them.
    revert_t r;
    bool force = false;
    auto attempt = [&](bool dry_run) {
        ui->errorMsg->setText(dry_run ? "History: reading what the revert writes, please wait ..."
                                      : "History: reverting, please wait ...");
        bool done = serverWork([&] { revert_version(&dbinfo, number, force, dry_run, &r); });
        ui->errorMsg->setText("");
        return done;
    };
    // Refused over later versions: asks to go on over them.
    auto over_later = [&] {
        std::string text = "Version " + std::to_string(number) + " is not reverted: version" +
                           (r.later.size() > 1 ? "s " : " ") + version_numbers(r.later) + " changed its tables since.";
        std::string informative = std::string("Press 'Yes' to revert it anyway, over ") +
                                  (r.later.size() > 1 ? "them" : "it") + ", or 'No' to leave the schema as it is.";
        return show_message(text.c_str(), informative.c_str(), BTN_YES_NO, BTN_YES) == BTN_YES;
    };
    // Any other failure is told: false then.
    auto made = [&](bool done, bool dry_run) {
        if (r.code == HISTORY_OK && (dry_run ? done : r.version != 0))
            return true;
        std::string text = version_text("Version %1 was not reverted.", number).toStdString(), informative;
        if (r.code == HISTORY_WRITE_FAILED) {
            informative = change_outcome_text(r.outcome, r.told);
        } else if (!done || r.code == HISTORY_OK) {
            informative = "The revert was cancelled.\nNothing was written.";
        } else if (r.code == HISTORY_NO_SUCH_VERSION) {
            informative = "It is no longer kept (the newest 1,000 are).\nNothing was written.";
        } else {
            text = "The history of the schema could not be read.";
            informative = r.told + "\nNothing was written.";
        }
        show_message(text.c_str(), informative.c_str(), BTN_OK, BTN_OK);
        return false;
    };
    for (bool dry_run = true;;) {
        bool done = attempt(dry_run);
        // Refused after the dry run, or at the write when another program made a later
        // version since: asked again over them, from the dry run.
        if (r.code == HISTORY_LATER_VERSIONS && !force) {
            if (!over_later())
                return free_revert(&r);
            force = true;
            dry_run = true;
            continue;
        }
        if (!made(done, dry_run))
            return free_revert(&r);
        if (!dry_run)
            break;
        const QByteArray question = version_text("Revert version %1?", number);
        const QByteArray plan =
            (plan_html(r.plan) + "<br><br>Press 'Yes' to write it or 'No' to leave the schema as it is.").toUtf8();
        if (show_message(question.constData(), plan.constData(), BTN_YES_NO, BTN_YES) != BTN_YES)
            return free_revert(&r);
        dry_run = false;
    }
    const int64_t version = r.version;
    free_revert(&r);
    readTreeAgain();
    ui->errorMsg->setText(QString("Reverted version %1 as version %2.").arg(number).arg(version));
}

void Schema::readTreeAgain()
{
    // Tables may have come or gone: the tree is read again, then the table shown again.
    ui->treeWidget->clear();
    serverWork([&] { read_table_tree(&dbinfo); });
    buildTree(&dbinfo);
    release_table_tree(&dbinfo);
    clearGrids();
    if (QTreeWidgetItem* item = findTableItem()) {
        ui->treeWidget->setCurrentItem(item);
        dbinfo.virtual_table = "";
        dbinfo.qualified_table.clear(); // read afresh, not kept from before
        clicked_on_Tree(item, 0);
    }
}
