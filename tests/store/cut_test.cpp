// Every action that writes the schema, cut at its k-th request in three ways (the
// connections reset and refused, the schema server killed, the writing process killed),
// then started again: the schema holds the documents of before or of after, never a mix.
// The schema server is a FerretDB of the test's own behind tools/latency_proxy.py, which
// counts the requests and cuts them (127.0.0.90-99: a server and its proxy side by side).
#include "store/write/journal.h"

#include "tests/store/store_fixture.h"
#include "tests/support/proxy.h"

namespace {

struct CutPoints : StoreTest {
    testenv::OwnFerretDB server;
    std::string &address = server.address, &dir = server.dir, proxy_address;
    testenv::Proxy proxy;
    mongoc_client_t* own = nullptr;

    ~CutPoints() override { own ? mongoc_client_destroy(own) : void(); } // the proxy goes before its server
    // brolix-cli on this test's data, the schema behind the proxy; its exit status.
    std::string cli_line(const std::string& args)
    {
        return testenv::build_dir() + "/brolix-cli " + args + " --quiet -ds " + testenv::server() + " -db " + data +
               " -ss " + proxy_address + " -sc " + schema + " >>" + dir + "/cli.log 2>&1";
    }
    // Runs body in a child process that starts once the parent has armed the proxy (with
    // the child's PID when it is the one to be killed); waits for it.
    void in_child(const std::function<void()>& body, const std::function<void(pid_t)>& arm)
    {
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        pid_t child = fork();
        if (child == 0) {
            char byte;
            close(go[1]);
            if (read(go[0], &byte, 1) != 1)
                _exit(1);
            body();
            _exit(0);
        }
        close(go[0]);
        arm(child);
        ASSERT_EQ(write(go[1], "g", 1), 1);
        close(go[1]);
        waitpid(child, nullptr, 0);
    }
};

TEST_F(CutPoints, EveryWriteEndsBeforeOrAfter)
{
    for (int last = 90; last < 99 && (address.empty() || testenv::server_answers(address)); last += 2)
        address = "127.0.0." + std::to_string(last), proxy_address = "127.0.0." + std::to_string(last + 1);
    dir = testenv::build_dir() + "/servers/cut-" + address;
    ASSERT_TRUE(server.start()) << "could not start FerretDB of our own (log in " << dir << ")";
    ASSERT_TRUE(proxy.start(proxy_address, address, {"--idle-seconds", "600"}));
    own = testenv::fixture_client(address);
    const std::string file = dir + "/export.json";

    // The schema as a user leaves it: created, a column renamed by hand.
    auto created = [&] {
        testenv::drop_database(own, schema);
        testenv::drop_database(own, schema + "_journal");
        testenv::drop_database(fx, data);
        put_data("A", R"({"_id": 1, "name": "Ann", "tags": ["x"], "n": 2})");
        put_data("A", R"({"_id": 2, "name": "Bo", "tags": ["y", "z"], "n": 3})");
        make_index("A", R"({"name": 1})", "name_1");
        put_data("B", R"({"b": true})");
        ASSERT_EQ(std::system(cli_line("create --yes").c_str()), 0);
        testenv::command_json(own, schema, R"({"update": "columns", "updates": [{"q": {"sql_table": "A", )"
                                           R"("sql_name": "n"}, "u": {"$set": {"sql_name": "count"}}}]})");
    };
    auto drifted = [&] { // B gone, C new: a synchronisation removes one table and adds one
        created();
        testenv::drop_database(fx, data);
        put_data("A", R"({"_id": 1, "name": "Ann", "tags": ["x"], "n": 2})");
        make_index("A", R"({"name": 1})", "name_1");
        put_data("C", R"({"c": "new"})");
    };
    auto nothing = [&] {
        created();
        ASSERT_EQ(std::system(cli_line("export --out " + file).c_str()), 0);
        testenv::drop_database(own, schema);
    };
    auto exported_then_edited = [&] {
        nothing();
        put_data("D", R"({"d": 1})");
        ASSERT_EQ(std::system(cli_line("create --yes").c_str()), 0);
    };
    const std::string plan = dir + "/changes.plan";
    auto planned = [&] { // A with a field more, C new: a plan of changes to two tables
        created();
        put_data("A", R"({"_id": 3, "name": "Cy", "tags": [], "n": 4, "paid": true})");
        put_data("C", R"({"c": "new"})");
        ASSERT_EQ(std::system(cli_line("plan --json --out " + plan).c_str()), 0);
    };
    auto synced = [&] { // the synchronisation of drifted made, version 2: to be reverted
        drifted();
        ASSERT_EQ(std::system(cli_line("sync --yes").c_str()), 0);
    };
    auto run_cli = [&](const std::string& args) {
        return std::function<void()>([this, line = cli_line(args)] {
            execl("/bin/sh", "sh", "-c", ("exec " + line).c_str(), static_cast<char*>(nullptr));
        });
    };
    auto save = std::function<void()>([this] {
        DBINFO child;
        testenv::init_dbinfo(&child);
        testenv::connect_dbinfo(&child, data, schema, testenv::server(), proxy_address);
        child.catalog = QString::fromStdString(data), child.schema = "dbo", child.table = "A";
        db_column_t* columns = read_table_columns(&child, data.c_str(), "dbo", "A", nullptr);
        for (db_column_t* c = columns; c; c = c->next) {
            if (std::string(c->sql_name) == "name")
                rename(c, "who");
            c->virtual_array = std::string(c->sql_name) == "tags";
        }
        int left = 0;
        if (std::freopen("/dev/null", "w", stdout))
            save_table(&child, columns, &left);
        _exit(left ? 3 : 0);
    });

    const struct {
        const char* action;
        std::function<void()> before;
        std::function<void()> run;
    } actions[] = {
        {"save", created, save},
        {"create --replace", created, run_cli("create --replace --yes")},
        {"sync", drifted, run_cli("sync --yes")},
        {"import --replace", exported_then_edited, run_cli("import " + file + " --replace")},
        {"import", nothing, run_cli("import " + file)},
        {"apply", planned, run_cli("apply " + plan)},
        {"revert", synced, run_cli("revert 2 --yes")},
    };
    enum { RESET, STOPPED, KILLED };
    const char* const ways[] = {"connection reset", "server stopped", "process killed"};
    const int samples[] = {12, 6, 12}; // cut points per way, spread over the run (the CI budget)
    int neither_total = 0;
    for (const auto& action : actions) {
        SCOPED_TRACE(action.action);
        // The uncut run: what after is, and how many requests it takes.
        action.before();
        const strings before = schema_state(own);
        proxy.said("reset", "zeroed");
        in_child(action.run, [](pid_t) {});
        const int total = proxy.requests();
        const strings after = schema_state(own);
        ASSERT_NE(before, after);
        for (int way : {RESET, STOPPED, KILLED}) {
            int tried = 0, neither = 0;
            std::string missed;
            for (int s = 1; s <= samples[way]; ++s) {
                int k = std::max(1, total * s / samples[way]); // spread over the run, the last request included
                action.before();
                ASSERT_EQ(schema_state(own), before);
                proxy.said("reset", "zeroed");
                in_child(action.run, [&](pid_t child) {
                    proxy.said(way == RESET ? "cut " + std::to_string(k)
                                      : "kill " + std::to_string(k) + " " +
                                            std::to_string(way == KILLED ? child : server.pid),
                         "armed");
                });
                proxy.said("heal", "healed");
                if (way == STOPPED) {
                    server.stop();
                    ASSERT_TRUE(server.start());
                }
                // The next start settles what was left.
                std::system(cli_line("check").c_str());
                strings now = schema_state(own);
                ++tried;
                if (now != before && now != after)
                    ++neither, missed += " " + std::to_string(k);
            }
            std::printf("cut points: %-17s %-16s tried %d of %d requests, neither before nor after: %d%s\n",
                        action.action, ways[way], tried, total, neither, missed.c_str());
            std::fflush(stdout);
            neither_total += neither;
        }
    }
    EXPECT_EQ(neither_total, 0);
}

} // namespace
