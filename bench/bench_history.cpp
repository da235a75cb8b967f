// The schema's history at size: what one version of a save costs in storage, and how
// long the history of many versions takes to list.
//
//   bench_history [--server HOST] [--columns N] [--versions N]
//
// Creates a schema of one table of N columns (default 200) on the server (default
// 127.0.0.11; port 27017) and saves it with one column renamed, then prints the bytes
// that version keeps in the journal's database against the bytes of the table's column
// documents. Then records N versions (default 10,000: copies of that version's record,
// numbered on) and times listing them all and listing a table's, in this process
// (list_versions) and with brolix-cli history. Drops its databases again.
#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/records.h"
#include "store/change/create.h"
#include "store/analysis/history.h"
#include "store/read/read.h"
#include "store/change/save.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mongoc/mongoc.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The bytes of the documents of a collection the filter selects.
long long bytes_of(mongoc_client_t* client, const std::string& db, const char* coll, const bson_t* filter)
{
    mongoc_collection_t* c = mongoc_client_get_collection(client, db.c_str(), coll);
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(c, filter, nullptr, nullptr);
    const bson_t* doc;
    long long total = 0;
    while (mongoc_cursor_next(cursor, &doc))
        total += doc->len;
    mongoc_cursor_destroy(cursor);
    mongoc_collection_destroy(c);
    return total;
}

} // namespace

