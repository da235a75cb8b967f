// The data or the schema server stopped (connection refused) or hung (SIGSTOP: it accepts
// and never answers) at each step of the editor's work, on FerretDB instances of the test's
// own. Each step returns, says what failed, and once the server is back the schema reads
// as before or as after (or the editor said which table is incomplete).
#include "core/connect.h"
#include "startup/schema_check.h"
#include "store/change/create.h"
#include "tests/support/ui_support.h"

#include <QDialog>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testenv;

namespace {

// One FerretDB on a loopback address no other test of this run holds (a lock file each).
struct Instance : OwnFerretDB {
    int lock = -1;
    explicit Instance(int skip)
    {
        for (int last = 50; last < 60 && lock < 0; ++last) {
            dir = build_dir() + "/servers/fault-" + std::to_string(last);
            std::filesystem::create_directories(dir);
            lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
            address = "127.0.0." + std::to_string(last);
            // A server that answers there already (left by a run that crashed) is no victim.
            if (lock >= 0 && (flock(lock, LOCK_EX | LOCK_NB) != 0 || server_answers(address) || skip-- > 0))
                close(lock), lock = -1;
        }
        std::filesystem::remove_all(dir + "/data");
    }
    ~Instance() { stop(), close(lock); }
    void fault(bool hang)
    {
        if (pid > 0 && hang) {
            // Hung once all its threads stopped: until then it may answer a request sent after the signal.
            int status = 0;
            if (kill(pid, SIGSTOP) == 0 && waitpid(pid, &status, WUNTRACED) == pid && !WIFSTOPPED(status))
                pid = -1;
        } else {
            stop();
        }
    }
    bool back() { return pid > 0 ? kill(pid, SIGCONT) == 0 : start(); }
};

// During creation: faults the victim before the second command of the kind named is sent,
// also when the data side is read over a pool (its clients report on threads of their own,
// and the first may still be under way).
struct {
    Instance* victim;
    bool hang;
    std::atomic<bool> armed;
    std::atomic<int> seen;
    std::string command;
} trigger;
mongoc_apm_callbacks_t* fault_callbacks()
{
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_started_cb(callbacks, [](const mongoc_apm_command_started_t* event) {
        if (trigger.command == mongoc_apm_command_started_get_command_name(event) && ++trigger.seen == 2 &&
            trigger.armed.exchange(false))
            trigger.victim->fault(trigger.hang);
    });
    return callbacks;
}
void observe(mongoc_client_t* client, int side, void*)
{
    if ((side == SIDE_SCHEMA) != (trigger.command == "insert"))
        return;
    mongoc_apm_callbacks_t* callbacks = fault_callbacks();
    mongoc_client_set_apm_callbacks(client, callbacks, nullptr);
    mongoc_apm_callbacks_destroy(callbacks);
}
void observe_pool(mongoc_client_pool_t* pool, void*)
{
    mongoc_apm_callbacks_t* callbacks = fault_callbacks();
    mongoc_client_pool_set_apm_callbacks(pool, callbacks, nullptr);
    mongoc_apm_callbacks_destroy(callbacks);
}
// Threads of the process: none is left running once a step is over.
size_t threads() { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); }

// Per table, the columns documents and (as "T/index") the index entries the schema holds.
std::map<std::string, size_t> schema_columns(Instance& schema)
{
    mongoc_client_t* client = fixture_client(schema.address);
    std::map<std::string, size_t> count;
    for (std::string t : {"alpha", "beta"}) {
        count[t] = read_json(client, "faults_schema", "columns", "{\"sql_table\": \"" + t + "\"}").size();
        count[t + "/index"] = read_json(client, "faults_schema", "index", "{\"sql_table\": \"" + t + "\"}").size();
    }
    mongoc_client_destroy(client);
    return count;
}
// The same of a schema created in full from the data below.
const std::map<std::string, size_t> whole = {{"alpha", 28}, {"alpha/index", 1}, {"beta", 2}, {"beta/index", 1}};

enum Step { STARTUP, CREATE, SYNC, PICK, PAGE, REFRESH, SAVE, DUMP, PROFILE, PLAN, HISTORY };
const char* const step_names[] = {"startup", "create", "sync",    "pick", "page",   "refresh",
                                  "save",    "dump",   "profile", "plan", "history"};
