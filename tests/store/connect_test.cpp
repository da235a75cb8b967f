// Connecting to the real test servers: probes, failure texts, TLS.
#include "app/connect.h"
#include "app/dbinfo.h"
#include "app/message.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

using testenv::MessageRecorder;

namespace {

struct Connect : ::testing::Test {
    DBINFO d;
    MessageRecorder recorder;
    Connect()
    {
        mongoc_init();
        testenv::init_dbinfo(&d);
    }
    ~Connect() override { testenv::release_dbinfo(&d); }
    void sides(const std::string& data_server, const char* database, const std::string& schema_server,
               const char* md_database)
    {
        dbinfo_set_text(d.server, data_server.c_str());
        dbinfo_set_text(d.database, database);
        dbinfo_set_text(d.md_server, schema_server.c_str());
        dbinfo_set_text(d.md_database, md_database);
    }
    std::string error_line(const std::string& address)
    {
        // What the client library says of a loopback address where nothing listens.
        return "MongoDB Error:No suitable servers found (`serverSelectionTryOnce` set): "
               "[connection refused calling hello on '" + address + ":27017']\n";
    }
};

TEST_F(Connect, BothSidesAnswer)
{
    sides(testenv::server(), "conn_data", testenv::server2(), "conn_schema");
    ASSERT_TRUE(connect_databases(&d));
    EXPECT_TRUE(recorder.messages.empty());
    EXPECT_NE(d.client, nullptr);
    EXPECT_NE(d.md_client, nullptr);
    EXPECT_NE(d.client, d.md_client);
    EXPECT_STREQ(mongoc_database_get_name(d.db), "conn_data");
    EXPECT_STREQ(mongoc_database_get_name(d.md_db), "conn_schema");
    EXPECT_EQ(d.mode, MODE_EDIT);
}

TEST_F(Connect, SameServerGetsTwoClients)
{
    sides(testenv::server(), "conn_a", testenv::server(), "conn_b");
    ASSERT_TRUE(connect_databases(&d));
    EXPECT_NE(d.client, d.md_client);
}

TEST_F(Connect, UnreachableDataServer)
{
    std::string dead = testenv::dead_server();
    sides(dead, "sales", testenv::server(), "sales_schema");
    EXPECT_FALSE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "Could not connect to Database - 'sales'");
    EXPECT_EQ(recorder.messages[0].informative, error_line(dead) + "\nPlease press OK to exit.");
    EXPECT_EQ(recorder.messages[0].buttons, BTN_OK);
    EXPECT_EQ(recorder.messages[0].default_button, BTN_OK);
}

TEST_F(Connect, UnreachableSchemaServer)
{
    std::string dead = testenv::dead_server();
    sides(testenv::server(), "sales", dead, "sales_schema");
    EXPECT_FALSE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "Could not connect to Schema - 'sales_schema'");
    EXPECT_EQ(recorder.messages[0].informative, error_line(dead) + "\nPlease press OK to exit.");
}

TEST_F(Connect, BothUnreachableShowsSchemaHeadlineAndBothErrors)
{
    std::string dead = testenv::dead_server();
    sides(dead, "sales", "127.0.0.98", "sales_schema");
    EXPECT_FALSE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "Could not connect to Schema - 'sales_schema'");
    EXPECT_EQ(recorder.messages[0].informative,
              error_line(dead) + error_line("127.0.0.98") + "\nPlease press OK to exit.");
}

TEST_F(Connect, EmptyDatabaseNameIsReported)
{
    sides(testenv::server(), "", testenv::server(), "some_schema");
    EXPECT_FALSE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "No database name given.");
    EXPECT_NE(recorder.messages[0].informative.find("MongoDB Error:"), std::string::npos);
}

TEST_F(Connect, MissingSchemaNameOffersViewOnly)
{
    sides(testenv::server(), "viewable", testenv::server(), "");
    recorder.answer(BTN_YES);
    EXPECT_TRUE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "A schema name is not defined for the datasource.");
    EXPECT_EQ(recorder.messages[0].informative,
              "Press 'Yes' to view the data anyway or \npress 'No' to go back and add a schema name?");
    EXPECT_EQ(recorder.messages[0].buttons, BTN_YES_NO);
    EXPECT_EQ(recorder.messages[0].default_button, BTN_YES);
    EXPECT_EQ(d.mode, MODE_VIEW_ONLY);
}

