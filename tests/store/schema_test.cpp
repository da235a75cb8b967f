// The schema on the test servers: creating it from the data, keeping it in step,
// validating it, and the requests that costs; a save when the schema server goes away
// before or in the middle of it; and, on scripted servers, refused creation steps, reads
// and writes.
#include "core/connect.h"
#include "core/message.h"
#include "core/wire.h"
#include "discovery/discover.h"
#include "store/change/create.h"
#include "store/change/sync.h"
#include "store/write/journal.h"
#include "store/write/lock.h"
#include "store/read/listing.h"
#include "store/read/validate.h"

#include "tests/store/store_fixture.h"

#include <mutex>
#include <set>
#include <sys/wait.h>
#include <thread>

namespace {

struct Schema : StoreTest {
    std::map<std::string, int> sent; // "all" commands, and finds by collection
    db_column_t* columns = nullptr;
    // Pooled clients count too, on their own threads.
    void count_requests()
    {
        static std::mutex counting;
        mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
        mongoc_apm_set_command_started_cb(callbacks, [](const mongoc_apm_command_started_t* e) {
            auto* sent = static_cast<std::map<std::string, int>*>(mongoc_apm_command_started_get_context(e));
            std::lock_guard<std::mutex> hold(counting);
            bson_iter_t it;
            if (std::string(mongoc_apm_command_started_get_command_name(e)) == "endSessions")
                return; // a pool closing, not a request of the editor's
            const bson_t* command = mongoc_apm_command_started_get_command(e);
            static std::set<std::thread::id> readers; // threads that read data collections
            if (sent->empty())
                readers.clear();
            (*sent)["all"]++;
            if (bson_iter_init_find(&it, command, "find")) {
                std::string collection = bson_iter_utf8(&it, nullptr);
                (*sent)[collection]++;
                if (collection != "tables" && collection != "columns" && collection != "index")
                    readers.insert(std::this_thread::get_id());
                (*sent)["readers"] = static_cast<int>(readers.size());
            } else if (bson_iter_init_find(&it, command, "delete"))
                (*sent)["delete " + std::string(bson_iter_utf8(&it, nullptr))]++;
        });
        mongoc_client_set_apm_callbacks(d.client, callbacks, &sent);
        mongoc_client_set_apm_callbacks(d.md_client, callbacks, &sent);
        static std::pair<mongoc_apm_callbacks_t*, void*> pooled;
        mongoc_apm_callbacks_destroy(pooled.first);
        pooled = {callbacks, &sent};
        set_pool_observer([](mongoc_client_pool_t* pool, void*) {
            mongoc_client_pool_set_apm_callbacks(pool, pooled.first, pooled.second);
        }, nullptr);
    }
    ~Schema() override
    {
        set_pool_observer(nullptr, nullptr);
        free_columns(columns);
    }
    // Start-up's tree and first table come from what creation or validation saw.
    std::string read_start_up(const char* table)
    {
        sent.clear();
        select(table);
        read_table_tree(&d);
        free_columns(columns);
        columns = read_table_columns(&d, data.c_str(), "dbo", table, nullptr);
        std::string names;
        for (const db_column_t* c = columns; c; c = c->next)
            names += std::string(names.empty() ? "" : " ") + c->sql_name;
        release_table_tree(&d);
        EXPECT_EQ(sent["columns"], 0) << "columns read again";
        return names;
    }
    void mark_virtual(const char* array)
    {
        for (db_column_t* c = columns; c; c = c->next)
            c->virtual_array = std::string(c->sql_name) == array;
    }
};

TEST_F(Schema, CreateAndSynchronise)
{
    connect();
    count_requests();
    put_data("A", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819203"}, "name": "Ann", "empty": "", "n": 1})");
    put_data("A", R"({"_id": {"$oid": "5f0c1a2b3c4d5e6f70819204"}, "name": "Bo", "empty": "", "n": 2.5})");
    make_index("A", R"({"name": 1, "n": -1})", "name_n", true);
    make_index("A", R"({"gone": 1})", "gone_1"); // names no field of the sample: no entries
    put_data("system.js", R"({"f": 1})");
    const std::string a = "sql_table:\"A\" ", v = " visible:true";
    const strings columns = {
        a + "index:i1 sql_name:\"_id\" sql_type:i12 mongo_name:\"_id\" mongo_type:i7 length:i24" + v,
        a + "index:i2 sql_name:\"name\" sql_type:i12 mongo_name:\"name\" mongo_type:i2 length:i3" + v,
        a + "index:i3 sql_name:\"empty\" sql_type:i12 mongo_name:\"empty\" mongo_type:i2" + v,
        a + "index:i4 sql_name:\"n\" sql_type:i8 mongo_name:\"n\" mongo_type:i1 length:i255" + v};
    for (int run = 0; run < 2; ++run) { // a second run drops what was added in between
        stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code) && code == 1) << code; });
        EXPECT_EQ(testenv::collection_names(fx, schema), (strings{"columns", "index", "tables"}));
        EXPECT_EQ(schema_docs("tables"), strings{a + "mongo_name:\"A\" mongo_database:@ type:\"TABLE\""});
        EXPECT_EQ(schema_docs("columns"), columns);
        EXPECT_EQ(schema_docs("index").size(), 3u);
        EXPECT_EQ(schema_docs("index").at(0), a + "sql_col_name:\"_id\" index:i1 primary:false "
                                              "index_name:\"_id_\" unique:true native_id:false asc:true");
        EXPECT_EQ(read_start_up("A"), "_id empty n name");
        db_index_t* entry = read_column_indexes(&d, "n"); // of the selected table, from the schema
        EXPECT_TRUE(entry && !entry->next && std::string(entry->index_name) == "name_n" && !entry->asc);
        free_indexes(entry);
        if (run == 0)
            put_schema("tables", table_doc("Stale")), put_schema("notes", "{}");
    }
    // A new collection described, every table's index entries refreshed, no column read twice.
    put_data("C", R"({"c": true})");
    put_schema("columns", column_doc("C", 9, "stale", "stale")); // left by a write cut short
    ASSERT_FALSE(validate_schema(&d, &code) || code != VALIDATE_COLLECTIONS_NEW) << code;
    sent.clear();
    std::string out = stdout_of([&] { EXPECT_EQ(synchronise_schema(&d, code), 1); });
    EXPECT_EQ(sent["delete columns"], 1); // the leftover with the rest, in one request
    EXPECT_TRUE(out.find("INDEX for A\n") != out.npos && out.find("INDEX for C") == out.npos) << out;
    EXPECT_EQ(read_start_up("C"), "_id c");
    EXPECT_EQ(schema_docs("tables")[1], "sql_table:\"C\" mongo_name:\"C\" mongo_database:@ type:\"TABLE\"");
    EXPECT_EQ(compare_collections_with_schema(d.db_collections, d.md_tables), VALIDATE_OK); // the lists were rebuilt
    put_data("D", R"({"d": 1})");
    put_schema("columns", "{" + selector("C") + ", \"index\": 3}"); // another tool's, without a name
    ASSERT_FALSE(validate_schema(&d, &code) || code != VALIDATE_COLLECTIONS_NEW) << code;
    stdout_of([&] { synchronise_schema(&d, code); });
    select("C"); // the server's order of C's columns is not known here: it is asked
    read_table_tree(&d);
    db_column_t* c = read_table_columns(&d, data.c_str(), "dbo", "C", nullptr);
    EXPECT_TRUE(c && c->next && c->next->next && !c->next->next->next);
    free_columns(c);
    release_table_tree(&d);
    // A table taken out of the schema leaves no document behind.
    EXPECT_TRUE(remove_table_from_schema(&d, "C"));
    for (const char* coll : {"tables", "columns", "index"})
        EXPECT_EQ(schema_docs(coll, R"({"sql_table": "C"})"), strings{}) << coll;
}

