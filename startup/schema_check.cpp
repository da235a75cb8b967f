#include "startup/schema_check.h"

#include "startup/start.h"

#include "core/connect.h"
#include "core/dbinfo.h"
#include "core/message.h"
#include "store/change/create.h"
#include "store/analysis/drift.h"
#include "store/write/journal.h"
#include "store/read/read.h"
#include "store/read/listing.h"
#include "store/read/validate.h"

#include <cstdarg>
#include <cstdio>

namespace {

void format_into(start_up_text_t* out, const char* informative, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(out->text, sizeof out->text, format, args);
    va_end(args);
    out->informative = informative;
}

const char* const press_ok = "Please press OK to exit.";

bool ask(const start_up_text_t& box)
{
    return brolix_message(box.text, box.informative, BTN_YES_NO, BTN_YES) == BTN_YES;
}

bool stop(const start_up_text_t& box)
{
    brolix_message(box.text, box.informative, BTN_OK, BTN_OK);
    return false;
}

} // namespace

void validation_text(const DBINFO* d, int code, start_up_text_t* out)
{
    switch (code) {
    case VALIDATE_NO_COLLECTIONS:
    case VALIDATE_DOCUMENTS_INVALID:
        format_into(out, "Press 'Yes' to create a new schema or press 'No' to exit.",
                    "The schema '%s' does not exist or may be invalid.", d->md_database);
        break;
    case VALIDATE_FOREIGN_COLLECTION:
        format_into(out, press_ok, "The schema '%s' contains non-schema data or collections and cannot be used.",
                    d->md_database);
        break;
    case VALIDATE_READ_FAILED: {
        // A read that failed part-way says nothing about the schema: start-up ends as for
        // a server that does not answer, and nothing is offered that would drop it.
        static char informative[DBINFO_TEXT];
        std::snprintf(informative, sizeof informative, "MongoDB Error:%s\n\n%s", schema_read_error(), press_ok);
        format_into(out, informative, "The schema '%s' could not be read.", d->md_database);
        break;
    }
    case VALIDATE_DATA_NOT_LISTED: {
        // No listing is no sign of collections gone: nothing is offered that would remove tables.
        static char informative[DBINFO_TEXT];
        std::snprintf(informative, sizeof informative, "MongoDB Error:%s\n\n%s", schema_read_error(), press_ok);
        format_into(out, informative, "The collections of the database '%s' could not be listed.", d->database);
        break;
    }
    case VALIDATE_OUT_OF_STEP: {
        // States creation and synchronisation write themselves: a repair is offered, never
        // the end of the program.
        static char text[DBINFO_TEXT];
        int bare = 0;
        std::snprintf(text, sizeof text, "%s.", schema_out_of_step(&bare));
        format_into(out,
                    bare ? "Press 'Yes' to take these tables again from the database and refresh the index "
                           "entries (every other table keeps its edits) or press 'No' to keep the schema as it "
                           "stands."
                         : "Press 'Yes' to refresh the index entries from the collections' indexes (every table "
                           "keeps its edits) or press 'No' to keep the schema as it stands.",
                    "The schema '%s' is out of step with the database: %s", d->md_database, text);
        break;
    }
    case VALIDATE_UNKNOWN_FIELDS: {
        static char text[DBINFO_TEXT];
        std::snprintf(text, sizeof text, "%s.", schema_unknown_fields());
        format_into(out, "Press 'Yes' to remove these fields (every table keeps its edits) or press 'No' to exit.",
                    "The schema '%s' holds fields that no schema document may hold: %s", d->md_database, text);
        break;
    }
    case VALIDATE_SAME_DATABASE:
        format_into(out,
                    "In the DSN, either the Server and Schema Server, or the Database and Schema "
                    "Database, must be different.",
                    "The Schema and the Database cannot be the same database.");
        break;
    case VALIDATE_COLLECTIONS_NEW:
        format_into(out, "Press 'Yes' to add them to the schema or\npress 'No' to ignore them.",
                    "Collections exist in the database that are not referenced in the schema.");
        break;
    case VALIDATE_COLLECTIONS_GONE:
        format_into(out, "Press 'Yes' to remove these references from the schema or \npress 'No' to exit.",
                    "Collections are referenced in the schema that do not exist in the database.");
        break;
    case VALIDATE_COLLECTIONS_NEW_AND_GONE:
        format_into(out, "Press 'Yes' to synchronise the schema with the databse.",
                    "The database and the schema do not match each other.");
        break;
    default:
        format_into(out, "Occurred during Schema Validation.", "General Error : %i", code);
    }
}

void read_only_text(const DBINFO* d, start_up_text_t* out)
{
    format_into(out, "Possibly needs creating or updating.<br><br>Please press OK to exit.",
                "The schema '%s' is currently unavailable in 'read-only' mode.", d->md_database);
}

void repair_failed_text(const DBINFO* d, const char* reason, start_up_text_t* out)
{
    static char informative[DBINFO_TEXT];
    std::snprintf(informative, sizeof informative, "MongoDB Error:%s\n\n%s", reason, press_ok);
    format_into(out, informative, "The fields could not be removed from the schema '%s'.", d->md_database);
}

