// Passwords given every way, on both sides, with TLS and without, right and wrong: nothing a
// run writes holds a piece of one, nor does the command line of a running brolix-cli.
#include "core/secrets.h"
#include "tests/support/ui_support.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <sys/wait.h>

using namespace testenv;

namespace {

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
                      names = " -db " + data + " -sc " + data + "_s",
                      plain = names + " -ds " + server() + " -ss " + server() + " -du a -su b",
                      tls = names + " -ds " + tls_server() + " -ss " + tls_server() + " -ssl y -cafile " + c +
                            "/ca.pem -pemfile " + c + "/client-enc.pem",
                      right = tls + " -pempwd brolix-pem";
    const struct {
        std::string line, env, input; // a brolix-cli command, or "box": the window's start-up ends on a box
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
        std::string written, proc;
        if (row.line.rfind("box", 0) == 0) { // in a child, which ends with the box
            QStringList window = QString::fromStdString("brolix" + row.line.substr(3)).split(' ');
            EXPECT_EXIT(
                {
                    dup2(2, 1); // the library's notes go to standard output
                    row.env.empty() || putenv(const_cast<char*>(row.env.c_str()));
                    BoxRecorder echo(true);
                    Schema w(window);
                    std::_Exit(3);
                },
                ::testing::ExitedWithCode(0), testing::AllOf(testing::HasSubstr("BOX: "), clean));
        } else { // with input: once it waits in read(0, ...), its command line as ps reads it
            if (row.line.rfind("create", 0) == 0) // the data, over TLS
                insert_json(client, data, "stock", R"({"item": "pen", "count": 3})");
            FILE* in = popen(("printf %s $$ >" + f + ".pid; exec env " + row.env + " " + build_dir() +
                              "/brolix-cli " + row.line + " >" + f + ".out 2>&1").c_str(), "w");
            for (int i = 0; !row.input.empty() && i < 600; ++i, usleep(100000))
                if (file_text((proc = "/proc/" + file_text(f + ".pid")) + "/syscall").rfind("0 0x0 ", 0) == 0)
                    break;
            EXPECT_TRUE(row.input.empty() ||
                        (written = file_text(proc + "/cmdline")).find("--password-stdin") != std::string::npos);
            std::fputs(row.input.c_str(), in);
            int status = pclose(in);
            written += file_text(f + ".out");
            EXPECT_EQ(WEXITSTATUS(status), row.exit) << written;
        }
        EXPECT_THAT(written + file_text(f + ".debug") + file_text(f + ".dump") + file_text(f + ".json"), clean);
    }
    EXPECT_THAT(file_text(f + ".dump"), testing::HasSubstr(data + ".stock"));
    for (const char* kind : {".debug", ".dump", ".json", ".out", ".pid"})
        std::remove((f + kind).c_str());
    drop_database(client, data);
    drop_database(client, data + "_s");
    mongoc_client_destroy(client);
}

} // namespace