// Creation, start-up's reads and a save cost requests per table, never per column.
TEST_F(Schema, RequestsFollowTablesNotColumns)
{
    connect();
    stdout_of([&] { create_schema(&d, &code); }); // the schema's lock and journal as every later change finds them
    count_requests();
    int creation_of_two = 0;
    for (std::pair<int, int> row : {std::pair<int, int>{2, 3}, {2, 40}, {6, 3}}) {
        SCOPED_TRACE(std::to_string(row.first) + " tables x " + std::to_string(row.second) + " fields");
        testenv::drop_database(fx, data);
        std::string doc = R"({"_id": 1, "tags": [1, 2])";
        for (int f = 0; f < row.second; ++f)
            doc += ", \"f" + std::to_string(f) + "\": " + (f % 2 ? "\"x\"" : "1");
        for (int t = 0; t < row.first; ++t)
            put_data("t" + std::to_string(t), doc + "}");
        make_index("t0", R"({"f0": 1, "f1": -1})", "two");
        sent.clear();
        stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code)); });
        EXPECT_LE(sent["all"], 3 * row.first + 30);
        creation_of_two = creation_of_two ? creation_of_two : sent["all"];
        // Two more a table (its sample and its index listing), none a column.
        EXPECT_EQ(sent["all"] - creation_of_two, 2 * (row.first - 2));
        read_start_up("t0");
        ASSERT_TRUE(validate_schema(&d, &code));
        EXPECT_EQ(sent["columns"], 1);
        read_start_up("t0");
        // A save with its index entries and a virtual table: as many requests whatever the columns.
        mark_virtual("tags");
        sent.clear();
        stdout_of([&] { save_table_columns(&d, columns); });
        EXPECT_LE(sent["all"], 16);
        const std::string key = R"(sql_table:"t0_tags" sql_col_name:)", of = R"(index_name:"index1" unique:true )";
        const std::string end = R"( asc:true virtual_array:true virtual_parent:"t0")";
        EXPECT_EQ(schema_docs("index", R"({"sql_table": "t0_tags"})"),
                  (strings{key + R"("_id" index:i1 primary:true )" + of + "native_id:true" + end,
                           key + R"("tags$index" index:i2 primary:true )" + of + "native_id:false" + end}));
        const std::string vt = R"(sql_table:"t0_tags" index:i)", vt_end = end.substr(sizeof " asc:true" - 1);
        EXPECT_EQ(schema_docs("columns", R"({"sql_table": "t0_tags"})"),
                  (strings{vt + R"(1 sql_name:"_id" mongo_name:"_id" mongo_type:i7 sql_type:i1 visible:true )"
                                R"(length:i24)" + vt_end,
                           vt + R"(2 sql_name:"tags$index" mongo_name:"tags" mongo_type:i-1 sql_type:i4 )"
                                R"(visible:true)" + vt_end,
                           vt + R"(3 sql_name:"tags$value" mongo_name:"tags" mongo_type:i-2 sql_type:i12 visible:true )"
                                R"(length:i512)" + vt_end}));
    }
}

