// Server round trips of start-up, from the first connection to the shown window.
//
//   bench_startup [--server HOST] [--size TABLESxCOLUMNS]...
//
// For each size (default 50x40, 200x40, 200x10) it writes a data database of TABLES
// collections, each with one document of COLUMNS fields, on the server (default
// 127.0.0.11; port 27017), lets a first window create the schema (answering Yes), then
// opens a second window on the finished schema and counts the commands both clients send
// until that window is shown with its first table loaded. The databases are dropped after.
// Runs on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include "app/connect.h"
#include "ui/schema.h"

#include <QApplication>
#include <QMessageBox>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mongoc/mongoc.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct counter_t {
    int commands[2] = {0, 0};
    int heartbeats = 0;
    std::map<std::string, int> by_name;
    std::map<std::string, int64_t> micros_by_name;
    std::map<int64_t, std::string> pending;
};

// Each client gets the context of its side.
struct side_context_t {
    counter_t* counter;
    int side;
};

void count_started(const mongoc_apm_command_started_t* event)
{
    auto* c = static_cast<side_context_t*>(mongoc_apm_command_started_get_context(event));
    c->counter->commands[c->side]++;
    std::string name = mongoc_apm_command_started_get_command_name(event);
    // Reads are told apart by the collection they read.
    bson_iter_t it;
    const char* field = name == "getMore" ? "collection" : name.c_str();
    if ((name == "find" || name == "getMore") &&
        bson_iter_init_find(&it, mongoc_apm_command_started_get_command(event), field) && BSON_ITER_HOLDS_UTF8(&it))
        name += std::string(" ") + bson_iter_utf8(&it, nullptr);
    c->counter->by_name[name]++;
    c->counter->pending[mongoc_apm_command_started_get_request_id(event)] = name;
}

void count_succeeded(const mongoc_apm_command_succeeded_t* event)
{
    auto* c = static_cast<side_context_t*>(mongoc_apm_command_succeeded_get_context(event));
    c->counter->micros_by_name[c->counter->pending[mongoc_apm_command_succeeded_get_request_id(event)]] +=
        mongoc_apm_command_succeeded_get_duration(event);
}

void count_heartbeat(const mongoc_apm_server_heartbeat_started_t* event)
{
    static_cast<side_context_t*>(mongoc_apm_server_heartbeat_started_get_context(event))->counter->heartbeats++;
}

side_context_t sides[2];
bool counting = false;
mongoc_apm_callbacks_t* callbacks = nullptr;
std::vector<mongoc_client_t*> observed;

void observe(mongoc_client_t* client, int side, void*)
{
    if (!counting)
        return;
    mongoc_client_set_apm_callbacks(client, callbacks, &sides[side == SIDE_SCHEMA ? 1 : 0]);
    observed.push_back(client);
}

bool answers(mongoc_client_t* client)
{
    bson_t* ping = BCON_NEW("ping", BCON_INT32(1));
    bson_error_t error;
    bool ok = mongoc_client_command_simple(client, "admin", ping, nullptr, nullptr, &error);
    if (!ok)
        std::fprintf(stderr, "ping: %s\n", error.message);
    bson_destroy(ping);
    return ok;
}

struct schema_size_t {
    int tables;
    int columns;
};

bool write_data(mongoc_client_t* client, const std::string& db, schema_size_t size)
{
    for (int t = 0; t < size.tables; ++t) {
        char name[32];
        std::snprintf(name, sizeof name, "t%03d", t);
        bson_t doc;
        bson_init(&doc);
        BSON_APPEND_INT32(&doc, "_id", t + 1);
        for (int c = 1; c < size.columns; ++c) {
            char field[32];
            std::snprintf(field, sizeof field, "field_%02d", c);
            if (c % 2)
                BSON_APPEND_UTF8(&doc, field, "some text of a row");
            else
                BSON_APPEND_INT32(&doc, field, c * 7);
        }
        mongoc_collection_t* coll = mongoc_client_get_collection(client, db.c_str(), name);
        bson_error_t error;
        bool ok = mongoc_collection_insert_one(coll, &doc, nullptr, nullptr, &error);
        if (!ok)
            std::fprintf(stderr, "insert into %s: %s\n", name, error.message);
        mongoc_collection_destroy(coll);
        bson_destroy(&doc);
        if (!ok)
            return false;
    }
    return true;
}

void drop(mongoc_client_t* client, const std::string& db)
{
    mongoc_database_t* d = mongoc_client_get_database(client, db.c_str());
    mongoc_database_drop(d, nullptr);
    mongoc_database_destroy(d);
}

double since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

