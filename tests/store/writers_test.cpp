// Two brolix-cli writers, a synchronisation and an import --replace, each with the schema
// behind a holding tools/latency_proxy.py of its own in front of the same server, run phase
// by phase (until its lock is claimed, until its journal is written, until its version is
// recorded, the rest) in every order; killed at each phase boundary; held past the lease
// while alive. The schema always ends as one serial order leaves it, no journal is left,
// and a writer refused says who holds the schema.
#include "store/change/create.h"
#include "store/write/lock.h"
#include "tests/store/store_fixture.h"
#include "tests/support/proxy.h"

#include <filesystem>

namespace {

using Writers = StoreTest;

TEST_F(Writers, EveryOrderEndsAsASerialOne)
{
    const std::string dir = testenv::build_dir() + "/" + schema + "-writers", journal = schema + "_journal";
    std::filesystem::create_directories(dir);
    put_data("A", R"({"_id": 1, "name": "Ann", "n": 2})");
    put_data("B", R"({"b": true})");
    connect();
    stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
    rename_column("n", "count"); // the file imported: a column renamed by hand
    ASSERT_EQ(testenv::run_cli(cli_args("export --out " + dir + "/edited.json", testenv::server())), 0);
    rename_column("count", "n");
    put_data("C", R"({"c": 1})"); // the synchronisation adds it
    ASSERT_EQ(testenv::run_cli(cli_args("export --out " + dir + "/start.json", testenv::server())), 0);
    auto reset = [&] { // the schema as at the start, without journal, lock or versions
        EXPECT_EQ(testenv::run_cli(cli_args("import " + dir + "/start.json --replace", testenv::server())), 0);
        testenv::drop_database(fx, journal);
    };
    const std::string command[2] = {"sync --yes", "import " + dir + "/edited.json --replace"},
                      verb[2] = {"sync", "import"};
    auto serial = [&](std::vector<int> order) {
        reset();
        for (int w : order)
            EXPECT_EQ(testenv::run_cli(cli_args(command[w], testenv::server())), 0) << command[w];
        return schema_state();
    };
    // alone[w]: w alone; after[w]: the other, then w.
    const strings alone[2] = {serial({0}), serial({1})}, after[2] = {serial({1, 0}), serial({0, 1})};
    ASSERT_TRUE(alone[0] != alone[1] && after[0] != alone[1]);
    testenv::Proxy proxy[2];
    for (auto& p : proxy)
        ASSERT_TRUE(p.start("", testenv::server(), {"--hold", "--hold-one"}));
    // The last request of each phase; the last phase runs to the end.
    const std::string ends[4] = {"update " + journal, "insert " + journal, "insert " + journal, ""};

    pid_t pid[2];
    int status[2] = {0, 0};
    bool ended[2] = {false, false};
    const std::string log[2] = {dir + "/sync.log", dir + "/import.log"};
    auto begin = [&](const std::string& env) {
        reset();
        for (int w : {0, 1}) {
            proxy[w].said("hold", "holding");
            pid[w] = testenv::start_cli(cli_args(command[w], proxy[w].address()), log[w], env);
            ended[w] = false;
        }
    };
    auto phase = [&](int w, int p) {
        if (!ended[w])
            ended[w] = !proxy[w].until(ends[p], pid[w], &status[w]);
    };
    // After a run: the schema as expected; each writer's exit status (-1: killed, not looked
    // at), a refused one naming the other as the holder, one that wrote saying says.
    auto ended_as = [&](const std::string& run, const strings& expected, int exit0, int exit1,
                        const std::string& says = "") {
        SCOPED_TRACE(run);
        EXPECT_EQ(schema_state(), expected);
        EXPECT_TRUE(testenv::read_json(fx, journal, "journal", R"({"_id": "header"})").empty()) << "a journal left";
        const int exits[2] = {exit0, exit1};
        for (int w : {0, 1}) {
            if (exits[w] < 0)
                continue;
            const std::string output = testenv::file_text(log[w]);
            EXPECT_TRUE(ended[w] && WIFEXITED(status[w]) && WEXITSTATUS(status[w]) == exits[w]) << output;
            const std::string held = "Another program (brolix-cli " + verb[1 - w] + " by " + this_host() +
                                     ", process " + std::to_string(pid[1 - w]) + ", since ";
            EXPECT_EQ(output.find(held) != output.npos, exits[w] == 2) << output;
            EXPECT_TRUE(exits[w] != 0 || output.find(says) != output.npos) << output;
        }
    };

    // Every order of the eight phases: the first to claim writes; the other is refused
    // unless its claim comes after the first one's end.
    for (int mask = 0; mask < 256; ++mask) {
        if (__builtin_popcount(mask) != 4)
            continue;
        begin("");
        std::string order;
        int done[2] = {0, 0}, first = mask & 1, claim_of_other = -1, end_of_first = -1;
        for (int at = 0; at < 8; ++at) {
            int w = mask >> at & 1;
            order += (w ? "I" : "S") + std::to_string(done[w] + 1);
            if (w != first && done[w] == 0)
                claim_of_other = at;
            if (w == first && done[w] == 3)
                end_of_first = at;
            phase(w, done[w]++);
        }
        bool serial_run = claim_of_other > end_of_first;
        ended_as(order, serial_run ? after[1 - first] : alone[first], first == 0 || serial_run ? 0 : 2,
                 first == 1 || serial_run ? 0 : 2);
    }

    // One writer killed at the end of a phase, its next request never sent; the other then
    // runs: it takes the lock over at once (the holder's process has ended here) and settles
    // what was left: nothing written, a journal put back, a change recorded.
    for (int victim : {0, 1})
        for (int boundary = 1; boundary <= 3; ++boundary) {
            begin("");
            for (int p = 0; p < boundary; ++p)
                phase(victim, p);
            kill(pid[victim], SIGKILL), waitpid(pid[victim], nullptr, 0);
            proxy[victim].said("drop", "dropped");
            phase(1 - victim, 3);
            ended_as(verb[victim] + " killed after phase " + std::to_string(boundary),
                     boundary < 3 ? alone[1 - victim] : after[1 - victim], victim ? 0 : -1, victim ? -1 : 0,
                     boundary == 1 ? "" : boundary == 2 ? ") was undone: the schema is as it was before it."
                                                        : ") had finished; its journal was cleared.");
        }

    // The import held past the lease once its journal is written, its renewals going on over
    // a connection of their own: it keeps the schema; the synchronisation is refused.
    begin("BROLIX_LOCK_LEASE_MS=3000");
    phase(1, 0), phase(1, 1);
    usleep(4500 * 1000);
    phase(0, 3), phase(1, 3);
    ended_as("the import held past the lease", alone[1], 2, 0);
    std::filesystem::remove_all(dir);
}

} // namespace