// Read over one connection or eight, creation writes the same documents in the same order,
// prints the same and tells the same progress, with the same requests.
TEST_F(Schema, EightConnectionsWriteWhatOneWrites)
{
    // 1,200 reads, eight at once, under a sanitizer on a busy machine: a slow answer is no fault here.
    connect("mongodb://" + testenv::server() + "/?socketTimeoutMS=120000");
    count_requests();
    for (int t = 0; t < 300; ++t) {
        std::string name = "c" + std::to_string(t), doc = "{\"k\": " + std::to_string(t);
        for (int f = 0; f < t % 7; ++f)
            doc += ", \"f" + std::to_string(f) + "\": " + (f % 3 ? "\"x\"" : f % 2 ? "[1, {\"a\": 2}]" : "{\"b\": 1.5}");
        put_data(name, doc + "}");
        if (t % 5 == 0)
            make_index(name, R"({"k": -1})", "k_down", t % 10 == 0);
    }
    static std::vector<std::string> told;
    set_progress_routine([](void*, int done, int total, const char* name) {
        told.push_back(std::to_string(done) + "/" + std::to_string(total) + " " + (name ? name : "-"));
    }, nullptr);
    std::vector<strings> written;
    stdout_of([&] { create_schema(&d, &code); }); // the lock as every later change finds it
    for (int connections : {1, 8}) {
        d.pool_size = connections;
        told.clear(), sent.clear();
        std::string out = stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code)) << code; });
        EXPECT_EQ(sent["readers"] > 1, connections > 1);
        written.push_back({out, std::to_string(sent["all"])});
        written.back().insert(written.back().end(), told.begin(), told.end());
        for (const char* collection : {"tables", "columns", "index"})
            for (const std::string& doc : schema_docs(collection))
                written.back().push_back(doc);
    }
    set_progress_routine(nullptr, nullptr);
    EXPECT_GT(written[0].size(), 2 + 301 + 300 * 3 + 60u); // progress, tables, columns, index entries
    ASSERT_EQ(written[0].size(), written[1].size());
    for (size_t i = 0; i < written[0].size(); ++i)
        ASSERT_EQ(written[0][i], written[1][i]) << "at " << i;
}

// Over fresh databases per row: the code, and the mode the index collection's check leaves.
TEST_F(Schema, Validation)
{
    auto tables = [this](const std::string& table) { put_schema("tables", table_doc(table)); };
    auto of_a = [this] {
        put_data("A", R"({"name": "x"})");
        put_schema("tables", table_doc("A"));
        put_schema("columns", column_doc("A", 1, "name", "name"));
        put_schema("index", index_doc("A", "name", 1, "_id_"));
    };
    const int RO = MODE_READ_ONLY, EDIT = MODE_EDIT;
    const struct { const char* name; int code, mode; std::function<void()> setup; } rows[] = {
        {"same database, same server", VALIDATE_SAME_DATABASE, RO, [&] { schema = data; }},
        {"tables empty", VALIDATE_DOCUMENTS_INVALID, RO, [&] { make_collection("columns"), make_collection("tables"); }},
        {"only tables", VALIDATE_OUT_OF_STEP, RO, [&] { put_data("A", "{}"), tables("A"); }},
        {"a table of an empty collection", VALIDATE_OK, RO, [&] { tables("E"), testenv::command_json(fx, data, R"({"create": "E"})"); }},
        {"columns gone from under the tables", VALIDATE_OUT_OF_STEP, EDIT, [&] {
             of_a(), testenv::command_json(fx, schema, R"({"delete": "columns", "deletes": [{"q": {}, "limit": 0}]})"); }},
        {"an index entry naming no column", VALIDATE_OUT_OF_STEP, EDIT, [&] {
             of_a(), put_schema("index", index_doc("A", "gone", 2, "g")); }},
        {"an index entry naming no column of a table without collection", VALIDATE_COLLECTIONS_GONE, EDIT, [&] {
             of_a(), tables("B"), put_schema("columns", column_doc("B", 1, "b", "b")),
             put_schema("index", index_doc("B", "z", 1, "g")); }},
        // Fields outside the list: removed where tables would be lost, else a creation is offered.
        {"tables field outside the list", VALIDATE_UNKNOWN_FIELDS, EDIT, [&] {
             put_data("B", "{}"), of_a(), put_schema("tables", table_doc("B", ", \"owner\": 1")); }},
        {"columns field outside the list", VALIDATE_UNKNOWN_FIELDS, EDIT, [&] {
             of_a(), put_schema("columns", column_doc("A", 2, "m", "m", ", \"x\": 1")); }},
        {"index field outside the list", VALIDATE_UNKNOWN_FIELDS, EDIT, [&] {
             of_a(), put_schema("index", index_doc("A", "n", 2, "o", ", \"x\": 1")); }},
        {"a field outside the list, no tables", VALIDATE_DOCUMENTS_INVALID, RO, [&] {
             put_schema("columns", column_doc("A", 1, "m", "m", ", \"x\": 1")); }},
        {"a field outside the list in a document naming no table", VALIDATE_DOCUMENTS_INVALID, EDIT, [&] {
             of_a(), put_schema("columns", "{\"x\": 1}"); }},
        {"a foreign collection", VALIDATE_FOREIGN_COLLECTION, EDIT, [&] { of_a(), put_schema("notes", "{}"); }},
        {"a new collection", VALIDATE_COLLECTIONS_NEW, EDIT, [&] { of_a(), put_data("B", "{}"), put_data("system.js", "{}"); }},
        {"a table without collection", VALIDATE_COLLECTIONS_GONE, EDIT, [&] { of_a(), tables("B"); }},
        {"names compared exactly", VALIDATE_COLLECTIONS_NEW_AND_GONE, RO, [&] { put_data("a", "{}"), tables("A"); }},
        {"both out of step", VALIDATE_COLLECTIONS_NEW_AND_GONE, EDIT, [&] { of_a(), tables("B"), put_data("C", "{}"); }},
        {"another catalog's tables", VALIDATE_OK, EDIT, [&] {
             of_a(), put_schema("tables", R"({"sql_catalog": "other", "sql_schema": "dbo", "sql_table": "Z",
                                             "mongo_name": "Z", "mongo_database": "other", "type": "TABLE"})"); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        d.mode = MODE_READ_ONLY;
        row.setup(); // before connecting: a row may name the databases or the servers
        if (!d.client)
            connect();
        EXPECT_EQ(validate_schema(&d, &code), row.code == VALIDATE_OK);
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(d.mode, row.mode);
        EXPECT_TRUE(row.code != VALIDATE_OK || validate_schema(&d, &code)) << "a second run releases the first's lists";
    }
}

// A schema holding two catalogs: synchronising one removes its own gone table, never the
// other catalog's tables, not even one of a name this catalog also had.
TEST_F(Schema, SynchronisationKeepsToItsCatalog)
{
    put_data("A", R"({"name": "x"})");
    connect();
    ASSERT_TRUE(create_schema(&d, &code));
    for (const char* table : {"A", "B"})
        put_schema("tables", R"({"sql_catalog": "other", "sql_schema": "dbo", "sql_table": ")" + std::string(table) +
                                 R"(", "mongo_name": "x", "mongo_database": "other", "type": "TABLE"})");
    put_schema("tables", table_doc("B"));
    ASSERT_FALSE(validate_schema(&d, &code));
    ASSERT_EQ(code, VALIDATE_COLLECTIONS_GONE);
    stdout_of([&] { synchronise_schema(&d, code); });
    EXPECT_EQ(schema_json("tables", R"({"sql_catalog": "other"})").size(), 2u);
    EXPECT_EQ(schema_docs("tables", "{\"sql_catalog\": \"" + data + "\"}"),
              strings{R"(sql_table:"A" mongo_name:"A" mongo_database:@ type:"TABLE")"});
}

