// The data source lookup against real unixODBC, with user and system data sources in
// temporary odbc.ini files.
//
// unixODBC fixes the ODBCSYSINI directory at its first use in the process and keeps a
// value's answer for about 20 seconds by section and entry, whatever ODBCINI says by
// then. So the system directory is one for the whole run, and every test uses data
// source and driver names of its own instead of rewriting the same ones.
#include "app/cmdline.h"
#include "app/datasource.h"
#include "app/dbinfo.h"
#include "app/platform/registry.h"

#include <QStringList>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

std::string temp_dir;

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

void remove_temp_dir()
{
    // unixODBC creates a user file it does not find.
    for (const char* file : {"/user.ini", "/odbc.ini", "/odbcinst.ini", "/absent.ini"})
        std::remove((temp_dir + file).c_str());
    rmdir(temp_dir.c_str());
}

// Nothing else in this program reads ODBC data sources, so the two variables stay set.
struct DataSource : ::testing::Test {
    DBINFO d;
    int code = 0;

    static void SetUpTestSuite()
    {
        if (temp_dir.empty()) {
            char pattern[] = "/tmp/brolix-dsn-XXXXXX";
            ASSERT_NE(mkdtemp(pattern), nullptr);
            temp_dir = pattern;
            std::atexit(remove_temp_dir);
        }
        setenv("ODBCSYSINI", temp_dir.c_str(), 1);
        setenv("ODBCINI", (temp_dir + "/user.ini").c_str(), 1);
        write_file(temp_dir + "/user.ini", "");
        write_file(temp_dir + "/odbc.ini", "");
        write_file(temp_dir + "/odbcinst.ini", "");
    }

    DataSource() { dbinfo_clear(&d); }

    // The user file, the system file and the system driver list, written whole.
    static void user(const std::string& text) { write_file(temp_dir + "/user.ini", text); }
    static void system(const std::string& text) { write_file(temp_dir + "/odbc.ini", text); }
    static void drivers(const std::string& text) { write_file(temp_dir + "/odbcinst.ini", text); }

    // A data source of the editor's driver with every value it needs when TLS is off.
    static std::string section(const std::string& name, const std::string& extra = "",
                               const std::string& driver = "/usr/lib/x86_64-linux-gnu/libbrol.so")
    {
        return "[" + name + "]\nDriver = " + driver + "\nServer = srv\nDatabase = data\n"
               "User = usr\nPassword = pwd\nMD_Server = mdsrv\nMD_Database = schema\n"
               "MD_User = mdusr\nMD_Password = mdpwd\nDefaultW = No\nPreview = 50\n" + extra + "\n";
    }

    // The start-up path: the command line, then the lookup.
    bool start(QStringList words)
    {
        dbinfo_clear(&d);
        dbinfo_init(&d);
        words.prepend("brolix");
        if (!parse_command_line(&d, words)) {
            ADD_FAILURE() << "command line refused";
            return false;
        }
        return lookup_data_source(&d, &code);
    }

    static std::string joined(std::initializer_list<const char*> fields)
    {
        std::string all;
        for (const char* field : fields)
            all += (all.empty() ? "" : " ") + std::string(field ? field : "(null)");
        return all;
    }
    std::string connection_fields() const
    {
        return joined({d.server, d.database, d.user, d.password, d.md_server, d.md_database,
                       d.md_user, d.md_password});
    }
    std::string tls_files() const
    {
        const mongoc_ssl_opt_t& o = d.ssl_opts;
        return joined({o.pem_file, o.ca_file, o.ca_dir, o.crl_file, o.pem_pwd});
    }
};

TEST_F(DataSource, UserDataSourceComesBeforeSystemOne)
{
    user(section("both_1", "SSL = No\n") + "[user_only_1]\nServer = x\n");
    system("[both_1]\nDriver = /opt/other/libother.so\nServer = system-host\n" +
           section("system_only_1", "SSL = No\n", "/opt/tarnwell/libbrol.so"));
    ASSERT_TRUE(start({"-dsn", "both_1"})) << code;
    EXPECT_STREQ(d.server, "srv");

    // A name only the system file has is found there.
    ASSERT_TRUE(start({"-dsn", "system_only_1"})) << code;
    EXPECT_STREQ(d.md_database, "schema");
}

