// A replica set played by scripted servers: a seed with replicaSet= connects, sample reads go where
// readPreference says, every write to the primary, and a change's writes there are one transaction.
#include "store/write/journal.h"
#include "tests/support/mock_server.h"

namespace {

TEST(ReplicaSet, SampleReadsWhereTheStringSaysWritesToThePrimary)
{
    const std::string primary = "127.0.0.80", secondary = "127.0.0.81",
                      set = R"("setName": "rs0", "hosts": [")" + primary + R"(:27017", ")" + secondary + R"(:27017"])",
                      data = R"({"collections": {"rsdata": ["orders"]}, "documents": {"rsdata.orders": [{"no": 1}]}, )";
    testenv::ScriptedServer servers[2];
    ASSERT_TRUE(servers[0].start(data + R"("hello": {"ismaster": true, "isWritablePrimary": true, )" + set + "}}",
                                 {primary}));
    ASSERT_TRUE(servers[1].start(data + R"("hello": {"ismaster": false, "secondary": true, )" + set + "}}",
                                 {secondary}));
    const struct {
        const char* options;
        int reader; // the server that gets the sample reads
    } rows[] = {{"replicaSet=rs0", 0}, {"replicaSet=rs0&readPreference=secondaryPreferred", 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options);
        const std::string reads = R"("find": "orders")", writes = R"({"insert": )";
        int before[2][2] = {{servers[0].count(reads), servers[0].count(writes)},
                            {servers[1].count(reads), servers[1].count(writes)}};
        std::string output;
        EXPECT_EQ(testenv::run_cli("create --yes --quiet -ds 'mongodb://" + primary + "/?" + row.options +
                                       "' -db rsdata -ss 'mongodb://" + primary + "/?replicaSet=rs0' -sc rsdata_s",
                                   &output),
                  0) << output;
        EXPECT_GT(servers[row.reader].count(reads), before[row.reader][0]);
        EXPECT_EQ(servers[1 - row.reader].count(reads), before[1 - row.reader][0]);
        EXPECT_GT(servers[0].count(writes), before[0][1]);
        EXPECT_EQ(servers[1].count(writes), 0);
    }
}

// On a primary a change's removals and inserts are one transaction, committed, or aborted when one
// is refused and then undone outside it. A standalone server gets the same writes without one.
TEST(ReplicaSet, ChangesAreOneTransactionWhereTheServerOffersThem)
{
    for (auto [replica, refused] : {std::pair{true, false}, {true, true}, {false, false}}) {
        SCOPED_TRACE(std::string(replica ? "primary" : "standalone") + (refused ? ", an insert refused" : ""));
        testenv::ScriptedServer server;
        ASSERT_TRUE(server.start(std::string(R"({"hello": {"logicalSessionTimeoutMinutes": 30)") +
                                     (replica ? R"(, "setName": "rs0", "isWritablePrimary": true)" : "") +
                                     R"(}, "documents": {"rs_s.columns": [{"sql_table": "t", "sql_name": "old"}]}, )" +
                                     R"("refuse": {"columns": [)" + (refused ? "1" : "") + "]}}",
                                 {"127.0.0.82"}));
        DBINFO d;
        testenv::init_dbinfo(&d);
        testenv::connect_dbinfo(&d, "rs", "rs_s", "", "127.0.0.82");
        schema_change_t* change = schema_change_new("save", "t");
        schema_change_replace_table(change, "rs", "dbo", "t", CHANGE_MASK_ALL);
        bson_t* column = BCON_NEW("sql_table", "t", "sql_name", "new");
        schema_change_add(change, KIND_COLUMNS, column);
        int code = 0;
        EXPECT_EQ(schema_change_apply(&d, change, &code, nullptr), !refused);
        EXPECT_EQ(code, refused ? CHANGE_REFUSED : CHANGE_APPLIED);
        bson_destroy(column), schema_change_free(change), testenv::release_dbinfo(&d);

        // The schema's three removals and one insert, then the undo's writes, in order.
        std::vector<std::string> writes;
        for (const std::string& c : server.commands())
            if (c.find(R"("$db": "rs_s")") != std::string::npos &&
                (!c.rfind(R"({"delete":)", 0) || !c.rfind(R"({"insert":)", 0)))
                writes.push_back(c);
        ASSERT_EQ(writes.size(), refused ? 8u : 4u);
        for (size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].find(R"("autocommit": false)") != std::string::npos, replica && i < 4) << writes[i];
            EXPECT_EQ(writes[i].find(R"("startTransaction": true)") != std::string::npos, replica && i == 0);
        }
        EXPECT_EQ(server.count("commitTransaction"), replica && !refused);
        EXPECT_EQ(server.count("abortTransaction"), replica && refused);
    }
}

} // namespace
