// brolix-cli entry: its own flags beside the editor's options, the message and progress
// routines of a program without a window, and the exit codes.
#include "cli/cli.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/secrets.h"
#include "startup/cmdline.h"
#include "startup/schema_check.h"
#include "store/write/lock.h"

#include <QCoreApplication>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

const char* const help_text =
    "Usage: brolix-cli COMMAND [options]\n"
    "\n"
    "Checks, creates, synchronises, dumps, exports, imports and compares a schema of the Tarnwell\n"
    "MongoDB ODBC driver without a window. Connection options are the editor's:\n"
    "  -dsn NAME -ds SERVER -db DATABASE -du USER -dp PASSWORD -ss SCHEMA_SERVER\n"
    "  -sc SCHEMA -su SCHEMA_USER -sp SCHEMA_PASSWORD -ps SAMPLE_SIZE -cw WIDTH\n"
    "  -debug FILE -ssl y/n -cafile FILE -cadir DIR -crlfile FILE -pemfile FILE\n"
    "  -pempwd PASSWORD -wcv y/n -pool CONNECTIONS (1-64, default 8: collections read at once)\n"
    "  -sample first|newest|spread|random (which documents are sampled, default first)\n"
    "\n"
    "Commands:\n"
    "  check                   does the schema agree with the data database?\n"
    "  create [--replace]      create the schema by sampling every collection\n"
    "  sync [--dry-run]        add new collections, remove tables whose collection is gone\n"
    "  dump TABLE... | --all   the Dump Schema text of tables or virtual tables\n"
    "  export                  the schema of this catalog as one JSON file\n"
    "  import FILE [--replace] write an exported file back, after checking all of it\n"
    "  diff [TABLE...] [--all] how far the data has drifted from the schema\n"
    "  profile [TABLE...]      each column's coverage, type mix, nulls and lengths\n"
    "  plan [TABLE...]         the drift as numbered changes to review\n"
    "  apply FILE              write the changes of a plan made with --json, all or none\n"
    "  settle [--set-aside]    put back a change that did not finish; with --set-aside, keep\n"
    "                          a journal that cannot be put back aside, whole\n"
    "  history [TABLE...]      the versions of the schema (of tables), newest first\n"
    "  show N                  what version N changed, in the words of diff\n"
    "  revert N                put back what version N replaced, as a new version\n"
    "\n"
    "Flags:\n"
    "  --replace    create: drop an existing schema first; import: replace this\n"
    "               catalog's documents\n"
    "  --dry-run    sync: write nothing, list what would be added and removed;\n"
    "               revert: list what it would write\n"
    "  --force      revert: also over later versions that changed the same tables\n"
    "  --all        dump: every table of this catalog with its virtual tables;\n"
    "               diff: also SQL names, SQL types and hidden columns edited by hand\n"
    "  --out FILE   dump: append to FILE; export, plan: write FILE (default: standard output)\n"
    "  --json       check, sync --dry-run, diff, profile, plan, history, show: one JSON object\n"
    "               on standard output\n"
    "  --only IDS   apply: only these items of the plan (1,4,7)\n"
    "  --except IDS apply: every item but these\n"
    "  --set-aside  settle: set a journal that cannot be settled aside, its documents kept\n"
    "  --yes        answer Yes where the editor would ask (otherwise No)\n"
    "  --quiet      no progress on standard error\n"
    "  --verbose    the diagnostic lines of the editor on standard error\n"
    "  --password-stdin  read the data, schema and PEM passwords from the first three\n"
    "               lines of standard input (an empty line gives none)\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "\n"
    "Exit status: 0 success (check, diff: schema and data agree), 1 check, diff: they do\n"
    "not agree, 2 any error (options, data source, connection, rights, schema, file), and\n"
    "every write that did not happen: another program holds the schema, a table changed\n"
    "since it was read, the server refused or did not answer (the schema is then as it\n"
    "was, or the journal keeps the change for the next start to put back).\n"
    "\n"
    "A password is taken from the first of: its option, --password-stdin, the environment\n"
    "(BROLIX_DATA_PASSWORD, BROLIX_SCHEMA_PASSWORD, BROLIX_PEM_PASSWORD), the data source.\n";

