// The editor and brolix-cli at thousands of collections: requests, wall time, the
// program's own CPU and its peak memory.
//
//   bench_scale [--server HOST] [--proxy ADDRESS] [--collections N] [--rebuild] [--pool N]
//               [--commands check,diff,plan,profile,history]
//
// Builds on the server (default 127.0.0.11; port 27017) a data database of N collections
// (default 10,000), each of three documents of ten fields: _id, four scalars and five
// arrays of scalars, one insert request per collection. The data stays for the next run
// (a marker in the database bench_scale_marks says it is whole); --rebuild makes it anew.
// Then, each through tools/latency_proxy.py (default 127.0.0.64) which counts the
// requests, and each as a child process whose CPU and peak resident memory wait4 gives:
//   create     brolix-cli create --replace (then, directly and not counted, every array
//              column of every table made a virtual table: 5 per table, as saves write them);
//   window     the editor offscreen, from its start to the Edit Mode window (its CPU and
//              memory at that moment); then what the tree costs once shown: expanding
//              every table, scrolling it a page at a time, expanding one table; and the
//              filter above the tree, the time of a key at 1, 3 and 10 characters;
//   check, diff, plan, profile, history   brolix-cli (or those --commands names),
//              standard output discarded,
//              standard error (its progress) kept in build/bench/bench_scale_COMMAND.err.
// Requests leave out the handshakes and the monitoring checks (hello, isMaster).
// Runs the window on Qt's offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include "bench/bench_support.h"
#include "core/dbinfo.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "store/change/virtual.h"
#include "store/write/collections.h"
#include "store/write/journal.h"
#include "store/write/write.h"
#include "ui/schema.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QScrollBar>
#include <QTreeWidget>
#include <cerrno>
#include <sys/resource.h>

namespace {

struct options_t {
    std::string server = "127.0.0.11";
    std::string proxy = "127.0.0.64";
    int collections = 10000;
    int pool = 8;
    bool rebuild = false;
    std::vector<std::string> commands{"check", "diff", "plan", "profile", "history"};
};

const int fields_version = 1; // the marker names the layout of the documents it vouches for

std::string collection_name_of(int i)
{
    char name[32];
    std::snprintf(name, sizeof name, "c%05d", i);
    return name;
}

// Three documents: _id, name, qty, price, born, and the arrays tags, codes, scores, flags, notes.
bool write_collection(mongoc_client_t* client, const std::string& db, int i)
{
    bson_t* docs[3];
    for (int d = 0; d < 3; ++d) {
        docs[d] = BCON_NEW("_id", BCON_INT32(d), "name", BCON_UTF8("a name of a row"), "qty", BCON_INT32(i + d),
                           "price", BCON_DOUBLE(1.25 * d), "born", BCON_DATE_TIME(1600000000000LL + i),
                           "tags", "[", BCON_UTF8("red"), BCON_UTF8("green"), "]",
                           "codes", "[", BCON_INT32(1), BCON_INT32(2), BCON_INT32(3), "]",
                           "scores", "[", BCON_DOUBLE(0.5), "]",
                           "flags", "[", BCON_BOOL(true), BCON_BOOL(false), "]",
                           "notes", "[", BCON_UTF8("first note"), "]");
    }
    mongoc_collection_t* coll = mongoc_client_get_collection(client, db.c_str(), collection_name_of(i).c_str());
    bson_error_t error;
    bool ok = mongoc_collection_insert_many(coll, const_cast<const bson_t**>(docs), 3, nullptr, nullptr, &error);
    if (!ok)
        std::fprintf(stderr, "insert into %s: %s\n", collection_name_of(i).c_str(), error.message);
    mongoc_collection_destroy(coll);
    for (bson_t* d : docs)
        bson_destroy(d);
    return ok;
}

// The marker's document for db, or null when there is none.
bson_t* marker_selector(const std::string& db) { return BCON_NEW("_id", BCON_UTF8(db.c_str())); }

bool data_is_whole(mongoc_client_t* client, const std::string& db, int collections)
{
    mongoc_collection_t* marks = mongoc_client_get_collection(client, "bench_scale_marks", "built");
    bson_t* filter = marker_selector(db);
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(marks, filter, nullptr, nullptr);
    const bson_t* doc;
    bool whole = false;
    if (mongoc_cursor_next(cursor, &doc)) {
        bson_iter_t it;
        whole = bson_iter_init_find(&it, doc, "collections") && bson_iter_as_int64(&it) == collections &&
                bson_iter_init_find(&it, doc, "fields") && bson_iter_as_int64(&it) == fields_version;
    }
    mongoc_cursor_destroy(cursor);
    bson_destroy(filter);
    mongoc_collection_destroy(marks);
    return whole;
}

bool build_data(mongoc_client_t* client, const std::string& db, int collections)
{
    mongoc_collection_t* marks = mongoc_client_get_collection(client, "bench_scale_marks", "built");
    bson_t* filter = marker_selector(db);
    mongoc_collection_delete_one(marks, filter, nullptr, nullptr, nullptr);
    bench::drop(client, db);
    bool ok = true;
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < collections && ok; ++i) {
        ok = write_collection(client, db, i);
        if ((i + 1) % 1000 == 0)
            std::fprintf(stderr, "bench_scale: %d of %d collections written, %.0f s\n", i + 1, collections,
                         bench::since(started) / 1000);
    }
    bson_t* mark = BCON_NEW("_id", BCON_UTF8(db.c_str()), "collections", BCON_INT32(collections), "fields",
                            BCON_INT32(fields_version));
    ok = ok && mongoc_collection_insert_one(marks, mark, nullptr, nullptr, nullptr);
    bson_destroy(mark);
    bson_destroy(filter);
    mongoc_collection_destroy(marks);
    return ok;
}

