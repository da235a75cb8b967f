// A brolix-cli session: the start both programs make, then the validation each command
// needs, the writers' lock held around a command that writes, and the command.
#include "cli/cli.h"

#include "core/connect.h"
#include "core/records.h"
#include "startup/cmdline.h"
#include "startup/schema_check.h"
#include "startup/start.h"
#include "store/files/export.h"
#include "store/write/journal.h"
#include "store/read/validate.h"

#include <cstring>
#include <string>

namespace {

// The editor's start, up to its schema check.
int connect(cli_t& cli, DBINFO* d, bool (*before_connect)(cli_t&, DBINFO*))
{
    start_steps_t steps;
    steps.parse = [&](DBINFO* dbinfo) { return parse_command_line(dbinfo, cli.editor_arguments); };
    steps.passwords = cli.password_stdin ? stdin : nullptr;
    if (before_connect)
        steps.before_connect = [&](DBINFO* dbinfo) { return before_connect(cli, dbinfo); };
    steps.settle = cli.command != "settle"; // which settles by itself
    start_t started;
    if (!start_program(d, steps, &started)) {
        if (started.stop == START_ARGUMENTS)
            return fail("Invalid command line arguments.", "Try 'brolix-cli --help'.");
        if (!started.text.empty())
            return fail(started.text.c_str());
        return EXIT_ERROR;
    }
    if (d->mode == MODE_VIEW_ONLY)
        return fail("No schema name given.",
                    "Every command works on a schema: name it with -sc or in the data source.");
    if (!started.text.empty())
        std::fprintf(stderr, "%s\n", started.text.c_str());
    return EXIT_AGREE;
}

int settle(cli_t& cli, DBINFO* d)
{
    char line[DBINFO_TEXT];
    bool ok = cli.set_aside ? set_journal_aside(d, line, sizeof line)
                            : settle_schema_journal(d, line, sizeof line, may_write_schema);
    std::fprintf(ok ? cli.out : stderr, "%s\n", line[0] ? line : "There was no change to settle.");
    return ok ? EXIT_AGREE : EXIT_ERROR;
}

// Each command after the validation it needs: whether it writes (a schema it may not
// write is refused) and whether it works on a schema that is missing or unusable.
const struct command_t {
    const char* name;
    writes_t writes;
    bool takes_missing_schema;
    int (*run)(cli_t&, DBINFO*, int code, int status);
} commands[] = {
    {"check", WRITES_NOTHING, false, check_command},   {"create", WRITES, true, create_command},
    {"sync", WRITES_OUT_OF_STEP, false, sync_command}, {"dump", WRITES_NOTHING, false, dump_command},
    {"export", WRITES_NOTHING, false, export_command}, {"import", WRITES, true, import_command},
    {"diff", WRITES_NOTHING, false, diff_command}, {"profile", WRITES_NOTHING, false, profile_command},
    {"plan", WRITES_NOTHING, false, plan_command}, {"apply", WRITES, false, apply_command},
    {"history", WRITES_NOTHING, true, history_command}, {"show", WRITES_NOTHING, true, show_command},
    {"revert", WRITES, true, revert_command},
};

} // namespace

// Validates and refuses what no command works on; a command about to write also refuses a
// schema it may not write. Fields no schema document may hold are for check and sync alone.
int validated(DBINFO* d, int* code, writes_t writes, bool accept_missing, bool repairs)
{
    validate_schema(d, code);
    // As in the window: a data server lost during the check is no schema to empty.
    if (*code == VALIDATE_COLLECTIONS_GONE && !d->db_collections && !side_still_answers(d, SIDE_DATA))
        return EXIT_ERROR;
    start_up_text_t box;
    if (*code == VALIDATE_OK || (is_mismatch(*code) && (repairs || *code != VALIDATE_UNKNOWN_FIELDS)) ||
        (accept_missing && (*code == VALIDATE_NO_COLLECTIONS || *code == VALIDATE_DOCUMENTS_INVALID))) {
        bool writing = writes == WRITES || (writes == WRITES_OUT_OF_STEP && is_mismatch(*code));
        if (writing && d->mode != MODE_EDIT) {
            read_only_text(d, &box);
            return fail(box.text, box.informative);
        }
        return EXIT_AGREE;
    }
    // A failed read says so in either mode: it is no sign of a schema to create or update.
    if (d->mode != MODE_EDIT && *code != VALIDATE_READ_FAILED && *code != VALIDATE_DATA_NOT_LISTED)
        read_only_text(d, &box);
    else
        validation_text(d, *code, &box);
    bool hinted = *code == VALIDATE_NO_COLLECTIONS || *code == VALIDATE_DOCUMENTS_INVALID ||
                  *code == VALIDATE_UNKNOWN_FIELDS;
    print_box(box.text, hinted ? "" : box.informative);
    if (*code == VALIDATE_NO_COLLECTIONS || *code == VALIDATE_DOCUMENTS_INVALID)
        std::fprintf(stderr, "'brolix-cli create' creates it.\n");
    else if (*code == VALIDATE_UNKNOWN_FIELDS)
        std::fprintf(stderr, "%s\n", repair_hint(*code));
    return EXIT_ERROR;
}

int run_command(cli_t& cli, DBINFO* d)
{
    bool is_import = cli.command == "import";
    int status = connect(cli, d, is_import ? read_import_file : nullptr);
    if (status == EXIT_AGREE && cli.command == "settle")
        status = settle(cli, d);
    for (const command_t& c : commands)
        if (status == EXIT_AGREE && cli.command == c.name) {
            // A command that may write holds the schema from before it reads it until it
            // has written: another writer meanwhile waits or is told who holds it.
            // A user who may not write the schema claims nothing: validation refuses it.
            bool writes = !cli.dry_run && c.writes != WRITES_NOTHING && may_write_schema(d);
            std::string told;
            if (writes && schema_write_begin(d, cli.command.c_str(), d->database, &told) != CHANGE_APPLIED) {
                status = fail(told.c_str());
                break;
            }
            int code = 0;
            status = validated(d, &code, cli.dry_run ? WRITES_NOTHING : c.writes, c.takes_missing_schema,
                               c.run == check_command || c.writes == WRITES_OUT_OF_STEP);
            if (status == EXIT_AGREE || c.run == check_command)
                status = c.run(cli, d, code, status);
            if (writes)
                schema_write_end(d);
        }
    free_schema_file(cli.import_file);
    cli.import_file = nullptr;
    free_table_refs(d->db_collections);
    d->db_collections = nullptr;
    free_table_refs(d->md_tables);
    d->md_tables = nullptr;
    return status;
}
