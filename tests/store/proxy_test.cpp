// tools/latency_proxy.py in front of the first test server plays a user's roles, refusing as
// a real server's privilege check does, and holds two writers' requests to be let go in any
// order: the ground of the tests of least privilege and of two writers.
#include "tests/store/store_fixture.h"
#include "tests/support/proxy.h"

#include <thread>

namespace {

TEST(Proxy, PlaysRolesAsAServerWithThemWould)
{
    const std::string r = "lp_read", w = "lp_write", v = "lp_validate", other = "lp_other";
    mongoc_client_t* fx = testenv::fixture_client();
    for (const std::string& db : {r, w, v, other})
        testenv::drop_database(fx, db);
    testenv::Proxy proxy;
    ASSERT_TRUE(proxy.start("", testenv::server(), {"--grant", r + "=read", "--grant", w + "=readWrite", "--grant",
                                                    v + "=validate,readWrite"}));
    mongoc_client_t* client = testenv::fixture_client(proxy.address());
    const struct { std::string db, command; bool refused; } rows[] = {
        {r, R"({"find": "c"})", false},
        {r, R"({"getMore": {"$numberLong": "7"}, "collection": "c"})", false}, // on the cursor's database
        {other, R"({"getMore": {"$numberLong": "7"}, "collection": "c"})", true},
        {r, R"({"insert": "c", "documents": [{"a": 4}]})", true},
        {r, R"({"aggregate": "c", "pipeline": [{"$out": "d"}], "cursor": {}})", true},
        {w, R"({"aggregate": "c", "pipeline": [{"$out": "d"}], "cursor": {}})", false},
        {w, R"({"validate": "c"})", true},
        {w, R"({"dropDatabase": 1})", true},
        {v, R"({"validate": "c"})", false},
        {v, R"({"dropDatabase": 1})", true},
        {"admin", R"({"renameCollection": "lp_write.d", "to": "lp_write.e"})", false},
        {"admin", R"({"renameCollection": "lp_write.e", "to": "lp_read.e"})", true},
        {"admin", R"({"commitTransaction": 1})", false}, // on admin: passes, readWrite being granted
        {other, R"({"find": "c"})", true},
        {other, R"({"ping": 1})", false},
    };
    // Refused as a server refuses, never forwarded.
    auto refused = [&](const std::string& db, const std::string& name, const bson_error_t& error) {
        EXPECT_EQ(error.domain, MONGOC_ERROR_QUERY) << error.message; // as the server's own refusals come
        EXPECT_EQ(error.code, 13u);
        EXPECT_EQ(std::string(error.message).find("not authorized on " + db + " to execute command { " + name + ": "),
                  0u) << error.message;
        EXPECT_EQ(proxy.counts()["(refused) " + name + " " + db], 1);
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.db + " " + row.command);
        proxy.said("reset", "zeroed");
        bson_t* command = bson_new_from_json(reinterpret_cast<const uint8_t*>(row.command.c_str()), -1, nullptr);
        bson_error_t error{};
        mongoc_client_command_simple(client, row.db.c_str(), command, nullptr, nullptr, &error);
        bson_destroy(command);
        if (row.refused)
            refused(row.db, row.command.substr(2, row.command.find('"', 2) - 2), error);
        else
            EXPECT_NE(error.code, 13u) << error.message; // FerretDB's answer, whatever it is
    }
    // An insert by the collection's call, its documents in a section of their own.
    proxy.said("reset", "zeroed");
    mongoc_collection_t* c = mongoc_client_get_collection(client, r.c_str(), "c");
    bson_t doc = BSON_INITIALIZER;
    bson_error_t error{};
    EXPECT_FALSE(mongoc_collection_insert_one(c, &doc, nullptr, nullptr, &error));
    refused(r, "insert", error);
    mongoc_collection_destroy(c);
    mongoc_client_destroy(client);
    for (const std::string& db : {r, w, v, other})
        testenv::drop_database(fx, db);
    mongoc_client_destroy(fx);
}

// Two writers, each behind a holding proxy, insert the same _id; let go B then A, B's insert
// is done first and A's meets it.
TEST(Proxy, HoldsEachWritersRequestsUntilStepped)
{
    testenv::Proxy a, b;
    ASSERT_TRUE(a.start("", testenv::server(), {"--hold"}));
    ASSERT_TRUE(b.start("", testenv::server(), {"--hold"}));
    const std::string db = testenv::unique_name("lp_hold");
    bson_error_t error_a{}, error_b{};
    auto insert = [&db](testenv::Proxy* proxy, const char* who, bson_error_t* error) {
        mongoc_client_t* client = testenv::fixture_client(proxy->address());
        mongoc_collection_t* c = mongoc_client_get_collection(client, db.c_str(), "c");
        bson_t* doc = BCON_NEW("_id", BCON_INT32(1), "by", who);
        mongoc_collection_insert_one(c, doc, nullptr, nullptr, error);
        bson_destroy(doc);
        mongoc_collection_destroy(c);
        mongoc_client_destroy(client);
    };
    std::thread writer_a(insert, &a, "A", &error_a), writer_b(insert, &b, "B", &error_b);
    EXPECT_EQ(a.said("", "held "), "held 1 insert " + db);
    EXPECT_EQ(b.said("", "held "), "held 1 insert " + db);
    EXPECT_EQ(b.said("step", "stepped "), "stepped 1");
    EXPECT_EQ(b.said("", "answered "), "answered 1");
    EXPECT_EQ(a.said("step", "answered "), "answered 1");
    writer_a.join(), writer_b.join();
    EXPECT_EQ(error_b.code, 0u) << error_b.message;
    EXPECT_EQ(error_a.code, 11000u) << error_a.message;
    mongoc_client_t* fx = testenv::fixture_client();
    EXPECT_EQ(testenv::read_json(fx, db, "c"), strings{R"({ "by" : "B" })"});
    testenv::drop_database(fx, db);
    mongoc_client_destroy(fx);
}

} // namespace
