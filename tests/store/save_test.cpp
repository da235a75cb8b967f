// Saving a table's columns, its index metadata and its virtual tables on the test servers,
// and when the schema server goes away before or in the middle of a save.
#include "app/connect.h"
#include "store/create.h"
#include "store/read.h"
#include "store/save.h"

#include "tests/store/store_fixture.h"

#include <chrono>
#include <filesystem>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>

namespace {

// A schema made from a collection T with an array and an index, and T selected.
struct Save : StoreTest {
    db_column_t* columns = nullptr;
    ~Save() override { free_columns(columns); }
    void schema_of_t(const std::string& schema_server = "")
    {
        connect(testenv::server(), schema_server);
        put_data("T", R"({"_id": 1, "name": "Ann", "tags": ["a", "b"], "n": 2})");
        make_index("T", R"({"name": 1})", "name_1");
        stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
        select("T");
        columns = read_table_columns(&d, data.c_str(), "dbo", "T", nullptr);
        ASSERT_NE(columns, nullptr);
    }
    db_column_t* column(const std::string& sql_name)
    {
        for (db_column_t* c = columns; c; c = c->next)
            if (sql_name == c->sql_name)
                return c;
        return nullptr;
    }
    std::string save(int expected_left = 0, int ignored = 0)
    {
        int left = -1;
        std::string out = stdout_of([&] { save_table(&d, columns, &left); });
        EXPECT_EQ(left & ~ignored, expected_left);
        return out;
    }
    std::string in(const char* collection, const std::string& table)
    {
        std::string all;
        for (const std::string& doc : schema_docs(collection, "{\"sql_table\": \"" + table + "\"}"))
            all += (all.empty() ? "" : "\n") + doc.substr(doc.find(" sql_table:") + 1);
        return all;
    }
};

TEST_F(Save, ColumnsIndexesAndVirtualTables)
{
    schema_of_t(); // _id, n, name, tags, tags_0, tags_1
    db_column_t *n = column("n"), *name = column("name");
    n->length = -1, n->precision = -1, n->scale = 0;
    name->sql_type = 2, name->precision = 10, name->scale = 2, name->length = 0, name->visible = false;
    column("tags")->virtual_array = true;
    for (db_column_t* c = columns; c; c = c->next)
        c->index = 77; // the records' own positions are not used
    save(), save(); // twice: still one set of documents
    const std::string t = "sql_table:\"T\" ", f = " visible:true virtual_array:false",
                      vt = "sql_table:\"T_tags\" ", tail = " virtual_array:true virtual_parent:\"T\"";
    EXPECT_EQ(in("columns", "T"),
              t + "index:i1 sql_name:\"_id\" sql_type:i4 mongo_name:\"_id\" mongo_type:i16 length:i255" + f + "\n" +
              t + "index:i2 sql_name:\"n\" sql_type:i4 mongo_name:\"n\" mongo_type:i16 length:i-1" + f + "\n" +
              t + "index:i3 sql_name:\"name\" sql_type:i2 mongo_name:\"name\" mongo_type:i2 precision:i10 scale:i2 "
                  "visible:false virtual_array:false\n" +
              t + "index:i4 sql_name:\"tags\" sql_type:i12 mongo_name:\"tags\" mongo_type:i4 length:i" +
                  std::to_string(column("tags")->length) + " visible:true virtual_array:true\n" +
              t + "index:i5 sql_name:\"tags_0\" sql_type:i12 mongo_name:\"tags.0\" mongo_type:i2 length:i1" + f + "\n" +
              t + "index:i6 sql_name:\"tags_1\" sql_type:i12 mongo_name:\"tags.1\" mongo_type:i2 length:i1" + f);
    EXPECT_EQ(in("index", "T"), t + "sql_col_name:\"_id\" index:i1 primary:false index_name:\"_id_\" unique:true "
                                    "native_id:false asc:true"); // a hidden column loses its entry
    EXPECT_EQ(in("tables", "T_tags"), vt + "mongo_name:\"T\" mongo_database:@ type:\"TABLE\"" + tail);
    EXPECT_EQ(in("columns", "T_tags"),
              vt + "index:i1 sql_name:\"_id\" mongo_name:\"_id\" mongo_type:i7 sql_type:i1 visible:true length:i24" +
              tail + "\n" + vt + "index:i2 sql_name:\"tags$index\" mongo_name:\"tags\" mongo_type:i-1 sql_type:i4 "
              "visible:true" + tail + "\n" + vt + "index:i3 sql_name:\"tags$value\" mongo_name:\"tags\" "
              "mongo_type:i-2 sql_type:i12 visible:true length:i512" + tail);
    EXPECT_EQ(in("index", "T_tags"),
              vt + "sql_col_name:\"_id\" index:i1 primary:true index_name:\"index1\" unique:true native_id:true "
              "asc:true" + tail + "\n" + vt + "sql_col_name:\"tags$index\" index:i2 primary:true "
              "index_name:\"index1\" unique:true native_id:false asc:true" + tail);

    d.virtual_table = "T_tags"; // selected, the virtual table saves its base table
    column("tags")->virtual_array = false; // and its flag off removes it
    db_column_t* twin = column("tags_0"); // a second column of one name is dropped, and told
    std::free(twin->sql_name);
    twin->sql_name = copy_text("tags");
    EXPECT_EQ(save().rfind("- - - - - Columns of T not saved: 1 of 6 column documents not written\n", 0), 0u);
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"T\"}").size(), 5u);
    EXPECT_EQ(in("tables", "T_tags") + in("columns", "T_tags") + in("index", "T_tags"), "");
    EXPECT_EQ(recorder.messages.size(), 0u);

    column("tags")->virtual_array = true; // a base table named like the virtual table
    put_schema("tables", table_doc("T_tags"));
    put_schema("columns", column_doc("T_tags", 1, "_id", "_id"));
    put_schema("index", index_doc("T_tags", "_id", 1, "index1"));
    save();
    std::string boxes;
    for (const testenv::message_t& m : recorder.messages)
        boxes += m.text + (m.informative.find("E11000") != std::string::npos ? " E11000\n" : "\n");
    EXPECT_EQ(boxes, "Mongo error adding virtual table. E11000\nMongo error removing virtual table index _id. "
                     "E11000\nMongo error removing virtual index _id. E11000\n");
    EXPECT_EQ(schema_docs("columns", "{\"sql_table\": \"T_tags\"}").size(), 3u); // the others written all the same

    std::vector<strings> before = {schema_docs("tables"), schema_docs("columns"), schema_docs("index")};
    d.md_client = nullptr; // without a schema client nothing is written
    EXPECT_EQ(save(), "");
    EXPECT_EQ(before, (std::vector<strings>{schema_docs("tables"), schema_docs("columns"), schema_docs("index")}));
}

