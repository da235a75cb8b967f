// Requests and wall time of creating a schema, synchronising it and saving a table, with
// a delay added to every request.
//
//   bench_create [--server HOST] [--proxy ADDRESS] [--delay MS]... [--size TABLESxCOLUMNS]...
//                [--connections N]... [--changed N] [--save-columns N]
//
// For each delay (default 0, 1 and 20 ms), each size (default 50x40, 200x40, 999x10) and
// each number of data connections the collections are read over (-pool; default 1 and 8)
// it writes a data database of TABLES collections, each one document of COLUMNS fields
// with an index or two, on the server (default 127.0.0.11; port 27017), then counts and
// times, through the latency proxy of tools/ (default 127.0.0.50; none at 0 ms):
//   creation          a first window that creates the schema (answering Yes), from its
//                     start to the shown window (start-up included);
//   start-up          a second window on the finished schema;
//   synchronisation   a third window after N collections (default 5) were dropped and N
//                     added (answering Yes);
//   diff              what brolix-cli diff does (connections, validation, the comparison),
//                     on the finished schema and again after the collections changed;
//   plan, apply       what brolix-cli plan and apply do after the synchronisation, once a
//                     field was added to every collection (a change in every table), and
//                     the diff after them;
// and, once per delay, the save of one table of N columns (default 200) with two indexes
// and two of its array columns made virtual tables. The databases are dropped after.
// Requests are commands by name (the client library's command monitoring); "proxy" is
// every message the proxy forwarded, handshakes and monitoring checks included. A table at
// the end sets the wall times of the connection counts side by side, with the speed-up.
#include "bench/bench_support.h"
#include "core/dbinfo.h"
#include "core/records.h"
#include "store/change/create.h"
#include "store/analysis/drift.h"
#include "store/analysis/plan.h"
#include "store/read/read.h"
#include "store/change/save.h"
#include "store/read/validate.h"
#include "ui/schema.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdlib>

