#include "app/schema_check.h"

#include "app/dbinfo.h"
#include "app/message.h"
#include "store/create.h"
#include "store/read.h"
#include "store/validate.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Message texts are formatted into 2048-byte buffers, as every start-up message is.
struct text_buffer {
    char text[DBINFO_TEXT];
    explicit text_buffer(const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
    }
};

const char* const press_ok = "Please press OK to exit.";

bool ask(const char* text, const char* informative)
{
    return brolix_message(text, informative, BTN_YES_NO, BTN_YES) == BTN_YES;
}

bool stop(const char* text, const char* informative)
{
    brolix_message(text, informative, BTN_OK, BTN_OK);
    return false;
}

} // namespace

const char* mode_title(int mode)
{
    switch (mode) {
    case MODE_EDIT: return "Tarnwell MongoDB Schema Editor (Edit Mode)";
    case MODE_READ_ONLY: return "Tarnwell MongoDB Schema Editor (Read Only Mode)";
    default: return "Tarnwell MongoDB Schema Editor (View Only Mode)";
    }
}

bool check_schema_at_start(DBINFO* d)
{
    if (d->mode == MODE_VIEW_ONLY) {
        int code = 0;
        load_tables_without_schema(d, &code);
        return true;
    }

    int code = 0;
    if (validate_schema(d, &code))
        return true;

    if (d->mode != MODE_EDIT) {
        text_buffer text("The schema '%s' is currently unavailable in 'read-only' mode.", d->md_database);
        text_buffer informative("Possibly needs creating or updating.<br><br>%s", press_ok);
        return stop(text.text, informative.text);
    }

    switch (code) {
    case -1:
    case -2: {
        text_buffer text("The schema '%s' does not exist or may be invalid.", d->md_database);
        if (!ask(text.text, "Press 'Yes' to create a new schema or press 'No' to exit."))
            return false;
        int created = 1;
        if (!create_schema(d, &created)) {
            text_buffer failed("The schema '%s' could not be created (error %i).", d->md_database, created);
            return stop(failed.text, press_ok);
        }
        return true;
    }
    case -3: {
        text_buffer text("The schema '%s' contains non-schema data or collections and cannot be used.",
                         d->md_database);
        return stop(text.text, press_ok);
    }
    case -5: {
        // A read that failed part-way says nothing about the schema: start-up ends as for
        // a server that does not answer, and nothing is offered that would drop it.
        text_buffer text("The schema '%s' could not be read.", d->md_database);
        text_buffer informative("MongoDB Error:%s\n\n%s", schema_read_error(), press_ok);
        return stop(text.text, informative.text);
    }
    case -18:
        return stop("The Schema and the Database cannot be the same database.",
                    "In the DSN, either the Server and Schema Server, or the Database and Schema "
                    "Database, must be different.");
    case -30:
        if (ask("Collections exist in the database that are not referenced in the schema.",
                "Press 'Yes' to add them to the schema or\npress 'No' to ignore them."))
            synchronise_schema(d, -30);
        return true;
    case -31:
        if (!ask("Collections are referenced in the schema that do not exist in the database.",
                 "Press 'Yes' to remove these references from the schema or \npress 'No' to exit."))
            return false;
        synchronise_schema(d, -31);
        return true;
    case -32:
        if (ask("The database and the schema do not match each other.",
                "Press 'Yes' to synchronise the schema with the databse."))
            synchronise_schema(d, -32);
        return true;
    default: {
        text_buffer text("General Error : %i", code);
        return stop(text.text, "Occurred during Schema Validation.");
    }
    }
}