const char* const commands[] = {"check", "create", "sync",   "dump",    "export", "import", "diff",
                                "profile", "plan", "apply", "settle", "history", "show",  "revert"};

bool is_command(const std::string& word)
{
    for (const char* c : commands)
        if (word == c)
            return true;
    return false;
}

int usage_error(const std::string& why)
{
    std::fprintf(stderr, "brolix-cli: %s\nTry 'brolix-cli --help'.\n", why.c_str());
    return EXIT_ERROR;
}

// Which commands take a flag.
bool flag_applies(const std::string& flag, const std::string& command)
{
    if (flag == "--replace")
        return command == "create" || command == "import";
    if (flag == "--dry-run")
        return command == "sync" || command == "revert";
    if (flag == "--force")
        return command == "revert";
    if (flag == "--all")
        return command == "dump" || command == "diff";
    if (flag == "--out")
        return command == "dump" || command == "export" || command == "plan";
    if (flag == "--json")
        return command == "check" || command == "sync" || command == "diff" || command == "profile" ||
               command == "plan" || command == "history" || command == "show";
    if (flag == "--only" || flag == "--except")
        return command == "apply";
    if (flag == "--set-aside")
        return command == "settle";
    return flag == "--yes" || flag == "--quiet" || flag == "--verbose" || flag == "--password-stdin";
}

int read_arguments(const QStringList& arguments, cli_t* cli)
{
    cli->editor_arguments << arguments.value(0);
    for (int i = 1; i < arguments.size(); ++i) {
        std::string word = arguments.at(i).toStdString();
        if (word.compare(0, 2, "--") == 0) {
            if (cli->command.empty())
                return usage_error("the command comes first, then " + word);
            if (!flag_applies(word, cli->command))
                return usage_error(word + " does not apply to " + cli->command);
            if (word == "--out") {
                if (++i >= arguments.size())
                    return usage_error("--out needs a file name");
                cli->out_file = arguments.at(i).toStdString();
                cli->has_out = true;
            }
            if (word == "--only" || word == "--except") {
                if (++i >= arguments.size())
                    return usage_error(word + " needs item ids");
                (word == "--only" ? cli->only : cli->except) = arguments.at(i).toStdString();
                (word == "--only" ? cli->has_only : cli->has_except) = true;
            }
            cli->replace |= word == "--replace";
            cli->set_aside |= word == "--set-aside";
            cli->force |= word == "--force";
            cli->dry_run |= word == "--dry-run";
            cli->all |= word == "--all";
            cli->json |= word == "--json";
            cli->yes |= word == "--yes";
            cli->quiet |= word == "--quiet";
            cli->verbose |= word == "--verbose";
            cli->password_stdin |= word == "--password-stdin";
        } else if (is_command_line_option(word.c_str())) {
            // The option and its value go to the editor's parser, which judges them.
            cli->editor_arguments << arguments.at(i);
            if (i + 1 < arguments.size())
                cli->editor_arguments << arguments.at(++i);
        } else if (cli->command.empty()) {
            if (!is_command(word))
                return usage_error("unknown command '" + word + "'");
            cli->command = word;
        } else {
            cli->names.push_back(word);
        }
    }
    if (cli->command.empty())
        return usage_error("no command given");
    if (cli->json && cli->command == "sync" && !cli->dry_run)
        return usage_error("--json applies to sync --dry-run only");
    if (cli->command == "dump" && cli->all == !cli->names.empty())
        return usage_error("dump takes table names or --all");
    if ((cli->command == "import" || cli->command == "apply") && cli->names.size() != 1)
        return usage_error(cli->command + " takes one file");
    if ((cli->command == "show" || cli->command == "revert") && cli->names.size() != 1)
        return usage_error(cli->command + " takes one version number");
    const std::string named[] = {"dump", "import", "diff", "profile", "plan", "apply", "history", "show", "revert"};
    if (std::find(std::begin(named), std::end(named), cli->command) == std::end(named) && !cli->names.empty())
        return usage_error(cli->command + " takes no '" + cli->names.front() + "'");
    return EXIT_AGREE;
}

