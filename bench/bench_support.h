// What the server benchmarks share: counting the commands each client sends (the
// client library's command monitoring, attached through the connection observer),
// generated data databases, the latency proxy of tools/, and a quiet output.
#ifndef BROLIX_BENCH_BENCH_SUPPORT_H
#define BROLIX_BENCH_BENCH_SUPPORT_H

#include "core/connect.h"
#include "core/dbinfo.h"

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <mongoc/mongoc.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

struct counter_t {
    int commands[2] = {0, 0};
    int heartbeats = 0;
    std::map<std::string, int> by_name;
    std::map<std::string, int64_t> micros_by_name;
    std::map<int64_t, std::string> pending;

    int total() const { return commands[0] + commands[1]; }
    void print(const char* indent) const
    {
        for (const auto& entry : by_name) {
            auto micros = micros_by_name.find(entry.first);
            std::printf("%s%-24s %5d  %8.1f ms\n", indent, entry.first.c_str(), entry.second,
                        micros == micros_by_name.end() ? 0.0 : micros->second / 1000.0);
        }
    }
};

// Each client gets the context of its side.
struct side_context_t {
    counter_t* counter;
    int side;
};

// Pooled clients report on threads of their own.
inline std::mutex& count_lock()
{
    static std::mutex lock;
    return lock;
}

// A request is known by its id and its connection: pooled clients number their own.
inline int64_t request_key(int64_t request_id, int32_t connection_id) { return request_id * 100000 + connection_id; }

inline void count_started(const mongoc_apm_command_started_t* event)
{
    auto* c = static_cast<side_context_t*>(mongoc_apm_command_started_get_context(event));
    std::lock_guard<std::mutex> hold(count_lock());
    if (!c->counter)
        return;
    c->counter->commands[c->side]++;
    std::string name = mongoc_apm_command_started_get_command_name(event);
    // Schema reads and writes are told apart by the collection they touch.
    bson_iter_t it;
    const char* field = name == "getMore" ? "collection" : name.c_str();
    // Reads of the data side are summed over its collections.
    if (c->side == 0 && (name == "find" || name == "getMore"))
        name += " (data)";
    else if ((name == "find" || name == "getMore" || name == "insert" || name == "delete") &&
             bson_iter_init_find(&it, mongoc_apm_command_started_get_command(event), field) &&
             BSON_ITER_HOLDS_UTF8(&it))
        name += std::string(" ") + bson_iter_utf8(&it, nullptr);
    c->counter->by_name[name]++;
    c->counter->pending[request_key(mongoc_apm_command_started_get_request_id(event),
                                    mongoc_apm_command_started_get_server_connection_id(event))] = name;
}

inline void count_succeeded(const mongoc_apm_command_succeeded_t* event)
{
    auto* c = static_cast<side_context_t*>(mongoc_apm_command_succeeded_get_context(event));
    std::lock_guard<std::mutex> hold(count_lock());
    if (c->counter)
        c->counter->micros_by_name[c->counter->pending[request_key(
            mongoc_apm_command_succeeded_get_request_id(event),
            mongoc_apm_command_succeeded_get_server_connection_id(event))]] +=
            mongoc_apm_command_succeeded_get_duration(event);
}

inline void count_heartbeat(const mongoc_apm_server_heartbeat_started_t* event)
{
    auto* c = static_cast<side_context_t*>(mongoc_apm_server_heartbeat_started_get_context(event));
    std::lock_guard<std::mutex> hold(count_lock());
    if (c->counter)
        c->counter->heartbeats++;
}

