// brolix-cli: the schema tools of the editor without a window.
#ifndef BROLIX_CLI_CLI_H
#define BROLIX_CLI_CLI_H

#include <QStringList>
#include <bson/bson.h>
#include <cstdio>
#include <string>
#include <vector>

#include "startup/told.h"

struct DBINFO;
struct db_table_ref_t;
struct schema_file_t;
struct start_up_text_t;

enum cli_exit { EXIT_AGREE = 0, EXIT_MISMATCH = 1, EXIT_ERROR = 2 };

struct cli_t {
    std::string command;
    QStringList editor_arguments; // the program path, then the editor's options
    std::vector<std::string> names; // dump, diff, plan: tables; import, apply: the file
    std::string only, except;       // apply: item ids, "1,4,7"
    bool has_only = false, has_except = false;
    std::string out_file;
    bool has_out = false;
    bool replace = false;
    bool set_aside = false;
    bool force = false; // revert: over later versions too
    bool dry_run = false;
    bool all = false;
    bool json = false;
    bool quiet = false;
    bool yes = false;
    bool verbose = false;
    bool password_stdin = false; // passwords on standard input, one line each
    FILE* out = nullptr; // the real standard output: the data layer's own lines go elsewhere
    schema_file_t* import_file = nullptr; // import: the file, checked before connecting
};

// Prints a box's texts on standard error (the window's instructions to press a button left out).
void print_box(const char* text, const char* informative);
void print_box(const start_up_text_t& box);

// What is printed beside the commands' own lines (cli/output.cpp).
// A box's texts on standard error; EXIT_ERROR.
int fail(const char* text, const char* informative = nullptr);
// format with its one %s replaced by value.
std::string quoted(const char* format, const char* value);
// A validation code that says the schema and the data differ (check exits 1).
bool is_mismatch(int code);
// What sync does beside the comparison's synchronisation, in a line for check.
const char* repair_hint(int code);
// The validation's outcome in words: the agreement, or the start-up box's text.
std::string agree_text(const DBINFO* dbinfo);
std::string outcome_text(const DBINFO* dbinfo, int code);
// JSON objects for machines, written by the BSON library, on standard output.
void print_json(cli_t& cli, const bson_t* doc);
// outcome, code, database, schema, mode and message.
void json_header(bson_t* doc, const DBINFO* dbinfo, int code);
// An array under key of the names in list that chosen takes.
void json_names(bson_t* doc, const char* key, const db_table_ref_t* list, int code,
                bool (*chosen)(int, const db_table_ref_t*));


// When a command writes: never, always, or only to a schema out of step with the data.
enum writes_t { WRITES_NOTHING, WRITES, WRITES_OUT_OF_STEP };
// Validates and refuses what no command works on; a command about to write also refuses a
// schema it may not write. Fields no schema document may hold are for check and sync alone.
int validated(DBINFO* dbinfo, int* code, writes_t writes, bool accept_missing, bool repairs);

// The session: the start, the validation each command needs, the lock around a command
// that writes, then the command (cli/session.cpp); returns the exit code.
int run_command(cli_t& cli, DBINFO* dbinfo);
// check, create, sync, dump, export and import, after validation (cli/commands.cpp); an
// import's file is read and checked before connecting.
int check_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
int create_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
int sync_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
int dump_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
int export_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
int import_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
bool read_import_file(cli_t& cli, DBINFO* dbinfo);
// diff, after validation (cli/diff.cpp).
int diff_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
// profile (cli/profile.cpp).
int profile_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
// plan and apply, after validation (cli/plan.cpp).
int plan_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
int apply_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
// history, show and revert (cli/history.cpp).
int history_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
int show_command(cli_t& cli, DBINFO* dbinfo, int code, int status);
int revert_command(cli_t& cli, DBINFO* dbinfo, int code, int status);

#endif