TEST_F(DataSource, FillsWhatTheCommandLineLeftEmpty)
{
    user(section("full_2", "SSL = No\n") +
         "[nodb_2]\nDriver = libbrol.so\nServer = s\nUser = u\nPassword = p\nMD_Server = ms\n"
         "MD_Database = md\nMD_User = mu\nMD_Password = mp\nSSL = No\nDefaultW = Yes\nPreview = 5\n");
    ASSERT_TRUE(start({"-dsn", "full_2"})) << code;
    EXPECT_EQ(connection_fields(), "srv data usr pwd mdsrv schema mdusr mdpwd");
    EXPECT_STREQ(d.ssl, "N");
    EXPECT_FALSE(d.default_wide);
    EXPECT_EQ(d.preview_rows, 50);
    EXPECT_EQ(d.max_width, 4096);

    ASSERT_TRUE(start({"-dsn", "full_2", "-ds", "cmd-host", "-sp", "secret", "-cw", "80"})) << code;
    EXPECT_EQ(connection_fields(), "cmd-host data usr pwd mdsrv schema mdusr secret");
    EXPECT_EQ(d.max_width, 80);

    // A value the command line gave need not be in the data source at all.
    EXPECT_FALSE(start({"-dsn", "nodb_2"}));
    EXPECT_EQ(code, -14);
    ASSERT_TRUE(start({"-dsn", "nodb_2", "-db", "cmd-db"})) << code;
    EXPECT_STREQ(d.database, "cmd-db");
    EXPECT_TRUE(d.default_wide);
    EXPECT_EQ(d.preview_rows, 5);
}

