// Shared ground of the tests: the test servers, fresh database names, a recorder of
// message boxes, and small fixtures over the client library.
#ifndef BROLIX_TESTS_SUPPORT_TEST_ENV_H
#define BROLIX_TESTS_SUPPORT_TEST_ENV_H

#include "app/dbinfo.h"

#include <bson/bson.h>
#include <deque>
#include <mongoc/mongoc.h>
#include <string>
#include <vector>

namespace testenv {

// Loopback addresses of the test servers (see tools/servers.sh).
std::string server();      // 127.0.0.11, plain
std::string server2();     // 127.0.0.12, plain
std::string tls_server();  // 127.0.0.13, TLS with client certificates
std::string tls_dir();     // ca.pem, client.pem, client-enc.pem, other-ca.pem
std::string dead_server(); // a loopback address where nothing listens
std::string source_dir();  // the project's top directory
std::string build_dir();   // the build tree the tests run from

// A database name no other test (or earlier run) uses.
std::string unique_name(const std::string& prefix);

// One message box as the data layer or the window asked for it.
struct message_t {
    std::string text;
    std::string informative;
    int buttons;
    int default_button;
};

// Installs itself as the message routine for its lifetime; answers with the scripted
// buttons in order, then with each box's default button.
class MessageRecorder {
public:
    MessageRecorder();
    ~MessageRecorder();
    void answer(int button) { answers.push_back(button); }
    std::vector<message_t> messages;
    std::deque<int> answers;

private:
    static int record(void* context, const char* text, const char* informative, int buttons,
                      int default_button);
    void* previous_context;
    int (*previous)(void*, const char*, const char*, int, int);
};

// A record as the start-up sequence leaves it before connecting.
void init_dbinfo(DBINFO* dbinfo);
// Clears the record's lists (not the clients, which live for the process).
void release_dbinfo(DBINFO* dbinfo);

// A record connected to data and schema databases on the given servers (the first
// test server when empty). Fails the current test when either side does not answer.
void connect_dbinfo(DBINFO* dbinfo, const std::string& database, const std::string& md_database,
                    const std::string& data_server = "", const std::string& schema_server = "");

// A plain client for fixtures; owned by the caller.
mongoc_client_t* fixture_client(const std::string& address = "");

void drop_database(mongoc_client_t* client, const std::string& database);
// Inserts one document given as (relaxed) extended JSON.
void insert_json(mongoc_client_t* client, const std::string& database,
                 const std::string& collection, const std::string& json);
// Every document of a collection in natural order, as canonical extended JSON without _id.
std::vector<std::string> read_json(mongoc_client_t* client, const std::string& database,
                                   const std::string& collection, const std::string& filter_json = "{}");
// Every document, whole, in natural order; the caller destroys them.
std::vector<bson_t*> read_documents(mongoc_client_t* client, const std::string& database,
                                    const std::string& collection, const std::string& filter_json = "{}");
void destroy_documents(std::vector<bson_t*>& documents);
// The field names of a document, in order.
std::vector<std::string> field_names(const bson_t* document);
std::vector<std::string> collection_names(mongoc_client_t* client, const std::string& database);

// True when a server answers at the address (plain).
bool server_answers(const std::string& address);

} // namespace testenv

#endif