// A write that fails changes nothing: a refused save, creation whose data reads fail, a
// save whose index listing fails, and a synchronisation of a table edited by hand.
TEST_F(Schema, FailedWritesLeaveTheSchemaAsItWas)
{
    mongoc_client_t* dead = mongoc_client_new("mongodb://127.0.0.99:27017/?serverSelectionTimeoutMS=300"
                                              "&connectTimeoutMS=300&serverSelectionTryOnce=true");
    mongoc_database_t* dead_db = mongoc_client_get_database(dead, "gone");
    const struct { const char* name; std::function<bool()> act; } rows[] = {
        {"a save the server refuses (two columns of one SQL name)", [&] {
             rename(columns->next, columns->sql_name);
             int left = 0;
             return !save_table(&d, columns, &left) && (left & SAVE_LEFT_COLUMNS) &&
                    recorder.messages.size() == 1 && recorder.messages[0].text == "Mongo error saving table.";
         }},
        {"creation whose data reads fail", [&] {
             std::swap(d.client, dead), std::swap(d.db, dead_db);
             bool failed = !create_schema(&d, &code) && code == CREATE_STOPPED;
             std::swap(d.client, dead), std::swap(d.db, dead_db);
             return failed;
         }},
        {"a save whose index listing fails", [&] {
             std::swap(d.client, dead);
             int left = 0;
             bool kept = !save_table(&d, columns, &left) && left == SAVE_LEFT_INDEXES;
             std::swap(d.client, dead);
             return kept && schema_docs("index").size() == 2;
         }},
        {"a synchronisation keeps a saved rename in the table's index entries", [&] {
             rename(columns->next->next, "who");
             int left = 0;
             put_data("U", R"({"u": 1})");
             return save_table(&d, columns, &left) && !validate_schema(&d, &code) &&
                    code == VALIDATE_COLLECTIONS_NEW && synchronise_schema(&d, code) == 1 &&
                    schema_docs("index", R"({"index_name": "name_1"})") ==
                        strings{"sql_table:\"T\" sql_col_name:\"who\" index:i1 primary:false index_name:\"name_1\" "
                                "unique:false native_id:false asc:true"};
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh(), recorder.messages.clear();
        connect();
        put_data("T", R"({"_id": 1, "name": "Ann", "n": 2})");
        make_index("T", R"({"name": 1})", "name_1");
        stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
        ASSERT_EQ(read_start_up("T"), "_id n name");
        const strings before = schema_state();
        bool told = false;
        stdout_of([&] { told = row.act(); });
        EXPECT_TRUE(told);
        if (&row - rows < 2) { // the others write a part, or all
            EXPECT_EQ(schema_state(), before);
        }
    }
    mongoc_database_destroy(dead_db);
    mongoc_client_destroy(dead);
}

// The writers' lock is judged by the server's clock and the writer's renewals: a writer
// that renews keeps it, one that has ended on this machine loses it at once, one silent
// for a lease loses it whatever its host and pid say (a pid taken by a live process). A
// writer stopped past its lease finds the lock taken over and writes nothing more.
TEST_F(Schema, TheLockTellsLiveWritersFromGoneOnes)
{
    setenv("BROLIX_LOCK_LEASE_MS", "1500", 1);
    connect();
    put_data("T", R"({"_id": 1, "name": "Ann"})");
    stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
    const std::string host = this_host(), journal = schema + "_journal";
    std::string boot;
    std::getline(std::ifstream("/proc/sys/kernel/random/boot_id"), boot);
    pid_t live = fork();
    if (live == 0)
        pause(), _exit(0);
    // A lock held by (host, boot, pid), renewed now by the server's clock or long ago, and
    // the journal of a change it was making.
    auto held = [&](const std::string& on, const std::string& of_boot, pid_t pid, bool renewing) {
        testenv::drop_database(fx, journal);
        testenv::insert_json(fx, journal, "journal", R"({"_id": "header", "journal": {"$oid": "0123456789abcdef01234567"},)"
                                                     R"( "version": 7, "action": "save", "label": "T", "filters": {}})");
        testenv::insert_json(fx, journal, "lock", R"({"_id": "lock", "owner": {"$oid": "0123456789abcdef01234568"},)"
                                                  R"( "renewed": {"$date": 0}, "host": ")" + on + R"(", "boot": ")" +
                                                      of_boot + R"(", "pid": )" + std::to_string(pid) + "}");
        if (renewing) {
            mongoc_collection_t* lock = mongoc_client_get_collection(fx, journal.c_str(), "lock");
            bson_t* all = BCON_NEW("_id", "lock");
            bson_t* now = BCON_NEW("$currentDate", "{", "renewed", BCON_BOOL(true), "}");
            EXPECT_TRUE(mongoc_collection_update_one(lock, all, now, nullptr, nullptr, nullptr));
            bson_destroy(now), bson_destroy(all), mongoc_collection_destroy(lock);
        }
    };
    const struct { const char* name; std::string host, boot; pid_t pid; bool renewing, waits; } rows[] = {
        {"a live process here, renewing", host, boot, live, true, true},
        {"another machine, renewing", "desk", "", 1, true, true},
        {"another machine, silent past the lease", "desk", "", 1, false, false},
        {"a pid taken by a live process, silent past the lease", host, boot, live, false, false},
        {"a process here that has ended, renewed a moment ago", host, boot, 0x7ffffff0, true, false},
    };
    char line[DBINFO_TEXT];
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        held(row.host, row.boot, row.pid, row.renewing);
        EXPECT_EQ(settle_schema_journal(&d, line, sizeof line), !row.waits) << line;
        EXPECT_EQ(std::string(line).rfind("Another program (by desk", 0) == 0 ||
                      std::string(line).rfind("Another program (by " + host, 0) == 0,
                  row.waits)
            << line;
        EXPECT_EQ(testenv::read_json(fx, journal, "journal").size(), row.waits ? 1u : 0u);
    }
    kill(live, SIGKILL), waitpid(live, nullptr, 0);

    // A writer that claimed the schema, then was stopped past its lease.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t writer = fork();
    if (writer == 0) {
        DBINFO own;
        testenv::init_dbinfo(&own);
        testenv::connect_dbinfo(&own, data, schema);
        std::string told;
        bool claimed = schema_write_begin(&own, "save", "T", &told) == CHANGE_APPLIED;
        if (write(ready[1], claimed ? "c" : "n", 1) != 1 || !claimed)
            _exit(3);
        raise(SIGSTOP);
        schema_change_t* change = schema_change_new("save", "T");
        schema_change_replace_table(change, data.c_str(), "dbo", "T", CHANGE_MASK_COLUMNS);
        int outcome = 0;
        bool applied = schema_change_apply(&own, change, &outcome, nullptr);
        schema_write_end(&own); // its renewing thread ends with the claim
        _exit(applied ? 1 : outcome == CHANGE_FENCED ? 0 : 2);
    }
    char claimed = 0;
    ASSERT_EQ(read(ready[0], &claimed, 1), 1);
    ASSERT_EQ(claimed, 'c');
    int status = 0;
    ASSERT_EQ(waitpid(writer, &status, WUNTRACED), writer);
    const strings before = schema_state();
    std::string told;
    EXPECT_EQ(schema_write_begin(&d, "sync", "", &told), CHANGE_HELD) << told; // within its lease
    usleep(1800 * 1000);
    EXPECT_EQ(schema_write_begin(&d, "sync", "", &told), CHANGE_APPLIED) << told;
    kill(writer, SIGCONT);
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    schema_write_end(&d);
    EXPECT_EQ(schema_state(), before);
    unsetenv("BROLIX_LOCK_LEASE_MS");
}

