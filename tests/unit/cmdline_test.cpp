#include "app/cmdline.h"
#include "app/dbinfo.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct CommandLine : ::testing::Test {
    DBINFO d;
    CommandLine() { testenv::init_dbinfo(&d); }
    bool parse(QStringList words)
    {
        words.prepend("brolix");
        return parse_command_line(&d, words);
    }
};

TEST_F(CommandLine, RejectsEveryMalformedLine)
{
    EXPECT_FALSE(parse({}));                              // no arguments
    EXPECT_FALSE(parse({"-ds", "-db", "x"}));             // option followed by option
    EXPECT_FALSE(parse({"-db", "x", "-ps"}));             // last option without value
    EXPECT_FALSE(parse({"-DS", "host"}));                 // options are case-sensitive
    EXPECT_FALSE(parse({"stray"}));                       // a word where an option belongs
    EXPECT_FALSE(parse({"-db", "x", "y"}));               // value without option
    EXPECT_FALSE(parse({"-ssl", "yes"}));
    EXPECT_FALSE(parse({"-ssl", ""}));
    EXPECT_FALSE(parse({"-wcv", "1"}));
    EXPECT_FALSE(parse({"-ds", "-db"}));
}

TEST_F(CommandLine, StoresEveryOption)
{
    ASSERT_TRUE(parse({"-dsn", "demo", "-ds", "h1", "-db", "d1", "-du", "u1", "-dp", "p1",
                       "-ss", "h2", "-sc", "s2", "-su", "u2", "-sp", "p2", "-ps", "25",
                       "-cw", "80", "-debug", "/tmp/x.txt", "-ssl", "y", "-cafile", "ca",
                       "-cadir", "cad", "-crlfile", "crl", "-pemfile", "pem", "-pempwd", "pw",
                       "-wcv", "Y"}));
    EXPECT_EQ(d.dsn, "demo");
    EXPECT_STREQ(d.server, "h1");
    EXPECT_STREQ(d.database, "d1");
    EXPECT_STREQ(d.user, "u1");
    EXPECT_STREQ(d.password, "p1");
    EXPECT_STREQ(d.md_server, "h2");
    EXPECT_STREQ(d.md_database, "s2");
    EXPECT_STREQ(d.md_user, "u2");
    EXPECT_STREQ(d.md_password, "p2");
    EXPECT_EQ(d.preview_rows, 25);
    EXPECT_EQ(d.max_width, 80);
    EXPECT_STREQ(d.debug_file, "/tmp/x.txt");
    EXPECT_STREQ(d.ssl, "Y");
    EXPECT_STREQ(d.wcv, "Y");
    EXPECT_TRUE(d.ssl_opts.weak_cert_validation);
    EXPECT_STREQ(d.ssl_opts.ca_file, "ca");
    EXPECT_STREQ(d.ssl_opts.ca_dir, "cad");
    EXPECT_STREQ(d.ssl_opts.crl_file, "crl");
    EXPECT_STREQ(d.ssl_opts.pem_file, "pem");
    EXPECT_STREQ(d.ssl_opts.pem_pwd, "pw");
}

TEST_F(CommandLine, ResetsEarlierValuesAndLeavesUndecidedFlags)
{
    dbinfo_set_text(d.server, "old");
    d.preview_rows = 7;
    ASSERT_TRUE(parse({"-db", "x"}));
    EXPECT_STREQ(d.server, "");
    EXPECT_EQ(d.preview_rows, 0);
    EXPECT_EQ(d.max_width, 0);
    EXPECT_STREQ(d.ssl, " ");
    EXPECT_STREQ(d.wcv, " ");
    EXPECT_EQ(d.ssl_opts.ca_file, nullptr);
    EXPECT_FALSE(d.ssl_opts.weak_cert_validation);
}

TEST_F(CommandLine, ConvertsPreviewSizeAndWidth)
{
    struct {
        const char* value;
        int rows;
        int width;
    } cases[] = {{"0", 100, 4096}, {"-1", 1000, 32768}, {"250", 250, 250}, {"abc", 100, 4096},
                 {"12abc", 12, 12}, {"-7", -7, -7}, {"", 100, 4096}};
    for (const auto& c : cases) {
        ASSERT_TRUE(parse({"-ps", c.value, "-cw", c.value})) << c.value;
        EXPECT_EQ(d.preview_rows, c.rows) << c.value;
        EXPECT_EQ(d.max_width, c.width) << c.value;
    }
}

TEST_F(CommandLine, YesNoValues)
{
    ASSERT_TRUE(parse({"-ssl", "Y", "-wcv", "n"}));
    EXPECT_STREQ(d.ssl, "Y");
    EXPECT_STREQ(d.wcv, "N");
    EXPECT_FALSE(d.ssl_opts.weak_cert_validation);
    ASSERT_TRUE(parse({"-ssl", "N", "-wcv", "y"}));
    EXPECT_STREQ(d.ssl, "N");
    EXPECT_TRUE(d.ssl_opts.weak_cert_validation);
}

TEST_F(CommandLine, LaterOccurrenceWins)
{
    ASSERT_TRUE(parse({"-db", "first", "-db", "second", "-ssl", "y", "-ssl", "n"}));
    EXPECT_STREQ(d.database, "second");
    EXPECT_STREQ(d.ssl, "N");
}

TEST_F(CommandLine, AcceptsUnlistedCrlFileAndDsnWithServer)
{
    ASSERT_TRUE(parse({"-crlfile", "list.crl"}));
    EXPECT_STREQ(d.ssl_opts.crl_file, "list.crl");
    ASSERT_TRUE(parse({"-dsn", "name", "-ds", "host"}));
    EXPECT_STREQ(d.server, "host");
}

TEST_F(CommandLine, OverlongValueMakesTheLineInvalid)
{
    std::string fits(2047, 'a');
    std::string too_long(2048, 'a');
    ASSERT_TRUE(parse({"-db", QString::fromStdString(fits)}));
    EXPECT_EQ(std::string(d.database), fits);
    for (const char* option : {"-ds", "-db", "-du", "-dp", "-ss", "-sc", "-su", "-sp", "-debug", "-dsn"}) {
        EXPECT_FALSE(parse({option, QString::fromStdString(too_long)})) << option;
    }
    // Multi-byte text counts in bytes.
    std::string wide;
    for (int i = 0; i < 1024; ++i)
        wide += "\xc3\xa9";
    EXPECT_FALSE(parse({"-db", QString::fromUtf8(wide.c_str())}));
}

TEST(Usage, TextLinesAsShown)
{
    std::string text = usage_text();
    EXPECT_EQ(text.substr(0, 43), "Invalid command line arguments. Usage is:\n\n");
    EXPECT_NE(text.find("\n[-ssl y/Y/n/N]\n\nIf secure connection required (-ssl y/Y used), add:\n\n"),
              std::string::npos);
    EXPECT_NE(text.find("\n  -pempwd \"pem password\"] [-wcv (weak certificate validation) y/Y/n/N]\n"),
              std::string::npos);
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 12);
    EXPECT_EQ(text.find("crlfile"), std::string::npos);
}

} // namespace
