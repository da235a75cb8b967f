// How long the window waits on a server that is gone (stopped: connection refused) or
// hung (SIGSTOP: it accepts and never answers), per user action and side.
//
//   bench_server_faults [--actions pick,page,refresh,save,dump] [--faults stopped,hung]
//                       [--sides data,schema]
//
// Each case starts its own FerretDB pair (data 127.0.0.40, schema 127.0.0.41; run it in a
// network namespace of your own), writes two collections of 40 fields, lets a window create
// the schema, applies the fault to one side, then times one action and prints the wait and
// the boxes it showed. FerretDB is $FERRETDB or the one tools/install-deps.sh built.
#include "ui/schema.h"
#include "ui_schema.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mongoc/mongoc.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const data_host = "127.0.0.40";
const char* const schema_host = "127.0.0.41";
FILE* report = stdout;

std::string ferretdb_path()
{
    if (const char* f = std::getenv("FERRETDB"))
        return f;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    std::string base = cache ? cache : std::string(std::getenv("HOME")) + "/.cache";
    return base + "/brolix/ferretdb-v1.24.2/ferretdb";
}

bool answers(const char* host)
{
    std::string uri = std::string("mongodb://") + host + ":27017/?serverSelectionTimeoutMS=500&connectTimeoutMS=500";
    mongoc_client_t* client = mongoc_client_new(uri.c_str());
    bson_t* ping = BCON_NEW("ping", BCON_INT32(1));
    bool ok = client && mongoc_client_command_simple(client, "admin", ping, nullptr, nullptr, nullptr);
    bson_destroy(ping);
    mongoc_client_destroy(client);
    return ok;
}

pid_t start_server(const char* host)
{
    std::string dir = std::string(BROLIX_BENCH_DIR) + "/faults/" + host;
    std::system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str());
    pid_t pid = fork();
    if (pid == 0) {
        int log = open((dir + "/server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log, 1);
        dup2(log, 2);
        std::string url = "--sqlite-url=file:" + dir + "/", state = "--state-dir=" + dir,
                    listen = std::string("--listen-addr=") + host + ":27017", path = ferretdb_path();
        execl(path.c_str(), path.c_str(), "--handler=sqlite", url.c_str(), state.c_str(), "--telemetry=disable",
              "--debug-addr=-", "--log-level=warn", listen.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    for (int i = 0; i < 100 && !answers(host); ++i)
        usleep(200000);
    return pid;
}

void stop_server(pid_t pid)
{
    kill(pid, SIGCONT);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

void write_data(const char* db)
{
    mongoc_client_t* client = mongoc_client_new((std::string("mongodb://") + data_host + ":27017").c_str());
    for (const char* name : {"alpha", "beta"}) {
        mongoc_collection_t* coll = mongoc_client_get_collection(client, db, name);
        for (int d = 0; d < 5; ++d) {
            bson_t doc = BSON_INITIALIZER;
            for (int f = 0; f < 40; ++f)
                BSON_APPEND_INT32(&doc, ("field_" + std::to_string(f)).c_str(), d * f);
            mongoc_collection_insert_one(coll, &doc, nullptr, nullptr, nullptr);
            bson_destroy(&doc);
        }
        mongoc_collection_destroy(coll);
    }
    mongoc_client_destroy(client);
}

QTreeWidgetItem* item_named(QTreeWidget* tree, const char* name)
{
    for (QTreeWidgetItemIterator it(tree); *it; ++it)
        if ((*it)->text(0) == name)
            return *it;
    return nullptr;
}

void act(Schema& w, const std::string& action)
{
    if (action == "pick")
        emit w.ui->treeWidget->itemPressed(item_named(w.ui->treeWidget, "beta"), 0);
    else if (action == "page")
        w.ui->pushButtonPageDown->click();
    else if (action == "refresh")
        QMetaObject::invokeMethod(&w, "refreshData", Q_ARG(DBINFO*, &w.dbinfo));
    else if (action == "save")
        w.ui->pushButtonSave->click();
    else if (action == "dump")
        w.ui->pushButtonDump->click();
}

std::vector<std::string> split(const char* list)
{
    std::vector<std::string> out;
    std::string s = list;
    for (size_t at = 0; at <= s.size();) {
        size_t comma = s.find(',', at);
        if (comma == std::string::npos)
            comma = s.size();
        out.push_back(s.substr(at, comma - at));
        at = comma + 1;
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    mongoc_init();
    const char* lists[3] = {"pick,page,refresh,save,dump", "stopped,hung", "data,schema"};
    for (int i = 1; i + 1 < argc; i += 2)
        for (int k = 0; k < 3; ++k)
            if (std::string(argv[i]) == std::string("--") + (k == 0 ? "actions" : k == 1 ? "faults" : "sides"))
                lists[k] = argv[i + 1];
    // The window's echo lines are not this program's output.
    std::fflush(stdout);
    report = fdopen(dup(1), "w");
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);

    std::vector<std::string> boxes;
    Schema::message_box_hook = [&boxes](QMessageBox* box) {
        boxes.push_back((box->text() + " | " + box->informativeText()).simplified().toStdString());
        return int(QMessageBox::Yes);
    };
    double worst = 0;
    for (const std::string& side : split(lists[2]))
        for (const std::string& fault : split(lists[1]))
            for (const std::string& action : split(lists[0])) {
                pid_t data = start_server(data_host), schema = start_server(schema_host);
                write_data("faults");
                std::string dump = std::string(BROLIX_BENCH_DIR) + "/faults/dump.txt";
                QStringList arguments{"brolix", "-ds", data_host, "-db", "faults", "-ss", schema_host,
                                      "-sc", "faults_schema", "-debug", QString::fromStdString(dump)};
                {
                    Schema w(arguments);
                    w.show();
                    QCoreApplication::processEvents();
                    pid_t victim = side == "data" ? data : schema;
                    if (fault == "hung") {
                        // Hung once every thread of it has stopped, not when the signal is sent.
                        kill(victim, SIGSTOP);
                        waitpid(victim, nullptr, WUNTRACED);
                    } else {
                        kill(victim, SIGKILL);
                        waitpid(victim, nullptr, 0);
                    }
                    boxes.clear();
                    auto started = std::chrono::steady_clock::now();
                    act(w, action);
                    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
                    worst = s > worst ? s : worst;
                    std::fprintf(report, "%-6s %-7s %-7s %7.1f s  ", side.c_str(), fault.c_str(), action.c_str(), s);
                    for (const std::string& b : boxes)
                        std::fprintf(report, "[%s] ", b.c_str());
                    std::fprintf(report, "%s\n", boxes.empty() ? "no box" : "");
                    std::fflush(report);
                    kill(victim, SIGCONT);
                }
                stop_server(data);
                stop_server(schema);
            }
    std::fprintf(report, "worst wait %.1f s\n", worst);
    return 0;
}