// Counts the commands of every client the program makes while a counter is set.
class monitor_t {
public:
    monitor_t()
    {
        callbacks = mongoc_apm_callbacks_new();
        mongoc_apm_set_command_started_cb(callbacks, count_started);
        mongoc_apm_set_command_succeeded_cb(callbacks, count_succeeded);
        mongoc_apm_set_server_heartbeat_started_cb(callbacks, count_heartbeat);
        set_client_observer(observe, this);
        set_pool_observer(observe_pool, this);
    }
    ~monitor_t()
    {
        set_client_observer(nullptr, nullptr);
        set_pool_observer(nullptr, nullptr);
        mongoc_apm_callbacks_destroy(callbacks);
    }
    // Counts into counter from now on (clients made before are not seen); null stops.
    void count_into(counter_t* counter)
    {
        std::lock_guard<std::mutex> hold(count_lock());
        sides[0] = {counter, 0};
        sides[1] = {counter, 1};
    }
    // Also counts the commands of a client made by the benchmark itself.
    void watch(mongoc_client_t* client, int side) { mongoc_client_set_apm_callbacks(client, callbacks, &sides[side]); }

private:
    static void observe(mongoc_client_t* client, int side, void* context)
    {
        static_cast<monitor_t*>(context)->watch(client, side == SIDE_SCHEMA ? 1 : 0);
    }
    static void observe_pool(mongoc_client_pool_t* pool, void* context)
    {
        monitor_t* m = static_cast<monitor_t*>(context);
        mongoc_client_pool_set_apm_callbacks(pool, m->callbacks, &m->sides[0]);
    }
    mongoc_apm_callbacks_t* callbacks;
    side_context_t sides[2] = {{nullptr, 0}, {nullptr, 1}};
};

// Reads one line from fd within wait_ms; "" when none came.
inline std::string read_line(int fd, int wait_ms)
{
    std::string line;
    char c;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, wait_ms) > 0 && read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

inline double since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

inline bool answers(mongoc_client_t* client)
{
    bson_t* ping = BCON_NEW("ping", BCON_INT32(1));
    bson_error_t error;
    bool ok = mongoc_client_command_simple(client, "admin", ping, nullptr, nullptr, &error);
    if (!ok)
        std::fprintf(stderr, "ping: %s\n", error.message);
    bson_destroy(ping);
    return ok;
}

inline void drop(mongoc_client_t* client, const std::string& db)
{
    mongoc_database_t* d = mongoc_client_get_database(client, db.c_str());
    mongoc_database_drop(d, nullptr);
    mongoc_database_destroy(d);
}

struct schema_size_t {
    int tables;
    int columns;
};

inline bool parse_size(const char* text, schema_size_t* size)
{
    return std::sscanf(text, "%dx%d", &size->tables, &size->columns) == 2 && size->tables > 0 &&
           size->tables <= 999 && size->columns > 0;
}

inline bool command(mongoc_client_t* client, const std::string& db, bson_t* cmd)
{
    bson_error_t error;
    bool ok = mongoc_client_command_simple(client, db.c_str(), cmd, nullptr, nullptr, &error);
    if (!ok)
        std::fprintf(stderr, "command on %s: %s\n", db.c_str(), error.message);
    bson_destroy(cmd);
    return ok;
}

// Collection name of table number t.
inline std::string table_name(int t)
{
    char name[32];
    std::snprintf(name, sizeof name, "t%03d", t);
    return name;
}

// One collection of one document of `columns` fields (text and numbers), with an index
// on its first field and, when indexes is 2, a compound one on the next two.
inline bool write_table(mongoc_client_t* client, const std::string& db, const std::string& name, int columns,
                        int indexes)
{
    bson_t doc;
    bson_init(&doc);
    BSON_APPEND_INT32(&doc, "_id", 1);
    for (int c = 1; c < columns; ++c) {
        char field[32];
        std::snprintf(field, sizeof field, "field_%02d", c);
        if (c % 2)
            BSON_APPEND_UTF8(&doc, field, "some text of a row");
        else
            BSON_APPEND_INT32(&doc, field, c * 7);
    }
    mongoc_collection_t* coll = mongoc_client_get_collection(client, db.c_str(), name.c_str());
    bson_error_t error;
    bool ok = mongoc_collection_insert_one(coll, &doc, nullptr, nullptr, &error);
    if (!ok)
        std::fprintf(stderr, "insert into %s: %s\n", name.c_str(), error.message);
    mongoc_collection_destroy(coll);
    bson_destroy(&doc);
    if (ok && indexes > 0 && columns > 1)
        ok = command(client, db,
                     BCON_NEW("createIndexes", BCON_UTF8(name.c_str()), "indexes", "[", "{", "key", "{", "field_01",
                              BCON_INT32(1), "}", "name", "field_01_1", "}", "]"));
    if (ok && indexes > 1 && columns > 3)
        ok = command(client, db,
                     BCON_NEW("createIndexes", BCON_UTF8(name.c_str()), "indexes", "[", "{", "key", "{", "field_02",
                              BCON_INT32(1), "field_03", BCON_INT32(-1), "}", "name", "field_02_1_field_03_-1",
                              "}", "]"));
    return ok;
}