// Cancel in the write phase stops the writes between requests and puts back what was
// written before the save returns: the table is as before or as after, no journal left.
TEST_F(Schema, CancelWhileWritingEndsBeforeOrAfter)
{
    connect();
    put_data("T", R"({"_id": 1, "name": "Ann", "tags": ["x"]})");
    make_index("T", R"({"name": 1})", "name_1");
    static int writes = 0, cancel_at = 0;
    static std::string watched;
    watched = schema;
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_started_cb(callbacks, [](const mongoc_apm_command_started_t* e) {
        std::string name = mongoc_apm_command_started_get_command_name(e);
        if ((name == "insert" || name == "delete") && watched == mongoc_apm_command_started_get_database_name(e) &&
            ++writes == cancel_at)
            set_wire_cancel(true);
    });
    mongoc_client_set_apm_callbacks(d.md_client, callbacks, nullptr);
    strings before, after;
    int total = 0;
    for (cancel_at = 0; cancel_at <= total; ++cancel_at) {
        SCOPED_TRACE("cancelled at write " + std::to_string(cancel_at));
        stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
        read_start_up("T");
        rename(columns->next, "who");
        mark_virtual("tags");
        if (before.empty())
            before = schema_state();
        writes = 0;
        int left = 0;
        bool saved = false;
        stdout_of([&] { saved = save_table(&d, columns, &left); });
        set_wire_cancel(false);
        if (cancel_at == 0)
            after = schema_state(), total = writes;
        EXPECT_EQ(saved, cancel_at == 0);
        EXPECT_EQ(last_save_outcome(), cancel_at ? CHANGE_CANCELLED : CHANGE_APPLIED);
        EXPECT_EQ(schema_state(), cancel_at ? before : after);
        EXPECT_EQ(testenv::read_json(fx, schema + "_journal", "journal", R"({"_id": "header"})").size(), 0u);
    }
    EXPECT_GE(total, 5); // the removals and the inserts each cut
    mongoc_client_set_apm_callbacks(d.md_client, nullptr, nullptr);
    mongoc_apm_callbacks_destroy(callbacks);
}

