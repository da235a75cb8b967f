// Shared ground of the tests: the test servers, fresh database names, a recorder of
// message boxes, and small helpers over the client library.
#ifndef BROLIX_TESTS_SUPPORT_TEST_ENV_H
#define BROLIX_TESTS_SUPPORT_TEST_ENV_H

#include "core/dbinfo.h"

#include <bson/bson.h>
#include <deque>
#include <gtest/gtest.h>
#include <mongoc/mongoc.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testenv {

// Loopback addresses of the test servers (see tools/servers.sh), and the trees.
std::string server();      // 127.0.0.11, plain
std::string server2();     // 127.0.0.12, plain
std::string tls_server();  // 127.0.0.13, TLS with client certificates
std::string tls_dir();     // ca.pem, client.pem, client-enc.pem, other-ca.pem
std::string dead_server(); // nothing listens there
std::string source_dir();
std::string build_dir();

// A database name no other test (or earlier run) uses.
std::string unique_name(const std::string& prefix);

struct message_t { std::string text, informative; int buttons, default_button; };

// The message routine for its lifetime: records each box and answers with the scripted
// buttons in order, then with each box's default button.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    void answer(int button) { answers.push_back(button); }
    std::vector<message_t> messages;
    std::deque<int> answers;

private:
    static int record(void*, const char* text, const char* informative, int buttons, int default_button);
    void* previous_context;
    int (*previous)(void*, const char*, const char*, int, int);
};

// A record as the start-up sequence leaves it before connecting; release clears its
// lists (not the clients, which live for the process).
void init_dbinfo(DBINFO* dbinfo);
void release_dbinfo(DBINFO* dbinfo);
// Connected to both databases (on the first test server when a server is empty); fails
// the test when a side does not answer.
void connect_dbinfo(DBINFO* dbinfo, const std::string& database, const std::string& md_database,
                    const std::string& data_server = "", const std::string& schema_server = "");

mongoc_client_t* fixture_client(const std::string& address = ""); // the caller's
void drop_database(mongoc_client_t* client, const std::string& database);
// One document given as (relaxed) extended JSON.
void insert_json(mongoc_client_t* client, const std::string& database, const std::string& collection,
                 const std::string& json);
// A command given as (relaxed) extended JSON, such as {"update": ...}; it must succeed.
void command_json(mongoc_client_t* client, const std::string& database, const std::string& json);
// The documents in natural order: whole (the caller's), or as canonical extended JSON (without _id unless asked).
std::vector<bson_t*> read_documents(mongoc_client_t* client, const std::string& database,
                                    const std::string& collection, const std::string& filter_json = "{}");
void destroy_documents(std::vector<bson_t*>& documents);
std::vector<std::string> read_json(mongoc_client_t* client, const std::string& database,
                                   const std::string& collection, const std::string& filter_json = "{}",
                                   bool with_id = false);
std::string file_text(const std::string& path); // "" when there is none
std::vector<std::string> collection_names(mongoc_client_t* client, const std::string& database);
bool server_answers(const std::string& address);
// This build's brolix-cli with args (after env's assignments), no input: exit status, both outputs in output.
int run_cli(const std::string& args, std::string* output = nullptr, const std::string& env = "");
// The same in the background, both outputs into the file output: its pid (waitpid for it).
pid_t start_cli(const std::string& args, const std::string& output, const std::string& env = "");
// A FerretDB of the test's own on address:27017, its data under dir/data (removed with it).
// start: true once it answers, false when it did not start (the process is then gone);
// stop: killed as a crash would.
struct OwnFerretDB {
    std::string address, dir;
    pid_t pid = -1;
    ~OwnFerretDB();
    bool start();
    void stop();
};

} // namespace testenv

#endif
