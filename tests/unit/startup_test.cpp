// The start-up settings: the command line, then a data source read through real unixODBC from
// temporary files, written once: unixODBC keeps an answer a while, so each row has its own source.
#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/outcomes.h"
#include "discovery/discover.h"
#include "startup/cmdline.h"
#include "startup/datasource.h"
#include "startup/told.h"
#include "tests/support/test_env.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// Words split at spaces; "a " is "a" and an empty value.
QStringList words(const QString& line)
{
    return QStringList{"brolix"} + (line.isEmpty() ? QStringList() : line.split(' '));
}

// The settings of the record, empty ones left out.
std::string settings(const DBINFO& d)
{
    auto text = [](const char* t) { return std::string(t ? t : ""); };
    auto flag = [](const char* f) { return std::string(!f ? "null" : std::strcmp(f, " ") == 0 ? "" : f); };
    auto number = [](int n) { return n ? std::to_string(n) : std::string(); };
    const std::pair<const char*, std::string> fields[] = {
        {"ds", d.server}, {"db", d.database}, {"du", d.user}, {"dp", d.password}, {"ss", d.md_server},
        {"sc", d.md_database}, {"su", d.md_user}, {"sp", d.md_password}, {"ps", number(d.preview_rows)},
        {"cw", number(d.max_width)}, {"debug", d.debug_file}, {"ssl", flag(d.ssl)}, {"wcv", flag(d.wcv)},
        {"weak", number(d.ssl_opts.weak_cert_validation)}, {"ca", text(d.ssl_opts.ca_file)},
        {"cadir", text(d.ssl_opts.ca_dir)}, {"crl", text(d.ssl_opts.crl_file)},
        {"pem", text(d.ssl_opts.pem_file)}, {"pempwd", text(d.ssl_opts.pem_pwd)},
        {"legacy", number(d.legacy_collection_list)}, {"wide", number(d.default_wide)},
        {"pool", number(d.pool_size)},
        {"sample", d.sample_strategy > 0 ? sample_strategy_name(d.sample_strategy) : ""}};
    std::string out;
    for (const auto& field : fields)
        if (!field.second.empty())
            out += (out.empty() ? "" : " ") + std::string(field.first) + "=" + field.second;
    return out;
}

// Settings, then the connection strings of the data and the schema side where a row gives them.
TEST(CommandLine, ParsesOrRefusesEachLine)
{
    const QString fits(2047, 'a'), too_long(2048, 'a'), wide(1024, QChar(0xe9)), host(2031, 'h');
    const std::string refused = "(refused)";
    const struct {
        QString line;
        std::string expected, uris = "";
    } rows[] = {
        {"", refused}, {"-ds -db x", refused}, {"-db x -ps", refused}, {"-DS host", refused},
        {"-db x y", refused}, {"-ssl yes", refused}, {"-wcv 1", refused}, {"-db " + wide, refused},
        {"-pool 0", refused}, {"-pool 65", refused}, {"-pool 8x", refused}, {"-pool 1 -pool 64", "pool=64"},
        {"-sample", refused}, {"-sample last", refused}, {"-sample Newest", refused},
        {"-sample random -sample spread", "sample=spread"}, {"-sample newest", "sample=newest"},
        {"-dsn " + too_long, refused},
        {"-dsn demo -ds h1 -db d1 -du u1 -dp p1 -ss h2 -sc s2 -su u2 -sp p2 -ps 25 -cw 80 -debug /tmp/x.txt "
         "-ssl y -cafile ca -cadir cad -crlfile crl -pemfile pem -pempwd pw -wcv Y",
         "dsn=demo ds=h1 db=d1 du=u1 dp=p1 ss=h2 sc=s2 su=u2 sp=p2 ps=25 cw=80 debug=/tmp/x.txt ssl=Y wcv=Y "
         "weak=1 ca=ca cadir=cad crl=crl pem=pem pempwd=pw",
         "mongodb://u1:p1@h1:27017/d1?ssl=true mongodb://u2:p2@h2:27017/s2?ssl=true"},
        {"-db x", "db=x"}, {"-ps 0 -cw 0", "ps=100 cw=4096"}, {"-ps -1 -cw -1", "ps=1000 cw=32768"},
        {"-ps abc -cw ", "ps=100 cw=4096"}, {"-ps 12abc -cw -7", "ps=12 cw=-7"},
        {"-ssl Y -wcv n", "ssl=Y wcv=N"}, {"-ssl N -wcv y", "ssl=N wcv=Y weak=1"},
        {"-db first -db second -ssl y -ssl n", "db=second ssl=N"},
        {"-db " + fits, "db=" + fits.toStdString()},
        // No user: no database in the string. Credentials are percent-encoded.
        {"-ds data.host -db sales -sc meta -sp only", "ds=data.host db=sales sc=meta sp=only",
         "mongodb://data.host:27017 mongodb://:only@:27017/meta"},
        {"-ds h -db sales -du ann -dp p@ss:w/rd -ssl n", "ds=h db=sales du=ann dp=p@ss:w/rd ssl=N",
         "mongodb://ann:p%40ss%3Aw%2Frd@h:27017/sales mongodb://:27017"},
        {"-ds " + host + "h", "ds=" + host.toStdString() + "h", " mongodb://:27017"}, // too long, 2048 bytes
    };
    DBINFO d;
    testenv::init_dbinfo(&d);
    for (const auto& row : rows) { // each parse clears what the one before left
        bool ok = parse_command_line(&d, words(row.line));
        std::string dsn = d.dsn.isEmpty() ? "" : "dsn=" + d.dsn.toStdString() + " ";
        EXPECT_EQ(ok ? dsn + settings(d) : refused, row.expected) << row.line.left(80).toStdString();
        char data_uri[DBINFO_TEXT], schema_uri[DBINFO_TEXT];
        build_connection_uri(SIDE_DATA, &d, data_uri);
        build_connection_uri(SIDE_SCHEMA, &d, schema_uri);
        EXPECT_TRUE(row.uris.empty() || data_uri + std::string(" ") + schema_uri == row.uris)
            << row.line.left(80).toStdString() << ": " << data_uri << " " << schema_uri;
    }
    // The pool's default is for a line without -pool; -pool 1 keeps the reads on one connection.
    for (const auto& [line, pool] : {std::pair<QString, int>{"-db x", DEFAULT_POOL_SIZE}, {"-db x -pool 1", 1}}) {
        ASSERT_TRUE(parse_command_line(&d, words(line)));
        dbinfo_before_connect(&d);
        EXPECT_EQ(d.pool_size, pool) << line.toStdString();
    }
}