// Paging, a sample refresh, a dump and a profile never ask the schema server (a profile
// takes the saved types start-up read); a dump and the history not the data server.
bool asks_server(Step step, bool schema_side)
{
    return step != DUMP && (schema_side ? step != PAGE && step != REFRESH && step != PROFILE : step != HISTORY);
}
// Rows {side, fault, step} from the parameter: data or schema, stopped or hung, each step.
struct Fault : ::testing::TestWithParam<int> {};

TEST_P(Fault, StepAnswersAndSchemaStaysReadable)
{
    bool schema_side = GetParam() / 2 % 2, hang = GetParam() % 2;
    Step step = Step(GetParam() / 4);
    Instance data(0), schema(1);
    ASSERT_TRUE(data.start() && schema.start()) << "FerretDB did not start, logs in " << data.dir;
    mongoc_client_t* client = fixture_client(data.address);
    std::string wide = "{\"tags\": [1, 2]"; // 28 columns: two pages
    for (int f = 0; f < 24; ++f)
        wide += ", \"f" + std::to_string(f) + "\": " + std::to_string(f);
    insert_json(client, "faults", "alpha", wide + "}");
    insert_json(client, "faults", "beta", "{\"b\": 1}");
    mongoc_client_destroy(client);
    Instance& victim = schema_side ? schema : data;
    BoxRecorder boxes;
    MessageRecorder messages;
    std::map<std::string, size_t> before;
    std::string said;
    auto started = std::chrono::steady_clock::now();
    bool writes = step == CREATE || step == SYNC;
    if (step <= SYNC) { // without the window, whose fatal start-up ends the process
        DBINFO d;
        init_dbinfo(&d);
        int code = 0;
        if (step == SYNC) { // a schema without beta: start-up offers to add it
            connect_dbinfo(&d, "faults", "faults_schema", data.address, schema.address);
            ASSERT_TRUE(create_schema(&d, &code));
            ASSERT_EQ(schema_columns(schema), whole);
            remove_table_from_schema(&d, "beta");
            release_dbinfo(&d);
            init_dbinfo(&d);
        }
        trigger.victim = &victim, trigger.hang = hang, trigger.armed = writes, trigger.seen = 0;
        trigger.command = schema_side ? "insert" : "find";
        if (writes)
            set_client_observer(observe, nullptr), set_pool_observer(observe_pool, nullptr);
        connect_dbinfo(&d, "faults", "faults_schema", data.address, schema.address);
        set_client_observer(nullptr, nullptr);
        if (step == STARTUP) {
            ASSERT_TRUE(create_schema(&d, &code));
            before = schema_columns(schema);
            victim.fault(hang);
            started = std::chrono::steady_clock::now();
        }
        // A synchronisation tells nothing of what it skipped: the next start offers it again.
        std::thread([] {}).join(); // a sanitizer's runtime starts a thread of its own with the first
        size_t before_threads = threads();
        EXPECT_EQ(check_schema_at_start(&d), step == SYNC) << "a lost server was taken for a schema to change";
        EXPECT_FALSE(trigger.armed);
        EXPECT_EQ(threads(), before_threads) << "a thread was left running";
        set_pool_observer(nullptr, nullptr);
        release_dbinfo(&d);
    } else {
        Schema w(window_arguments("faults", "faults_schema", {"-ds", data.address.c_str(), "-ss",
                                  schema.address.c_str(), "-debug", (data.dir + "/dump.txt").c_str()}));
        SchemaProbe p{&w};
        before = schema_columns(schema);
        boxes.boxes.clear();
        if (step == SAVE) { // Yes to the save, No to any offer to write again
            boxes.answers = {QMessageBox::Yes};
            boxes.answers.resize(20, QMessageBox::No);
        }
        // While server work waits the event loop turns: a timer's longest gap within one piece
        // of work (what the window builds between two is its own business); Cancel once it shows.
        double longest_gap = 0, cancelled_at = -1;
        auto tick = std::chrono::steady_clock::now();
        unsigned work = 0;
        QTimer ticks;
        QObject::connect(&ticks, &QTimer::timeout, [&] {
            auto now = std::chrono::steady_clock::now();
            unsigned current = p.working() ? p.works() : 0;
            if (current && current == work)
                longest_gap = std::max(longest_gap, std::chrono::duration<double>(now - tick).count());
            tick = now, work = current;
            for (QDialog* view : w.findChildren<QDialog*>()) // a view that opened all the same
                if (view->isVisible())
                    view->close();
            QPushButton* cancel = w.findChild<QPushButton*>("pushButtonCancel");
            if (cancelled_at < 0 && !cancel->isHidden())
                cancelled_at = std::chrono::duration<double>(now - started).count(), cancel->click();
        });
        victim.fault(hang);
        started = tick = std::chrono::steady_clock::now();
        ticks.start(100);
        if (step == PICK)
            p.pick("beta");
        else if (step == REFRESH)
            p.refresh();
        else
            (step == PAGE      ? p.ui()->pushButtonPageDown
             : step == SAVE    ? p.ui()->pushButtonSave
             : step == PROFILE ? p.ui()->pushButtonProfile
             : step == PLAN    ? p.ui()->pushButtonPlan
             : step == HISTORY ? p.ui()->pushButtonHistory
                               : p.ui()->pushButtonDump)->click();
        ticks.stop();
        double ended = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        said = p.ui()->errorMsg->text().toStdString();
        EXPECT_LT(longest_gap, 0.5) << "the window did not paint meanwhile";
        bool waits = hang && asks_server(step, schema_side);
        EXPECT_TRUE(cancelled_at >= 0 || !waits) << "no Cancel";
        if (cancelled_at >= 0) {
            EXPECT_GE(cancelled_at, 2.0) << "Cancel shown before 2 s";
            EXPECT_LT(ended - cancelled_at, 1.0) << "Cancel did not end the work at once";
        }
        // Plain words that name the server (a save tells in its boxes); the library's own in the -debug file.
        if (step != SAVE && step != DUMP && !said.empty()) {
            // (a connection the pool kept open finds the server gone as closed)
            EXPECT_TRUE(said.find(hang ? "could not be read: cancelled." : "server " + victim.address +
                                                                           " refused the connection.") != said.npos ||
                        (!hang && said.find("server " + victim.address + " closed the connection.") != said.npos))
                << said;
            EXPECT_NE(file_text(data.dir + "/dump.txt").find(" could not be read: "), std::string::npos)
                << "nothing in the -debug file";
        }
        if (step == SAVE && waits) {
            EXPECT_TRUE(std::any_of(boxes.boxes.begin(), boxes.boxes.end(), [](const shown_box_t& b) {
                return b.text.find("was not saved: the schema holds it as it was.") != std::string::npos &&
                       b.informative.find("The save was cancelled.") == 0;
            })) << "a cancelled save is not told as one that wrote nothing";
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    for (const shown_box_t& b : boxes.boxes)
        said += " [" + b.text + " | " + b.informative + "]";
    for (const message_t& m : messages.messages)
        said += " [" + m.text + " | " + m.informative + "]";
    // Requests wait 20 s for an answer and 10 s for a handshake; a synchronisation waits for both.
    EXPECT_LT(seconds, 120.0) << "hang guard; told:" << said;
    bool asks = step != SYNC && asks_server(step, schema_side);
    EXPECT_TRUE(!asks || !said.empty()) << "nothing told the user";
    ASSERT_TRUE(victim.back());
    // A creation or synchronisation cut short is made whole by the next start, Yes to each
    // offer; anything else reads as before (a save writes what it read) unless the editor
    // said which table is incomplete.
    if (writes) {
        if (step == SYNC && !schema_side) { // what could not be read again was kept
            EXPECT_EQ(schema_columns(schema).at("alpha/index"), 1u);
        }
        DBINFO d;
        init_dbinfo(&d);
        connect_dbinfo(&d, "faults", "faults_schema", data.address, schema.address);
        EXPECT_TRUE(check_schema_at_start(&d)) << said;
        release_dbinfo(&d);
        EXPECT_EQ(schema_columns(schema), whole) << said;
    } else if (said.find("was not saved in full") == std::string::npos) {
        EXPECT_EQ(schema_columns(schema), before) << said;
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, Fault, ::testing::Range(0, 44), [](const auto& info) {
    return std::string(info.param / 2 % 2 ? "schema_" : "data_") + (info.param % 2 ? "hung_" : "stopped_") +
           step_names[info.param / 4];
});

} // namespace
