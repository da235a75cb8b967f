#include "tests/support/test_env.h"

#include "core/connect.h"
#include "core/message.h"
#include "core/records.h"
#include "store/read/read.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// Before anything starts the client library: a shared-memory segment left by a killed
// process would make one whose pid is reused print a warning into output a test compares.
const bool counters_off = setenv("MONGOC_DISABLE_SHM", "1", 0) == 0;
} // namespace

namespace testenv {

static std::string env_or(const char* name, const std::string& fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}
std::string server() { return env_or("BROLIX_TEST_SERVER", "127.0.0.11"); }
std::string server2() { return env_or("BROLIX_TEST_SERVER2", "127.0.0.12"); }
std::string tls_server() { return env_or("BROLIX_TEST_TLS_SERVER", "127.0.0.13"); }
std::string dead_server() { return env_or("BROLIX_TEST_DEAD_SERVER", "127.0.0.99"); }
std::string source_dir() { return env_or("BROLIX_SOURCE_DIR", BROLIX_SOURCE_DIR_DEFAULT); }
std::string build_dir() { return env_or("BROLIX_BUILD_DIR", BROLIX_BUILD_DIR_DEFAULT); }
std::string tls_dir() { return env_or("BROLIX_TLS_DIR", source_dir() + "/build/servers/tls"); }

std::string unique_name(const std::string& prefix)
{
    static std::atomic<int> counter{0};
    long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::system_clock::now().time_since_epoch()).count() % 100000000;
    return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(ms) + "_" +
           std::to_string(counter++);
}

MessageRecorder::MessageRecorder() { previous = set_message_routine(&record, this, &previous_context); }
MessageRecorder::~MessageRecorder() { set_message_routine(previous, previous_context); }
int MessageRecorder::record(void* context, const char* text, const char* informative, int buttons,
                            int default_button)
{
    auto* self = static_cast<MessageRecorder*>(context);
    self->messages.push_back({text ? text : "", informative ? informative : "", buttons, default_button});
    int answer = self->answers.empty() ? default_button : self->answers.front();
    if (!self->answers.empty())
        self->answers.pop_front();
    return answer;
}

void init_dbinfo(DBINFO* d)
{
    dbinfo_clear(d);
    dbinfo_init(d);
    d->ssl = keep_string("N");
    d->wcv = keep_string(" ");
    d->preview_rows = 100;
    d->pool_size = DEFAULT_POOL_SIZE;
}

void release_dbinfo(DBINFO* d)
{
    free_columns(d->columns), free_names(d->vt_names);
    free_table_refs(d->db_collections), free_table_refs(d->md_tables);
    d->columns = nullptr, d->vt_names = nullptr, d->db_collections = d->md_tables = nullptr;
    release_table_tree(d);
}

void connect_dbinfo(DBINFO* d, const std::string& database, const std::string& md_database,
                    const std::string& data_server, const std::string& schema_server)
{
    mongoc_init();
    dbinfo_set_text(d->server, (data_server.empty() ? server() : data_server).c_str());
    dbinfo_set_text(d->md_server, (schema_server.empty() ? server() : schema_server).c_str());
    dbinfo_set_text(d->database, database.c_str());
    dbinfo_set_text(d->md_database, md_database.c_str());
    MessageRecorder recorder;
    ASSERT_TRUE(connect_databases(d)) << "no test server at " << d->server << " / " << d->md_server << ": "
                                      << (recorder.messages.empty() ? "" : recorder.messages[0].informative);
}

mongoc_client_t* fixture_client(const std::string& address)
{
    mongoc_init();
    return mongoc_client_new(("mongodb://" + (address.empty() ? server() : address) + ":27017").c_str());
}

void drop_database(mongoc_client_t* client, const std::string& database)
{
    mongoc_database_t* db = mongoc_client_get_database(client, database.c_str());
    mongoc_database_drop(db, nullptr);
    mongoc_database_destroy(db);
}

static bson_t* from_json(const std::string& json)
{
    bson_error_t error;
    bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()), -1, &error);
    EXPECT_NE(doc, nullptr) << error.message << " in " << json;
    return doc ? doc : bson_new();
}

void insert_json(mongoc_client_t* client, const std::string& database, const std::string& collection,
                 const std::string& json)
{
    bson_t* doc = from_json(json);
    mongoc_collection_t* coll = mongoc_client_get_collection(client, database.c_str(), collection.c_str());
    bson_error_t error;
    EXPECT_TRUE(mongoc_collection_insert_one(coll, doc, nullptr, nullptr, &error)) << error.message;
    mongoc_collection_destroy(coll);
    bson_destroy(doc);
}