// The columns documents of the catalog, by table in the order met.
bool read_catalog_columns(DBINFO* d, std::vector<std::pair<std::string, std::vector<bson_t*>>>* out)
{
    mongoc_collection_t* coll =
        mongoc_client_get_collection(d->md_client, d->md_database, collection_name(KIND_COLUMNS));
    bson_t* filter = BCON_NEW("sql_catalog", BCON_UTF8(d->database));
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, filter, nullptr, nullptr);
    std::map<std::string, size_t> at;
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc)) {
        bson_iter_t it;
        std::string table = bson_iter_init_find(&it, doc, "sql_table") && BSON_ITER_HOLDS_UTF8(&it)
                                ? bson_iter_utf8(&it, nullptr)
                                : "";
        auto found = at.emplace(table, out->size());
        if (found.second)
            out->push_back({table, {}});
        (*out)[found.first->second].second.push_back(bson_copy(doc));
    }
    bson_error_t error;
    bool ok = !mongoc_cursor_error(cursor, &error);
    if (!ok)
        std::fprintf(stderr, "read columns: %s\n", error.message);
    mongoc_cursor_destroy(cursor);
    bson_destroy(filter);
    mongoc_collection_destroy(coll);
    return ok;
}

std::string text_of(const bson_t* doc, const char* field)
{
    bson_iter_t it;
    return bson_iter_init_find(&it, doc, field) && BSON_ITER_HOLDS_UTF8(&it) ? bson_iter_utf8(&it, nullptr) : "";
}