// A data source of the editor's driver with every value it needs when TLS is off, changed by
// lines "Entry = value" (replaced or added) and "-Entry" (removed).
std::string section(const std::string& name, const std::string& changes)
{
    std::string text = "\nDriver = /usr/lib/x86_64-linux-gnu/libbrol.so\nServer = srv\nDatabase = data\n"
                       "User = usr\nPassword = pwd\nMD_Server = mdsrv\nMD_Database = schema\n"
                       "MD_User = mdusr\nMD_Password = mdpwd\nDefaultW = No\nPreview = 50\nSSL = No\n";
    std::istringstream lines(changes);
    for (std::string line; std::getline(lines, line);) {
        bool removed = line[0] == '-';
        size_t at = text.find("\n" + line.substr(removed, line.find(" = ") - removed) + " = ");
        if (at != std::string::npos)
            text.erase(at + 1, text.find('\n', at + 1) - at);
        text += removed ? "" : line + "\n";
    }
    return "[" + name + "]" + text + "\n";
}

// Each row's data source is its line's first word, in the user's file unless null. "std": the
// values of section(); "-14:" a refusal; "printed": the console told.
const struct {
    QString line;
    const char* changes;
    std::string expected;
} sources[] = {
    {"both", "", "std ps=50 cw=4096 ssl=N"}, // the user's first
    {"full -ds cmd-host -sp secret -cw 80", "",
     "ds=cmd-host db=data du=usr dp=pwd ss=mdsrv sc=schema su=mdusr sp=secret ps=50 cw=80 ssl=N"},
    // Only the editor's driver, by its file or its odbcinst.ini name; what was read stays.
    {"by_name -ps 9", "Driver = Tarnwell MongoDB", "std ps=9 cw=4096 ssl=N"},
    {"other_name", "Driver = Other Driver", "-14: ps=100 cw=4096 printed"},
    {"nodb -ps -1", "-Database\nDefaultW = Yes", "-14: ds=srv ps=1000 cw=4096"},
    // TLS only for "Yes", and then with its values.
    {"minus_one", "Preview = -01", "std ps=1000 cw=4096 ssl=N"}, // read as -1, made 1000 on the way out
    {"lower", "SSL = yes", "std ps=50 cw=4096 ssl=N"}, {"off -ssl y", "", "-14: std ps=100 cw=4096 ssl=Y"},
    {"on -wcv n",
     "SSL = Yes\nweak_cert_validation = Yes\npem_file = /k/c.pem\nca_file = /k/ca.pem\nca_dir = /k\n"
     "crl_file = /k/crl.pem\npem_pwd = pw\nDefaultW = Yes\nPreview = -1", // -1 is 1000; only "Yes" is wide
     "std ps=1000 cw=4096 ssl=Y wcv=N ca=/k/ca.pem cadir=/k crl=/k/crl.pem pem=/k/c.pem pempwd=pw wide=1"},
    {"nopreview", "-Preview", "-14: std ps=100 cw=4096 ssl=N"}, // -ps makes it unneeded:
    {"nopreview -ps 7", "", "std ps=7 cw=4096 ssl=N"},
    {"sampled", "Sample = random", "std ps=50 cw=4096 ssl=N sample=random"},
    {"sampled2 -sample newest", "Sample = random", "std ps=50 cw=4096 ssl=N sample=newest"},
    {"badsample", "Sample = most", "-14: std ps=50 cw=4096 ssl=N"},
    {"nowhere", nullptr, "-15: "}, // nothing read
    // No "SSL" value turns TLS off; undoing -ssl y is told, here and in the -debug file.
    {"nossl -ssl y -debug nossl.debug", "-SSL", "std ps=50 cw=4096 debug=nossl.debug ssl=N printed"},
    {"nossl", "", "std ps=50 cw=4096 ssl=N"},
    {QString(2030, 'n'), nullptr, "-15: "}, // longer than a registry key's path
};