// A change counts as made only once its version is recorded: a journal cut while being
// cleared is not taken for finished; a damaged one says so and can be set aside, kept.
TEST_F(Schema, OnlyARecordedVersionCountsAsMade)
{
    connect();
    put_data("T", R"({"_id": 1, "name": "Ann"})");
    stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
    const strings before = schema_state();
    const std::string journal = schema + "_journal", id = R"({"$oid": "0123456789abcdef01234567"})";
    auto header = [&](const std::string& version) {
        testenv::insert_json(fx, journal, "journal", R"({"_id": "header", "journal": )" + id + R"(, "version": )" +
                                                         version + R"(, "action": "save", "label": "T", "filters": {}})");
    };
    char line[DBINFO_TEXT];
    bool lasting = false;
    // A save that removed the table's columns and was cut as its journal went: no version.
    testenv::drop_database(fx, journal);
    header("900");
    for (const std::string& c : testenv::read_json(fx, schema, "columns"))
        testenv::insert_json(fx, journal, "journal", R"({"journal": )" + id + R"(, "kind": 2, "doc": )" + c + "}");
    std::string filter = R"({"$or": [{"sql_table": "T"}]})";
    // (the journal's filter of the columns, as bytes: what the undo replaces)
    bson_t* f = bson_new_from_json(reinterpret_cast<const uint8_t*>(filter.data()), -1, nullptr);
    mongoc_collection_t* j = mongoc_client_get_collection(fx, journal.c_str(), "journal");
    bson_t* sel = BCON_NEW("_id", "header");
    bson_t* set = BCON_NEW("$set", "{", "filters", "{", "columns", BCON_BIN(BSON_SUBTYPE_BINARY, bson_get_data(f), f->len),
                           "}", "}");
    ASSERT_TRUE(mongoc_collection_update_one(j, sel, set, nullptr, nullptr, nullptr));
    mongoc_collection_t* columns_coll = mongoc_client_get_collection(fx, schema.c_str(), "columns");
    ASSERT_TRUE(mongoc_collection_delete_many(columns_coll, f, nullptr, nullptr, nullptr));
    EXPECT_TRUE(settle_schema_journal(&d, line, sizeof line)) << line;
    EXPECT_EQ(std::string(line).rfind("The save of 'T' that did not finish", 0), 0u) << line;
    EXPECT_NE(std::string(line).find("was undone"), std::string::npos) << line;
    EXPECT_EQ(schema_state(), before);
    // The same journal with its version recorded: the change was made, only the header goes.
    header("901");
    testenv::insert_json(fx, journal, "versions",
                         R"({"_id": {"$numberLong": "901"}, "v": "0\t\t\t\t\t\t\t0123456789abcdef01234567\t0 0 0 0"})");
    EXPECT_TRUE(settle_schema_journal(&d, line, sizeof line)) << line;
    EXPECT_NE(std::string(line).find("had finished"), std::string::npos) << line;
    // A damaged one: every start would fail the same way; it is set aside, kept whole.
    testenv::insert_json(fx, journal, "journal", R"({"_id": "header", "action": "save", "label": "T"})");
    EXPECT_FALSE(settle_schema_journal(&d, line, sizeof line, nullptr, &lasting));
    EXPECT_TRUE(lasting) << line;
    EXPECT_TRUE(set_journal_aside(&d, line, sizeof line)) << line;
    EXPECT_TRUE(settle_schema_journal(&d, line, sizeof line)) << line;
    EXPECT_EQ(testenv::read_json(fx, journal, "journal", R"({"aside": true})").size(), 1u);
    mongoc_collection_destroy(columns_coll), mongoc_collection_destroy(j);
    bson_destroy(set), bson_destroy(sel), bson_destroy(f);
}

// Fields no schema document may hold, a table whose columns are gone and an index entry
// naming a column renamed by hand (as a synchronisation mapping keys by the sampled names
// writes it): each mended alone, every hand edit and _id kept.
TEST_F(Schema, RepairsKeepHandEdits)
{
    put_data("A", R"({"x": 1})");
    put_data("B", R"({"y": 1})");
    make_index("B", R"({"y": 1})", "by_y");
    connect();
    stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
    auto change = [&](const std::string& coll, const std::string& what, const std::string& filter) {
        testenv::command_json(fx, schema, "{\"" + what + "\": \"" + coll + "\", \"" + what + "s\": [" + filter + "]}");
    };
    auto b_columns = [&] { return testenv::read_json(fx, schema, "columns", R"({"sql_table": "B"})", true); };
    change("columns", "update", R"({"q": {"sql_name": "y"}, "u": {"$set": {"sql_name": "hand_edit"}}})");
    const strings before = b_columns();
    change("columns", "delete", R"({"q": {"sql_table": "A"}, "limit": 0})");
    change("columns", "update", R"({"q": {"sql_table": "B"}, "u": {"$set": {"note": 1}}, "multi": true})");
    change("index", "update", R"({"q": {}, "u": {"$set": {"note": 1, "by": 2}}, "multi": true})");
    EXPECT_FALSE(validate_schema(&d, &code) || code != VALIDATE_UNKNOWN_FIELDS) << code;
    EXPECT_STREQ(schema_unknown_fields(), "'note' in 2 documents of 'columns' (and 2 more)");
    bson_error_t error;
    ASSERT_TRUE(remove_unknown_fields(&d, &error)) << error.message;
    EXPECT_FALSE(validate_schema(&d, &code) || code != VALIDATE_OUT_OF_STEP) << code;
    EXPECT_STREQ(schema_out_of_step(), "table 'A' has no columns while its collection holds documents (and 1 more)");
    mark_out_of_step(&d);
    stdout_of([&] { synchronise_schema(&d, VALIDATE_COLLECTIONS_NEW_AND_GONE); });
    EXPECT_TRUE(validate_schema(&d, &code)) << code;
    EXPECT_EQ(schema_json("columns", R"({"sql_table": "A"})").size(), 2u);
    EXPECT_EQ(b_columns(), before);
    EXPECT_EQ(schema_docs("index", R"({"index_name": "by_y"})"),
              strings{"sql_table:\"B\" sql_col_name:\"hand_edit\" index:i1 primary:false index_name:\"by_y\" "
                      "unique:false native_id:false asc:true"});
}