// A table's columns again, each top-level array marked a virtual table, and the virtual
// tables' documents, into change, as a save with those arrays ticked writes them.
int add_table_with_arrays(DBINFO* d, const std::string& table, const std::vector<bson_t*>& columns,
                          schema_change_t* change)
{
    schema_change_replace_table(change, d->database, SQL_SCHEMA, table.c_str(), CHANGE_MASK_COLUMNS);
    schema_change_replace_virtual(change, d->database, SQL_SCHEMA, table.c_str());
    std::vector<db_column_t*> arrays;
    for (const bson_t* doc : columns) {
        bson_iter_t it;
        bool array = bson_iter_init_find(&it, doc, "mongo_type") && bson_iter_as_int64(&it) == BSON_TYPE_ARRAY &&
                     text_of(doc, "mongo_name").find('.') == std::string::npos;
        bson_t copy = BSON_INITIALIZER;
        bson_copy_to_excluding_noinit(doc, &copy, "virtual_array", nullptr);
        BSON_APPEND_BOOL(&copy, "virtual_array", array);
        schema_change_add(change, KIND_COLUMNS, &copy);
        bson_destroy(&copy);
        if (!array)
            continue;
        db_column_t* c = new_column();
        c->sql_name = copy_text(text_of(doc, "sql_name").c_str());
        c->mongo_name = copy_text(text_of(doc, "mongo_name").c_str());
        c->mongo_type = BSON_TYPE_ARRAY;
        c->virtual_array = true;
        arrays.push_back(c);
    }
    add_virtual_table_docs(d, table.c_str(), arrays.data(), arrays.size(), change);
    for (db_column_t* c : arrays)
        free_columns(c);
    return static_cast<int>(arrays.size());
}

// Every top-level array column made a virtual table, with the documents a save with those
// arrays ticked writes, put straight into a schema made anew: FerretDB finds what a
// change replaces, and deletes it, by testing every columns document against the
// change's list of tables, which at ten thousand tables outlasts what the program gives a
// request. The schema's own tables and index documents go back as they were. Returns how
// many were made, or -1.
bool read_all(DBINFO* d, int kind, doc_list_t* into)
{
    mongoc_collection_t* coll = mongoc_client_get_collection(d->md_client, d->md_database, collection_name(kind));
    bson_t all = BSON_INITIALIZER;
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &all, nullptr, nullptr);
    const bson_t* doc;
    while (mongoc_cursor_next(cursor, &doc))
        into->docs.push_back({bson_copy(doc)});
    bson_error_t error;
    bool ok = !mongoc_cursor_error(cursor, &error);
    mongoc_cursor_destroy(cursor);
    mongoc_collection_destroy(coll);
    return ok;
}

int make_virtual_tables(DBINFO* d)
{
    std::vector<std::pair<std::string, std::vector<bson_t*>>> tables;
    doc_list_t kept[KIND_SLOTS];
    bool ok = read_catalog_columns(d, &tables) && read_all(d, KIND_TABLES, &kept[KIND_TABLES]) &&
              read_all(d, KIND_INDEX, &kept[KIND_INDEX]);
    int made = 0;
    schema_change_t* change = schema_change_new("virtual tables", d->database);
    for (size_t t = 0; ok && t < tables.size(); ++t)
        made += add_table_with_arrays(d, tables[t].first, tables[t].second, change);
    int code = 0;
    if (ok) {
        mongoc_database_t* schema = mongoc_client_get_database(d->md_client, d->md_database);
        ok = mongoc_database_drop(schema, nullptr) && make_schema_collections(d, &code, false);
        mongoc_database_destroy(schema);
    }
    for (int kind = KIND_TABLES; ok && kind <= KIND_INDEX; ++kind) {
        doc_refs_t docs;
        for (const doc_ref_t& r : kept[kind].docs)
            docs.push_back(r);
        for (size_t i = 0; i < schema_change_count(change, kind); ++i)
            docs.push_back({schema_change_doc(change, kind, i)});
        mongoc_collection_t* coll = mongoc_client_get_collection(d->md_client, d->md_database, collection_name(kind));
        const size_t chunk = 1000; // a request FerretDB answers in seconds, also on a busy machine
        for (size_t first = 0; ok && first < docs.size(); first += chunk) {
            doc_refs_t part(docs.begin() + first, docs.begin() + std::min(docs.size(), first + chunk));
            write_result_t written = insert_in_order(coll, part, nullptr, nullptr);
            ok = !written.failed && written.written == part.size();
            if (!ok)
                std::fprintf(stderr, "bench_scale: the virtual tables were not written: %s\n", written.error.message);
        }
        mongoc_collection_destroy(coll);
    }
    schema_change_free(change);
    for (auto& table : tables)
        for (bson_t* doc : table.second)
            bson_destroy(doc);
    return ok ? made : -1;
}