TEST(DataSource, FillsWhatTheCommandLineLeftEmpty)
{
    char dir[] = "/tmp/brolix-dsn-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("ODBCSYSINI", dir, 1);
    setenv("ODBCINI", (std::string(dir) + "/user.ini").c_str(), 1);
    const std::string path = dir;
    std::ofstream(path + "/odbcinst.ini") << "[Tarnwell MongoDB]\nDriver = /opt/t/libbrol.so\n"
                                             "[Other Driver]\nDriver = /opt/other/libother.so\n";
    std::ofstream(path + "/odbc.ini") << "[both]\nDriver = /opt/o/libother.so\nServer = elsewhere\n";
    std::ofstream user(path + "/user.ini");
    for (const auto& row : sources)
        if (row.changes && *row.changes)
            user << section(row.line.section(' ', 0, 0).toStdString(), row.changes);
    user << section("both", "") + section("full", "") + section("off", "");
    user.close();
    const std::string standard = "ds=srv db=data du=usr dp=pwd ss=mdsrv sc=schema su=mdusr sp=mdpwd ";
    DBINFO d;
    int code = 0;
    for (const auto& row : sources) {
        dbinfo_clear(&d);
        dbinfo_init(&d);
        ASSERT_TRUE(parse_command_line(&d, words("-dsn " + row.line)));
        testing::internal::CaptureStdout();
        bool ok = lookup_data_source(&d, &code);
        std::string printed = testing::internal::GetCapturedStdout(), got = settings(d);
        if (got.compare(0, standard.size(), standard) == 0)
            got = "std " + got.substr(standard.size());
        got = (ok ? "" : std::to_string(code) + ": ") + got + (printed.empty() ? "" : " printed");
        EXPECT_EQ(got, row.expected) << row.line.toStdString() << printed;
    }
    set_data_source_library("libbrolix-none.so"); // no installer library: said, not taken for no source
    EXPECT_TRUE(!lookup_data_source(&d, &code) && code == DATA_SOURCE_NO_LIBRARY) << code;
    EXPECT_STREQ(data_source_error_text(code), "Failed to load ODBC installer library (libbrolix-none.so).");
    set_data_source_library(nullptr);
    EXPECT_NE(testenv::file_text("nossl.debug").find(" Warning: the data source has no SSL value, so TLS is off although -ssl y was "
                               "given.\r\n"), std::string::npos);
    std::remove("nossl.debug");
    std::filesystem::remove_all(dir);
}

} // namespace

// What a write that did not happen left, as both programs tell it under the outcome's words.
TEST(Told, HowTheSchemaStandsAfterAWriteThatDidNotHappen)
{
    const std::string no = "\nNothing was written.", back = "\nWhat was written was put back: the schema is as it was.";
    const std::pair<int, std::string> rows[] = {
        {CHANGE_HELD, no},     {CHANGE_CONFLICT, no}, {CHANGE_NOT_STARTED, no}, {CREATE_STOPPED, no},
        {CHANGE_UNDONE, back}, {CHANGE_REFUSED, back}, {CHANGE_CANCELLED, back}, {CHANGE_FENCED, ""},
        {CHANGE_PENDING, "\nIt was left half-written in the journal: the next start puts it back."}};
    for (const auto& row : rows) {
        EXPECT_EQ(change_outcome_text(row.first, "Why."), "Why." + row.second) << row.first;
        EXPECT_EQ(change_outcome_text(row.first, ""), row.second.substr(row.second.empty() ? 0 : 1)) << row.first;
    }
    EXPECT_EQ(version_numbers({4}) + "|" + version_numbers({4, 5}) + "|" + version_numbers({4, 5, 7}), "4|4 and 5|4, 5 and 7");
}
