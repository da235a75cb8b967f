// Server round trips of reading one table's columns with their index entries.
//
//   bench_read_columns [--server HOST] [--columns N]
//
// Writes a schema of one table with N columns (default 200), each in an index, on the
// server (default 127.0.0.11; port 27017), counts the commands read_table_columns sends
// (a command-monitoring callback of the client library; the handshake is not a
// command), compares with one query per column, and drops the schema again.
#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/records.h"
#include "store/read/read.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mongoc/mongoc.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct counter_t {
    int commands = 0;
    int finds = 0;
    int get_mores = 0;
};

void count_started(const mongoc_apm_command_started_t* event)
{
    auto* c = static_cast<counter_t*>(mongoc_apm_command_started_get_context(event));
    const char* name = mongoc_apm_command_started_get_command_name(event);
    c->commands++;
    if (!std::strcmp(name, "find"))
        c->finds++;
    else if (!std::strcmp(name, "getMore"))
        c->get_mores++;
}

bool insert_all(mongoc_client_t* client, const char* db, const char* coll, std::vector<bson_t*>& docs)
{
    mongoc_collection_t* c = mongoc_client_get_collection(client, db, coll);
    bson_error_t error;
    bool ok = mongoc_collection_insert_many(c, const_cast<const bson_t**>(docs.data()), docs.size(), nullptr,
                                            nullptr, &error);
    if (!ok)
        std::fprintf(stderr, "insert into %s: %s\n", coll, error.message);
    mongoc_collection_destroy(c);
    for (bson_t* d : docs)
        bson_destroy(d);
    docs.clear();
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    std::string server = "127.0.0.11";
    int n = 200;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--server") && i + 1 < argc)
            server = argv[++i];
        else if (!std::strcmp(argv[i], "--columns") && i + 1 < argc)
            n = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr, "usage: %s [--server HOST] [--columns N]\n", argv[0]);
            return 2;
        }
    }
    mongoc_init();
    std::string data = "bench_rc_data_" + std::to_string(getpid());
    std::string schema = "bench_rc_schema_" + std::to_string(getpid());

    DBINFO d;
    dbinfo_clear(&d);
    dbinfo_init(&d);
    d.ssl = keep_string("N");
    d.wcv = keep_string(" ");
    dbinfo_set_text(d.server, server.c_str());
    dbinfo_set_text(d.md_server, server.c_str());
    dbinfo_set_text(d.database, data.c_str());
    dbinfo_set_text(d.md_database, schema.c_str());
    if (!connect_databases(&d)) {
        std::fprintf(stderr, "no server answers at %s:27017\n", server.c_str());
        return 2;
    }

    // One table, n columns, each column the key of an index of its own, and the _id.
    std::vector<bson_t*> columns, entries;
    for (int i = 0; i < n; ++i) {
        std::string name = i ? "col_" + std::to_string(i) : "_id";
        bson_t* c = BCON_NEW("sql_catalog", BCON_UTF8(data.c_str()), "sql_schema", "dbo", "sql_table", "T", "index",
                             BCON_INT32(i + 1), "sql_name", BCON_UTF8(name.c_str()), "sql_type", BCON_INT32(12),
                             "mongo_name", BCON_UTF8(name.c_str()), "mongo_type", BCON_INT32(2), "length",
                             BCON_INT32(40), "visible", BCON_BOOL(true));
        columns.push_back(c);
        std::string index = name + "_1";
        bson_t* e = BCON_NEW("sql_catalog", BCON_UTF8(data.c_str()), "sql_schema", "dbo", "sql_table", "T",
                             "sql_col_name", BCON_UTF8(name.c_str()), "index", BCON_INT32(1), "primary",
                             BCON_BOOL(false), "index_name", BCON_UTF8(index.c_str()), "unique", BCON_BOOL(false),
                             "native_id", BCON_BOOL(false), "asc", BCON_BOOL(true));
        entries.push_back(e);
    }
    if (!insert_all(d.md_client, schema.c_str(), "columns", columns) ||
        !insert_all(d.md_client, schema.c_str(), "index", entries))
        return 2;

    d.catalog = QString::fromStdString(data);
    d.schema = "dbo";
    d.table = "T";

    counter_t counter;
    mongoc_apm_callbacks_t* callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_started_cb(callbacks, count_started);
    mongoc_client_set_apm_callbacks(d.md_client, callbacks, &counter);

    auto started = std::chrono::steady_clock::now();
    db_name_t* vt = nullptr;
    db_column_t* list = read_table_columns(&d, data.c_str(), "dbo", "T", &vt);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    int read_columns = 0, entries_read = 0;
    for (db_column_t* c = list; c; c = c->next, ++read_columns)
        for (db_index_t* e = c->indexes; e; e = e->next)
            ++entries_read;
    counter_t one_query = counter;

    // The same entries fetched the way of one query per column, for comparison.
    counter = counter_t();
    started = std::chrono::steady_clock::now();
    for (db_column_t* c = list; c; c = c->next) {
        db_index_t* e = read_column_indexes(&d, c->sql_name);
        free_indexes(e);
    }
    double per_column_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    counter_t per_column = counter;

    mongoc_client_set_apm_callbacks(d.md_client, nullptr, nullptr);
    mongoc_apm_callbacks_destroy(callbacks);
    free_columns(list);
    free_names(vt);
    mongoc_database_drop(d.md_db, nullptr);

    std::printf("read_table_columns, table of %d columns with %d index entries (server %s)\n", read_columns,
                entries_read, server.c_str());
    std::printf("  round trips             %d (%d find, %d getMore), %.1f ms\n", one_query.commands, one_query.finds,
                one_query.get_mores, ms);
    std::printf("  index entries by column %d more round trips (%d find), %.1f ms\n", per_column.commands,
                per_column.finds, per_column_ms);
    return read_columns == n ? 0 : 1;
}
