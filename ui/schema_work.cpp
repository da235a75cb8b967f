// Server work off the window's thread: the one place where every action's requests run,
// with the controls that would start more work disabled meanwhile, Cancel, and a close
// asked for while work runs.
#include "ui/schema.h"

#include "core/connect.h"
#include "core/message.h"
#include "core/secrets.h"
#include "core/wire.h"
#include "core/work.h"
#include "ui_schema.h"

#include <QComboBox>
#include <QDateTime>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>

namespace {
void window_wait(void* context, int waited_ms)
{
    static_cast<Schema*>(context)->whileWorking(waited_ms);
}

// A wait shorter than this shows nothing new; a longer one shows a busy bar and Cancel.
const int cancel_after_ms = 2000;
}

bool Schema::serverWork(const std::function<void()>& work)
{
    if (!started_up) { // start-up keeps to the window's thread
        work();
        return true;
    }
    if (working) // one piece at a time: the clients serve one thread at a time
        return false;
    working = true;
    ++works;
    setWorkControlsEnabled(false);
    // A Cancel or a close asked for during this action ends the rest of its work at once.
    if (cancel_requested || close_pending != CLOSE_NONE)
        cancel_server_work();
    void* previous_context = nullptr;
    brolix_wait_fn previous = set_wait_routine(window_wait, this, &previous_context);
    bool done = run_server_work(work);
    set_wait_routine(previous, previous_context);
    if (!done)
        renew_connections(&dbinfo);
    cancelButton->hide();
    if (busy_bar) {
        progressBar->hide();
        progressBar->setRange(0, 1);
        progressBar->setTextVisible(true);
        busy_bar = false;
    }
    setWorkControlsEnabled(true);
    working = false;
    if (close_pending != CLOSE_NONE)
        QTimer::singleShot(0, this, [this] { finishPendingClose(); });
    return done;
}

void Schema::whileWorking(int waited_ms)
{
    if (cancel_requested || close_pending != CLOSE_NONE)
        cancel_server_work();
    if (waited_ms >= cancel_after_ms && cancelButton->isHidden()) {
        // A run over the collections counts on the bar already.
        if (progressBar->isHidden()) {
            busy_bar = true;
            progressBar->setRange(0, 0);
            progressBar->setTextVisible(false);
            progressBar->show();
        }
        cancelButton->setEnabled(!cancel_requested);
        cancelButton->show();
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

void Schema::cancelWork()
{
    if (!working)
        return;
    cancel_requested = true;
    cancel_server_work();
    cancelButton->setEnabled(false);
}

bool Schema::eventFilter(QObject* watched, QEvent* event)
{
    // The rest of the action's work goes the way of the work cancelled, up to the user's
    // next click or key (the answer to the question a cancelled save asks among them).
    if (cancel_requested && !working &&
        (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress))
        cancel_requested = false;
    return QMainWindow::eventFilter(watched, event);
}

bool Schema::cancelling() const
{
    return working && (cancel_requested || close_pending != CLOSE_NONE);
}

void Schema::finishPendingClose()
{
    // The action goes on (its last piece of work, or the save once its questions are
    // answered, asks again): one question at a time.
    if (working || saving || close_pending == CLOSE_NONE)
        return;
    bool by_exit = close_pending == CLOSE_BY_EXIT;
    close_pending = CLOSE_NONE;
    cancel_requested = false;
    if (by_exit)
        on_pushButtonExit_clicked();
    else
        close();
}

void Schema::setWorkControlsEnabled(bool enabled)
{
    if (enabled) {
        for (auto& control : disabled_for_work)
            control.first->setEnabled(control.second);
        disabled_for_work.clear();
        // Disabling the focused control moved focus along the tab order (to Exit, where a
        // Space would end the program): it goes back to where the user left it.
        if (focus_before_work && focus_before_work->isEnabled() && focus_before_work->isVisible())
            focus_before_work->setFocus(Qt::OtherFocusReason);
        focus_before_work = nullptr;
        return;
    }
    focus_before_work = focusWidget();
    // Exit stays: it ends the work and then closes.
    for (QWidget* control : std::initializer_list<QWidget*>{
             ui->treeWidget, ui->tableWidget, ui->dataWidget, ui->viewMode, ui->pushButtonSave,
             ui->pushButtonInsert, ui->pushButtonRemove, ui->pushButtonFirstPage, ui->pushButtonPageUp,
             ui->pushButtonPageDown, ui->pushButtonLastPage, ui->pushButtonDump, ui->pushButtonAbout,
             ui->pushButtonProfile, ui->pushButtonPlan, ui->pushButtonHistory, ui->pushButtonUndo,
             ui->pushButtonRedo, ui->treeFilter}) {
        disabled_for_work.emplace_back(control, control->isEnabled());
        control->setEnabled(false);
    }
}

void Schema::noteReadFault(const QString& what, int side, const bson_error_t* error)
{
    char plain[DBINFO_TEXT];
    if (cancel_requested || close_pending != CLOSE_NONE)
        std::snprintf(plain, sizeof plain, "cancelled");
    else
        describe_request_failure(&dbinfo, side, error, plain);
    QString line = what + " could not be read: " + QString::fromUtf8(plain) + ".";
    // A server that keeps failing fails each edit's refresh the same way: told once.
    if (!read_fault.contains(line))
        read_fault += (read_fault.isEmpty() ? "" : " ") + line;
    ui->errorMsg->setText(edit_warning.isEmpty() ? read_fault : edit_warning + " " + read_fault);
    debugReadFault(line, error);
}

// The line goes to the -debug file too, with the library's own words, for whoever looks
// into it later.
void Schema::debugReadFault(const QString& line, const bson_error_t* error)
{
    append_debug_line(&dbinfo, (line.toUtf8() + " (" + scrub_secrets(error->message).c_str() + ")").toStdString());
}
