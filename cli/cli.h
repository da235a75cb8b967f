// brolix-cli: the schema tools of the editor without a window.
#ifndef BROLIX_CLI_CLI_H
#define BROLIX_CLI_CLI_H

#include <QStringList>
#include <cstdio>
#include <string>
#include <vector>

struct DBINFO;
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

// What became of a write that did not happen (a CHANGE_ outcome, or -19 a read that
// failed), with the outcome's own words first: the second line of its message.
std::string change_outcome_text(int outcome, const char* told);

// The commands, run after the settings have been read; each returns its exit code.
int run_command(cli_t& cli, DBINFO* dbinfo);
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
