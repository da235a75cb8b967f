// Both programs over servers that ask for a user (tools/servers.sh starts them): users in
// the opened database and in admin, generated passwords, another port, TLS with a client
// certificate, connection strings; what is refused, and that no output shows a password.
#include "tests/support/proxy.h"
#include "tests/support/ui_support.h"

#include <filesystem>

using namespace testenv;

namespace {

const std::string plain = "127.0.0.70", tls_host = "127.0.0.71:27018", root = "root:brolix-root@";
const std::string data_pw = "Dn@:/%?#7", schema_pw = "Sm@:/%?#8", admin_pw = "Ad@:/%?#9";

std::string tls_options()
{
    return "tls=true&tlsCAFile=" + tls_dir() + "/ca.pem&tlsCertificateKeyFile=" + tls_dir() + "/client.pem";
}

TEST(Connections, AuthenticatedBothSidesEditorAndCli)
{
    const std::string data = unique_name("auth"), schema = data + "_s", admin_user = data + "_adm",
                      file = build_dir() + "/" + data;
    mongoc_client_t* servers[] = {
        mongoc_client_new(("mongodb://" + root + plain + "/?authSource=admin").c_str()),
        mongoc_client_new(("mongodb://" + root + tls_host + "/?authSource=admin&" + tls_options()).c_str())};
    const std::string users[][3] = {
        {data, "dana", data_pw}, {schema, "sam", schema_pw}, {"admin", admin_user, admin_pw}};
    for (mongoc_client_t* c : servers) {
        for (const auto& u : users)
            command_json(c, u[0], R"({"createUser": ")" + u[1] + R"(", "pwd": ")" + u[2] + R"(", "roles": []})");
        ASSERT_FALSE(HasFailure()) << "no servers with users at " << plain << ", " << tls_host << " (tools/servers.sh start)";
        insert_json(c, data, "orders", R"({"no": 1, "who": {"name": "Ann"}})");
        insert_json(c, data, "zoo", R"({"z": 1})");
    }

    { // the window: start-up creates the schema, a pick, a save
        static bool starting; // a start-up that ends the process (exit code 0) is a failure here
        starting = true;
        std::atexit([] { starting ? std::_Exit(1) : void(); });
        BoxRecorder boxes(true);
        const QStringList args = {"brolix", "-ds", plain.c_str(), "-db", data.c_str(), "-du", "dana", "-dp",
                                  data_pw.c_str(), "-ss", ("mongodb://" + tls_host + "/?authSource=admin&" +
                                  tls_options()).c_str(), "-sc", schema.c_str(), "-su", admin_user.c_str(),
                                  "-sp", admin_pw.c_str()};
        Schema w(args);
        starting = false;
        SchemaProbe p{&w};
        p.pick("zoo");
        p.ui()->pushButtonSave->click();
        EXPECT_EQ(boxes.texts(), (texts_t{"The schema '" + schema + "' does not exist or may be invalid.",
                                          "Save current schema?"}));
        EXPECT_EQ(p.ui()->errorMsg->text().toStdString(), "");
        EXPECT_EQ(read_json(servers[1], schema, "columns", R"({"sql_table": "zoo"})").size(), 2u);
    }

    const std::string names = " -db " + data + " -sc " + schema,
                      data_user = " -ds " + plain + " -du dana -dp '" + data_pw + "'",
                      data_admin = " -ds 'mongodb://" + plain + "/?authSource=admin' -du " + admin_user,
                      data_own = " -ds 'mongodb://" + admin_user + ":Ad%40%3A%2F%25%3F%239@" + plain +
                                 "/?authSource=admin' -du nobody -dp nothing",
                      data_tls = " -ds 'mongodb://" + tls_host + "/?authSource=admin&" + tls_options() + "' -du " +
                                 admin_user,
                      schema_admin = " -ss 'mongodb://" + tls_host + "/?authSource=admin&" + tls_options() +
                                     "' -su " + admin_user + " -sp '" + admin_pw + "'",
                      schema_user = " -ss 'mongodb://" + tls_host + "/" + schema + "?" + tls_options() +
                                    "' -su sam -sp '" + schema_pw + "'",
                      // -ssl and its files hold for both sides, with a data side over TLS too
                      both_tls = " -ds 'mongodb://" + tls_host + "/?authSource=admin' -du " + admin_user +
                                 " -ss mongodb://" + tls_host + "/" + schema + " -su sam -sp '" + schema_pw +
                                 "' -ssl y -cafile " + tls_dir() + "/ca.pem -pemfile " + tls_dir() + "/client.pem",
                      admin_env = "'BROLIX_DATA_PASSWORD=" + admin_pw + "'";
    const struct {
        std::string args, env;
        int exit;
        std::string shows;
    } rows[] = {
        {"check" + data_user + schema_admin, "", 0, ""},
        {"sync --dry-run --json" + data_admin + schema_user, admin_env, 0, "\"outcome\" : \"agree\""},
        {"diff --all" + data_own + schema_user, "", 0, ""},
        {"dump --all --out " + file + ".dump" + data_user + schema_user, "", 0, ""},
        {"export -ssl n --out " + file + ".json" + data_admin + schema_admin, admin_env, 0, ""}, // string's TLS stays
        {"import " + file + ".json --replace" + data_own + schema_admin, "", 0, ""},
        {"create --yes --replace" + data_tls + schema_user, admin_env, 0, ""}, // the pool over TLS too
        {"sync --yes" + data_admin + schema_admin, admin_env, 0, ""},
        {"check --json" + both_tls, admin_env, 0, "\"outcome\" : \"agree\""},
        // Refused: each told in the server's or the library's words, exit 2.
        {"check" + data_user + "x" + schema_admin, "", 2, "Authentication failed."},
        {"check -ds " + plain + schema_admin, "", 2, "requires authentication"},
        {"check" + data_user + " -ss 'mongodb://" + tls_host + "/?authMechanism=MONGODB-X509&" +
         tls_options() + "'", "", 2, "MongoDB Error:"}, // FerretDB knows no x.509 users
        {"check" + data_user + " -ss 'mongodb://" + tls_host + "/?tls=true&tlsCAFile=" + tls_dir() +
         "/ca.pem' -su sam -sp x", "", 2, "Could not connect to Schema"}, // no client certificate
        {"check -ds 'mongodb://u:p@ss@" + plain + "'" + schema_admin, "", 2,
         "The connection string holds an '@' in its user name or password: write it as %40."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        std::string out;
        EXPECT_EQ(run_cli(row.args + names, &out, row.env), row.exit) << out;
        EXPECT_NE(out.find(row.shows), std::string::npos) << out;
        for (const std::string& pw : {data_pw, schema_pw, admin_pw, std::string("Ad%40")})
            EXPECT_EQ(out.find(pw), std::string::npos) << out;
    }
    EXPECT_NE(file_text(file + ".dump").find("zoo"), std::string::npos);
    for (mongoc_client_t* c : servers) {
        for (const auto& u : users)
            command_json(c, u[0], R"({"dropUser": ")" + u[1] + R"("})");
        drop_database(c, data);
        drop_database(c, schema);
        mongoc_client_destroy(c);
    }
    for (const char* kind : {".dump", ".json"})
        std::remove((file + kind).c_str());
}

// A schema user whose roles cover the schema database alone (a proxy plays the server's
// privilege check): with readWrite the window opens in Edit mode and saves, the journal on
// this machine, told once; with read it opens in Read Only mode and asks for no write at all.
TEST(Connections, UsersWithRolesOnTheSchemaAlone)
{
    WindowOnData data;
    data.insert("orders", R"({"no": 1, "who": "Ann"})");
    data.create(); // by a user with every right
    const std::string state = build_dir() + "/state-" + data.data;
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    const char* const writes[] = {"insert", "update", "delete", "findAndModify", "create", "drop", "dropDatabase"};
    for (const char* grant : {"readWrite,validate", "read"}) {
        SCOPED_TRACE(grant);
        bool edit = std::string(grant) != "read";
        Proxy proxy;
        ASSERT_TRUE(proxy.start("", server(), {"--grant", data.schema + "=" + grant}));
        BoxRecorder boxes;
        SchemaProbe p{data.open({"-ss", proxy.address().c_str()})};
        EXPECT_EQ(p.w->windowTitle().toStdString(), std::string("Tarnwell MongoDB Schema Editor (") +
                                                      (edit ? "Edit" : "Read Only") + " Mode)");
        p.pick("orders");
        if (edit) {
            p.type(p.row_of("who"), 0, "customer");
            boxes.answers = {QMessageBox::Yes};
            p.ui()->pushButtonSave->click();
            ASSERT_EQ(boxes.boxes.size(), 2u);
            EXPECT_EQ(boxes.boxes[1].text.rfind("The journal, lock and history of the schema '" + data.schema +
                                                    "' are kept on this machine",
                                                0),
                      0u);
            EXPECT_NE(boxes.boxes[1].text.find("Grant readWrite on '" + data.schema + "_journal'"), std::string::npos);
            EXPECT_EQ(read_json(data.client, data.schema, "columns", R"({"sql_name": "customer"})").size(), 1u);
            // A history this machine cannot read is told with the reason, not shown empty.
            const std::string versions = state + "/brolix/journal/" + proxy.address() + "/" + data.schema +
                                         "/versions.bson";
            ASSERT_EQ(std::rename(versions.c_str(), (versions + ".kept").c_str()), 0) << versions;
            std::filesystem::create_directory(versions);
            p.ui()->pushButtonHistory->click();
            ASSERT_EQ(boxes.boxes.size(), 3u);
            EXPECT_EQ(boxes.boxes[2].text + " # " + boxes.boxes[2].informative,
                      "The history of the schema could not be read. # cannot read " + versions + ": Is a directory");
        }
        int attempted = 0;
        for (const auto& [name, n] : proxy.counts())
            for (const char* w : writes)
                attempted += name == w || name.rfind(std::string("(refused) ") + w + " ", 0) == 0 ? n : 0;
        EXPECT_EQ(attempted > 0, edit) << "writes asked of the server";
        // Looked for once in the process, then kept on this machine.
        EXPECT_EQ(proxy.counts()[std::string("(refused) find ") + data.schema + "_journal"], edit ? 1 : 0);
    }
    unsetenv("XDG_STATE_HOME");
    std::filesystem::remove_all(state);
}

} // namespace