// A record with both sides on server, as the command line would leave it.
bool connect_to(DBINFO* d, const std::string& server, const std::string& data, const std::string& schema)
{
    dbinfo_clear(d);
    dbinfo_init(d);
    d->ssl = keep_string("N");
    d->wcv = keep_string(" ");
    dbinfo_set_text(d->server, server.c_str());
    dbinfo_set_text(d->md_server, server.c_str());
    dbinfo_set_text(d->database, data.c_str());
    dbinfo_set_text(d->md_database, schema.c_str());
    dbinfo_before_connect(d);
    return connect_databases(d);
}

// One child's figures.
struct run_t {
    std::string what;
    int requests = -1;
    std::string by_name; // the commands sent most
    double wall_ms = 0, cpu_ms = 0, peak_mb = 0;
    int status = -1;
    std::string note;
};

// Requests by name from the proxy's counts, handshakes and checks left out.
void take_counts(bench::proxy_t& proxy, run_t* run)
{
    std::map<std::string, int> counts = proxy.counts();
    std::vector<std::pair<int, std::string>> most;
    run->requests = 0;
    for (const auto& entry : counts) {
        if (entry.first == "hello" || entry.first == "isMaster" || entry.first == "ismaster")
            continue;
        run->requests += entry.second;
        most.push_back({-entry.second, entry.first});
    }
    std::sort(most.begin(), most.end());
    for (size_t i = 0; i < most.size() && i < 5; ++i)
        run->by_name += (i ? ", " : "") + most[i].second + " " + std::to_string(-most[i].first);
}

double cpu_ms_of(const rusage& usage)
{
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

std::string self_path()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, n) : std::string();
}

// The kernel starts a child's peak memory from what its parent held when it forked, and
// this process holds the set-up's hundreds of megabytes: every measured program is
// started by a launcher (this program run anew, small), which runs it and writes its
// CPU, peak memory and exit from wait4 on fd 4.
int launch(char** argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        close(4);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    char line[128];
    int n = std::snprintf(line, sizeof line, "%.1f %ld %d\n", cpu_ms_of(usage), usage.ru_maxrss, code);
    if (write(4, line, n) < 0) { // no reader: the window's launch, which reports on fd 3
    }
    return code;
}

std::vector<char*> launched(const std::vector<std::string>& argv)
{
    static std::string self = self_path(), flag = "--launch";
    std::vector<char*> args{&self[0], &flag[0]};
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    return args;
}

// Runs argv through the launcher with standard output discarded and standard error into
// err_file; wall, CPU and peak memory as the launcher saw them.
void run_child(const std::vector<std::string>& argv, const std::string& err_file, run_t* run)
{
    int report[2];
    if (pipe(report) != 0)
        return;
    std::vector<char*> args = launched(argv);
    auto started = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err >= 0 ? err : null, 2);
        dup2(report[1], 4);
        execv(args[0], args.data());
        _exit(127);
    }
    close(report[1]);
    std::string line = bench::read_line(report[0], 3600000);
    close(report[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run->wall_ms = bench::since(started);
    long rss = 0;
    run->status = 127;
    if (std::sscanf(line.c_str(), "%lf %ld %d", &run->cpu_ms, &rss, &run->status) == 3)
        run->peak_mb = rss / 1024.0;
}


// ---- the window, in a child of its own ------------------------------------------------

// Writes one line of the child's report.
void report_line(int fd, const std::string& line)
{
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) < 0)
        std::perror("bench_scale");
}

// Repaints the tree now; the time it took.
double paint_ms(QTreeWidget* tree)
{
    QElapsedTimer t;
    t.start();
    tree->viewport()->repaint();
    return t.nsecsElapsed() / 1e6;
}