namespace {

struct options_t {
    std::string server = "127.0.0.11";
    std::string proxy = "127.0.0.50";
    std::vector<double> delays;
    std::vector<bench::schema_size_t> sizes;
    std::vector<int> connections;
    int changed = 5;
    int save_columns = 200;
};

// Wall times of one size at one delay and one number of connections.
struct result_t {
    double delay;
    bench::schema_size_t size;
    int connections;
    double creation, startup, sync;
};

struct endpoint_t {
    std::string address;
    bench::proxy_t* proxy;
};

void report(const char* what, const bench::counter_t& counter, double ms, endpoint_t& to)
{
    std::printf("  %-16s %5d requests (data %d, schema %d)", what, counter.total(), counter.commands[0],
                counter.commands[1]);
    if (to.proxy)
        std::printf(", proxy %d", to.proxy->requests());
    std::printf(", %.0f ms\n", ms);
    counter.print("      ");
}

// Opens a window on data and schema; every box is answered Yes. Returns its wall time.
double open_window(const std::string& address, const std::string& data, const std::string& schema, int connections,
                   int* boxes)
{
    QStringList arguments{"brolix", "-ds", QString::fromStdString(address), "-db", QString::fromStdString(data),
                          "-ss", QString::fromStdString(address), "-sc", QString::fromStdString(schema),
                          "-pool", QString::number(connections)};
    Schema::message_box_hook = [boxes](QMessageBox*) {
        ++*boxes;
        return int(QMessageBox::Yes);
    };
    bench::mute_stdout_t mute;
    auto started = std::chrono::steady_clock::now();
    {
        Schema window(arguments);
        window.show();
        QCoreApplication::processEvents();
        double ms = bench::since(started);
        Schema::message_box_hook = nullptr;
        return ms;
    }
}

double counted_window(bench::monitor_t& monitor, endpoint_t& to, const char* what, const std::string& data,
                      const std::string& schema, int connections, int expected_boxes)
{
    bench::counter_t counter;
    if (to.proxy)
        to.proxy->reset();
    monitor.count_into(&counter);
    int boxes = 0;
    double ms = open_window(to.address, data, schema, connections, &boxes);
    monitor.count_into(nullptr);
    report(what, counter, ms, to);
    if (boxes != expected_boxes)
        std::printf("      (%d boxes, %d expected)\n", boxes, expected_boxes);
    return ms;
}

// A record with both sides on the endpoint, as the command line would leave it.
void settings(DBINFO* d, const endpoint_t& to, const std::string& data, const std::string& schema)
{
    dbinfo_clear(d);
    dbinfo_init(d);
    d->ssl = keep_string("N");
    d->wcv = keep_string(" ");
    dbinfo_set_text(d->server, to.address.c_str());
    dbinfo_set_text(d->md_server, to.address.c_str());
    dbinfo_set_text(d->database, data.c_str());
    dbinfo_set_text(d->md_database, schema.c_str());
}

// Connects as brolix-cli does and compares the data with the schema.
void counted_diff(bench::monitor_t& monitor, endpoint_t& to, const char* what, const std::string& data,
                  const std::string& schema, int connections)
{
    bench::counter_t counter;
    if (to.proxy)
        to.proxy->reset();
    monitor.count_into(&counter);
    auto started = std::chrono::steady_clock::now();
    DBINFO d;
    settings(&d, to, data, schema);
    dbinfo_before_connect(&d);
    d.pool_size = connections;
    int code = 0, found = -1;
    drift_t* differences = nullptr;
    drift_problem_t problem;
    if (connect_databases(&d)) {
        bench::mute_stdout_t mute;
        validate_schema(&d, &code);
        if (diff_schema(&d, nullptr, 0, false, &differences, &problem))
            for (const drift_t* x = (found = 0, differences); x; x = x->next)
                ++found;
    }
    double ms = bench::since(started);
    monitor.count_into(nullptr);
    free_drift(differences);
    free_table_refs(d.db_collections);
    free_table_refs(d.md_tables);
    char line[64];
    std::snprintf(line, sizeof line, "%s (%d found)", what, found);
    report(line, counter, ms, to);
}

// Connects as brolix-cli does, makes the plan of the whole schema, then applies every item
// of it over a second connection, as two runs of the command would.
void counted_plan_apply(bench::monitor_t& monitor, endpoint_t& to, const std::string& data,
                        const std::string& schema, int connections)
{
    plan_t* plan = nullptr;
    for (int step = 0; step < 2; ++step) {
        bench::counter_t counter;
        if (to.proxy)
            to.proxy->reset();
        monitor.count_into(&counter);
        auto started = std::chrono::steady_clock::now();
        DBINFO d;
        settings(&d, to, data, schema);
        dbinfo_before_connect(&d);
        d.pool_size = connections;
        int code = 0;
        bool ok = connect_databases(&d);
        std::vector<int> ids;
        if (ok) {
            bench::mute_stdout_t mute;
            validate_schema(&d, &code);
            drift_problem_t problem;
            plan_problem_t failed;
            if (step == 0) {
                ok = make_plan(&d, nullptr, 0, &plan, &problem);
            } else {
                for (const plan_item_t& item : plan->items)
                    ids.push_back(item.id);
                ok = apply_plan(&d, plan, ids, &failed);
            }
        }
        double ms = bench::since(started);
        monitor.count_into(nullptr);
        free_table_refs(d.db_collections);
        free_table_refs(d.md_tables);
        char line[64];
        std::snprintf(line, sizeof line, step == 0 ? "plan (%d items)" : "apply (%d items)",
                      ok && plan ? static_cast<int>(plan->items.size()) : -1);
        report(line, counter, ms, to);
        if (!ok)
            break;
    }
    free_plan(plan);
}

bool run_size(bench::monitor_t& monitor, mongoc_client_t* admin, endpoint_t& to, bench::schema_size_t size,
              int changed, const std::string& tag, result_t* result)
{
    std::string data = "bench_cr_" + tag;
    std::string schema = data + "_schema";
    bool ok = true;
    for (int t = 0; t < size.tables && ok; ++t)
        ok = bench::write_table(admin, data, bench::table_name(t), size.columns, 1 + t % 2);
    if (ok) {
        int n = result->connections;
        std::printf("%d tables x %d columns, %d connection%s\n", size.tables, size.columns, n, n == 1 ? "" : "s");
        result->creation = counted_window(monitor, to, "creation", data, schema, n, 1);
        result->startup = counted_window(monitor, to, "start-up", data, schema, n, 0);
        counted_diff(monitor, to, "diff", data, schema, n);
        // The last tables go, as many new ones come.
        int gone = changed < size.tables ? changed : size.tables - 1;
        for (int t = size.tables - gone; t < size.tables; ++t)
            ok = ok && bench::command(admin, data, BCON_NEW("drop", BCON_UTF8(bench::table_name(t).c_str())));
        for (int t = 0; t < changed && ok; ++t)
            ok = bench::write_table(admin, data, "new_" + bench::table_name(t), size.columns, 1 + t % 2);
        if (ok) {
            char what[64];
            std::snprintf(what, sizeof what, "diff -%d +%d", gone, changed);
            counted_diff(monitor, to, what, data, schema, n);
            std::snprintf(what, sizeof what, "sync -%d +%d", gone, changed);
            result->sync = counted_window(monitor, to, what, data, schema, n, 1);
        }
        // A field more in every collection: a change in every table, then planned and applied.
        for (int t = 0; t < size.tables && ok; ++t) {
            const int kept = size.tables - gone;
            std::string name = t < kept ? bench::table_name(t) : "new_" + bench::table_name(t - kept);
            ok = bench::command(admin, data,
                                BCON_NEW("update", BCON_UTF8(name.c_str()), "updates", "[", "{", "q", "{", "}", "u",
                                         "{", "$set", "{", "added", BCON_UTF8("x"), "}", "}", "multi",
                                         BCON_BOOL(true), "}", "]"));
        }
        if (ok) {
            counted_plan_apply(monitor, to, data, schema, n);
            counted_diff(monitor, to, "diff after apply", data, schema, n);
        }
    }
    bench::drop(admin, data);
    bench::drop(admin, schema);
    return ok;
}

// One table of n columns: scalars, two arrays (made virtual) and two indexes.
bool run_save(bench::monitor_t& monitor, mongoc_client_t* admin, endpoint_t& to, int n, const std::string& tag)
{
    std::string data = "bench_sv_" + tag;
    std::string schema = data + "_schema";
    bson_t doc;
    bson_init(&doc);
    BSON_APPEND_INT32(&doc, "_id", 1);
    for (int c = 1; c < n; ++c) {
        char field[32];
        std::snprintf(field, sizeof field, "field_%03d", c);
        if (c <= 2)
            BCON_APPEND(&doc, field, "[", BCON_INT32(1), BCON_INT32(2), "]");
        else
            BSON_APPEND_UTF8(&doc, field, "text");
    }
    mongoc_collection_t* coll = mongoc_client_get_collection(admin, data.c_str(), "wide");
    bool ok = mongoc_collection_insert_one(coll, &doc, nullptr, nullptr, nullptr);
    mongoc_collection_destroy(coll);
    bson_destroy(&doc);
    ok = ok && bench::command(admin, data,
                              BCON_NEW("createIndexes", "wide", "indexes", "[", "{", "key", "{", "field_003",
                                       BCON_INT32(1), "field_004", BCON_INT32(1), "}", "name", "i1", "}", "{", "key",
                                       "{", "field_005", BCON_INT32(-1), "}", "name", "i2", "}", "]"));

    DBINFO d;
    settings(&d, to, data, schema);
    ok = ok && connect_databases(&d);
    int code = 0;
    db_column_t* columns = nullptr;
    if (ok) {
        bench::mute_stdout_t mute;
        ok = create_schema(&d, &code);
        d.catalog = QString::fromStdString(data);
        d.schema = "dbo";
        d.table = "wide";
        db_name_t* vt = nullptr;
        columns = read_table_columns(&d, data.c_str(), "dbo", "wide", &vt);
        free_names(vt);
        for (db_column_t* c = columns; c; c = c->next)
            if (c->mongo_type == BSON_TYPE_ARRAY && !std::strchr(c->mongo_name, '.'))
                c->virtual_array = true;
    }
    if (ok) {
        bench::counter_t counter;
        if (to.proxy)
            to.proxy->reset();
        monitor.count_into(&counter);
        auto started = std::chrono::steady_clock::now();
        {
            bench::mute_stdout_t mute;
            save_table_columns(&d, columns);
        }
        double ms = bench::since(started);
        monitor.count_into(nullptr);
        int written = 0;
        for (const db_column_t* c = columns; c; c = c->next)
            ++written;
        char what[64];
        std::snprintf(what, sizeof what, "save %d columns", written);
        report(what, counter, ms, to);
    }
    free_columns(columns);
    free_table_refs(d.db_collections);
    free_table_refs(d.md_tables);
    bench::drop(admin, data);
    bench::drop(admin, schema);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    options_t o;
    for (int i = 1; i < argc; ++i) {
        bench::schema_size_t s{0, 0};
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--server" && more)
            o.server = argv[++i];
        else if (a == "--proxy" && more)
            o.proxy = argv[++i];
        else if (a == "--delay" && more)
            o.delays.push_back(std::atof(argv[++i]));
        else if (a == "--size" && more && bench::parse_size(argv[++i], &s))
            o.sizes.push_back(s);
        else if (a == "--connections" && more)
            o.connections.push_back(std::atoi(argv[++i]));
        else if (a == "--changed" && more)
            o.changed = std::atoi(argv[++i]);
        else if (a == "--save-columns" && more)
            o.save_columns = std::atoi(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: %s [--server HOST] [--proxy ADDRESS] [--delay MS]... [--size TABLESxCOLUMNS]... "
                         "[--connections N]... [--changed N] [--save-columns N]\n",
                         argv[0]);
            return 2;
        }
    }
    if (o.delays.empty())
        o.delays = {0, 1, 20};
    if (o.sizes.empty())
        o.sizes = {{50, 40}, {200, 40}, {999, 10}};
    if (o.connections.empty())
        o.connections = {1, 8};
    std::vector<result_t> results;

