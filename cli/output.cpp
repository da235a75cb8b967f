// What brolix-cli prints beside each command's own lines: boxes as lines, the outcome of a
// write that did not happen, the validation's words, and JSON for machines.
#include "cli/cli.h"

#include "core/records.h"
#include "startup/schema_check.h"
#include "store/read/validate.h"

#include <cstring>
#include <string>

bool is_mismatch(int code)
{
    return code == VALIDATE_COLLECTIONS_NEW || code == VALIDATE_COLLECTIONS_GONE ||
           code == VALIDATE_COLLECTIONS_NEW_AND_GONE || code == VALIDATE_OUT_OF_STEP || code == VALIDATE_UNKNOWN_FIELDS;
}

// What sync does beside the comparison's synchronisation, in a line for check.
const char* repair_hint(int code)
{
    int bare = 0;
    schema_out_of_step(&bare);
    if (code == VALIDATE_UNKNOWN_FIELDS)
        return "'brolix-cli sync' removes these fields; every table keeps its edits.";
    return bare ? "'brolix-cli sync' takes these tables again from the database and refreshes the index entries; "
                  "every other table keeps its edits."
                : "'brolix-cli sync' refreshes the index entries from the collections' indexes; every table keeps "
                  "its edits.";
}

int fail(const char* text, const char* informative)
{
    print_box(text, informative);
    return EXIT_ERROR;
}

// format with its one %s replaced by value.
std::string quoted(const char* format, const char* value)
{
    std::string text = format;
    return text.replace(text.find("%s"), 2, value);
}

std::string agree_text(const DBINFO* d)
{
    return quoted("The schema '%s' agrees with the database", d->md_database) + quoted(" '%s'.", d->database);
}

std::string outcome_text(const DBINFO* d, int code)
{
    if (code == VALIDATE_OK)
        return agree_text(d);
    start_up_text_t box;
    validation_text(d, code, &box);
    return box.text;
}

// JSON objects for machines, written by the BSON library.
void print_json(cli_t& cli, const bson_t* doc)
{
    char* json = bson_as_relaxed_extended_json(doc, nullptr);
    std::fprintf(cli.out, "%s\n", json ? json : "{ }");
    bson_free(json);
}

void json_header(bson_t* doc, const DBINFO* d, int code)
{
    BSON_APPEND_UTF8(doc, "outcome", code == VALIDATE_OK ? "agree" : is_mismatch(code) ? "mismatch" : "error");
    BSON_APPEND_INT32(doc, "code", code);
    BSON_APPEND_UTF8(doc, "database", d->database);
    BSON_APPEND_UTF8(doc, "schema", d->md_database);
    BSON_APPEND_UTF8(doc, "mode", d->mode == MODE_EDIT ? "edit" : "read-only");
    BSON_APPEND_UTF8(doc, "message", outcome_text(d, code).c_str());
}

void json_names(bson_t* doc, const char* key, const db_table_ref_t* list, int code,
                bool (*chosen)(int, const db_table_ref_t*))
{
    bson_t array;
    BSON_APPEND_ARRAY_BEGIN(doc, key, &array);
    int i = 0;
    for (; list; list = list->next)
        if (chosen(code, list)) {
            std::string key = std::to_string(i++);
            BSON_APPEND_UTF8(&array, key.c_str(), list->sql_name);
        }
    bson_append_array_end(doc, &array);
}