// What moving about the shown tree costs: expanding every table, then a page of
// scrolling at a time over the whole of it (the slowest page), then one table expanded.
std::string tree_figures(QTreeWidget* tree)
{
    QElapsedTimer t;
    int items = 0;
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        ++items;
    t.start();
    tree->expandAll();
    double expand_all = t.nsecsElapsed() / 1e6 + paint_ms(tree);
    QScrollBar* bar = tree->verticalScrollBar();
    double slowest = 0, total = 0;
    int pages = 0;
    for (int at = 0; at <= bar->maximum() && pages < 2000; at += std::max(1, bar->pageStep()), ++pages) {
        t.restart();
        bar->setValue(at);
        double ms = t.nsecsElapsed() / 1e6 + paint_ms(tree);
        slowest = std::max(slowest, ms);
        total += ms;
    }
    tree->collapseAll();
    QTreeWidgetItem* catalog = tree->topLevelItem(0);
    catalog->setExpanded(true);
    paint_ms(tree);
    QTreeWidgetItem* last = catalog->child(catalog->childCount() - 1);
    t.restart();
    last->setExpanded(true);
    tree->scrollToItem(last);
    double expand_one = t.nsecsElapsed() / 1e6 + paint_ms(tree);
    char line[256];
    std::snprintf(line, sizeof line,
                  "%d items: expand all %.0f ms; %d pages scrolled, slowest %.1f ms, mean %.1f ms; one table "
                  "expanded %.1f ms",
                  items, expand_all, pages, slowest, pages ? total / pages : 0.0, expand_one);
    return line;
}

// The filter above the tree, typed a key at a time: the time of the keys that make 1, 3
// and 10 characters (the first takes the tree's names), of the last table's name, then
// of clearing it.
std::string filter_figures(Schema* window, QTreeWidget* tree)
{
    QTreeWidgetItem* catalog = tree->topLevelItem(0);
    const QString name = catalog->child(catalog->childCount() - 1)->text(0) + "_tags";
    QElapsedTimer t;
    double at[11] = {0};
    for (int length = 1; length <= 10 && length <= name.size(); ++length) {
        t.restart();
        window->applyTreeFilter(name.left(length));
        at[length] = t.nsecsElapsed() / 1e6 + paint_ms(tree);
    }
    int shown = 0;
    for (QTreeWidgetItemIterator it(tree, QTreeWidgetItemIterator::NotHidden); *it; ++it)
        ++shown;
    t.restart();
    window->applyTreeFilter("");
    double cleared = t.nsecsElapsed() / 1e6 + paint_ms(tree);
    char line[256];
    std::snprintf(line, sizeof line, "per key: 1 character %.1f ms, 3 %.1f ms, 10 %.1f ms ('%s', %d items shown); "
                  "cleared %.1f ms", at[1], at[3], at[10], name.left(10).toLocal8Bit().constData(), shown, cleared);
    return line;
}

// The child: opens the window on the arguments, reports on fd 3 when it is shown, then
// the tree's figures, and ends.
int window_child(int argc, char** argv)
{
    QElapsedTimer since_start;
    since_start.start();
    QStringList arguments{"brolix"};
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    bench::quiet();
    int app_argc = 1;
    char name[] = "brolix";
    char* app_argv[] = {name, nullptr};
    QApplication application(app_argc, app_argv);
    int boxes = 0;
    Schema::message_box_hook = [&boxes](QMessageBox* box) {
        std::fprintf(stderr, "box: %s\n", box->text().toLocal8Bit().constData());
        ++boxes;
        return int(QMessageBox::No);
    };
    bench::mute_stdout_t mute; // the index echo lines
    Schema window(arguments);
    window.show();
    QCoreApplication::processEvents();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    char line[512];
    std::snprintf(line, sizeof line, "shown %.1f %ld %d %s", cpu_ms_of(usage), usage.ru_maxrss, boxes,
                  window.windowTitle().toLocal8Bit().constData());
    report_line(3, line);
    QTreeWidget* tree = window.findChild<QTreeWidget*>("treeWidget");
    report_line(3, "tree " + (tree && tree->topLevelItemCount() ? tree_figures(tree) : std::string("none")));
    report_line(3, "filter " + (tree && tree->topLevelItemCount() ? filter_figures(&window, tree) : std::string("none")));
    std::fflush(stdout);
    return 0;
}