bool run(const std::string& server, schema_size_t size, int serial)
{
    std::string tag = std::to_string(getpid()) + "_" + std::to_string(serial);
    std::string data = "bench_su_" + tag;
    std::string schema = "bench_su_" + tag + "_schema";
    std::string uri = "mongodb://" + server + ":27017";
    mongoc_client_t* admin = mongoc_client_new(uri.c_str());
    if (!admin)
        return false;
    if (!answers(admin)) {
        mongoc_client_destroy(admin);
        return false;
    }

    auto started = std::chrono::steady_clock::now();
    bool ok = write_data(admin, data, size);
    double write_ms = since(started);

    QStringList arguments{"brolix", "-ds", QString::fromStdString(server), "-db", QString::fromStdString(data),
                          "-ss", QString::fromStdString(server), "-sc", QString::fromStdString(schema)};
    int unexpected = 0;
    double create_ms = 0;
    if (ok) {
        // First window: the schema does not exist yet; Yes creates it.
        Schema::message_box_hook = [](QMessageBox*) { return int(QMessageBox::Yes); };
        // Its echo lines of the index listings are not this benchmark's output.
        std::fflush(stdout);
        int saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
        started = std::chrono::steady_clock::now();
        {
            Schema first(arguments);
            first.show();
            QCoreApplication::processEvents();
        }
        create_ms = since(started);
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }

    counter_t counter;
    double startup_ms = 0;
    if (ok) {
        // Second window: a valid schema, so no box is expected at all.
        Schema::message_box_hook = [&unexpected](QMessageBox* box) {
            std::fprintf(stderr, "unexpected box: %s\n", box->text().toLocal8Bit().constData());
            ++unexpected;
            return int(QMessageBox::No);
        };
        sides[0] = {&counter, 0};
        sides[1] = {&counter, 1};
        counting = true;
        started = std::chrono::steady_clock::now();
        {
            Schema second(arguments);
            second.show();
            QCoreApplication::processEvents();
            startup_ms = since(started);
            counting = false;
            for (mongoc_client_t* c : observed)
                mongoc_client_set_apm_callbacks(c, nullptr, nullptr);
            observed.clear();
        }
    }
    Schema::message_box_hook = nullptr;
    drop(admin, data);
    drop(admin, schema);
    mongoc_client_destroy(admin);
    if (!ok)
        return false;

    int total = counter.commands[0] + counter.commands[1];
    std::printf("%d tables x %d columns (server %s)\n", size.tables, size.columns, server.c_str());
    std::printf("  setup: data written in %.0f ms, schema created by a first window in %.0f ms\n", write_ms, create_ms);
    std::printf("  start-up to shown window: %d round trips (data %d, schema %d), %.1f ms, %d heartbeats\n", total,
                counter.commands[0], counter.commands[1], startup_ms, counter.heartbeats);
    for (const auto& entry : counter.by_name)
        std::printf("    %-24s %4d  %7.1f ms\n", entry.first.c_str(), entry.second,
                    counter.micros_by_name[entry.first] / 1000.0);
    return unexpected == 0;
}

// Only errors of the client library; the offscreen platform's notices are dropped.
void quiet_log(mongoc_log_level_t level, const char* domain, const char* message, void*)
{
    if (level <= MONGOC_LOG_LEVEL_ERROR)
        std::fprintf(stderr, "%s: %s\n", domain, message);
}

void quiet_qt(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type >= QtCriticalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::string server = "127.0.0.11";
    std::vector<schema_size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        schema_size_t s{0, 0};
        if (!std::strcmp(argv[i], "--server") && i + 1 < argc) {
            server = argv[++i];
        } else if (!std::strcmp(argv[i], "--size") && i + 1 < argc &&
                   std::sscanf(argv[++i], "%dx%d", &s.tables, &s.columns) == 2 && s.tables > 0 && s.tables <= 999 &&
                   s.columns > 0) {
            sizes.push_back(s);
        } else {
            std::fprintf(stderr, "usage: %s [--server HOST] [--size TABLESxCOLUMNS]...\n", argv[0]);
            return 2;
        }
    }
    if (sizes.empty())
        sizes = {{50, 40}, {200, 40}, {200, 10}};

    // The window parses its own argument list; the application gets only the program name.
    qInstallMessageHandler(quiet_qt);
    mongoc_log_set_handler(quiet_log, nullptr);
    int app_argc = 1;
    QApplication application(app_argc, argv);
    mongoc_init();
    callbacks = mongoc_apm_callbacks_new();
    mongoc_apm_set_command_started_cb(callbacks, count_started);
    mongoc_apm_set_command_succeeded_cb(callbacks, count_succeeded);
    mongoc_apm_set_server_heartbeat_started_cb(callbacks, count_heartbeat);
    set_client_observer(observe, nullptr);

    bool ok = true;
    for (size_t i = 0; i < sizes.size() && ok; ++i)
        ok = run(server, sizes[i], int(i));
    set_client_observer(nullptr, nullptr);
    mongoc_apm_callbacks_destroy(callbacks);
    if (!ok)
        std::fprintf(stderr, "bench_startup: a run failed (is a test server listening at %s:27017?)\n",
                     server.c_str());
    return ok ? 0 : 1;
}