int main(int argc, char** argv)
{
    std::string server = "127.0.0.11";
    int columns = 200, versions = 10000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--server")
            server = argv[i + 1];
        else if (flag == "--columns")
            columns = std::atoi(argv[i + 1]);
        else if (flag == "--versions")
            versions = std::atoi(argv[i + 1]);
    }
    mongoc_init();
    mongoc_log_set_handler(nullptr, nullptr);
    const std::string data = "bench_history_" + std::to_string(getpid()), schema = data + "_s",
                      journal = schema + "_journal";
    mongoc_client_t* fx = mongoc_client_new(("mongodb://" + server + "/").c_str());
    bson_t doc = BSON_INITIALIZER;
    for (int c = 0; c < columns; ++c)
        BSON_APPEND_UTF8(&doc, ("field_" + std::to_string(c)).c_str(), "some text");
    mongoc_collection_t* coll = mongoc_client_get_collection(fx, data.c_str(), "wide");
    mongoc_collection_insert_one(coll, &doc, nullptr, nullptr, nullptr);
    mongoc_collection_destroy(coll);
    bson_destroy(&doc);

    DBINFO d;
    dbinfo_clear(&d);
    dbinfo_init(&d);
    dbinfo_before_connect(&d);
    std::snprintf(d.server, sizeof d.server, "%s", server.c_str());
    std::snprintf(d.md_server, sizeof d.md_server, "%s", server.c_str());
    std::snprintf(d.database, sizeof d.database, "%s", data.c_str());
    std::snprintf(d.md_database, sizeof d.md_database, "%s", schema.c_str());
    int code = 0;
    if (!connect_databases(&d) || !create_schema(&d, &code)) {
        std::fprintf(stderr, "no schema on %s (code %d)\n", server.c_str(), code);
        return 1;
    }
    d.catalog = QString::fromStdString(data), d.schema = "dbo", d.table = "wide";
    db_column_t* list = read_table_columns(&d, data.c_str(), "dbo", "wide", nullptr);
    for (db_column_t* c = list; c; c = c->next)
        if (std::string(c->sql_name) == "field_7")
            std::free(c->sql_name), c->sql_name = copy_text("renamed");
    int left = 0;
    save_table(&d, list, &left);
    free_columns(list);
    // A second save, as most are: the table was saved before.
    list = read_table_columns(&d, data.c_str(), "dbo", "wide", nullptr);
    for (db_column_t* c = list; c; c = c->next)
        if (std::string(c->sql_name) == "field_8")
            std::free(c->sql_name), c->sql_name = copy_text("renamed_too");
    save_table(&d, list, &left);
    free_columns(list);

    bson_t* table = BCON_NEW("sql_table", "wide");
    bson_t all = BSON_INITIALIZER;
    long long table_bytes = bytes_of(fx, schema, "columns", table);
    long long kept = bytes_of(fx, journal, "journal", &all), record = bytes_of(fx, journal, "versions", &all);
    // The creation's documents are a version of their own: what the save added is the rest.
    std::vector<version_t> found;
    bson_error_t error;
    list_versions(&d, {}, &found, &error);
    std::printf("columns of the table: %d, %lld bytes of column documents\n", columns, table_bytes);
    std::printf("journal database after creation and one save of one column: %lld bytes of documents, "
                "%lld of version records (%zu versions)\n",
                kept, record, found.size());
    bson_t* of_save = BCON_NEW("_id", BCON_INT64(2));
    mongoc_collection_t* versions_coll = mongoc_client_get_collection(fx, journal.c_str(), "versions");
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(versions_coll, of_save, nullptr, nullptr);
    const bson_t* save_record = nullptr;
    bson_t copy = BSON_INITIALIZER;
    if (mongoc_cursor_next(cursor, &save_record))
        bson_copy_to_excluding_noinit(save_record, &copy, "_id", nullptr);
    mongoc_cursor_destroy(cursor);
    version_t saved;
    bson_t* numbered = BCON_NEW("_id", BCON_INT64(2));
    bson_concat(numbered, &copy);
    read_version_record(numbered, &saved);
    bson_destroy(numbered);
    bson_t* of_journal = BCON_NEW("journal", BCON_OID(&saved.journal));
    std::printf("the first save's version: %lld bytes in the journal's documents (the table's columns once, "
                "the fields each save adds to a created column)\n",
                bytes_of(fx, journal, "journal", of_journal));
    bson_t* third = BCON_NEW("_id", BCON_INT64(3));
    version_t second;
    cursor = mongoc_collection_find_with_opts(versions_coll, third, nullptr, nullptr);
    const bson_t* record3;
    if (mongoc_cursor_next(cursor, &record3) && read_version_record(record3, &second)) {
        bson_t* of_second = BCON_NEW("journal", BCON_OID(&second.journal));
        std::printf("the second save's version: %lld bytes (the table's columns once, the one renamed again)\n",
                    bytes_of(fx, journal, "journal", of_second));
        bson_destroy(of_second);
    }
    mongoc_cursor_destroy(cursor);
    bson_destroy(third);

    // Many versions, as a long-lived schema gathers them.
    std::vector<bson_t*> batch;
    for (int n = 4; n <= versions + 3; ++n) {
        bson_t* v = bson_new();
        BSON_APPEND_INT64(v, "_id", n);
        bson_concat(v, &copy);
        batch.push_back(v);
        if (batch.size() == 1000 || n == versions + 3) {
            mongoc_collection_insert_many(versions_coll, const_cast<const bson_t**>(batch.data()), batch.size(),
                                          nullptr, nullptr, nullptr);
            for (bson_t* b : batch)
                bson_destroy(b);
            batch.clear();
        }
    }
    for (const std::vector<std::string>& tables : {std::vector<std::string>{}, std::vector<std::string>{"wide"}}) {
        auto start = std::chrono::steady_clock::now();
        bool ok = list_versions(&d, tables, &found, &error);
        std::printf("list_versions(%s): %zu versions in %.3f s%s\n", tables.empty() ? "all" : "wide", found.size(),
                    seconds_since(start), ok ? "" : error.message);
    }
    const std::string cli = std::string(BROLIX_BUILD_DIR) + "/brolix-cli history --quiet -ds " + server + " -db " +
                            data + " -ss " + server + " -sc " + schema + " >/dev/null";
    auto start = std::chrono::steady_clock::now();
    int status = std::system(cli.c_str());
    std::printf("brolix-cli history: %.3f s from start to exit (status %d)\n", seconds_since(start), status);

    mongoc_collection_destroy(versions_coll);
    bson_destroy(of_journal), bson_destroy(of_save), bson_destroy(table), bson_destroy(&copy);
    for (const std::string& db : {data, schema, journal}) {
        mongoc_database_t* handle = mongoc_client_get_database(fx, db.c_str());
        mongoc_database_drop(handle, nullptr);
        mongoc_database_destroy(handle);
    }
    mongoc_client_destroy(fx);
    return 0;
}
