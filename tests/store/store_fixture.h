// The ground of the schema store tests: a data and a schema database of their own on
// the test servers, dropped afterwards, and a recorder for the boxes the store shows.
#ifndef BROLIX_TESTS_STORE_STORE_FIXTURE_H
#define BROLIX_TESTS_STORE_STORE_FIXTURE_H

#include "app/dbinfo.h"
#include "store/records.h"
#include "tests/support/test_env.h"

#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

struct StoreTest : ::testing::Test {
    DBINFO d;
    std::string data;
    std::string schema;
    mongoc_client_t* fx = nullptr;
    mongoc_client_t* fx2 = nullptr;
    testenv::MessageRecorder recorder;

    StoreTest()
    {
        mongoc_init();
        testenv::init_dbinfo(&d);
        data = testenv::unique_name("sdata");
        schema = testenv::unique_name("sschema");
        fx = testenv::fixture_client();
        fx2 = testenv::fixture_client(testenv::server2());
    }
    ~StoreTest() override
    {
        testenv::release_dbinfo(&d);
        for (mongoc_client_t* c : {fx, fx2}) {
            testenv::drop_database(c, data);
            testenv::drop_database(c, schema);
            mongoc_client_destroy(c);
        }
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

    void put_data(const std::string& collection, const std::string& json)
    {
        testenv::insert_json(fx, data, collection, json);
    }
    void put_schema(const std::string& collection, const std::string& json)
    {
        testenv::insert_json(fx, schema, collection, json);
    }
    void make_collection(mongoc_client_t* client, const std::string& database, const std::string& name)
    {
        mongoc_database_t* db = mongoc_client_get_database(client, database.c_str());
        bson_error_t error;
        mongoc_collection_t* coll = mongoc_database_create_collection(db, name.c_str(), nullptr, &error);
        ASSERT_NE(coll, nullptr) << error.message;
        mongoc_collection_destroy(coll);
        mongoc_database_destroy(db);
    }
    // An index on a data collection, given by its key document as JSON.
    void make_index(const std::string& collection, const std::string& key_json, const std::string& name,
                    bool unique = false)
    {
        std::string json = "{\"createIndexes\": \"" + collection + "\", \"indexes\": [{\"key\": " + key_json +
                           ", \"name\": \"" + name + "\"" + (unique ? ", \"unique\": true" : "") + "}]}";
        bson_error_t error;
        bson_t* command = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()), -1, &error);
        ASSERT_NE(command, nullptr) << error.message;
        bool ok = mongoc_client_command_simple(fx, data.c_str(), command, nullptr, nullptr, &error);
        bson_destroy(command);
        ASSERT_TRUE(ok) << error.message;
    }
    std::vector<std::string> schema_json(const std::string& collection, const std::string& filter = "{}")
    {
        return testenv::read_json(fx, schema, collection, filter);
    }

    // A tables / columns / index document of this test's catalog, as the editor writes it.
    std::string table_doc(const std::string& table, const std::string& extra = "")
    {
        return "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"" + table +
               "\", \"mongo_name\": \"" + table + "\", \"mongo_database\": \"" + data + "\", \"type\": \"TABLE\"" +
               extra + "}";
    }
    std::string column_doc(const std::string& table, int index, const std::string& sql_name,
                           const std::string& mongo_name, const std::string& extra = "")
    {
        return "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"" + table +
               "\", \"index\": " + std::to_string(index) + ", \"sql_name\": \"" + sql_name +
               "\", \"sql_type\": 12, \"mongo_name\": \"" + mongo_name + "\", \"mongo_type\": 2, \"length\": 40" +
               extra + ", \"visible\": true}";
    }
    std::string index_doc(const std::string& table, const std::string& column, int index, const std::string& name,
                          const std::string& extra = "")
    {
        return "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"" + table +
               "\", \"sql_col_name\": \"" + column + "\", \"index\": " + std::to_string(index) +
               ", \"primary\": false, \"index_name\": \"" + name +
               "\", \"unique\": false, \"native_id\": false, \"asc\": true" + extra + "}";
    }

    // The documents of a schema collection, each as its fields in order with their
    // types: `name:"text"`, `index:i1` (int32), `l` int64, `d` double, true/false, null.
    // The _id is left out.
    std::vector<std::string> schema_docs(const std::string& collection, const std::string& filter = "{}")
    {
        std::vector<bson_t*> docs = testenv::read_documents(fx, schema, collection, filter);
        std::vector<std::string> out;
        for (bson_t* doc : docs)
            out.push_back(typed(doc));
        testenv::destroy_documents(docs);
        return out;
    }
    static std::string typed(const bson_t* doc)
    {
        std::string out;
        bson_iter_t it;
        bson_iter_init(&it, doc);
        while (bson_iter_next(&it)) {
            std::string key = bson_iter_key(&it);
            if (key == "_id")
                continue;
            if (!out.empty())
                out += " ";
            out += key + ":";
            switch (bson_iter_type(&it)) {
            case BSON_TYPE_UTF8: out += "\"" + std::string(bson_iter_utf8(&it, nullptr)) + "\""; break;
            case BSON_TYPE_INT32: out += "i" + std::to_string(bson_iter_int32(&it)); break;
            case BSON_TYPE_INT64: out += "l" + std::to_string(bson_iter_int64(&it)); break;
            case BSON_TYPE_DOUBLE: out += "d" + std::to_string(bson_iter_double(&it)); break;
            case BSON_TYPE_BOOL: out += bson_iter_bool(&it) ? "true" : "false"; break;
            case BSON_TYPE_NULL: out += "null"; break;
            default: out += "type" + std::to_string(bson_iter_type(&it));
            }
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

#endif