void run_window(const std::vector<std::string>& editor_args, bench::proxy_t& proxy, run_t* run,
                std::vector<std::string>* lines)
{
    int report[2];
    if (pipe(report) != 0)
        return;
    std::vector<std::string> argv{self_path(), "--window-child"};
    argv.insert(argv.end(), editor_args.begin(), editor_args.end());
    std::vector<char*> args = launched(argv);
    proxy.reset();
    auto started = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        close(report[0]);
        dup2(report[1], 3);
        dup2(open("/dev/null", O_WRONLY), 4); // the launcher's report: the window reports itself
        execv(args[0], args.data());
        _exit(127);
    }
    close(report[1]);
    std::string shown = bench::read_line(report[0], 600000);
    run->wall_ms = bench::since(started);
    take_counts(proxy, run);
    double cpu = 0;
    long rss = 0;
    int boxes = 0;
    char title[256] = "";
    if (std::sscanf(shown.c_str(), "shown %lf %ld %d %255[^\n]", &cpu, &rss, &boxes, title) >= 3) {
        run->cpu_ms = cpu;
        run->peak_mb = rss / 1024.0;
        run->note = title;
        if (boxes)
            run->note += " (" + std::to_string(boxes) + " boxes)";
    } else {
        run->note = "the window was not shown";
    }
    for (std::string line; !(line = bench::read_line(report[0], 600000)).empty();)
        lines->push_back(line);
    close(report[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run->status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void print_run(const run_t& r)
{
    std::printf("  %-16s %9s %9.1f %9.2f %9.0f %6d  %s\n", r.what.c_str(),
                r.requests < 0 ? "-" : std::to_string(r.requests).c_str(), r.wall_ms / 1000, r.cpu_ms / 1000,
                r.peak_mb, r.status, r.note.c_str());
    if (!r.by_name.empty())
        std::printf("  %-16s   %s\n", "", r.by_name.c_str());
}

int count_lines(const std::string& file)
{
    FILE* f = std::fopen(file.c_str(), "r");
    int lines = 0;
    for (int c; f && (c = std::fgetc(f)) != EOF;)
        lines += c == '\n';
    if (f)
        std::fclose(f);
    return lines;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 2 && !std::strcmp(argv[1], "--launch"))
        return launch(argv + 2);
    if (argc > 1 && !std::strcmp(argv[1], "--window-child"))
        return window_child(argc - 2, argv + 2);
    options_t o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool more = i + 1 < argc;
        if (a == "--server" && more)
            o.server = argv[++i];
        else if (a == "--proxy" && more)
            o.proxy = argv[++i];
        else if (a == "--collections" && more)
            o.collections = std::atoi(argv[++i]);
        else if (a == "--pool" && more)
            o.pool = std::atoi(argv[++i]);
        else if (a == "--rebuild")
            o.rebuild = true;
        else if (a == "--commands" && more) {
            o.commands.clear();
            std::string list = argv[++i];
            for (size_t at = 0; at <= list.size();) {
                size_t comma = std::min(list.find(',', at), list.size());
                if (comma > at)
                    o.commands.push_back(list.substr(at, comma - at));
                at = comma + 1;
            }
        }
        else {
            std::fprintf(stderr,
                         "usage: %s [--server HOST] [--proxy ADDRESS] [--collections N] [--rebuild] [--pool N] "
                         "[--commands check,diff,plan,profile,history]\n",
                         argv[0]);
            return 2;
        }
    }
    if (o.collections < 1) {
        std::fprintf(stderr, "bench_scale: --collections takes a number above 0\n");
        return 2;
    }
    bench::quiet();
    mongoc_init();
    std::string uri = "mongodb://" + o.server + ":27017";
    mongoc_client_t* admin = mongoc_client_new(uri.c_str());
    if (!admin || !bench::answers(admin)) {
        std::fprintf(stderr, "bench_scale: no server answers at %s:27017\n", o.server.c_str());
        return 1;
    }
    const std::string data = "bench_scale_" + std::to_string(o.collections);
    const std::string schema = data + "_schema";
    bool reused = !o.rebuild && data_is_whole(admin, data, o.collections);
    auto started = std::chrono::steady_clock::now();
    if (!reused && !build_data(admin, data, o.collections)) {
        std::fprintf(stderr, "bench_scale: the data could not be written\n");
        return 1;
    }
    double data_ms = bench::since(started);

    bench::proxy_t proxy;
    std::string script = std::string(BROLIX_SOURCE_DIR) + "/tools/latency_proxy.py";
    if (!proxy.start(script, o.proxy, o.server, 0, {"--idle-seconds", "3600", "--max-seconds", "36000"}))
        return 1;
    const std::vector<std::string> connection{"-ds", o.proxy, "-db", data, "-ss", o.proxy, "-sc", schema,
                                              "-pool", std::to_string(o.pool)};
    const std::string cli = std::string(BROLIX_BUILD_DIR) + "/brolix-cli";
    const std::string err_dir = std::string(BROLIX_BUILD_DIR) + "/bench";
    std::vector<run_t> runs;

    auto cli_run = [&](const std::string& command, const std::vector<std::string>& flags) {
        run_t run;
        run.what = command;
        std::vector<std::string> argv{cli, command};
        argv.insert(argv.end(), flags.begin(), flags.end());
        argv.insert(argv.end(), connection.begin(), connection.end());
        std::string err = err_dir + "/bench_scale_" + command + ".err";
        proxy.reset();
        run_child(argv, err, &run);
        take_counts(proxy, &run);
        run.note = std::to_string(count_lines(err)) + " lines on stderr";
        runs.push_back(run);
        std::fprintf(stderr, "bench_scale: %s done\n", command.c_str());
        return run.status;
    };

    // Each run creates the schema from nothing: a journal an earlier run left goes too.
    char journal[256];
    schema_journal_database(schema.c_str(), journal, sizeof journal);
    bench::drop(admin, schema);
    bench::drop(admin, journal);
    bool ok = cli_run("create", {"--replace"}) == 0;
    int virtual_tables = -1;
    double vt_ms = 0;
    if (ok) {
        DBINFO d;
        auto vt_started = std::chrono::steady_clock::now();
        bench::mute_stdout_t mute;
        if (connect_to(&d, "mongodb://" + o.server + "/?socketTimeoutMS=900000", data, schema)) // long inserts
            virtual_tables = make_virtual_tables(&d);
        vt_ms = bench::since(vt_started);
        free_table_refs(d.db_collections);
        free_table_refs(d.md_tables);
        ok = virtual_tables >= 0;
    }
    std::vector<std::string> window_lines;
    if (ok) {
        run_t run;
        run.what = "window";
        run_window(connection, proxy, &run, &window_lines);
        runs.push_back(run);
        std::fprintf(stderr, "bench_scale: window done\n");
    }
    if (ok)
        for (const std::string& command : o.commands)
            cli_run(command, {});
    proxy.stop();
    mongoc_client_destroy(admin);

    std::printf("bench_scale: %d collections of 3 documents, 10 fields (5 arrays), server %s, proxy %s, pool %d\n",
                o.collections, o.server.c_str(), o.proxy.c_str(), o.pool);
    std::printf("  data %s in %.1f s; virtual tables made: %d (in %.1f s, not counted below)\n",
                reused ? "reused" : "written", data_ms / 1000, virtual_tables, vt_ms / 1000);
    std::printf("  %-16s %9s %9s %9s %9s %6s\n", "step", "requests", "wall s", "CPU s", "peak MB", "exit");
    for (const run_t& r : runs)
        print_run(r);
    for (const std::string& line : window_lines)
        std::printf("  window %s\n", line.c_str());
    return ok ? 0 : 1;
}