TEST_F(Connect, MissingSchemaNameAnsweredNo)
{
    sides(testenv::server(), "viewable", testenv::server(), "");
    recorder.answer(BTN_NO);
    EXPECT_FALSE(connect_databases(&d));
    EXPECT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(d.mode, MODE_EDIT);
}

TEST_F(Connect, MissingSchemaNameAndDeadDataServer)
{
    std::string dead = testenv::dead_server();
    sides(dead, "sales", testenv::server(), "");
    EXPECT_FALSE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "No schema name given.");
    EXPECT_EQ(recorder.messages[0].informative.substr(0, error_line(dead).size()), error_line(dead));
}

TEST_F(Connect, RejectedConnectionStringHasNoErrorLine)
{
    sides("", "sales", testenv::server(), "sales_schema");
    EXPECT_FALSE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "Could not connect to Database - 'sales'");
    EXPECT_EQ(recorder.messages[0].informative, "\nPlease press OK to exit.");
    EXPECT_EQ(d.client, nullptr);
}

struct Tls : Connect {
    void tls(const std::string& ca, const std::string& pem, bool weak)
    {
        sides(testenv::tls_server(), "tls_data", testenv::tls_server(), "tls_schema");
        d.ssl = keep_string("Y");
        d.ssl_opts.ca_file = ca.empty() ? nullptr : keep_string(ca.c_str());
        d.ssl_opts.pem_file = pem.empty() ? nullptr : keep_string(pem.c_str());
        d.ssl_opts.weak_cert_validation = weak;
    }
};

TEST_F(Tls, ConnectsWithCaFileAndClientCertificate)
{
    std::string dir = testenv::tls_dir();
    tls(dir + "/ca.pem", dir + "/client.pem", false);
    EXPECT_TRUE(connect_databases(&d)) << (recorder.messages.empty() ? "" : recorder.messages[0].informative);
    EXPECT_TRUE(recorder.messages.empty());
}

TEST_F(Tls, ConnectsWithPasswordProtectedClientKey)
{
    std::string dir = testenv::tls_dir();
    tls(dir + "/ca.pem", dir + "/client-enc.pem", false);
    d.ssl_opts.pem_pwd = keep_string("brolix-pem");
    EXPECT_TRUE(connect_databases(&d)) << (recorder.messages.empty() ? "" : recorder.messages[0].informative);
}

TEST_F(Tls, WrongCaFailsWithErrorLines)
{
    std::string dir = testenv::tls_dir();
    tls(dir + "/other-ca.pem", dir + "/client.pem", false);
    EXPECT_FALSE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "Could not connect to Schema - 'tls_schema'");
    const std::string& info = recorder.messages[0].informative;
    // One error line per side, data side first.
    size_t first = info.find("MongoDB Error:");
    ASSERT_NE(first, std::string::npos) << info;
    EXPECT_NE(info.find("MongoDB Error:", first + 1), std::string::npos) << info;
    EXPECT_NE(info.find("127.0.0.13:27017"), std::string::npos) << info;
}

TEST_F(Tls, WrongCaAcceptedWithWeakValidation)
{
    std::string dir = testenv::tls_dir();
    tls(dir + "/other-ca.pem", dir + "/client.pem", true);
    EXPECT_TRUE(connect_databases(&d)) << (recorder.messages.empty() ? "" : recorder.messages[0].informative);
}

TEST_F(Tls, PlainConnectionToTlsServerFails)
{
    sides(testenv::tls_server(), "tls_data", testenv::server(), "tls_schema");
    EXPECT_FALSE(connect_databases(&d));
    ASSERT_EQ(recorder.messages.size(), 1u);
    EXPECT_EQ(recorder.messages[0].text, "Could not connect to Database - 'tls_data'");
}

} // namespace