    bench::quiet();
    int app_argc = 1;
    QApplication application(app_argc, argv);
    mongoc_init();
    bench::monitor_t monitor;

    std::string uri = "mongodb://" + o.server + ":27017";
    mongoc_client_t* admin = mongoc_client_new(uri.c_str());
    if (!admin || !bench::answers(admin)) {
        std::fprintf(stderr, "bench_create: no server answers at %s:27017\n", o.server.c_str());
        return 1;
    }
    std::string script = std::string(BROLIX_SOURCE_DIR) + "/tools/latency_proxy.py";
    bool ok = true;
    int serial = 0;
    for (double delay : o.delays) {
        bench::proxy_t proxy;
        endpoint_t to{o.server, nullptr};
        if (delay > 0) {
            if (!proxy.start(script, o.proxy, o.server, delay)) {
                ok = false;
                break;
            }
            to = {o.proxy, &proxy};
        }
        std::printf("== %g ms added per request (%s)\n", delay,
                    delay > 0 ? ("proxy " + o.proxy + " to " + o.server).c_str() : ("direct to " + o.server).c_str());
        std::fflush(stdout);
        for (const bench::schema_size_t& size : o.sizes)
            for (int n : o.connections) {
                result_t result{delay, size, n, 0, 0, 0};
                ok = ok && run_size(monitor, admin, to, size, o.changed,
                                    std::to_string(getpid()) + "_" + std::to_string(serial++), &result);
                std::fflush(stdout);
                if (ok)
                    results.push_back(result);
            }
        if (ok && o.save_columns > 0)
            ok = run_save(monitor, admin, to, o.save_columns, std::to_string(getpid()) + "_" + std::to_string(serial++));
        std::fflush(stdout);
        if (!ok)
            break;
    }
    mongoc_client_destroy(admin);
    // Each later connection count against the first, wall time from start to the window.
    std::printf("== wall time (ms): creation, start-up, synchronisation; speed-up against %d connection%s\n",
                o.connections[0], o.connections[0] == 1 ? "" : "s");
    for (const result_t& r : results) {
        const result_t* first = nullptr;
        for (const result_t& f : results)
            if (f.delay == r.delay && f.size.tables == r.size.tables && f.size.columns == r.size.columns &&
                f.connections == o.connections[0])
                first = &f;
        std::printf("  %5gms %4dx%-3d %2d conn  %8.0f %8.0f %8.0f", r.delay, r.size.tables, r.size.columns,
                    r.connections, r.creation, r.startup, r.sync);
        if (first && first != &r && r.creation > 0 && r.sync > 0)
            std::printf("   x%.1f creation, x%.1f sync", first->creation / r.creation, first->sync / r.sync);
        std::printf("\n");
    }
    if (!ok)
        std::fprintf(stderr, "bench_create: a run failed\n");
    return ok ? 0 : 1;
}
