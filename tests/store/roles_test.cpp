// Every brolix-cli command by a user whose roles cover the schema database alone, played by
// tools/latency_proxy.py: the journal's database refused, the journal, lock and versions are
// kept on this machine (told once) and do their work there; with read alone, nothing is
// written anywhere, nor even tried.
#include "store/change/create.h"
#include "tests/store/store_fixture.h"
#include "tests/support/proxy.h"

#include <filesystem>

namespace {

using Roles = StoreTest;

TEST_F(Roles, EveryCommandWithTheSchemaDatabaseAlone)
{
    const std::string state = testenv::build_dir() + "/" + schema + "-state", file = state + "/export.json",
                      plan = state + "/changes.plan",
                      env = "XDG_STATE_HOME=relative/ignored HOME=" + state; // the state directory under HOME
    put_data("A", R"({"_id": 1, "name": "Ann", "n": 2})");
    put_data("B", R"({"b": true})");
    connect();
    stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); }); // by a user with every right
    testenv::Proxy writer, reader;
    ASSERT_TRUE(writer.start("", testenv::server(), {"--grant", schema + "=readWrite,validate", "--hold-one"}));
    ASSERT_TRUE(reader.start("", testenv::server(), {"--grant", schema + "=read"}));
    const std::string notice = "The journal, lock and history of the schema '" + schema + "' are kept on this machine (" +
                               state + "/.local/state/brolix/journal/" + writer.address() + "/" + schema + ")",
                      read_only = "The schema '" + schema + "' is currently unavailable in 'read-only' mode.";
    const struct {
        testenv::Proxy* proxy;
        std::string command;
        int exit;
        std::string says;                        // in the output
        std::function<void()> before = nullptr;  // done first
        std::string holds = "", filter = "{}";   // a collection that then holds one document of filter
    } rows[] = {
        {&writer, "check", 0, "agrees with the database"},
        {&writer, "sync --yes", 0, "added C\n", [&] { put_data("C", R"({"c": 1})"); }, "tables",
         R"({"sql_table": "C"})"},
        {&writer, "dump --all", 0, "SQL Column    : c\r\n"}, // C's own columns
        {&writer, "export --out " + file, 0, ""},
        {&writer, "import " + file + " --replace", 0, "Imported 3 tables", [&] { rename_column("n", "count"); },
         "columns", R"({"sql_name": "n"})"},
        {&writer, "diff", 0, ""},
        {&writer, "profile", 0, "name: in 1 (100.0%); String 1;"},
        {&writer, "plan --json --out " + plan, 0, "", [&] { put_data("A", R"({"_id": 2, "paid": true})"); }},
        {&writer, "apply " + plan, 0, "Applied 1 of 1 changes", nullptr, "columns", R"({"sql_name": "paid"})"},
        {&writer, "create --replace --yes", 2, "could not be created"}, // no dropDatabase
        {&writer, "check", 0, "agrees with the database"},              // nor a journal left in the way
        {&reader, "check", 1, "missing from the schema: D", [&] { put_data("D", R"({"d": 1})"); }},
        {&reader, "sync --yes", 2, read_only},
        {&reader, "import " + file + " --replace", 2, read_only},
        {&reader, "apply " + plan, 2, read_only},
    };
    std::string output;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        if (row.before)
            row.before();
        const strings before = schema_state();
        row.proxy->said("reset", "zeroed");
        EXPECT_EQ(testenv::run_cli(cli_args(row.command, row.proxy->address()), &output, env), row.exit) << output;
        EXPECT_NE(output.find(row.says), output.npos) << output;
        // Told at the first claim of a process (a command that may write, by a user who may), once.
        const std::string verb = row.command.substr(0, row.command.find(' '));
        bool claims =
            row.proxy == &writer && (verb == "sync" || verb == "import" || verb == "apply" || verb == "create");
        EXPECT_EQ(output.find(notice) != output.npos, claims) << output;
        EXPECT_EQ(output.find(notice), output.rfind(notice)) << output;
        auto counts = row.proxy->counts();
        EXPECT_EQ(counts["(refused) find " + schema + "_journal"], 1) << "the journal not looked for on the server";
        if (row.exit == 2 || !claims) {
            EXPECT_EQ(schema_state(), before);
        }
        EXPECT_TRUE(row.holds.empty() || testenv::read_json(fx, schema, row.holds, row.filter).size() == 1);
        if (row.exit == 2 || row.proxy == &reader) { // nothing written, nor tried (but the one refused drop)
            for (const char* write : {"insert", "update", "delete", "findAndModify", "create", "createIndexes",
                                      "drop", "dropDatabase", "dropIndexes", "renameCollection"})
                EXPECT_EQ(counts[write], verb == "create" && !strcmp(write, "dropDatabase")) << write;
        }
    }

    // An import killed in its write phase, the first insert done: the next start of the same
    // user puts back what it wrote from this machine's journal.
    const strings before = schema_state();
    writer.said("hold", "holding");
    pid_t pid =
        testenv::start_cli(cli_args("import " + file + " --replace", writer.address()), state + "/cli.log", env);
    int status = 0;
    ASSERT_TRUE(writer.until("insert " + schema, pid, &status));
    kill(pid, SIGKILL), waitpid(pid, &status, 0);
    writer.said("drop", "dropped"), writer.said("release", "released");
    ASSERT_NE(schema_state(), before) << "nothing was written before the kill";
    EXPECT_EQ(testenv::run_cli(cli_args("check", writer.address()), &output, env), 1) << output; // D is missing
    EXPECT_NE(output.find("The import of '" + data + "' that did not finish ("), output.npos) << output;
    EXPECT_NE(output.find(") was undone: the schema is as it was before it."), output.npos) << output;
    EXPECT_EQ(schema_state(), before);
    std::filesystem::remove_all(state);
}

} // namespace
