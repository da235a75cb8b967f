// The ground of the store tests: a data and a schema database of their own on the test
// servers, dropped afterwards, a recorder for the boxes, and a scripted server for what
// FerretDB does not do.
#ifndef BROLIX_TESTS_STORE_STORE_FIXTURE_H
#define BROLIX_TESTS_STORE_STORE_FIXTURE_H

#include "app/dbinfo.h"
#include "store/records.h"
#include "tests/support/mock_server.h"
#include "tests/support/test_env.h"

#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
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
        drop();
        testenv::release_dbinfo(&d);
        mongoc_client_destroy(fx);
    }
    void drop()
    {
        for (const std::string& db : {data, schema})
            testenv::drop_database(fx, db);
    }
    // New databases and a new record, for each row of a table.
    void fresh()
    {
        if (!data.empty())
            drop(), testenv::release_dbinfo(&d);
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
    void put_data(const std::string& coll, const std::string& json) { testenv::insert_json(fx, data, coll, json); }
    void put_schema(const std::string& coll, const std::string& json) { testenv::insert_json(fx, schema, coll, json); }
    void make_collection(const std::string& name)
    {
        mongoc_database_t* db = mongoc_client_get_database(fx, schema.c_str());
        mongoc_collection_destroy(mongoc_database_create_collection(db, name.c_str(), nullptr, nullptr));
        mongoc_database_destroy(db);
    }
    // An index on a data collection, given by its key document as JSON.
    void make_index(const std::string& collection, const std::string& key_json, const std::string& name,
                    bool unique = false)
    {
        std::string json = "{\"createIndexes\": \"" + collection + "\", \"indexes\": [{\"key\": " + key_json +
                           ", \"name\": \"" + name + "\"" + (unique ? ", \"unique\": true" : "") + "}]}";
        bson_t* command = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()), -1, nullptr);
        bson_error_t error;
        EXPECT_TRUE(mongoc_client_command_simple(fx, data.c_str(), command, nullptr, nullptr, &error))
            << error.message;
        bson_destroy(command);
    }
    strings schema_json(const std::string& coll, const std::string& filter = "{}")
    {
        return testenv::read_json(fx, schema, coll, filter);
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
        return "{" + selector(table) + ", \"index\": " + std::to_string(index) + ", \"sql_name\": \"" + sql_name +
               "\", \"sql_type\": 12, \"mongo_name\": \"" + mongo_name + "\", \"mongo_type\": 2, \"length\": 40" +
               extra + ", \"visible\": true}";
    }
    std::string index_doc(const std::string& table, const std::string& column, int index, const std::string& name,
                          const std::string& extra = "")
    {
        return "{" + selector(table) + ", \"sql_col_name\": \"" + column + "\", \"index\": " + std::to_string(index) +
               ", \"primary\": false, \"index_name\": \"" + name +
               "\", \"unique\": false, \"native_id\": false, \"asc\": true" + extra + "}";
    }
    std::string selector(const std::string& table) const
    {
        return "\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"" + table + "\"";
    }
    // The documents of a schema collection, each as its fields in order with their types
    // (`name:"text"`, `index:i1` int32, true/false, null; no _id), this test's catalog
    // written `@` and left out at the start of a document of schema "dbo".
    strings schema_docs(const std::string& collection, const std::string& filter = "{}")
    {
        std::vector<bson_t*> docs = testenv::read_documents(fx, schema, collection, filter);
        strings out;
        for (bson_t* doc : docs) {
            std::string text;
            bson_iter_t it;
            for (bson_iter_init(&it, doc); bson_iter_next(&it);) {
                std::string key = bson_iter_key(&it), utf8;
                if (key == "_id")
                    continue;
                text += (text.empty() ? "" : " ") + key + ":";
                switch (bson_iter_type(&it)) {
                case BSON_TYPE_UTF8:
                    utf8 = bson_iter_utf8(&it, nullptr);
                    text += utf8 == data ? "@" : "\"" + utf8 + "\"";
                    break;
                case BSON_TYPE_INT32: text += "i" + std::to_string(bson_iter_int32(&it)); break;
                case BSON_TYPE_BOOL: text += bson_iter_bool(&it) ? "true" : "false"; break;
                case BSON_TYPE_NULL: text += "null"; break;
                default: text += "type" + std::to_string(bson_iter_type(&it));
                }
            }
            if (text.rfind("sql_catalog:@ sql_schema:\"dbo\" ", 0) == 0)
                text.erase(0, 31);
            out.push_back(text);
        }
        testenv::destroy_documents(docs);
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
    void start(const std::string& config, bool data_scripted, bool schema_scripted)
    {
        ASSERT_TRUE(server.start(config));
        connect(data_scripted ? server.address() : testenv::server(),
                schema_scripted ? server.address() : testenv::server());
    }
    // How many answered commands hold the text.
    int sent(const std::string& text) const
    {
        int n = 0;
        for (const std::string& c : server.commands())
            n += c.find(text) != std::string::npos;
        return n;
    }
};

#endif