// Nothing waits on standard input: a question is answered as --yes says.
int answer_box(void* context, const char* text, const char* informative, int buttons, int default_button)
{
    const cli_t* cli = static_cast<const cli_t*>(context);
    print_box(text, informative);
    if (buttons & BTN_YES) {
        std::fprintf(stderr, "Answered %s.\n", cli->yes ? "Yes" : "No (--yes answers Yes)");
        return cli->yes ? BTN_YES : BTN_NO;
    }
    return default_button;
}

void show_progress(void* context, int done, int total, const char* collection)
{
    const cli_t* cli = static_cast<const cli_t*>(context);
    if (cli->quiet)
        return;
    if (isatty(fileno(stderr))) {
        const int width = 30;
        int filled = total > 0 ? done * width / total : width;
        std::fprintf(stderr, "\r[%-*s] %d/%d %.40s\033[K", width, std::string(filled, '#').c_str(), done, total,
                     collection ? collection : "");
        if (done >= total)
            std::fputc('\n', stderr);
    } else if (done == 0) {
        std::fprintf(stderr, "collections to sample: %d\n", total);
    } else {
        std::fprintf(stderr, "sampled %d of %d: %s\n", done, total, collection ? collection : "");
    }
    std::fflush(stderr);
}

// Start-up's read of a large schema: the documents read of each collection.
void show_reading(void* context, const char* collection, long documents, bool done)
{
    const cli_t* cli = static_cast<const cli_t*>(context);
    if (cli->quiet)
        return;
    if (isatty(fileno(stderr)))
        std::fprintf(stderr, "\rschema %s: %ld documents read\033[K%s", collection, documents, done ? "\n" : "");
    else
        std::fprintf(stderr, "schema %s: %ld documents read%s\n", collection, documents, done ? ", all" : "");
    std::fflush(stderr);
}

} // namespace

void print_box(const char* text, const char* informative)
{
    if (text && *text)
        std::fprintf(stderr, "%s\n", with_privilege_named(scrub_secrets(text)).c_str());
    // The window's line breaks, less its instructions to press a button that is not there.
    QString rest = QString::fromUtf8(with_privilege_named(scrub_secrets(informative)).c_str()).replace("<br>", "\n");
    for (const QString& line : rest.split('\n', Qt::SkipEmptyParts))
        if (line != "Please press OK to exit." && !line.startsWith("Press 'Yes'") && !line.startsWith("press 'No'"))
            std::fprintf(stderr, "%s\n", line.toUtf8().constData());
}

void print_box(const start_up_text_t& box)
{
    print_box(box.text, box.informative);
}

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    hide_command_line_passwords(argc, argv); // arguments() would read them again
    install_log_scrubber();
    for (const QString& a : arguments.mid(1)) {
        if (a == "--help" || a == "-h") {
            std::fputs(help_text, stdout);
            return EXIT_AGREE;
        }
        if (a == "--version") {
            std::printf("brolix-cli %s\n", BROLIX_VERSION);
            return EXIT_AGREE;
        }
    }
    cli_t cli;
    if (read_arguments(arguments, &cli) != EXIT_AGREE)
        return EXIT_ERROR;
    // The lock and the history name the program that writes.
    set_writer_program(("brolix-cli " + cli.command).c_str());

    // Standard output is the command's alone; the data layer's diagnostic lines go to
    // standard error with --verbose, else nowhere.
    cli.out = stdout;
#ifdef _WIN32
    _setmode(_fileno(cli.out), _O_BINARY);
#endif
    set_diagnostic_routine([](void* verbose, const char* text) {
        if (verbose)
            std::fputs(text, stderr);
    }, cli.verbose ? &cli : nullptr);

    set_message_routine(answer_box, &cli);
    set_progress_routine(show_progress, &cli);
    set_reading_routine(show_reading, &cli);
    DBINFO dbinfo;
    dbinfo_clear(&dbinfo);
    dbinfo_init(&dbinfo);
    mongoc_init();
    int status = run_command(cli, &dbinfo);
    std::fflush(cli.out);
    return status;
}
