// Connecting to the real test servers: probes, failure texts, TLS.
#include "core/connect.h"
#include "core/message.h"
#include "core/wire.h"
#include "tests/support/test_env.h"

#include <sstream>

namespace {

std::string refused(const std::string& address) // the library on a loopback address where nothing listens
{
    return "MongoDB Error:No suitable servers found (`serverSelectionTryOnce` set): "
           "[Failed to connect to target host: " + address + ":27017]\n";
}

TEST(Connect, SidesAndTheirFailures)
{
    const std::string up = testenv::server(), dead = testenv::dead_server(), tls = testenv::tls_server(),
                      certs = testenv::tls_dir(), exit = "\nPlease press OK to exit.",
                      no_name = "A schema name is not defined for the datasource.|Press 'Yes' to view the "
                                "data anyway or \npress 'No' to go back and add a schema name?";
    const struct {
        const char* name;
        std::string server, database, md_server, md_database;
        int answer;
        std::string tls; // "CA-FILE PEM-FILE [PEM-PASSWORD]" in the certificates' folder
        bool ok;
        std::string box; // "text|informative", the informative's start only when it ends in '*'
    } rows[] = {
        {"both answer", up, "c", testenv::server2(), "cs", 0, "", true, ""},
        {"one server, two clients", up, "a", up, "b", 0, "", true, ""},
        {"dead data server", dead, "sales", up, "ss", 0, "", false,
         "Could not connect to Database - 'sales'|" + refused(dead) + exit},
        {"dead schema server", up, "sales", dead, "ss", 0, "", false,
         "Could not connect to Schema - 'ss'|" + refused(dead) + exit},
        {"no database name", up, "", up, "s", 0, "", false, "No database name given.|MongoDB Error:*"},
        {"no schema name, view anyway", up, "v", up, "", BTN_YES, "", true, no_name},
        {"rejected connection string", "", "sales", up, "ss", 0, "", false,
         "Could not connect to Database - 'sales'|" + exit},
        {"TLS, CA file and client certificate", tls, "t", tls, "ts", 0, "ca.pem client.pem", true, ""},
        {"TLS, password-protected key", tls, "t", tls, "ts", 0, "ca.pem client-enc.pem brolix-pem", true, ""},
        {"TLS, wrong CA", tls, "t", tls, "ts", 0, "other-ca.pem client.pem", false,
         "Could not connect to Schema - 'ts'|MongoDB Error:*"},
        {"TLS, key under a password, none given: no prompt", tls, "t", tls, "ts", 0, "ca.pem client-enc.pem",
         false, "Could not connect to Schema - 'ts'|MongoDB Error:*"},
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
        std::istringstream tls_files(row.tls);
        std::string ca, pem, extra;
        if (tls_files >> ca >> pem) {
            d.ssl = keep_string("Y");
            d.ssl_opts.ca_file = keep_string((certs + "/" + ca).c_str());
            d.ssl_opts.pem_file = keep_string((certs + "/" + pem).c_str());
            d.ssl_opts.pem_pwd = tls_files >> extra ? keep_string(extra.c_str()) : nullptr;
        }
        EXPECT_EQ(connect_databases(&d), row.ok);
        testenv::release_dbinfo(&d);
        EXPECT_EQ(d.mode, row.ok && row.md_database.empty() ? MODE_VIEW_ONLY : MODE_EDIT);
        if (row.ok && !row.md_database.empty()) { // start-up asks again before it trusts an empty database
            EXPECT_TRUE(d.client && d.md_client && d.client != d.md_client);
            EXPECT_TRUE(side_still_answers(&d, SIDE_DATA) && side_still_answers(&d, SIDE_SCHEMA));
        }
        const int dead_side = row.server == dead ? SIDE_DATA : row.md_server == dead ? SIDE_SCHEMA : -1;
        if (dead_side >= 0) { // the plain words a read failing this way would be told in
            bson_error_t error{};
            error.domain = dead_side == SIDE_DATA ? MONGOC_ERROR_SERVER_SELECTION : MONGOC_ERROR_STREAM;
            char plain[DBINFO_TEXT];
            describe_request_failure(&d, dead_side, &error, plain);
            EXPECT_EQ(std::string(plain),
                      std::string("the ") + (dead_side == SIDE_DATA ? "data" : "schema") + " server " + dead +
                          " refused the connection");
        }
        if (row.box.empty()) {
            EXPECT_TRUE(recorder.messages.empty()) << recorder.messages[0].informative;
            continue;
        }
        ASSERT_EQ(recorder.messages.size(), 1u);
        const testenv::message_t& m = recorder.messages[0];
        std::string box = m.text + "|" + m.informative;
        EXPECT_EQ(row.box.back() == '*' ? box.substr(0, row.box.size() - 1) + "*" : box, row.box);
        EXPECT_EQ(m.buttons, row.answer ? BTN_YES_NO : BTN_OK);
        EXPECT_EQ(m.default_button, row.answer ? BTN_YES : BTN_OK);
    }
}

} // namespace

