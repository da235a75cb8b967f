// The ground of the store tests: a data and a schema database of their own, dropped
// afterwards, a recorder for the boxes, and a scripted server for what FerretDB cannot do.
#ifndef BROLIX_TESTS_STORE_STORE_FIXTURE_H
#define BROLIX_TESTS_STORE_STORE_FIXTURE_H

#include "core/dbinfo.h"
#include "core/records.h"
#include "store/change/save.h"
#include "store/read/read.h"
#include "tests/support/mock_server.h"
#include "tests/support/test_env.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <vector>

using strings = std::vector<std::string>;

struct StoreTest : ::testing::Test {
    DBINFO d;
    std::string data, schema;
    mongoc_client_t* fx = testenv::fixture_client();
    testenv::MessageRecorder recorder;
    int code = 0;

    StoreTest() { fresh(); }
    ~StoreTest() override
    {
        fresh(false);
        mongoc_client_destroy(fx);
    }
    // New databases and a new record, for each row of a table (the old ones dropped).
    void fresh(bool again = true)
    {
        if (!data.empty()) {
            for (const std::string& db : {data, schema, schema + "_journal"})
                testenv::drop_database(fx, db);
            testenv::release_dbinfo(&d);
        }
        if (!again)
            return;
        testenv::init_dbinfo(&d);
        data = testenv::unique_name("sdata");
        schema = testenv::unique_name("sschema");
    }
    // Data and schema on the first test server unless told otherwise.
    void connect(const std::string& data_server = "", const std::string& schema_server = "")
    {
        testenv::connect_dbinfo(&d, data, schema, data_server, schema_server);
    }
    // The table the window would have selected.
    void select(const std::string& table)
    {
        d.catalog = QString::fromStdString(data);
        d.schema = "dbo";
        d.table = QString::fromStdString(table);
        d.qualified_table = d.catalog + "." + d.table;
    }
    void put_data(const std::string& c, const std::string& j) { testenv::insert_json(fx, data, c, j); }
    void rename_column(const std::string& from, const std::string& to) // by hand, as another tool would
    {
        testenv::command_json(fx, schema, R"({"update": "columns", "updates": [{"q": {"sql_name": ")" + from +
                                              R"("}, "u": {"$set": {"sql_name": ")" + to + R"("}}}]})");
    }
    // brolix-cli's arguments for a command on this test's databases, the schema on schema_server.
    std::string cli_args(const std::string& command, const std::string& schema_server) const
    {
        return command + " --quiet -ds " + testenv::server() + " -db " + data + " -ss " + schema_server + " -sc " +
               schema;
    }
    int cli(const std::string& command, std::string* output = nullptr) // the schema on the first test server
    {
        return testenv::run_cli(cli_args(command, testenv::server()), output);
    }
    // The table saved as the window saves it, each column read handed to edit first.
    void save_edited(const std::string& table, const std::function<void(db_column_t*)>& edit)
    {
        select(table);
        db_column_t* columns = read_table_columns(&d, data.c_str(), "dbo", table.c_str(), nullptr);
        for (db_column_t* c = columns; c; c = c->next)
            edit(c);
        int left = 0;
        stdout_of([&] { EXPECT_TRUE(save_table(&d, columns, &left)) << left; });
        free_columns(columns);
    }
    static void rename(db_column_t* c, const char* to) { std::free(c->sql_name), c->sql_name = copy_text(to); }
    void put_schema(const std::string& c, const std::string& j) { testenv::insert_json(fx, schema, c, j); }
    void make_collection(const std::string& name) { testenv::command_json(fx, schema, "{\"create\": \"" + name + "\"}"); }
    // An index on a data collection, given by its key document as JSON.
    void make_index(const std::string& collection, const std::string& key_json, const std::string& name,
                    bool unique = false)
    {
        testenv::command_json(fx, data, "{\"createIndexes\": \"" + collection + "\", \"indexes\": [{\"key\": " +
                                            key_json + ", \"name\": \"" + name + "\"" +
                                            (unique ? ", \"unique\": true" : "") + "}]}");
    }
    strings schema_json(const std::string& coll, const std::string& filter = "{}")
    {
        return testenv::read_json(fx, schema, coll, filter);
    }
    // Every document of the schema without _id, in a stable order (of a server of the test's own).
    strings schema_state(mongoc_client_t* server = nullptr)
    {
        strings all;
        for (const char* c : {"tables", "columns", "index"})
            for (const std::string& doc : testenv::read_json(server ? server : fx, schema, c))
                all.push_back(std::string(c) + " " + doc);
        std::sort(all.begin(), all.end());
        return all;
    }

    // A tables / columns / index document of this test's catalog, as the editor writes it.
    std::string table_doc(const std::string& table, const std::string& extra = "")
    {
        return "{" + selector(table) + ", \"mongo_name\": \"" + table + "\", \"mongo_database\": \"" + data +
               "\", \"type\": \"TABLE\"" + extra + "}";
    }
    std::string column_doc(const std::string& table, int index, const std::string& sql_name,
                           const std::string& mongo_name, const std::string& extra = "")
    {
        return "{" + selector(table) + ", \"index\": " + std::to_string(index) + ", \"sql_name\": \"" +
               sql_name + "\", \"sql_type\": 12, \"mongo_name\": \"" + mongo_name +
               "\", \"mongo_type\": 2, \"length\": 40" + extra + ", \"visible\": true}";
    }
    std::string index_doc(const std::string& table, const std::string& column, int index,
                          const std::string& name, const std::string& extra = "")
    {
        return "{" + selector(table) + ", \"sql_col_name\": \"" + column + "\", \"index\": " +
               std::to_string(index) + ", \"primary\": false, \"index_name\": \"" + name +
               "\", \"unique\": false, \"native_id\": false, \"asc\": true" + extra + "}";
    }
    std::string selector(const std::string& table) const
    {
        return "\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"" + table + "\"";
    }
    // The documents of a schema collection without _id, each as `key:value` in order (int32
    // written `i1`), this test's catalog `@` and left out at the start of a document of "dbo".
    strings schema_docs(const std::string& collection, const std::string& filter = "{}")
    {
        strings out = testenv::read_json(fx, schema, collection, filter);
        for (std::string& doc : out) {
            doc = std::regex_replace(doc, std::regex(R"x(\{ "\$numberInt" : "(-?\d+)" \})x"), "i$1");
            doc = std::regex_replace(doc.substr(2, doc.size() - 4), std::regex(R"x("([^"]*)" : )x"), "$1:");
            doc = std::regex_replace(doc, std::regex(", (\\w+:)"), " $1");
            for (size_t at; (at = doc.find("\"" + data + "\"")) != doc.npos;)
                doc.replace(at, data.size() + 2, "@");
            if (doc.rfind("sql_catalog:@ sql_schema:\"dbo\" ", 0) == 0)
                doc.erase(0, 31);
        }
        return out;
    }
    // What a call prints on standard output.
    static std::string stdout_of(const std::function<void()>& call)
    {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        call();
        std::fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};

// A scripted server standing in for the data side, the schema side or both.
struct Scripted : StoreTest {
    testenv::ScriptedServer server;
    void start(std::string config, bool data_scripted, bool schema_scripted) // @ in config: the data database
    {
        for (size_t at; (at = config.find('@')) != config.npos;)
            config.replace(at, 1, data);
        ASSERT_TRUE(server.start(config));
        connect(data_scripted ? server.address() : testenv::server(),
                schema_scripted ? server.address() : testenv::server());
    }
};

#endif