// The latency proxy of tools/, started as a child that ends when this program does.
class proxy_t {
public:
    ~proxy_t() { stop(); }

    bool start(const std::string& script, const std::string& listen, const std::string& target, double delay_ms,
               const std::vector<std::string>& extra = {})
    {
        int in_pipe[2], out_pipe[2];
        if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0)
            return false;
        std::string delay = std::to_string(delay_ms);
        pid = fork();
        if (pid == 0) {
            dup2(in_pipe[0], 0);
            dup2(out_pipe[1], 1);
            close(in_pipe[1]);
            close(out_pipe[0]);
            std::vector<const char*> args{"python3",         script.c_str(), "--listen",    listen.c_str(),
                                          "--target",        target.c_str(), "--delay-ms", delay.c_str()};
            for (const std::string& e : extra)
                args.push_back(e.c_str());
            args.push_back(nullptr);
            execv("/usr/bin/python3", const_cast<char* const*>(args.data()));
            _exit(127);
        }
        close(in_pipe[0]);
        close(out_pipe[1]);
        to = in_pipe[1];
        from = out_pipe[0];
        std::string line = read_line(10000);
        if (line.rfind("ready ", 0) == 0)
            return true;
        std::fprintf(stderr, "latency proxy: %s\n", line.empty() ? "did not start" : line.c_str());
        stop();
        return false;
    }

    void reset() // once it said so: a request sent before that could still be counted after it
    {
        say("reset\n");
        read_line(5000);
    }

    // Requests the proxy forwarded since the last reset, handshakes and checks included.
    int requests()
    {
        int total = 0;
        for (const auto& entry : counts())
            total += entry.second;
        return total;
    }

    // The same by command name.
    std::map<std::string, int> counts()
    {
        say("counts\n");
        std::string line = read_line(5000);
        std::map<std::string, int> by_name;
        // counts {"find": 3, "hello": 2, ...}
        for (size_t at = line.find('"'); at != std::string::npos; at = line.find('"', at + 1)) {
            size_t end = line.find('"', at + 1);
            size_t colon = end == std::string::npos ? end : line.find(':', end);
            if (colon == std::string::npos)
                break;
            by_name[line.substr(at + 1, end - at - 1)] += std::atoi(line.c_str() + colon + 1);
            at = colon;
        }
        return by_name;
    }

    void stop()
    {
        if (to >= 0)
            close(to);
        to = -1;
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        pid = -1;
        if (from >= 0)
            close(from);
        from = -1;
    }

private:
    void say(const char* text)
    {
        if (to >= 0 && write(to, text, std::strlen(text)) < 0)
            std::perror("latency proxy");
    }
    std::string read_line(int wait_ms) { return bench::read_line(from, wait_ms); }

    pid_t pid = -1;
    int to = -1;
    int from = -1;
};

// Only errors of the client library and of Qt; the offscreen platform's notices go.
inline void quiet_log(mongoc_log_level_t level, const char* domain, const char* message, void*)
{
    if (level <= MONGOC_LOG_LEVEL_ERROR)
        std::fprintf(stderr, "%s: %s\n", domain, message);
}

inline void quiet_qt(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type >= QtCriticalMsg)
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// Only errors from here on.
inline void quiet()
{
    qInstallMessageHandler(quiet_qt);
    mongoc_log_set_handler(quiet_log, nullptr);
}

// Sends standard output (the index echo lines) to /dev/null until restored.
class mute_stdout_t {
public:
    mute_stdout_t()
    {
        std::fflush(stdout);
        saved = dup(1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~mute_stdout_t()
    {
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
    }

private:
    int saved;
};

} // namespace bench

#endif