TEST_F(DataSource, AcceptsOnlyTheEditorsDriver)
{
    drivers("[Tarnwell MongoDB 3]\nDriver = /opt/tarnwell/lib/libbrol.so\n"
            "[Other Driver 3]\nDriver = /opt/other/libother.so\n");
    user(section("path_3", "SSL = No\n") +
         section("windows_path_3", "SSL = No\n", "C:\\Program Files\\Tarnwell\\brol.dll") +
         section("by_name_3", "SSL = No\n", "Tarnwell MongoDB 3") +
         section("other_name_3", "SSL = No\n", "Other Driver 3") +
         section("other_path_3", "SSL = No\n", "/usr/lib/libmyodbc8w.so") +
         "[no_driver_3]\nServer = s\n");
    for (const char* name : {"path_3", "windows_path_3", "by_name_3"})
        EXPECT_TRUE(start({"-dsn", name})) << name << " " << code;

    for (const char* name : {"other_name_3", "other_path_3"}) {
        testing::internal::CaptureStdout();
        EXPECT_FALSE(start({"-dsn", name})) << name;
        EXPECT_EQ(code, -14);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n- - - - -DSN NOT Tarnwell") << name;
        EXPECT_STREQ(d.server, "") << "nothing read after the driver check";
    }

    testing::internal::CaptureStdout();
    EXPECT_FALSE(start({"-dsn", "no_driver_3"}));
    EXPECT_EQ(code, -14);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(DataSource, SslValueDecidesTls)
{
    user(section("lower_4", "SSL = yes\npem_file = never-read\n") +
         section("none_4") +
         section("off_4", "SSL = No\n") +
         section("empty_4", "SSL =\n") +
         section("on_4", "SSL = Yes\nweak_cert_validation = Yes\npem_file = /k/client.pem\n"
                         "ca_file = /k/ca.pem\nca_dir = /k\ncrl_file = /k/crl.pem\npem_pwd = pw\n") +
         section("on_blank_4", "SSL = Yes\nweak_cert_validation =\npem_file =\nca_file =\n"
                               "ca_dir =\ncrl_file =\npem_pwd =\n") +
         section("on_missing_4", "SSL = Yes\nweak_cert_validation = No\npem_file = p\nca_file = c\n"
                                 "ca_dir = d\ncrl_file = r\n"));

    ASSERT_TRUE(start({"-dsn", "lower_4"})) << code;
    EXPECT_STREQ(d.ssl, "N");
    EXPECT_EQ(d.ssl_opts.pem_file, nullptr);

    // No SSL value turns TLS off, even against the command line.
    ASSERT_TRUE(start({"-dsn", "none_4", "-ssl", "y"})) << code;
    EXPECT_STREQ(d.ssl, "N");

    // With TLS off no TLS value is needed; the command line's choice stands.
    ASSERT_TRUE(start({"-dsn", "off_4"})) << code;
    EXPECT_STREQ(d.ssl, "N");
    // -ssl y stands against "SSL = No", and then the TLS values are needed.
    EXPECT_FALSE(start({"-dsn", "off_4", "-ssl", "y"}));
    EXPECT_EQ(code, -14);
    EXPECT_STREQ(d.ssl, "Y");

    // An empty value leaves the choice open.
    ASSERT_TRUE(start({"-dsn", "empty_4"})) << code;
    EXPECT_STREQ(d.ssl, " ");

    ASSERT_TRUE(start({"-dsn", "on_4"})) << code;
    EXPECT_STREQ(d.ssl, "Y");
    EXPECT_TRUE(d.ssl_opts.weak_cert_validation);
    EXPECT_EQ(tls_files(), "/k/client.pem /k/ca.pem /k /k/crl.pem pw");

    // The command line's TLS options win over the data source's.
    ASSERT_TRUE(start({"-dsn", "on_4", "-wcv", "n", "-pemfile", "/cmd/me.pem"})) << code;
    EXPECT_FALSE(d.ssl_opts.weak_cert_validation);
    EXPECT_STREQ(d.ssl_opts.pem_file, "/cmd/me.pem");
    EXPECT_STREQ(d.ssl_opts.ca_file, "/k/ca.pem");

    // Empty TLS values are read but set nothing.
    ASSERT_TRUE(start({"-dsn", "on_blank_4", "-wcv", "y"})) << code;
    EXPECT_TRUE(d.ssl_opts.weak_cert_validation);
    EXPECT_EQ(d.ssl_opts.pem_file, nullptr);
    EXPECT_EQ(d.ssl_opts.pem_pwd, nullptr);

    EXPECT_FALSE(start({"-dsn", "on_missing_4"}));
    EXPECT_EQ(code, -14);
    ASSERT_TRUE(start({"-dsn", "on_missing_4", "-pempwd", "x"})) << code;
    EXPECT_STREQ(d.ssl_opts.crl_file, "r");
}

TEST_F(DataSource, PreviewAndDefaultW)
{
    const std::string base =
        "Driver = libbrol.so\nServer = s\nDatabase = d\nUser = u\nPassword = p\nMD_Server = ms\n"
        "MD_Database = md\nMD_User = mu\nMD_Password = mp\nSSL = No\n";
    user("[all_5]\n" + base + "DefaultW = Yes\nPreview = -1\n"
         "[zero_5]\n" + base + "DefaultW = yes\nPreview = 0\n"
         "[empty_5]\n" + base + "DefaultW =\nPreview =\n"
         "[text_5]\n" + base + "DefaultW = No\nPreview = 30 rows\n"
         "[nopreview_5]\n" + base + "DefaultW = No\n"
         "[nowide_5]\n" + base + "Preview = 10\n");

    ASSERT_TRUE(start({"-dsn", "all_5"})) << code;
    EXPECT_EQ(d.preview_rows, 1000);
    EXPECT_TRUE(d.default_wide);
    ASSERT_TRUE(start({"-dsn", "zero_5"})) << code;
    EXPECT_EQ(d.preview_rows, 100);
    EXPECT_FALSE(d.default_wide) << "only Yes, exactly";
    ASSERT_TRUE(start({"-dsn", "empty_5"})) << code;
    EXPECT_EQ(d.preview_rows, 100);
    ASSERT_TRUE(start({"-dsn", "text_5"})) << code;
    EXPECT_EQ(d.preview_rows, 30);

    // -ps makes Preview unnecessary and wins over it.
    EXPECT_FALSE(start({"-dsn", "nopreview_5"}));
    EXPECT_EQ(code, -14);
    ASSERT_TRUE(start({"-dsn", "nopreview_5", "-ps", "7"})) << code;
    EXPECT_EQ(d.preview_rows, 7);

    // DefaultW is always needed.
    EXPECT_FALSE(start({"-dsn", "nowide_5", "-ps", "7"}));
    EXPECT_EQ(code, -14);
}

TEST_F(DataSource, MissingValueMakesItIncompatible)
{
    user("[nouser_6]\nDriver = libbrol.so\nServer = s\nDatabase = d\nPassword = p\n");
    EXPECT_FALSE(start({"-dsn", "nouser_6"}));
    EXPECT_EQ(code, -14);
    // What was read before the stop stays, and the sizes are still made usable.
    EXPECT_STREQ(d.database, "d");
    EXPECT_STREQ(d.password, "");
    EXPECT_EQ(d.preview_rows, 100);
    EXPECT_EQ(d.max_width, 4096);

    EXPECT_FALSE(start({"-dsn", "nouser_6", "-du", "u", "-ps", "-1"}));
    EXPECT_EQ(code, -14) << "MD_Server is missing too";
    EXPECT_STREQ(d.password, "p");
    EXPECT_EQ(d.preview_rows, 1000);
}

TEST_F(DataSource, NameThatExistsNowhereIsNotFound)
{
    user(section("here_7"));
    system(section("there_7"));
    EXPECT_FALSE(start({"-dsn", "nowhere_7"}));
    EXPECT_EQ(code, -15);
    EXPECT_EQ(d.max_width, 0) << "nothing was read";

    // No user file at all: the system data sources are still there.
    setenv("ODBCINI", (temp_dir + "/absent.ini").c_str(), 1);
    EXPECT_FALSE(start({"-dsn", "here_7"}));
    EXPECT_EQ(code, -15);
    EXPECT_TRUE(start({"-dsn", "there_7"})) << code;
    setenv("ODBCINI", (temp_dir + "/user.ini").c_str(), 1);

    // The key path must not end at ODBC.INI itself.
    d.dsn.clear();
    EXPECT_FALSE(lookup_data_source(&d, &code));
    EXPECT_EQ(code, -15);
}

TEST_F(DataSource, MissingValueIsToldApartFromEmptyOne)
{
    user("[values_8]\nDriver = libbrol.so\nEmpty =\nFull = text\n");
    start({"-dsn", "nowhere_8"}); // loads the library
    registry_key_t* key = nullptr;
    EXPECT_EQ(registry_open_key(REGISTRY_CURRENT_USER, L"SOFTWARE\\ODBC\\ODBC.INI\\nowhere_8", &key),
              REGISTRY_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    ASSERT_EQ(registry_open_key(REGISTRY_CURRENT_USER, L"SOFTWARE\\ODBC\\ODBC.INI\\values_8", &key),
              REGISTRY_SUCCESS);
    ASSERT_NE(key, nullptr);

    char field[DBINFO_TEXT] = "";
    EXPECT_EQ(read_registry_value(key, field, L"Empty"), 0);
    EXPECT_STREQ(field, "");
    EXPECT_EQ(read_registry_value(key, field, L"Missing"), REGISTRY_NOT_FOUND);
    EXPECT_EQ(read_registry_value(key, field, L"Full"), 0);
    EXPECT_STREQ(field, "text");
    // A field that holds text is not read again, present value or not.
    EXPECT_EQ(read_registry_value(key, field, L"Missing"), 0);
    EXPECT_EQ(read_registry_value(key, field, L"Empty"), 0);
    EXPECT_STREQ(field, "text");
    registry_close_key(key);

    // There is no 32-bit view outside Windows.
    EXPECT_EQ(registry_open_key(REGISTRY_LOCAL_MACHINE_32, L"SOFTWARE\\ODBC\\ODBC.INI\\values_8", &key),
              REGISTRY_NOT_FOUND);
}

TEST_F(DataSource, LongValueIsNeverOverrun)
{
    std::string long_server(3000, 'h');
    std::string text = section("long_9", "SSL = No\n");
    text.replace(text.find("Server = srv"), 12, "Server = " + long_server);
    user(text);
    // unixODBC 2.3 cuts a line at about 1000 bytes, and the driver reads the same cut
    // value; a reader that gave all of it would have it refused as too long instead.
    if (!start({"-dsn", "long_9"})) {
        EXPECT_EQ(code, -14);
        EXPECT_STREQ(d.server, "");
        return;
    }
    size_t n = std::strlen(d.server);
    EXPECT_GT(n, 0u);
    EXPECT_LT(n, static_cast<size_t>(DBINFO_TEXT));
    EXPECT_EQ(std::string(d.server), long_server.substr(0, n));
    EXPECT_STREQ(d.database, "data");
}

TEST_F(DataSource, LibraryThatDoesNotLoadIsReported)
{
    user(section("lib_10", "SSL = No\n"));
    set_data_source_library("libbrolix-no-such-library.so.9");
    EXPECT_FALSE(start({"-dsn", "lib_10"}));
    EXPECT_EQ(code, -16);
    EXPECT_STREQ(data_source_library_message(),
                 "Failed to load ODBC installer library (libbrolix-no-such-library.so.9).");

    // A library without the installer's functions is no better.
    set_data_source_library("libm.so.6");
    EXPECT_FALSE(start({"-dsn", "lib_10"}));
    EXPECT_EQ(code, -16);
    EXPECT_STREQ(data_source_library_message(), "Failed to load ODBC installer library (libm.so.6).");

    set_data_source_library(nullptr);
    EXPECT_STREQ(data_source_library_message(),
                 "Failed to load ODBC installer library (libodbcinst.so.2).");
    EXPECT_TRUE(start({"-dsn", "lib_10"})) << code;
}

} // namespace
