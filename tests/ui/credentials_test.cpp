// Passwords given every way, on both sides, with TLS and without, right and wrong: nothing a
// run writes holds a piece of one, nor does the command line of a running brolix-cli.
#include "app/secrets.h"
#include "tests/support/ui_support.h"

#include <algorithm>
#include <fstream>
#include <gmock/gmock.h>
#include <iterator>
#include <sstream>
#include <sys/wait.h>

using namespace testenv;

namespace {

std::string slurp(const std::string& path)
{
    std::stringstream text;
    return text << std::ifstream(path).rdbuf(), text.str();
}

std::vector<std::string> split(const std::string& line)
{
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), {}};
}

// A brolix-cli run (a shell line): its exit code and all it wrote into out; with input,
// given once it waits on its standard input, first its command line as ps reads it.
std::string run_cli(const std::string& line, const std::string& input, const std::string& out)
{
    FILE* to = popen(("echo $$ >" + out + ".pid; exec " + line + " >" + out + " 2>&1").c_str(), "w");
    std::string proc, cmdline;
    for (int i = 0; !input.empty() && i < 600; ++i, usleep(100000)) // until it waits in read(0, ...)
        if (slurp((proc = "/proc/" + split(slurp(out + ".pid") + " -")[0]) + "/syscall").rfind("0 0x0 ", 0) == 0)
            break;
    if (!input.empty()) {
        EXPECT_NE((cmdline = slurp(proc + "/cmdline")).find("--password-stdin"), std::string::npos) << line;
        std::fwrite(input.data(), 1, input.size(), to);
    }
    int status = pclose(to);
    return std::to_string(WEXITSTATUS(status)) + "\n" + cmdline + "\n" + slurp(out);
}

TEST(Credentials, NoRunWritesAPassword)
{
    // An '@' makes the library misread the connection string and quote the password's rest,
    // in lower case, as a host. brolix-pem opens the test key.
    auto clean = testing::Truly([](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        for (const char* piece : {"dq7@", "hv-data", "dz3-kp", "sk9@", "rw-schema", "brolix-pem", "pw4-wr"})
            if (text.find(piece) != std::string::npos)
                return false;
        return true;
    });
    const std::string data = unique_name("cred"), f = build_dir() + "/" + data, c = tls_dir(),
                      plain = " -ds " + server() + " -db " + data + " -ss " + server() + " -sc " + data +
                              "_s -du a -su b",
                      tls = " -ds " + tls_server() + " -db " + data + " -ss " + tls_server() + " -sc " + data +
                            "_s -ssl y -cafile " + c + "/ca.pem -pemfile " + c + "/client-enc.pem",
                      right = tls + " -pempwd brolix-pem";
    const struct {
        std::string line, env, input; // a brolix-cli command, or "box": the window's start-up ends on a box (one env)
        int exit;
    } rows[] = {
        {"box" + plain + " -dp Dq7@Hv-data -sp Sk9@Rw-schema -debug " + f + ".debug", "", "", 0},
        {"box" + tls + " -pempwd Pw4-wrong", "BROLIX_DATA_PASSWORD=Dz3-Kp-data", "", 0},
        {"check --json" + plain + " -dp Dz3-Kp-data -sp Sk9@Rw-schema", "", "", 2}, // the server refuses
        {"sync --dry-run --json" + plain, "BROLIX_DATA_PASSWORD=Dq7@Hv-data BROLIX_SCHEMA_PASSWORD=Rw-schema", "", 2},
        {"check --password-stdin" + plain + " -sp Sk9@Rw-schema", "", "Dq7@Hv-data\n", 2},
        {"check" + tls + " -pempwd Pw4-wrong", "", "", 2},
        {"create --yes" + right, "", "", 0},
        {"check --json --password-stdin" + tls, "BROLIX_PEM_PASSWORD=Pw4-wrong", "\n\nbrolix-pem\n", 0}, // stdin wins
        {"sync --dry-run --json" + tls, "BROLIX_PEM_PASSWORD=brolix-pem", "", 0},
        {"dump --all --out " + f + ".dump" + right, "", "", 0},
        {"export --out " + f + ".json" + right, "", "", 0},
        {"import " + f + ".json --replace" + right, "BROLIX_PEM_PASSWORD=Pw4-wrong", "", 0}, // the option wins
    };
    install_log_scrubber(); // as the process entries do
    mongoc_client_t* client = mongoc_client_new(("mongodb://" + tls_server() + ":27017/?tls=true&tlsCAFile=" + c +
                                                 "/ca.pem&tlsCertificateKeyFile=" + c + "/client.pem").c_str());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        std::string written;
        if (row.line.rfind("box", 0) == 0) { // in a child, which ends with the box
            QStringList window{"brolix"};
            for (const std::string& word : split(row.line.substr(3)))
                window << QString::fromStdString(word);
            EXPECT_EXIT(
                {
                    dup2(2, 1); // the library's notes go to standard output
                    row.env.empty() || putenv(const_cast<char*>(row.env.c_str()));
                    BoxRecorder echo(true);
                    Schema w(window);
                    std::_Exit(3);
                },
                ::testing::ExitedWithCode(0), testing::AllOf(testing::HasSubstr("BOX: "), clean));
        } else {
            if (row.line.rfind("create", 0) == 0) // the data, over TLS
                insert_json(client, data, "stock", R"({"item": "pen", "count": 3})");
            written = run_cli("env " + row.env + " " + build_dir() + "/brolix-cli " + row.line, row.input, f + ".out");
            EXPECT_EQ(written.substr(0, 2), std::to_string(row.exit) + "\n") << written;
        }
        EXPECT_THAT(written + slurp(f + ".debug") + slurp(f + ".dump") + slurp(f + ".json"), clean);
    }
    EXPECT_THAT(slurp(f + ".dump"), testing::HasSubstr(data + ".stock"));
    for (const char* kind : {".debug", ".dump", ".json", ".out", ".out.pid"})
        std::remove((f + kind).c_str());
    drop_database(client, data);
    drop_database(client, data + "_s");
    mongoc_client_destroy(client);
}

} // namespace
