// Connecting to the real test servers: probes, failure texts, TLS.
#include "app/connect.h"
#include "app/message.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

namespace {

// What the client library says of a loopback address where nothing listens.
std::string refused(const std::string& address)
{
    return "MongoDB Error:No suitable servers found (`serverSelectionTryOnce` set): "
           "[connection refused calling hello on '" + address + ":27017']\n";
}

TEST(Connect, SidesAndTheirFailures)
{
    const std::string up = testenv::server(), dead = testenv::dead_server(), tls = testenv::tls_server(),
                      certs = testenv::tls_dir(), exit = "\nPlease press OK to exit.";
    const struct {
        const char* name;
        std::string server, database, md_server, md_database;
        int answer;
        std::string ca, pem, pwd;
        bool weak, ok;
        std::string text, informative; // informative: its start when it ends in '*'
        int mode;
    } rows[] = {
        {"both answer", up, "conn_data", testenv::server2(), "conn_schema", 0, "", "", "", false, true, "", "", MODE_EDIT},
        {"one server, two clients", up, "conn_a", up, "conn_b", 0, "", "", "", false, true, "", "", MODE_EDIT},
        {"dead data server", dead, "sales", up, "sales_schema", 0, "", "", "", false, false,
         "Could not connect to Database - 'sales'", refused(dead) + exit, MODE_EDIT},
        {"dead schema server", up, "sales", dead, "sales_schema", 0, "", "", "", false, false,
         "Could not connect to Schema - 'sales_schema'", refused(dead) + exit, MODE_EDIT},
        {"both dead: the schema's headline, both errors", dead, "sales", "127.0.0.98", "sales_schema", 0, "", "", "",
         false, false, "Could not connect to Schema - 'sales_schema'", refused(dead) + refused("127.0.0.98") + exit, MODE_EDIT},
        {"no database name", up, "", up, "s", 0, "", "", "", false, false, "No database name given.", "MongoDB Error:*", MODE_EDIT},
        {"no schema name, view anyway", up, "viewable", up, "", BTN_YES, "", "", "", false, true,
         "A schema name is not defined for the datasource.",
         "Press 'Yes' to view the data anyway or \npress 'No' to go back and add a schema name?", MODE_VIEW_ONLY},
        {"no schema name, go back", up, "viewable", up, "", BTN_NO, "", "", "", false, false,
         "A schema name is not defined for the datasource.", "Press*", MODE_EDIT},
        {"no schema name, dead data server", dead, "sales", up, "", 0, "", "", "", false, false, "No schema name given.",
         refused(dead) + "*", MODE_EDIT},
        {"rejected connection string", "", "sales", up, "sales_schema", 0, "", "", "", false, false,
         "Could not connect to Database - 'sales'", exit, MODE_EDIT},
        {"TLS, CA file and client certificate", tls, "tls_data", tls, "tls_schema", 0, certs + "/ca.pem",
         certs + "/client.pem", "", false, true, "", "", MODE_EDIT},
        {"TLS, password-protected key", tls, "tls_data", tls, "tls_schema", 0, certs + "/ca.pem",
         certs + "/client-enc.pem", "brolix-pem", false, true, "", "", MODE_EDIT},
        {"TLS, wrong CA: a line per side", tls, "tls_data", tls, "tls_schema", 0, certs + "/other-ca.pem",
         certs + "/client.pem", "", false, false, "Could not connect to Schema - 'tls_schema'", "MongoDB Error:*", MODE_EDIT},
        {"TLS, wrong CA, weak validation", tls, "tls_data", tls, "tls_schema", 0, certs + "/other-ca.pem",
         certs + "/client.pem", "", true, true, "", "", MODE_EDIT},
        {"plain to a TLS server", tls, "tls_data", up, "tls_schema", 0, "", "", "", false, false,
         "Could not connect to Database - 'tls_data'", "MongoDB Error:*", MODE_EDIT},
    };
    mongoc_init();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DBINFO d;
        testenv::init_dbinfo(&d);
        testenv::MessageRecorder recorder;
        if (row.answer)
            recorder.answer(row.answer);
        dbinfo_set_text(d.server, row.server.c_str());
        dbinfo_set_text(d.database, row.database.c_str());
        dbinfo_set_text(d.md_server, row.md_server.c_str());
        dbinfo_set_text(d.md_database, row.md_database.c_str());
        if (!row.ca.empty()) {
            d.ssl = keep_string("Y");
            d.ssl_opts.ca_file = keep_string(row.ca.c_str());
            d.ssl_opts.pem_file = keep_string(row.pem.c_str());
            d.ssl_opts.pem_pwd = row.pwd.empty() ? nullptr : keep_string(row.pwd.c_str());
            d.ssl_opts.weak_cert_validation = row.weak;
        }
        EXPECT_EQ(connect_databases(&d), row.ok);
        testenv::release_dbinfo(&d);
        EXPECT_EQ(d.mode, row.mode);
        EXPECT_TRUE(!row.server.empty() || !d.client);
        if (row.ok && row.md_database[0]) {
            EXPECT_TRUE(d.client && d.md_client && d.client != d.md_client);
            EXPECT_STREQ(mongoc_database_get_name(d.db), row.database.c_str());
            EXPECT_STREQ(mongoc_database_get_name(d.md_db), row.md_database.c_str());
        }
        if (row.text.empty()) {
            EXPECT_TRUE(recorder.messages.empty()) << recorder.messages[0].informative;
            continue;
        }
        ASSERT_EQ(recorder.messages.size(), 1u);
        const testenv::message_t& m = recorder.messages[0];
        EXPECT_EQ(m.text, row.text);
        if (row.informative.back() == '*')
            EXPECT_EQ(m.informative.rfind(row.informative.substr(0, row.informative.size() - 1), 0), 0u) << m.informative;
        else
            EXPECT_EQ(m.informative, row.informative);
        EXPECT_EQ(m.buttons, row.answer ? BTN_YES_NO : BTN_OK);
        EXPECT_EQ(m.default_button, row.answer ? BTN_YES : BTN_OK);
        if (std::string(row.name).find("wrong CA:") != std::string::npos) { // the wrong CA: one error line per side, data side first
            EXPECT_NE(m.informative.find("MongoDB Error:", 1), std::string::npos) << m.informative;
            EXPECT_NE(m.informative.find(tls + ":27017"), std::string::npos) << m.informative;
        }
    }
}

} // namespace