// The schema on a FerretDB of the test's own (127.0.0.40-.49), killed as a crash would, restarted.
using ServerStop = Schema;

TEST_F(ServerStop, SaveWhileTheSchemaServerIsGone)
{
    testenv::OwnFerretDB server;
    std::string& address = server.address;
    for (int last = 40; last < 50 && (address.empty() || testenv::server_answers(address)); ++last)
        address = "127.0.0." + std::to_string(last); // one such test a run: the first free address
    server.dir = testenv::build_dir() + "/servers/store-stop-" + address;
    mongoc_client_t* own = testenv::fixture_client(address);
    auto own_docs = [&](const char* collection, const std::string& table) {
        return testenv::read_json(own, schema, collection, "{\"sql_table\": \"" + table + "\"}").size();
    };
    const int lost = SAVE_LEFT_COLUMNS | SAVE_LEFT_INDEXES | SAVE_LEFT_VIRTUAL;
    const struct { const char* name; bool mid_save; int left; size_t entries; } rows[] = {
        {"stopped before the save: nothing removed", false, lost, 2},
        {"killed after the first removal: left in the journal", true, lost | SAVE_INCOMPLETE, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh(), recorder.messages.clear();
        ASSERT_TRUE(server.pid > 0 || server.start()) << "no FerretDB of our own (log in " << server.dir << ")";
        connect(testenv::server(), address);
        put_data("T", R"({"_id": 1, "name": "Ann", "tags": ["a", "b"], "n": 2})");
        make_index("T", R"({"name": 1})", "name_1");
        stdout_of([&] { ASSERT_TRUE(create_schema(&d, &code)); });
        ASSERT_EQ(read_start_up("T"), "_id n name tags tags_0 tags_1");
        mark_virtual("tags");
        mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
        mongoc_apm_set_command_succeeded_cb(callbacks, [](const mongoc_apm_command_succeeded_t* e) {
            auto* server = static_cast<testenv::OwnFerretDB*>(mongoc_apm_command_succeeded_get_context(e));
            if (std::string(mongoc_apm_command_succeeded_get_command_name(e)) == "delete")
                server->stop(); // as soon as the old index entries are gone
        });
        mongoc_client_set_apm_callbacks(d.md_client, row.mid_save ? callbacks : nullptr, &server);
        mongoc_apm_callbacks_destroy(callbacks);
        if (!row.mid_save)
            server.stop();
        int left = -1;
        std::string out = stdout_of([&] { save_table(&d, columns, &left); });
        EXPECT_EQ(left, row.left);
        EXPECT_NE(out.find("- - - - - Columns of T not saved: 6 of 6 column documents not written"), out.npos);
        mongoc_client_set_apm_callbacks(d.md_client, nullptr, nullptr);
        EXPECT_TRUE(side_still_answers(&d, SIDE_DATA) && !side_still_answers(&d, SIDE_SCHEMA)); // and told
        ASSERT_EQ(recorder.messages.size(), 1u); // a server gone shows no box of its own
        EXPECT_EQ(recorder.messages.back().text, "Could not connect to Schema - '" + schema + "'");
        ASSERT_TRUE(server.start());
        EXPECT_TRUE(own_docs("columns", "T") == 6 && own_docs("index", "T") == row.entries);
        // Once the server is back (and the client's cool-down over) the journal is settled
        // first and the kept records are written.
        for (int attempt = 0; attempt < 30 && left; ++attempt) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            stdout_of([&] { save_table(&d, columns, &left); });
        }
        EXPECT_TRUE(left == 0 && own_docs("columns", "T") == 6 && own_docs("columns", "T_tags") == 3) << left;
        EXPECT_EQ(own_docs("index", "T"), 2u);
    }
    mongoc_client_destroy(own);
}

// On a scripted schema server each step of creation refused: its code, and nothing after it.
TEST_F(Scripted, CreationFailures)
{
    const std::string key = "{\"key\": {\"sql_catalog\": 1, \"sql_schema\": 1, \"sql_table\": 1";
    auto index = [&](const char* coll, const char* rest, const char* name) {
        return "{\"createIndexes\": \"" + std::string(coll) + "\", \"indexes\": [" + key + rest +
               "}, \"name\": \"" + name + "\", \"unique\": true}]}";
    };
    const std::string order[] = {
        "{\"dropDatabase\": 1}", "{\"create\": \"tables\"}", index("tables", "", "tables_index_1"),
        "{\"create\": \"columns\"}", index("columns", ", \"sql_name\": 1", "columns_index_1"),
        index("columns", ", \"index\": 1", "columns_index_2"), "{\"create\": \"index\"}",
        index("index", ", \"sql_col_name\": 1, \"index\": 1, \"index_name\": 1", "index_index_1")};
    const struct { const char* refused; int code; const char* line; } rows[] = {
        {"dropDatabase", CREATE_DROP_FAILED, "DROP_SCHEMA"},
        {"create:tables", CREATE_NO_TABLES_COLLECTION, "CREATE_TABLES"},
        {"createIndexes:tables_index_1", CREATE_NO_TABLES_INDEX_1, "CREATE_INDEX_TABLES"},
        {"create:columns", CREATE_NO_COLUMNS_COLLECTION, "CREATE_COLUMNS"},
        {"createIndexes:columns_index_1", CREATE_NO_COLUMNS_INDEX_1, "CREATE_COLUMNS_INDEX_1"},
        {"createIndexes:columns_index_2", CREATE_NO_COLUMNS_INDEX_2, "CREATE_COLUMNS_INDEX_2"},
        {"create:index", CREATE_NO_INDEX_COLLECTION, "CREATE_INDEX"},
        {"createIndexes:index_index_1", CREATE_NO_INDEX_INDEX_1, "CREATE_INDEX_INDEX"}, {"none", CREATE_OK, ""}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.refused);
        fresh();
        start(std::string(R"({"errors": {")") + row.refused + R"(": [8000, "refused"]}})", false, true);
        std::string out = stdout_of([&] { EXPECT_EQ(create_schema(&d, &code), row.code == CREATE_OK); });
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(out, *row.line ? "\n\n- - - - -ERROR_BROLIX_" + std::string(row.line) : out);
        strings sent_order; // to the schema database, up to the refusal (the journal's undo follows)
        size_t steps = (&row - rows) + (*row.line ? 1 : 0);
        for (const std::string& c : server.commands())
            if ((c.rfind("{\"insert", 0) == 0 || c.rfind("{\"create", 0) == 0 || c.rfind("{\"drop", 0) == 0) &&
                c.find("_journal\"") == c.npos && sent_order.size() < steps)
                sent_order.push_back(c.substr(0, c.find(", \"$db\"")) + "}");
        EXPECT_EQ(sent_order, strings(order, order + steps));
    }
}