// The schema on a FerretDB of the test's own (127.0.0.40-.49), killed as a crash or a
// pulled plug would, then restarted on the same data.
struct ServerStop : Save {
    std::string address, dir;
    pid_t pid = -1;
    int lock = -1; // the address is ours while we hold it: tests run side by side
    ~ServerStop() override
    {
        stop();
        if (!dir.empty())
            std::filesystem::remove_all(dir);
        close(lock);
    }
    bool start() // true once it answers
    {
        std::string command = "exec " + std::string(std::getenv("HOME")) + "/.cache/brolix/ferretdb-v1.24.2/ferretdb "
                              "--handler=sqlite --sqlite-url=file:" + dir + "/data/ --state-dir=" + dir +
                              " --telemetry=disable --debug-addr=- --log-level=warn --listen-addr=" + address +
                              ":27017 >>" + dir + "/server.log 2>&1";
        if ((pid = fork()) == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 150 && waitpid(pid, nullptr, WNOHANG) == 0; ++i, usleep(200000))
            if (testenv::server_answers(address))
                return true;
        return false;
    }
    void stop()
    {
        if (pid > 0)
            kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        pid = -1;
    }
    void SetUp() override
    {
        for (int last = 40; last < 50 && lock < 0; ++last) {
            address = "127.0.0." + std::to_string(last);
            dir = testenv::build_dir() + "/servers/store-stop-" + std::to_string(last);
            std::filesystem::create_directories(dir);
            lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
            if (flock(lock, LOCK_EX | LOCK_NB) != 0 || testenv::server_answers(address))
                close(lock), lock = -1;
        }
        std::filesystem::remove_all(dir + "/data");
        std::filesystem::create_directories(dir + "/data");
        ASSERT_TRUE(start()) << "could not start FerretDB of our own (log in " << dir << ")";
        ASSERT_NO_FATAL_FAILURE(schema_of_t(address));
        column("tags")->virtual_array = true;
    }
    size_t own_docs(const std::string& collection, const std::string& table)
    {
        mongoc_client_t* client = testenv::fixture_client(address);
        size_t n = testenv::read_json(client, schema, collection, "{\"sql_table\": \"" + table + "\"}").size();
        mongoc_client_destroy(client);
        return n;
    }
    // Within the client library's server-selection timeout (30 s), and no column written.
    void save_unanswered(int left, int ignored = 0)
    {
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(save(left, ignored).rfind("- - - - - Columns of T not saved: 6 of 6 column documents not written\n", 0), 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    }
};

TEST_F(ServerStop, StoppedBeforeTheSave)
{
    stop();
    // Nothing is removed (a removal sent on an open connection counts as incomplete), and
    // each step tells its failure.
    save_unanswered(SAVE_LEFT_COLUMNS | SAVE_LEFT_VIRTUAL, SAVE_INCOMPLETE);
    ASSERT_EQ(recorder.messages.size(), 1u + 3u + 6u);
    EXPECT_EQ(recorder.messages[0].text, "Mongo error removing old index.");
    EXPECT_EQ(recorder.messages[1].text, "Mongo error removing virtual table.");
    EXPECT_EQ(recorder.messages.back().text, "Mongo error removing virtual index $index.");
    recorder.messages.clear();
    EXPECT_TRUE(side_still_answers(&d, SIDE_DATA));
    EXPECT_FALSE(side_still_answers(&d, SIDE_SCHEMA));
    EXPECT_EQ(recorder.messages.at(0).text, "Could not connect to Schema - '" + schema + "'");
    ASSERT_TRUE(start()); // nothing was removed
    EXPECT_TRUE(own_docs("columns", "T") == 6u && own_docs("tables", "T_tags") == 0u);
}

// Kills the schema server as soon as the old column documents have been removed.
void kill_after_delete(const mongoc_apm_command_succeeded_t* event)
{
    auto* test = static_cast<ServerStop*>(mongoc_apm_command_succeeded_get_context(event));
    if (test->pid > 0 && std::string(mongoc_apm_command_succeeded_get_command_name(event)) == "delete")
        test->stop();
}

TEST_F(ServerStop, KilledBetweenRemovalAndInserts)
{
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_succeeded_cb(callbacks, kill_after_delete);
    ASSERT_TRUE(mongoc_client_set_apm_callbacks(d.md_client, callbacks, this));
    mongoc_apm_callbacks_destroy(callbacks);
    save_unanswered(SAVE_LEFT_COLUMNS | SAVE_LEFT_VIRTUAL | SAVE_INCOMPLETE);
    mongoc_client_set_apm_callbacks(d.md_client, nullptr, nullptr);
    ASSERT_EQ(pid, -1) << "not killed";
    EXPECT_FALSE(recorder.messages.empty());
    // The removal reached the schema, the inserts did not; the index entries stayed.
    ASSERT_TRUE(start());
    EXPECT_TRUE(own_docs("columns", "T") == 0 && own_docs("tables", "T") == 1 && own_docs("index", "T") == 2);
    // Once the server is back (and the client's cool-down over) the kept records are written.
    int left = 1;
    for (int attempt = 0; attempt < 30 && left; ++attempt) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stdout_of([&] { save_table(&d, columns, &left); });
    }
    EXPECT_TRUE(left == 0 && own_docs("columns", "T") == 6 && own_docs("columns", "T_tags") == 3);
}

} // namespace
