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
#include "bench/bench_support.h"
#include "ui/schema.h"

#include <QApplication>
#include <QMessageBox>

namespace {

bool run(bench::monitor_t& monitor, const std::string& server, bench::schema_size_t size, int serial)
{
    std::string tag = std::to_string(getpid()) + "_" + std::to_string(serial);
    std::string data = "bench_su_" + tag;
    std::string schema = "bench_su_" + tag + "_schema";
    std::string uri = "mongodb://" + server + ":27017";
    mongoc_client_t* admin = mongoc_client_new(uri.c_str());
    if (!admin)
        return false;
    if (!bench::answers(admin)) {
        mongoc_client_destroy(admin);
        return false;
    }

    auto started = std::chrono::steady_clock::now();
    bool ok = true;
    for (int t = 0; t < size.tables && ok; ++t)
        ok = bench::write_table(admin, data, bench::table_name(t), size.columns, 0);
    double write_ms = bench::since(started);

    QStringList arguments{"brolix", "-ds", QString::fromStdString(server), "-db", QString::fromStdString(data),
                          "-ss", QString::fromStdString(server), "-sc", QString::fromStdString(schema)};
    int unexpected = 0;
    double create_ms = 0;
    if (ok) {
        // First window: the schema does not exist yet; Yes creates it.
        Schema::message_box_hook = [](QMessageBox*) { return int(QMessageBox::Yes); };
        // Its echo lines of the index listings are not this benchmark's output.
        bench::mute_stdout_t mute;
        started = std::chrono::steady_clock::now();
        {
            Schema first(arguments);
            first.show();
            QCoreApplication::processEvents();
        }
        create_ms = bench::since(started);
    }

    bench::counter_t counter;
    double startup_ms = 0;
    if (ok) {
        // Second window: a valid schema, so no box is expected at all.
        Schema::message_box_hook = [&unexpected](QMessageBox* box) {
            std::fprintf(stderr, "unexpected box: %s\n", box->text().toLocal8Bit().constData());
            ++unexpected;
            return int(QMessageBox::No);
        };
        monitor.count_into(&counter);
        started = std::chrono::steady_clock::now();
        {
            Schema second(arguments);
            second.show();
            QCoreApplication::processEvents();
            startup_ms = bench::since(started);
            monitor.count_into(nullptr);
        }
    }
    Schema::message_box_hook = nullptr;
    bench::drop(admin, data);
    bench::drop(admin, schema);
    mongoc_client_destroy(admin);
    if (!ok)
        return false;

    int total = counter.total();
    std::printf("%d tables x %d columns (server %s)\n", size.tables, size.columns, server.c_str());
    std::printf("  setup: data written in %.0f ms, schema created by a first window in %.0f ms\n", write_ms, create_ms);
    std::printf("  start-up to shown window: %d round trips (data %d, schema %d), %.1f ms, %d heartbeats\n", total,
                counter.commands[0], counter.commands[1], startup_ms, counter.heartbeats);
    counter.print("    ");
    return unexpected == 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::string server = "127.0.0.11";
    std::vector<bench::schema_size_t> sizes;
    for (int i = 1; i < argc; ++i) {
        bench::schema_size_t s{0, 0};
        if (!std::strcmp(argv[i], "--server") && i + 1 < argc) {
            server = argv[++i];
        } else if (!std::strcmp(argv[i], "--size") && i + 1 < argc && bench::parse_size(argv[++i], &s)) {
            sizes.push_back(s);
        } else {
            std::fprintf(stderr, "usage: %s [--server HOST] [--size TABLESxCOLUMNS]...\n", argv[0]);
            return 2;
        }
    }
    if (sizes.empty())
        sizes = {{50, 40}, {200, 40}, {200, 10}};

    // The window parses its own argument list; the application gets only the program name.
    bench::quiet();
    int app_argc = 1;
    QApplication application(app_argc, argv);
    mongoc_init();
    bench::monitor_t monitor;

    bool ok = true;
    for (size_t i = 0; i < sizes.size() && ok; ++i)
        ok = run(monitor, server, sizes[i], int(i));
    if (!ok)
        std::fprintf(stderr, "bench_startup: a run failed (is a test server listening at %s:27017?)\n",
                     server.c_str());
    return ok ? 0 : 1;
}
