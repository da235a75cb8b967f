// The schema's history: every action a version, told as diff tells; reverting them newest
// first walks the schema back through each earlier state; a revert over a later version of
// its tables is refused until forced.
#include "store/analysis/history.h"
#include "tests/store/store_fixture.h"

#include <sstream>

namespace {

TEST_F(StoreTest, EveryActionIsAVersionAndRevertsWalkBack)
{
    const std::string file = testenv::build_dir() + "/" + schema + ".json", plan = file + ".plan";
    put_data("A", R"({"_id": 1, "name": "Ann", "n": 2})");
    put_data("B", R"({"b": true})");
    std::vector<strings> states{schema_state()};
    ASSERT_EQ(cli("create --yes"), 0);
    states.push_back(schema_state());
    connect(); // the window's save: a column renamed
    save_edited("A", [](db_column_t* c) { if (std::string(c->sql_name) == "n") rename(c, "count"); });
    states.push_back(schema_state());
    testenv::drop_database(fx, data); // B gone, C new
    put_data("A", R"({"_id": 1, "name": "Ann", "n": 2})");
    put_data("C", R"({"c": "x"})");
    ASSERT_EQ(cli("sync --yes"), 0);
    states.push_back(schema_state());
    std::string exported;
    ASSERT_EQ(cli("export", &exported), 0);
    exported.replace(exported.find("\"sql_name\" : \"name\""), 19, "\"sql_name\" : \"who\"");
    std::ofstream(file) << exported;
    ASSERT_EQ(cli("import --replace " + file), 0);
    states.push_back(schema_state());
    put_data("A", R"({"_id": 2, "name": "Bo", "n": 3, "paid": true})");
    ASSERT_EQ(cli("plan --json --out " + plan), 0);
    ASSERT_EQ(cli("apply " + plan), 0);
    states.push_back(schema_state());

    // An entry of a kind this build does not know (a later writer's) is passed over.
    std::vector<bson_t*> entries = testenv::read_documents(fx, schema + "_journal", "journal", R"({"kind": 1})");
    ASSERT_FALSE(entries.empty());
    bson_iter_t it;
    ASSERT_TRUE(bson_iter_init_find(&it, entries.front(), "journal") && BSON_ITER_HOLDS_OID(&it));
    char oid[25];
    bson_oid_to_string(bson_iter_oid(&it), oid);
    testenv::destroy_documents(entries);
    testenv::insert_json(fx, schema + "_journal", "journal",
                         std::string(R"({"journal": {"$oid": ")") + oid +
                             R"("}, "kind": 9, "at": 0, "after": true, "doc": {"sql_table": "A"}})");

    std::string history, shown;
    ASSERT_EQ(cli("history A", &history), 0);
    const std::string doers[] = {"brolix-cli apply", "brolix-cli import", "brolix-cli sync", "brolix save",
                                 "brolix-cli create"};
    // Newest first, each with what it changed (the save wrote the renamed column and the
    // one whose place it took in the name order).
    const std::string counts[] = {"columns changed 1", "columns changed 1", "added 1 table, removed 1",
                                  "columns changed 2", "added 2 tables"};
    std::istringstream lines(history);
    int n = 5;
    for (std::string line; std::getline(lines, line); --n) {
        EXPECT_EQ(line.rfind(std::to_string(n) + "  ", 0), 0u) << line;
        const std::string& count = counts[5 - n];
        EXPECT_EQ(line.substr(line.size() - std::min(line.size(), count.size() + 2)), ": " + count) << line;
    }
    for (const std::string& doer : doers)
        EXPECT_NE(history.find("  " + doer + " "), std::string::npos) << history;
    ASSERT_EQ(cli("show 2", &shown), 0);
    EXPECT_NE(shown.find("\nA: column n: SQL name n -> count\n"), std::string::npos) << shown;
    ASSERT_EQ(cli("show 3", &shown), 0);
    EXPECT_NE(shown.find(": added 1 table, removed 1\nB: table gone (2 columns)\nC: new table (2 columns)\n"),
              std::string::npos)
        << shown;

    // The save is not reverted over the import and the apply since; nothing is written.
    std::string refused;
    EXPECT_EQ(cli("revert 2 --yes", &refused), 2);
    EXPECT_NE(refused.find("Version 2 is not reverted: versions 3, 4 and 5 changed its tables since."),
              std::string::npos)
        << refused;
    EXPECT_EQ(schema_state(), states[5]);
    // Newest first, each revert a version of its own: the states before, in turn.
    for (int v = 5; v >= 1; --v) {
        SCOPED_TRACE("revert " + std::to_string(v));
        std::string out;
        EXPECT_EQ(cli("revert " + std::to_string(v) + " --yes", &out), 0) << out;
        EXPECT_EQ(schema_state(), states[v - 1]);
    }
    std::remove(file.c_str()), std::remove(plan.c_str());
}

} // namespace