void creation_failed_text(const DBINFO* d, int code, start_up_text_t* out)
{
    // A collection the server would not sample (a strategy it lacks) is told in its words.
    static char informative[DBINFO_TEXT];
    bool told = (code == CREATE_STOPPED || code == CREATE_DROP_FAILED) && creation_read_error()[0];
    if (told)
        std::snprintf(informative, sizeof informative, "MongoDB Error:%s\n\n%s", creation_read_error(), press_ok);
    format_into(out, told ? informative : press_ok,
                "The schema '%s' could not be created (error %i).", d->md_database, code);
}

std::string drift_problem_text(const drift_problem_t* problem)
{
    const char* const texts[] = {"The table '%s' is neither in the schema nor in the data.",
                                 "The schema's collection '%s' could not be read.",
                                 "The collections of the database '%s' could not be listed.",
                                 "The collection '%s' could not be sampled.",
                                 "The indexes of the collection '%s' could not be listed."};
    int at = DRIFT_NO_SUCH_TABLE - problem->code;
    std::string text = at >= 0 && at < 5 ? texts[at] : "'%s' could not be compared.";
    return text.replace(text.find("%s"), 2, problem->name);
}

const char* mode_title(int mode)
{
    switch (mode) {
    case MODE_EDIT: return "Tarnwell MongoDB Schema Editor (Edit Mode)";
    case MODE_READ_ONLY: return "Tarnwell MongoDB Schema Editor (Read Only Mode)";
    default: return "Tarnwell MongoDB Schema Editor (View Only Mode)";
    }
}

bool settle_told(DBINFO* d, const start_t& started)
{
    char settled[DBINFO_TEXT];
    std::snprintf(settled, sizeof settled, "%s", started.text.c_str());
    if (started.stop == START_JOURNAL) {
        // One that starting again will not settle is not in the way of every start for ever.
        if (!started.lasting || brolix_message(settled,
                                               "Press 'Yes' to set the journal aside (it is kept whole) and open the "
                                               "schema as it stands, or press 'No' to exit.",
                                               BTN_YES_NO, BTN_YES) != BTN_YES) {
            if (!started.lasting)
                brolix_message(settled, press_ok, BTN_OK, BTN_OK);
            return false;
        }
        if (!set_journal_aside(d, settled, sizeof settled)) {
            brolix_message(settled, press_ok, BTN_OK, BTN_OK);
            return false;
        }
    }
    if (settled[0])
        brolix_message(settled, "", BTN_OK, BTN_OK);
    return true;
}

bool check_schema_at_start(DBINFO* d)
{
    if (d->mode == MODE_VIEW_ONLY) {
        int code = 0;
        load_tables_without_schema(d, &code);
        return true;
    }

    int code = 0;
    start_up_text_t box;
    for (;;) {
        if (validate_schema(d, &code))
            return true;
        if (d->mode != MODE_EDIT && code != VALIDATE_READ_FAILED && code != VALIDATE_DATA_NOT_LISTED) {
            // Out of step the way the program writes it itself: shown as it is.
            if (code == VALIDATE_OUT_OF_STEP)
                return true;
            read_only_text(d, &box);
            return stop(box);
        }
        if (code != VALIDATE_UNKNOWN_FIELDS)
            break;
        // The driver may not read such a schema: without the repair the program ends.
        validation_text(d, code, &box);
        if (!ask(box))
            return false;
        bson_error_t error;
        if (!remove_unknown_fields(d, &error)) {
            repair_failed_text(d, error.message, &box);
            return stop(box);
        }
    }

    // Told first, and mended alone: the lists are marked for it and made again after.
    if (schema_out_of_step()[0]) {
        validation_text(d, VALIDATE_OUT_OF_STEP, &box);
        if (ask(box)) {
            mark_out_of_step(d);
            synchronise_schema(d, VALIDATE_COLLECTIONS_NEW_AND_GONE);
        }
        if (code == VALIDATE_OUT_OF_STEP)
            return true;
        code = compare_collections_with_schema(d->db_collections, d->md_tables, d->database);
        if (code == VALIDATE_OK)
            return true;
    }

    validation_text(d, code, &box);
    switch (code) {
    case VALIDATE_NO_COLLECTIONS:
    case VALIDATE_DOCUMENTS_INVALID: {
        if (!ask(box))
            return false;
        int created = CREATE_OK;
        if (!create_schema(d, &created)) {
            creation_failed_text(d, created, &box);
            return stop(box);
        }
        return true;
    }
    case VALIDATE_COLLECTIONS_NEW:
        if (ask(box))
            synchronise_schema(d, VALIDATE_COLLECTIONS_NEW);
        return true;
    case VALIDATE_COLLECTIONS_GONE:
        // A data server lost during the check lists nothing: that is no reason to offer
        // removing every table.
        if (!d->db_collections && !side_still_answers(d, SIDE_DATA))
            return false;
        if (!ask(box))
            return false;
        synchronise_schema(d, VALIDATE_COLLECTIONS_GONE);
        return true;
    case VALIDATE_COLLECTIONS_NEW_AND_GONE:
        if (ask(box))
            synchronise_schema(d, VALIDATE_COLLECTIONS_NEW_AND_GONE);
        return true;
    default:
        return stop(box);
    }
}
