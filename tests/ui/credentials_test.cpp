// Passwords given every way (options, environment, standard input), on both sides, with TLS
// and without, right and wrong: nothing a run writes holds a piece of one, nor does the
// command line of a running brolix-cli.
#include "app/secrets.h"
#include "tests/support/ui_support.h"

#include <QPushButton>
#include <algorithm>
#include <fcntl.h>
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
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Split at spaces, each @X replaced.
std::vector<std::string> words(std::string line, const std::vector<std::pair<std::string, std::string>>& names)
{
    for (const auto& n : names)
        for (size_t at; (at = line.find(n.first)) != std::string::npos;)
            line.replace(at, n.first.size(), n.second);
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

void set_env(const std::vector<std::string>& env) // NAME=value words
{
    for (const std::string& e : env)
        setenv(e.substr(0, e.find('=')).c_str(), e.substr(e.find('=') + 1).c_str(), 1);
}

// brolix-cli on args: its exit code, then all it wrote (into out); with input, given once
// it waits on its standard input, also its command line as ps reads it.
std::string run_cli(std::vector<std::string> args, const std::vector<std::string>& env, const std::string& input,
                    const std::string& out)
{
    std::string cmdline;
    args.insert(args.begin(), build_dir() + "/brolix-cli");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int in[2];
    EXPECT_EQ(pipe(in), 0);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in[0], 0), dup2(fd, 1), dup2(fd, 2), close(in[1]);
        set_env(env);
        execv(argv[0], argv.data()), _exit(127);
    }
    close(in[0]);
    if (!input.empty()) { // blocked in read(0, ...): its arguments were read long before
        std::string proc = "/proc/" + std::to_string(pid);
        for (int i = 0; i < 600 && slurp(proc + "/syscall").rfind("0 0x0 ", 0) != 0; ++i)
            usleep(100000);
        cmdline = slurp(proc + "/cmdline");
        EXPECT_NE(cmdline.find("--password-stdin"), std::string::npos);
        EXPECT_EQ(write(in[1], input.data(), input.size()), ssize_t(input.size()));
    }
    close(in[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    return std::to_string(WEXITSTATUS(status)) + "\n" + cmdline + "\n" + slurp(out);
}

TEST(Credentials, NoRunWritesAPassword)
{
    // An '@' makes the client library misread the connection string and quote the password's
    // rest as a host, in lower case. brolix-pem opens the test key.
    const std::vector<std::string> pieces = {"dq7@", "hv-data", "dz3-kp", "sk9@", "rw-schema", "brolix-pem", "pw4-wr"};
    auto clean = testing::Truly([&](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        return std::none_of(pieces.begin(), pieces.end(),
                            [&](const std::string& p) { return text.find(p) != std::string::npos; });
    });
    const std::string data = unique_name("cred"), file = build_dir() + "/" + data,
                      plain = "-ds @H -db @D -ss @H -sc @D_s -du ann -su bob",
                      tls = "-ds @T -db @D -ss @T -sc @D_s -ssl y -cafile @C/ca.pem -pemfile @C/client-enc.pem";
    const struct {
        std::string line; // a brolix-cli command; "box": start-up ends on a box; "window": it opens, dumps
        std::string env, input;
        int exit;
    } rows[] = {
        {"box " + plain + " -dp Dq7@Hv-data -sp Sk9@Rw-schema -debug @F.debug", "", "", 0},
        {"box " + tls + " -pempwd Pw4-wrong -debug @F.debug", "BROLIX_DATA_PASSWORD=Dz3-Kp-data", "", 0},
        {"check --json " + plain + " -dp Dz3-Kp-data -sp Sk9@Rw-schema", "", "", 2}, // the server refuses
        {"sync --dry-run --json " + plain, "BROLIX_DATA_PASSWORD=Dq7@Hv-data BROLIX_SCHEMA_PASSWORD=Rw-schema", "", 2},
        {"check --password-stdin " + plain + " -sp Sk9@Rw-schema", "", "Dq7@Hv-data\n", 2},
        {"check " + tls + " -pempwd Pw4-wrong", "", "", 2},
        {"create --yes " + tls + " -pempwd brolix-pem", "", "", 0},
        {"check --json --password-stdin " + tls, "BROLIX_PEM_PASSWORD=Pw4-wrong", "\n\nbrolix-pem\n", 0}, // stdin wins
        {"sync --dry-run --json " + tls, "BROLIX_PEM_PASSWORD=brolix-pem", "", 0},
        {"dump --all --out @F.dump " + tls + " -pempwd brolix-pem", "", "", 0},
        {"export --out @F.json " + tls + " -pempwd brolix-pem", "", "", 0},
        {"import @F.json --replace " + tls + " -pempwd brolix-pem", "BROLIX_PEM_PASSWORD=Pw4-wrong", "", 0},
        {"window " + tls + " -debug @F.debug", "BROLIX_PEM_PASSWORD=brolix-pem", "", 0},
    };
    install_log_scrubber(); // as the process entries do
    mongoc_client_t* client = nullptr;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        std::vector<std::string> args = words(row.line, {{"@H", server()}, {"@T", tls_server()}, {"@C", tls_dir()},
                                                         {"@D", data}, {"@F", file}}),
                                 env = words(row.env, {});
        QStringList window{"brolix"};
        for (size_t i = 1; i < args.size(); ++i)
            window << QString::fromStdString(args[i]);
        if (args[0] == "box") { // in a child: the box is on its standard error
            EXPECT_EXIT(
                {
                    dup2(2, 1); // the library's notes go to standard output
                    set_env(env);
                    BoxRecorder echo(true);
                    Schema w(window);
                    std::_Exit(3);
                },
                ::testing::ExitedWithCode(0), testing::AllOf(testing::HasSubstr("BOX: "), clean));
            continue;
        }
        if (!client) { // the data, over TLS
            client = mongoc_client_new(("mongodb://" + tls_server() + ":27017/?tls=true&tlsCAFile=" + tls_dir() +
                                        "/ca.pem&tlsCertificateKeyFile=" + tls_dir() + "/client.pem").c_str());
            insert_json(client, data, "stock", R"({"item": "pen", "count": 3})");
        }
        std::string written;
        if (args[0] == "window") {
            set_env(env);
            testing::internal::CaptureStderr();
            BoxRecorder boxes;
            Schema w(window);
            SchemaProbe{&w}.ui()->pushButtonDump->click();
            for (const shown_box_t& b : boxes.boxes)
                written += b.text + "\n" + b.informative + "\n";
            written += testing::internal::GetCapturedStderr();
            EXPECT_THAT(written, testing::HasSubstr("Schema dumped to"));
            unsetenv("BROLIX_PEM_PASSWORD");
        } else {
            written = run_cli(args, env, row.input, file + ".out");
            EXPECT_EQ(written.substr(0, 2), std::to_string(row.exit) + "\n") << written;
        }
        for (const char* kind : {".debug", ".dump", ".json"})
            written += slurp(file + kind);
        EXPECT_THAT(written, clean);
    }
    EXPECT_THAT(slurp(file + ".debug"), testing::HasSubstr(data + ".stock"));
    for (const char* kind : {".debug", ".dump", ".json", ".out"})
        std::remove((file + kind).c_str());
    drop_database(client, data);
    drop_database(client, data + "_s");
    mongoc_client_destroy(client);
}

} // namespace