void command_json(mongoc_client_t* client, const std::string& database, const std::string& json)
{
    bson_t* command = from_json(json);
    bson_error_t error;
    EXPECT_TRUE(mongoc_client_command_simple(client, database.c_str(), command, nullptr, nullptr, &error))
        << error.message;
    bson_destroy(command);
}

std::vector<bson_t*> read_documents(mongoc_client_t* client, const std::string& database,
                                    const std::string& collection, const std::string& filter_json)
{
    std::vector<bson_t*> out;
    bson_t* filter = from_json(filter_json);
    mongoc_collection_t* coll = mongoc_client_get_collection(client, database.c_str(), collection.c_str());
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, nullptr, nullptr);
    for (const bson_t* doc; mongoc_cursor_next(cursor, &doc);)
        out.push_back(bson_copy(doc));
    mongoc_cursor_destroy(cursor);
    mongoc_collection_destroy(coll);
    bson_destroy(filter);
    return out;
}

void destroy_documents(std::vector<bson_t*>& documents)
{
    for (bson_t* d : documents)
        bson_destroy(d);
    documents.clear();
}

std::vector<std::string> read_json(mongoc_client_t* client, const std::string& database,
                                   const std::string& collection, const std::string& filter_json, bool with_id)
{
    std::vector<bson_t*> docs = read_documents(client, database, collection, filter_json);
    std::vector<std::string> out;
    for (bson_t* d : docs) {
        bson_t copy = BSON_INITIALIZER;
        bson_copy_to_excluding_noinit(d, &copy, with_id ? "" : "_id", NULL);
        char* json = bson_as_canonical_extended_json(&copy, nullptr);
        out.push_back(json);
        bson_free(json);
        bson_destroy(&copy);
    }
    destroy_documents(docs);
    return out;
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> collection_names(mongoc_client_t* client, const std::string& database)
{
    std::vector<std::string> out;
    mongoc_database_t* db = mongoc_client_get_database(client, database.c_str());
    char** names = mongoc_database_get_collection_names_with_opts(db, nullptr, nullptr);
    for (char** p = names; p && *p; ++p)
        out.push_back(*p);
    bson_strfreev(names);
    mongoc_database_destroy(db);
    return out;
}

bool server_answers(const std::string& address)
{
    mongoc_client_t* client = fixture_client(address);
    bson_t* ping = BCON_NEW("ping", BCON_INT32(1));
    bool ok = client && mongoc_client_command_simple(client, "admin", ping, nullptr, nullptr, nullptr);
    bson_destroy(ping);
    mongoc_client_destroy(client);
    return ok;
}

int run_cli(const std::string& args, std::string* output, const std::string& env)
{
    FILE* pipe = popen(((env.empty() ? "" : "env " + env + " ") + build_dir() + "/brolix-cli " + args +
                        " 2>&1 </dev/null").c_str(), "r");
    std::string scratch, &text = output ? *output : scratch;
    char buffer[4096];
    for (text.clear(); size_t n = std::fread(buffer, 1, sizeof buffer, pipe);)
        text.append(buffer, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

pid_t start_cli(const std::string& args, const std::string& output, const std::string& env)
{
    std::string command = "exec " + (env.empty() ? "" : "env " + env + " ") + build_dir() + "/brolix-cli " + args +
                          " >" + output + " 2>&1 </dev/null";
    pid_t pid = fork();
    if (pid == 0)
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr)), _exit(127);
    return pid;
}

OwnFerretDB::~OwnFerretDB()
{
    stop();
    if (!dir.empty())
        std::filesystem::remove_all(dir + "/data");
}

bool OwnFerretDB::start()
{
    std::filesystem::create_directories(dir + "/data");
    std::string command = "exec " + std::string(std::getenv("HOME")) + "/.cache/brolix/ferretdb-v1.24.2/" +
                          "ferretdb --handler=sqlite --sqlite-url=file:" + dir + "/data/ --state-dir=" + dir +
                          " --telemetry=disable --debug-addr=- --log-level=warn --listen-addr=" + address +
                          ":27017 >>" + dir + "/server.log 2>&1";
    pid = fork();
    if (pid == 0)
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr)), _exit(127);
    for (int i = 0; i < 150; ++i, usleep(200000)) {
        if (waitpid(pid, nullptr, WNOHANG) != 0) // ended and reaped: its PID is no longer ours to kill
            return pid = -1, false;
        if (server_answers(address))
            return true;
    }
    stop();
    return false;
}

void OwnFerretDB::stop()
{
    if (pid > 0)
        kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    pid = -1;
}

} // namespace testenv
