// Saving when the schema server goes away: a FerretDB of the test's own, stopped
// before a save or in the middle of one, then restarted on the same data.
#include "store/create.h"
#include "store/read.h"
#include "store/save.h"

#include "app/message.h"
#include "tests/store/store_fixture.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// One FerretDB process on a loopback address of its own, with its data directory.
class OwnServer {
public:
    ~OwnServer()
    {
        stop();
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }

    // Picks a free address among 127.0.0.40 to .49 and starts there.
    bool start_fresh()
    {
        for (int last = 40; last < 50; ++last) {
            std::string candidate = "127.0.0." + std::to_string(last);
            if (testenv::server_answers(candidate))
                continue;
            address = candidate;
            dir = testenv::build_dir() + "/servers/store-stop-" + std::to_string(getpid()) + "-" + std::to_string(last);
            std::filesystem::remove_all(dir);
            std::filesystem::create_directories(dir + "/data");
            if (start())
                return true;
        }
        return false;
    }

    // Starts (again) on the same address and data directory; true once it answers.
    bool start()
    {
        const char* home = std::getenv("HOME");
        std::string binary = std::string(home ? home : "") + "/.cache/brolix/ferretdb-v1.24.2/ferretdb";
        if (const char* f = std::getenv("FERRETDB"))
            binary = f;
        std::vector<std::string> args = {binary,
                                         "--handler=sqlite",
                                         "--sqlite-url=file:" + dir + "/data/",
                                         "--state-dir=" + dir,
                                         "--telemetry=disable",
                                         "--debug-addr=-",
                                         "--log-level=warn",
                                         "--listen-addr=" + address + ":27017"};
        pid = fork();
        if (pid == 0) {
            int log = open((dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (log >= 0) {
                dup2(log, 1);
                dup2(log, 2);
            }
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            if (testenv::server_answers(address))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
        stop();
        return false;
    }

    // Ends the process at once, as a crash or a pulled plug would.
    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    std::string address;
    std::string dir;
    pid_t pid = -1;
};

struct ServerStop : StoreTest {
    OwnServer own;
    db_column_t* columns = nullptr;
    mongoc_client_t* own_client = nullptr;

    ~ServerStop() override
    {
        free_columns(columns);
        if (own_client)
            mongoc_client_destroy(own_client);
    }

    // Data on the first test server, the schema on our own; a schema made from T.
    void prepare()
    {
        ASSERT_TRUE(own.start_fresh()) << "could not start FerretDB of our own (log in " << own.dir << ")";
        connect(testenv::server(), own.address);
        put_data("T", R"({"_id": 1, "name": "Ann", "tags": ["a", "b"], "n": 2})");
        int code = 0;
        stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
        select("T");
        db_name_t* vt = nullptr;
        columns = read_table_columns(&d, data.c_str(), "dbo", "T", &vt);
        free_names(vt);
        ASSERT_NE(columns, nullptr);
        for (db_column_t* c = columns; c; c = c->next)
            if (std::string(c->sql_name) == "tags")
                c->virtual_array = true;
    }
    std::vector<std::string> own_docs(const std::string& collection, const std::string& filter)
    {
        if (!own_client)
            own_client = testenv::fixture_client(own.address);
        return testenv::read_json(own_client, schema, collection, filter);
    }
    int left = 0;
    // Saves, and tells what was printed and how long it took.
    std::string timed_save(double* seconds)
    {
        auto started = std::chrono::steady_clock::now();
        std::string out = stdout_of([&] { save_table(&d, columns, &left); });
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return out;
    }
};

// The client library's server-selection timeout (30 s by default) bounds every wait.
const double selection_timeout = 30.0;

TEST_F(ServerStop, StoppedBeforeTheSave)
{
    ASSERT_NO_FATAL_FAILURE(prepare());
    std::vector<std::string> before = own_docs("columns", "{\"sql_table\": \"T\"}");
    ASSERT_EQ(before.size(), 6u);
    mongoc_client_destroy(own_client);
    own_client = nullptr;

    own.stop();
    double seconds = 0;
    std::string out = timed_save(&seconds);
    EXPECT_LT(seconds, selection_timeout);
    EXPECT_NE(out.find("- - - - - Columns of T not saved: 6 of 6 column documents not written\n"), std::string::npos)
        << out;
    EXPECT_EQ(left, SAVE_LEFT_COLUMNS | SAVE_LEFT_VIRTUAL); // nothing removed: unsaved, not incomplete
    // The index and virtual-table steps still ran and told of their failures.
    ASSERT_FALSE(recorder.messages.empty());
    EXPECT_EQ(recorder.messages[0].text, "Mongo error removing old index.");
    EXPECT_EQ(recorder.messages.size(), 1u + 3u + 6u);
    EXPECT_EQ(recorder.messages[1].text, "Mongo error removing virtual table.");
    EXPECT_EQ(recorder.messages.back().text, "Mongo error removing virtual index $index.");

    // Nothing was removed: the schema holds what it held.
    ASSERT_TRUE(own.start());
    EXPECT_EQ(own_docs("columns", "{\"sql_table\": \"T\"}"), before);
    EXPECT_TRUE(own_docs("tables", "{\"sql_table\": \"T_tags\"}").empty());
}

// Kills the schema server as soon as the old column documents have been removed.
struct killer_t {
    OwnServer* server;
    bool done;
};

void kill_after_delete(const mongoc_apm_command_succeeded_t* event)
{
    auto* killer = static_cast<killer_t*>(mongoc_apm_command_succeeded_get_context(event));
    if (!killer->done && std::string(mongoc_apm_command_succeeded_get_command_name(event)) == "delete") {
        killer->done = true;
        killer->server->stop();
    }
}

TEST_F(ServerStop, KilledBetweenRemovalAndInserts)
{
    ASSERT_NO_FATAL_FAILURE(prepare());
    killer_t killer{&own, false};
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_succeeded_cb(callbacks, kill_after_delete);
    ASSERT_TRUE(mongoc_client_set_apm_callbacks(d.md_client, callbacks, &killer));
    mongoc_apm_callbacks_destroy(callbacks);

    double seconds = 0;
    std::string out = timed_save(&seconds);
    mongoc_client_set_apm_callbacks(d.md_client, nullptr, nullptr);
    ASSERT_TRUE(killer.done);
    EXPECT_LT(seconds, selection_timeout);
    EXPECT_NE(out.find("- - - - - Columns of T not saved: 6 of 6 column documents not written\n"), std::string::npos)
        << out;
    EXPECT_FALSE(recorder.messages.empty());
    EXPECT_EQ(left, SAVE_LEFT_COLUMNS | SAVE_LEFT_VIRTUAL | SAVE_INCOMPLETE);

    // The removal reached the schema, the inserts did not; the index entries stayed.
    ASSERT_TRUE(own.start());
    EXPECT_TRUE(own_docs("columns", "{\"sql_table\": \"T\"}").empty());
    EXPECT_EQ(own_docs("tables", "{\"sql_table\": \"T\"}").size(), 1u);
    EXPECT_EQ(own_docs("index", "{\"sql_table\": \"T\"}").size(), 1u);

    // Once the server is back (and the client's cool-down over) the kept records are written.
    for (int attempt = 0; attempt < 30 && left; ++attempt) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        timed_save(&seconds);
    }
    EXPECT_EQ(left, 0);
    EXPECT_EQ(own_docs("columns", "{\"sql_table\": \"T\"}").size(), 6u);
    EXPECT_EQ(own_docs("columns", "{\"sql_table\": \"T_tags\"}").size(), 3u);
}

} // namespace
