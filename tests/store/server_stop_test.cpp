// Saving when the schema server goes away: a FerretDB of the test's own, stopped before a
// save or in the middle of one, then restarted on the same data.
#include "store/create.h"
#include "store/read.h"
#include "store/save.h"

#include "tests/store/store_fixture.h"

#include <chrono>
#include <filesystem>
#include <sys/file.h>
#include <thread>

namespace {

// Data on the first test server, the schema on a FerretDB of our own (127.0.0.40-.49)
// holding a schema made from T, whose array column is to become a virtual table.
struct ServerStop : StoreTest {
    std::string address, dir;
    pid_t pid = -1;
    int lock = -1; // the address is ours while we hold it: tests run side by side
    db_column_t* columns = nullptr;

    ~ServerStop() override
    {
        free_columns(columns);
        stop();
        if (!dir.empty())
            std::filesystem::remove_all(dir);
        if (lock >= 0)
            close(lock);
    }
    // Starts (again) on the same address and data; true once it answers.
    bool start()
    {
        const char* home = std::getenv("HOME");
        std::string binary = std::getenv("FERRETDB") ? std::getenv("FERRETDB")
                                                     : std::string(home ? home : "") + "/.cache/brolix/ferretdb-v1.24.2/ferretdb";
        std::vector<std::string> args = {binary, "--handler=sqlite", "--sqlite-url=file:" + dir + "/data/",
                                         "--state-dir=" + dir, "--telemetry=disable", "--debug-addr=-",
                                         "--log-level=warn", "--listen-addr=" + address + ":27017"};
        if ((pid = fork()) == 0) {
            int log = open((dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(log, 1), dup2(log, 2);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30); std::chrono::steady_clock::now() < end;
             std::this_thread::sleep_for(std::chrono::milliseconds(200))) {
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                return pid = -1, false;
            if (testenv::server_answers(address))
                return true;
        }
        stop();
        return false;
    }
    // Ends the process at once, as a crash or a pulled plug would.
    void stop()
    {
        if (pid > 0)
            kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        pid = -1;
    }
    void prepare()
    {
        std::filesystem::create_directories(testenv::build_dir() + "/servers");
        for (int last = 40; last < 50 && pid < 0; ++last) {
            address = "127.0.0." + std::to_string(last);
            if (lock >= 0)
                close(lock);
            lock = open((testenv::build_dir() + "/servers/own-" + address + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
            if (flock(lock, LOCK_EX | LOCK_NB) != 0 || testenv::server_answers(address))
                continue;
            dir = testenv::build_dir() + "/servers/store-stop-" + std::to_string(getpid()) + "-" + std::to_string(last);
            std::filesystem::remove_all(dir);
            std::filesystem::create_directories(dir + "/data");
            start();
        }
        ASSERT_GT(pid, 0) << "could not start FerretDB of our own (log in " << dir << ")";
        connect(testenv::server(), address);
        put_data("T", R"({"_id": 1, "name": "Ann", "tags": ["a", "b"], "n": 2})");
        stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
        select("T");
        columns = read_table_columns(&d, data.c_str(), "dbo", "T", nullptr);
        ASSERT_NE(columns, nullptr);
        for (db_column_t* c = columns; c; c = c->next)
            c->virtual_array = std::string(c->sql_name) == "tags";
    }
    size_t own_docs(const std::string& collection, const std::string& table)
    {
        mongoc_client_t* client = testenv::fixture_client(address);
        size_t n = testenv::read_json(client, schema, collection, "{\"sql_table\": \"" + table + "\"}").size();
        mongoc_client_destroy(client);
        return n;
    }
    int left = 0;
    // Saves, within the client library's server-selection timeout (30 s), and tells
    // that no column document was written.
    void save()
    {
        auto started = std::chrono::steady_clock::now();
        std::string out = stdout_of([&] { save_table(&d, columns, &left); });
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
        EXPECT_NE(out.find("- - - - - Columns of T not saved: 6 of 6 column documents not written\n"), std::string::npos)
            << out;
    }
};

TEST_F(ServerStop, StoppedBeforeTheSave)
{
    ASSERT_NO_FATAL_FAILURE(prepare());
    ASSERT_EQ(own_docs("columns", "T"), 6u);
    stop();
    save();
    // Nothing was removed; a removal sent on an open connection counts as incomplete.
    EXPECT_EQ(left & ~SAVE_INCOMPLETE, SAVE_LEFT_COLUMNS | SAVE_LEFT_VIRTUAL);
    // The index and virtual-table steps still ran and told of their failures.
    ASSERT_EQ(recorder.messages.size(), 1u + 3u + 6u);
    EXPECT_EQ(recorder.messages[0].text, "Mongo error removing old index.");
    EXPECT_EQ(recorder.messages[1].text, "Mongo error removing virtual table.");
    EXPECT_EQ(recorder.messages.back().text, "Mongo error removing virtual index $index.");
    ASSERT_TRUE(start()); // nothing was removed
    EXPECT_EQ(own_docs("columns", "T"), 6u);
    EXPECT_EQ(own_docs("tables", "T_tags"), 0u);
}

// Kills the schema server as soon as the old column documents have been removed.
void kill_after_delete(const mongoc_apm_command_succeeded_t* event)
{
    auto* test = static_cast<ServerStop*>(mongoc_apm_command_succeeded_get_context(event));
    if (test->pid > 0 && std::string(mongoc_apm_command_succeeded_get_command_name(event)) == "delete")
        test->stop();
}

TEST_F(ServerStop, KilledBetweenRemovalAndInserts)
{
    ASSERT_NO_FATAL_FAILURE(prepare());
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_succeeded_cb(callbacks, kill_after_delete);
    ASSERT_TRUE(mongoc_client_set_apm_callbacks(d.md_client, callbacks, this));
    mongoc_apm_callbacks_destroy(callbacks);
    save();
    mongoc_client_set_apm_callbacks(d.md_client, nullptr, nullptr);
    ASSERT_EQ(pid, -1) << "not killed";
    EXPECT_FALSE(recorder.messages.empty());
    EXPECT_EQ(left, SAVE_LEFT_COLUMNS | SAVE_LEFT_VIRTUAL | SAVE_INCOMPLETE);
    // The removal reached the schema, the inserts did not; the index entries stayed.
    ASSERT_TRUE(start());
    EXPECT_EQ(own_docs("columns", "T"), 0u);
    EXPECT_EQ(own_docs("tables", "T"), 1u);
    EXPECT_EQ(own_docs("index", "T"), 1u);

    // Once the server is back (and the client's cool-down over) the kept records are written.
    for (int attempt = 0; attempt < 30 && left; ++attempt) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stdout_of([&] { save_table(&d, columns, &left); });
    }
    EXPECT_EQ(left, 0);
    EXPECT_EQ(own_docs("columns", "T"), 6u);
    EXPECT_EQ(own_docs("columns", "T_tags"), 3u);
}

} // namespace