TEST_F(Scripted, QuietRefusals) // a sample broken off stops creation, a refused index listing no save
{
    const struct { const char* name; std::string config; std::function<bool()> act; } rows[] = {
        {"a sample broken off", R"({"documents": {"@.T": [{"_id": 1}, {"_id": 2}]}, "more": ["@.T"],
            "collections": {"@": ["T"]}, "errors": {"getMore": [43, "cursor killed"]}})",
         [&] { return !create_schema(&d, &code) && code == CREATE_STOPPED; }},
        {"a refused index listing", R"({"errors": {"listIndexes": [13, "no"]}})",
         [&] { return save_table(&d, nullptr, &code) && code == 0; }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        start(row.config, true, false);
        select("T");
        stdout_of([&] { EXPECT_TRUE(row.act()) << code; });
        EXPECT_EQ(recorder.messages.size(), 0u) << recorder.messages[0].text;
    }
}

// A read that stops early is no answer: a table's columns cut short after the first batch
// say so (they are never the whole table), a refused listing of the data database's
// collections is no database without collections.
TEST_F(Scripted, ReadsCutShortAreNoAnswer)
{
    std::string columns;
    for (int i = 0; i < 150; ++i)
        columns += std::string(i ? ", " : "") + column_doc("T", i + 1, "c" + std::to_string(1000 + i), "m");
    start(R"({"documents": {")" + schema + ".columns\": [" + columns + "]}, \"more\": [\"" + schema +
              R"(.columns"], "errors": {"getMore": [43, "cursor killed"]}})", false, true);
    bson_error_t error;
    db_name_t* vts = nullptr;
    db_column_t* read = read_table_columns(&d, data.c_str(), "dbo", "T", &vts, &error);
    EXPECT_NE(error.domain, 0u) << "a part of the table was taken for all of it";
    EXPECT_NE(read, nullptr);
    free_columns(read);
    free_names(vts);

    fresh();
    put_data("A", "{}"); // the schema names A; the data server refuses to list its collections
    put_schema("tables", table_doc("A"));
    put_schema("columns", column_doc("A", 1, "name", "name"));
    start(R"({"errors": {"listCollections:bare": [13, "not authorized on @"]}})", true, false);
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, VALIDATE_DATA_NOT_LISTED) << "a refused listing was taken for collections gone";
    EXPECT_STREQ(schema_read_error(), ("not authorized on " + data).c_str());

    // A refused index listing is no collection without indexes: the synchronisation writes
    // nothing (U not added, T's entries kept) and says which collection and why.
    fresh();
    put_schema("tables", table_doc("T"));
    put_schema("columns", column_doc("T", 1, "name", "name"));
    put_schema("index", index_doc("T", "name", 1, "name_1"));
    start(R"({"collections": {"@": ["T", "U"]}, "documents": {"@.T": [{"name": "x"}], "@.U": [{"u": 1}]},
              "errors": {"listIndexes": [13, "not authorized on @"]}})", true, false);
    EXPECT_FALSE(validate_schema(&d, &code));
    ASSERT_EQ(code, VALIDATE_COLLECTIONS_NEW);
    stdout_of([&] { synchronise_schema(&d, code); });
    EXPECT_EQ(last_sync_outcome(), CREATE_STOPPED);
    EXPECT_EQ(std::string(last_sync_told()),
              "The indexes of the collection 'T' could not be listed: not authorized on " + data);
    EXPECT_EQ(schema_json("index").size(), 1u);
    EXPECT_EQ(schema_json("tables").size(), 1u);
}

// An old server: no listCollections command (the library lists the names), index
// descriptions in system.indexes.
TEST_F(Scripted, OldServerWithoutListCollections)
{
    start(R"({"legacy": true, "collections": {"@": ["A", "system.js"]}, "documents": {
        "@.A": [{"_id": 1, "a": 2}], "@.system.indexes": [{"v": 1, "key": {"a": -1}, "name": "down", "ns": "@.A"},
        {"v": 1, "key": {"a": {"$numberLong": "4294967297"}}, "name": "up", "ns": "@.A"}]}})", true, false);
    stdout_of([&] { EXPECT_TRUE(create_schema(&d, &code)) << code; });
    EXPECT_EQ(d.legacy_collection_list, 1);
    EXPECT_EQ(schema_docs("tables"), strings{R"(sql_table:"A" mongo_name:"A" mongo_database:@ type:"TABLE")"});
    const std::string entry = R"(sql_table:"A" sql_col_name:"a" index:i1 primary:false index_name:)";
    EXPECT_EQ(schema_docs("index"), (strings{entry + R"("down" unique:false native_id:false asc:false)",
                                             entry + R"("up" unique:false native_id:false asc:true)"}));
    EXPECT_EQ(server.count("listIndexes"), 0);
}

} // namespace
