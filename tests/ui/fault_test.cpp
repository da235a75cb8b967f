// The data or the schema server stopped (connection refused) or hung (SIGSTOP: it accepts
// and never answers) at each step of the editor's work, on FerretDB instances of the test's
// own. Each step returns, says what failed, and once the server is back the schema reads
// as before or as after (or the editor said which table is incomplete).
#include "app/connect.h"
#include "app/schema_check.h"
#include "store/create.h"
#include "store/validate.h"
#include "tests/support/test_env.h"
#include "tests/support/ui_support.h"

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testenv;

namespace {

// One FerretDB on a loopback address no other test of this run holds (a lock file each).
struct Instance {
    std::string address, dir;
    pid_t pid = -1;
    int lock = -1;
    explicit Instance(int skip)
    {
        for (int last = 50; last < 60 && lock < 0; ++last) {
            dir = build_dir() + "/servers/fault-" + std::to_string(last);
            std::filesystem::create_directories(dir);
            lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
            if (lock >= 0 && (flock(lock, LOCK_EX | LOCK_NB) != 0 || skip-- > 0)) {
                close(lock);
                lock = -1;
            }
            address = "127.0.0." + std::to_string(last);
        }
        std::filesystem::remove_all(dir + "/data");
        std::filesystem::create_directories(dir + "/data");
    }
    ~Instance()
    {
        fault(false);
        close(lock);
    }
    bool start()
    {
        std::string binary = std::string(getenv("HOME")) + "/.cache/brolix/ferretdb-v1.24.2/ferretdb";
        std::vector<std::string> args = {binary, "--handler=sqlite", "--sqlite-url=file:" + dir + "/data/",
                                         "--state-dir=" + dir, "--telemetry=disable", "--debug-addr=-",
                                         "--log-level=warn", "--listen-addr=" + address + ":27017"};
        if ((pid = fork()) == 0) {
            int log = open((dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(log, 1);
            dup2(log, 2);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 150 && !server_answers(address); ++i)
            usleep(200000);
        return server_answers(address);
    }
    void fault(bool hang)
    {
        if (pid > 0 && hang)
            kill(pid, SIGSTOP);
        else if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    bool back() { return pid > 0 ? kill(pid, SIGCONT) == 0 : start(); }
};

enum Step { STARTUP, CREATE, PICK, PAGE, REFRESH, SAVE, DUMP };
const char* const step_names[] = {"startup", "create", "pick", "page", "refresh", "save", "dump"};
struct Row {
    bool schema_side, hang;
    Step step;
};

// Faults the victim at the first command of the kind named, once the step has begun.
struct Trigger {
    Instance* victim = nullptr;
    bool hang = false, armed = false;
    std::string command;
};
Trigger trigger;
void on_command(const mongoc_apm_command_succeeded_t* event)
{
    if (trigger.armed && trigger.command == mongoc_apm_command_succeeded_get_command_name(event)) {
        trigger.armed = false;
        trigger.victim->fault(trigger.hang);
    }
}
void observe(mongoc_client_t* client, int side, void*)
{
    if ((side == SIDE_SCHEMA) != (trigger.victim && trigger.command == "insert"))
        return;
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_succeeded_cb(callbacks, on_command);
    mongoc_client_set_apm_callbacks(client, callbacks, nullptr);
    mongoc_apm_callbacks_destroy(callbacks);
}

struct Fault : ::testing::TestWithParam<Row> {};

// Columns per table as the schema holds them.
std::map<std::string, size_t> schema_columns(Instance& schema)
{
    mongoc_client_t* client = fixture_client(schema.address);
    std::map<std::string, size_t> count;
    for (const char* t : {"alpha", "beta"})
        count[t] = read_json(client, "faults_schema", "columns", std::string("{\"sql_table\": \"") + t + "\"}").size();
    mongoc_client_destroy(client);
    return count;
}

TEST_P(Fault, StepAnswersAndSchemaStaysReadable)
{
    const Row row = GetParam();
    Instance data(0), schema(1);
    ASSERT_TRUE(data.start() && schema.start()) << "FerretDB did not start, logs in " << data.dir;
    mongoc_client_t* client = fixture_client(data.address);
    for (int d = 0; d < 3; ++d) {
        std::string wide = "{\"tags\": [1, 2]";
        for (int f = 0; f < 24; ++f)
            wide += ", \"f" + std::to_string(f) + "\": " + std::to_string(d * f);
        insert_json(client, "faults", "alpha", wide + "}");
        insert_json(client, "faults", "beta", "{\"b\": " + std::to_string(d) + "}");
    }
    mongoc_client_destroy(client);
    Instance& victim = row.schema_side ? schema : data;
    QStringList args{"brolix", "-ds", QString::fromStdString(data.address), "-db", "faults", "-ss",
                     QString::fromStdString(schema.address), "-sc", "faults_schema", "-debug",
                     QString::fromStdString(data.dir + "/dump.txt")};
    BoxRecorder boxes;
    MessageRecorder messages;
    std::map<std::string, size_t> before;
    std::string line;
    auto started = std::chrono::steady_clock::now();
    if (row.step == STARTUP || row.step == CREATE) {
        DBINFO d;
        init_dbinfo(&d);
        connect_dbinfo(&d, "faults", "faults_schema", data.address, schema.address);
        if (row.step == STARTUP) {
            int code = 0;
            ASSERT_TRUE(create_schema(&d, &code));
            before = schema_columns(schema);
            victim.fault(row.hang);
            started = std::chrono::steady_clock::now();
            EXPECT_FALSE(check_schema_at_start(&d));
        } else {
            trigger = Trigger{&victim, row.hang, true, row.schema_side ? "insert" : "find"};
            set_client_observer(observe, nullptr);
            DBINFO fresh;
            init_dbinfo(&fresh);
            connect_dbinfo(&fresh, "faults", "faults_schema", data.address, schema.address);
            set_client_observer(nullptr, nullptr);
            EXPECT_FALSE(check_schema_at_start(&fresh)) << "a creation cut short was taken as whole";
            EXPECT_FALSE(trigger.armed);
            release_dbinfo(&fresh);
        }
        release_dbinfo(&d);
    } else {
        std::unique_ptr<Schema> w = make_window(args);
        Ui_Schema* ui = SchemaProbe(w.get()).ui();
        before = schema_columns(schema);
        boxes.boxes.clear();
        victim.fault(row.hang);
        started = std::chrono::steady_clock::now();
        if (row.step == PICK)
            SchemaProbe(w.get()).press(tree_item(w.get(), "beta"));
        else if (row.step == PAGE)
            ui->pushButtonPageDown->click();
        else if (row.step == REFRESH)
            SchemaProbe(w.get()).refresh();
        else if (row.step == SAVE) {
            // Yes to the save, No to any offer to write again (the server stays away).
            boxes.answers.assign(20, QMessageBox::No);
            boxes.answers.front() = QMessageBox::Yes;
            ui->pushButtonSave->click();
        }
        else
            ui->pushButtonDump->click();
        line = ui->errorMsg->text().toStdString();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::string said = line;
    for (const shown_box_t& b : boxes.boxes)
        said += " [" + b.text + " | " + b.informative + "]";
    for (const message_t& m : messages.messages)
        said += " [" + m.text + " | " + m.informative + "]";
    std::printf("FAULT %s %s %s: %.1f s:%s\n", row.schema_side ? "schema" : "data", row.hang ? "hung" : "stopped",
                step_names[row.step], seconds, said.c_str());
    EXPECT_LT(seconds, 60.0) << "hang guard";
    // Paging, a sample refresh and a dump never ask the schema server; a dump not the data server.
    bool asks = row.step != DUMP && (!row.schema_side || (row.step != PAGE && row.step != REFRESH));
    EXPECT_TRUE(!asks || !said.empty()) << "nothing told the user";

    ASSERT_TRUE(victim.back());
    if (row.step == CREATE) {
        // What is left of the creation is never taken for a whole schema.
        DBINFO d;
        init_dbinfo(&d);
        connect_dbinfo(&d, "faults", "faults_schema", data.address, schema.address);
        int code = 0;
        if (validate_schema(&d, &code)) {
            EXPECT_EQ(schema_columns(schema), (std::map<std::string, size_t>{{"alpha", 28}, {"beta", 2}}));
        }
        release_dbinfo(&d);
    } else if (said.find("incomplete") == std::string::npos) {
        EXPECT_EQ(schema_columns(schema), before) << said;
    }
}

std::vector<Row> all_rows()
{
    std::vector<Row> rows;
    for (int step = STARTUP; step <= DUMP; ++step)
        for (bool schema_side : {false, true})
            for (bool hang : {false, true})
                rows.push_back({schema_side, hang, Step(step)});
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Matrix, Fault, ::testing::ValuesIn(all_rows()), [](const auto& info) {
    return std::string(info.param.schema_side ? "schema_" : "data_") + (info.param.hang ? "hung_" : "stopped_") +
           step_names[info.param.step];
});

} // namespace
