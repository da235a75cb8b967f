// The commands of brolix-cli that check, create, synchronise, dump, export and import a
// schema: each words the codes of the store routines, with the window's texts where the
// window has one.
#include "cli/cli.h"

#include "core/records.h"
#include "startup/schema_check.h"
#include "store/change/create.h"
#include "store/change/sync.h"
#include "store/files/dump.h"
#include "store/files/export.h"
#include "store/read/read.h"
#include "store/read/sync_plan.h"
#include "store/read/listing.h"
#include "store/read/validate.h"

#include <QFile>
#include <QSaveFile>
#include <cstring>
#include <string>
#include <vector>

int check_command(cli_t& cli, DBINFO* d, int code, int status)
{
    if (cli.json) {
        bson_t doc = BSON_INITIALIZER;
        json_header(&doc, d, code);
        json_names(&doc, "missing_from_schema", d->db_collections, code, sync_adds);
        json_names(&doc, "collection_gone", d->md_tables, code, sync_removes);
        print_json(cli, &doc);
        bson_destroy(&doc);
    } else if (status == EXIT_AGREE) {
        std::fprintf(cli.out, "%s\n", outcome_text(d, code).c_str());
        for (const db_table_ref_t* c = d->db_collections; c; c = c->next)
            if (sync_adds(code, c))
                std::fprintf(cli.out, "missing from the schema: %s\n", c->sql_name);
        for (const db_table_ref_t* t = d->md_tables; t; t = t->next)
            if (sync_removes(code, t))
                std::fprintf(cli.out, "collection gone: %s\n", t->sql_name);
        if (code != VALIDATE_OUT_OF_STEP && code != VALIDATE_UNKNOWN_FIELDS && schema_out_of_step()[0])
            std::fprintf(cli.out, "%s\n", outcome_text(d, VALIDATE_OUT_OF_STEP).c_str());
        if (code == VALIDATE_UNKNOWN_FIELDS || schema_out_of_step()[0])
            std::fprintf(cli.out, "%s\n", repair_hint(code));
    }
    return status != EXIT_AGREE ? status : code == VALIDATE_OK ? EXIT_AGREE : EXIT_MISMATCH;
}

namespace {

// The steps of what is out of step after those of the comparison: of a comparison that
// refreshes every table's index entries, only the tables taken again.
sync_step_t* plan_all(DBINFO* d, int code)
{
    bool compared = code == VALIDATE_COLLECTIONS_NEW || code == VALIDATE_COLLECTIONS_GONE ||
                    code == VALIDATE_COLLECTIONS_NEW_AND_GONE;
    sync_step_t* steps = compared ? plan_synchronisation(d, code) : nullptr;
    if (!schema_out_of_step()[0])
        return steps;
    sync_step_t** tail = &steps;
    while (*tail)
        tail = &(*tail)->next;
    mark_out_of_step(d);
    sync_step_t* more = plan_synchronisation(d, VALIDATE_COLLECTIONS_NEW_AND_GONE);
    while (sync_step_t* s = more) {
        more = s->next;
        s->next = nullptr;
        if (code == VALIDATE_OUT_OF_STEP || s->action == SYNC_REMOVE || s->action == SYNC_ADD ||
            s->action == SYNC_CLEAR_LEFTOVERS) {
            *tail = s;
            tail = &s->next;
        } else {
            free_sync_steps(s);
        }
    }
    return steps;
}

int dry_run(cli_t& cli, DBINFO* d, int code)
{
    sync_step_t* steps = plan_all(d, code);
    const char* const words[] = {"", "remove", "add", "refresh indexes of", "keep virtual", "clear leftovers of"};
    const char* const keys[] = {"", "remove", "add", "refresh_indexes", "keep_virtual", "clear_leftovers"};
    if (cli.json) {
        bson_t doc = BSON_INITIALIZER;
        json_header(&doc, d, code);
        for (int action = SYNC_REMOVE; action <= SYNC_CLEAR_LEFTOVERS; ++action) {
            bson_t array;
            BSON_APPEND_ARRAY_BEGIN(&doc, keys[action], &array);
            int i = 0;
            for (const sync_step_t* s = steps; s; s = s->next)
                if (s->action == action) {
                    bson_t entry;
                    std::string key = std::to_string(i++);
                    BSON_APPEND_DOCUMENT_BEGIN(&array, key.c_str(), &entry);
                    BSON_APPEND_UTF8(&entry, "table", s->table);
                    BSON_APPEND_INT32(&entry, "columns", s->columns);
                    bson_append_document_end(&array, &entry);
                }
            bson_append_array_end(&doc, &array);
        }
        print_json(cli, &doc);
        bson_destroy(&doc);
    } else {
        std::fprintf(cli.out, "%s\n", outcome_text(d, code).c_str());
        for (const sync_step_t* s = steps; s; s = s->next)
            if (s->action == SYNC_REFRESH_INDEXES)
                std::fprintf(cli.out, "%s %s\n", words[s->action], s->table);
            else
                std::fprintf(cli.out, "%s %s (%d columns)\n", words[s->action], s->table, s->columns);
    }
    free_sync_steps(steps);
    return EXIT_AGREE;
}

int not_synchronised()
{
    return fail("The schema was not synchronised.", change_outcome_text(last_sync_outcome(), last_sync_told()).c_str());
}

} // namespace

int sync_command(cli_t& cli, DBINFO* d, int code, int)
{
    if (cli.dry_run)
        return dry_run(cli, d, code);
    std::fprintf(cli.out, "%s\n", outcome_text(d, code).c_str());
    if (code == VALIDATE_UNKNOWN_FIELDS) {
        bson_error_t error;
        if (!remove_unknown_fields(d, &error)) {
            start_up_text_t box;
            repair_failed_text(d, error.message, &box);
            return fail(box.text, box.informative);
        }
        std::fprintf(cli.out, "unknown fields removed\n");
        // Then the schema as it stands now, once: fields found again are refused.
        int status = validated(d, &code, WRITES_OUT_OF_STEP, false, false);
        if (status != EXIT_AGREE)
            return status;
        if (code != VALIDATE_OK)
            std::fprintf(cli.out, "%s\n", outcome_text(d, code).c_str());
    }
    if (code == VALIDATE_OK)
        return EXIT_AGREE;
    // The lists are rebuilt by the synchronisation: what it does is read off them first.
    std::string done;
    int removed = 0, added = 0;
    if (schema_out_of_step()[0]) {
        mark_out_of_step(d);
        for (const db_table_ref_t* t = d->md_tables; t; t = t->next)
            if (!t->matched)
                done += std::string("taken again ") + t->sql_name + "\n";
        synchronise_schema(d, VALIDATE_COLLECTIONS_NEW_AND_GONE);
        if (last_sync_outcome() != CREATE_OK)
            return not_synchronised();
        done += "index entries refreshed\n";
        code = code == VALIDATE_OUT_OF_STEP
                   ? VALIDATE_OK
                   : compare_collections_with_schema(d->db_collections, d->md_tables, d->database);
    }
    for (const db_table_ref_t* t = d->md_tables; t; t = t->next)
        if (sync_removes(code, t)) {
            done += std::string("removed ") + t->sql_name + "\n";
            ++removed;
        }
    for (const db_table_ref_t* c = d->db_collections; c; c = c->next)
        if (sync_adds(code, c)) {
            done += std::string("added ") + c->sql_name + "\n";
            ++added;
        }
    if (code != VALIDATE_OK) {
        synchronise_schema(d, code);
        if (last_sync_outcome() != CREATE_OK)
            return not_synchronised();
    }
    std::fprintf(cli.out, "%sSynchronised: added %d, removed %d.\n", done.c_str(), added, removed);
    return EXIT_AGREE;
}

int create_command(cli_t& cli, DBINFO* d, int code, int)
{
    if (code != VALIDATE_NO_COLLECTIONS && !cli.replace)
        return fail(quoted("The schema '%s' already exists.", d->md_database).c_str(),
                    "--replace drops it and creates it anew from the data.");
    int created = CREATE_OK;
    if (!create_schema(d, &created)) {
        start_up_text_t box;
        creation_failed_text(d, created, &box);
        return fail(box.text, box.informative);
    }
    int tables = 0;
    for (const db_table_ref_t* t = d->md_tables; t; t = t->next)
        ++tables;
    std::fprintf(cli.out, "%s %d.\n", quoted("The schema '%s' was created, tables:", d->md_database).c_str(), tables);
    return EXIT_AGREE;
}

namespace {

struct dump_entry_t {
    std::string table;
    std::string virtual_table;
};

// The tables of this catalog in the tree's order, each followed by its virtual tables.
std::vector<dump_entry_t> dump_entries(DBINFO* d)
{
    std::vector<dump_entry_t> entries;
    read_table_tree(d);
    db_table_vts_t* vts = read_schema_virtual_names(d, d->database, SQL_SCHEMA);
    const auto names_of = virtual_names_by_table(vts);
    for (const db_catalog_t* c = d->tables; c; c = c->next) {
        if (std::strcmp(c->name, d->database) != 0)
            continue;
        for (const db_schema_t* s = c->schemas; s; s = s->next)
            for (const db_table_t* t = s->tables; t; t = t->next) {
                entries.push_back({t->name, ""});
                auto found = names_of.find(t->name);
                for (const db_name_t* n = found == names_of.end() ? nullptr : found->second; n; n = n->next)
                    entries.push_back({t->name, n->name});
            }
    }
    free_table_vts(vts);
    release_table_tree(d);
    return entries;
}

} // namespace

int dump_command(cli_t& cli, DBINFO* d, int, int)
{
    std::vector<dump_entry_t> entries = dump_entries(d), chosen;
    for (const std::string& name : cli.names) {
        const dump_entry_t* found = nullptr;
        for (const dump_entry_t& e : entries)
            if ((e.virtual_table.empty() ? e.table : e.table + "_" + e.virtual_table) == name)
                found = &e;
        if (!found)
            return fail(quoted("The table '%s' is not in the schema of this catalog.", name.c_str()).c_str());
        chosen.push_back(*found);
    }
    if (cli.all)
        chosen = entries;

    std::time_t now = std::time(nullptr);
    std::string text;
    db_column_t* columns = nullptr;
    std::string columns_of;
    for (const dump_entry_t& e : chosen) {
        if (!columns || columns_of != e.table) {
            free_columns(columns);
            d->catalog = QString::fromLocal8Bit(d->database);
            d->schema = SQL_SCHEMA;
            d->table = QString::fromLocal8Bit(e.table.c_str());
            bson_error_t error;
            columns = read_table_columns(d, d->database, SQL_SCHEMA, e.table.c_str(), nullptr, &error);
            columns_of = e.table;
            // A part of the table's columns is no dump of it.
            if (error.domain) {
                free_columns(columns);
                return fail(quoted("The columns of '%s' could not be read to the end.", e.table.c_str()).c_str(),
                            error.message);
            }
        }
        text += schema_dump_text(columns, d->database, e.table.c_str(), e.virtual_table.c_str(), now);
    }
    free_columns(columns);

    if (!cli.has_out) {
        std::fwrite(text.data(), 1, text.size(), cli.out);
        return EXIT_AGREE;
    }
    QFile file(QString::fromLocal8Bit(cli.out_file.c_str()));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append) ||
        file.write(text.data(), text.size()) != static_cast<qint64>(text.size()))
        return fail("Cannot dump schema to log file.", quoted("File used was '%s'.", cli.out_file.c_str()).c_str());
    return EXIT_AGREE;
}

int export_command(cli_t& cli, DBINFO* d, int code, int)
{
    std::string text;
    if (!export_schema(d, &text, &code))
        return fail(quoted("The schema '%s' could not be read.", d->md_database).c_str());
    if (!cli.has_out) {
        std::fwrite(text.data(), 1, text.size(), cli.out);
        return EXIT_AGREE;
    }
    // The old file stays whole until the new one is complete.
    QSaveFile file(QString::fromLocal8Bit(cli.out_file.c_str()));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), text.size()) != static_cast<qint64>(text.size()) ||
        !file.commit())
        return fail(quoted("Cannot write '%s': ", cli.out_file.c_str()).append(file.errorString().toUtf8()).c_str());
    return EXIT_AGREE;
}

namespace {

std::string problem_reason(const schema_file_problem_t& p);

// The reason, then which document it is (a file is mended by finding that one).
std::string problem_text(const schema_file_problem_t& p)
{
    std::string reason = problem_reason(p);
    return p.document[0] ? reason + " (" + p.document + ")" : reason;
}

std::string problem_reason(const schema_file_problem_t& p)
{
    std::string field = p.field, where = std::string(p.collection) + " document: ";
    switch (p.code) {
    case SCHEMA_FILE_SYNTAX: return std::string("not JSON: expected ") + p.detail;
    case SCHEMA_FILE_MEMBER_UNKNOWN: return "unknown member \"" + field + "\"";
    case SCHEMA_FILE_MEMBER_REPEATED: return "member \"" + field + "\" given twice";
    case SCHEMA_FILE_MEMBER_MISSING: return "member \"" + field + "\" missing";
    case SCHEMA_FILE_MEMBER_KIND:
        return field == "format" ? std::string("\"format\" must be \"") + schema_file_format() + "\""
                                 : "\"" + field + "\" must be an array of documents";
    case SCHEMA_FILE_VALUE: return where + p.detail;
    case SCHEMA_FILE_FIELD: return where + "\"" + field + "\" is not a field of " + p.collection;
    case SCHEMA_FILE_REPEATED: return where + "\"" + field + "\" given twice";
    case SCHEMA_FILE_TYPE: return where + "\"" + field + "\" must be " + p.detail;
    case SCHEMA_FILE_MISSING: return where + "\"" + field + "\" missing";
    case SCHEMA_FILE_CATALOG: return where + "sql_catalog \"" + p.detail + "\" is not this catalog";
    case SCHEMA_FILE_DUPLICATE:
        return where + "same key as line " + std::to_string(p.other_line) + " (" + p.detail + ")";
    case SCHEMA_FILE_ORPHAN: return where + "table \"" + p.detail + "\" is not in the file's tables";
    case SCHEMA_FILE_TOO_BIG: return where + "larger than the " + p.detail + " bytes a server takes";
    case SCHEMA_FILE_NO_COLUMN: return where + "sql_col_name \"" + p.detail + "\" is no column of its table";
    case SCHEMA_FILE_NO_PARENT: return where + "virtual_parent \"" + p.detail + "\" is not in the file's tables";
    default: return "unreadable";
    }
}

} // namespace

bool read_import_file(cli_t& cli, DBINFO* d)
{
    const std::string& name = cli.names.front();
    QFile file(QString::fromLocal8Bit(name.c_str()));
    if (!file.open(QIODevice::ReadOnly)) {
        fail(quoted("Cannot read '%s': ", name.c_str()).append(file.errorString().toUtf8()).c_str());
        return false;
    }
    QByteArray text = file.readAll();
    schema_file_problem_t problem;
    cli.import_file = read_schema_file(text.constData(), text.size(), d->database, &problem);
    if (!cli.import_file)
        std::fprintf(stderr, "%s:%d: %s\nNothing was written.\n", name.c_str(), problem.line,
                     problem_text(problem).c_str());
    return cli.import_file != nullptr;
}

int import_command(cli_t& cli, DBINFO* d, int code, int)
{
    schema_file_problem_t problem;
    std::memset(&problem, 0, sizeof problem);
    bool ok = import_schema(d, cli.import_file, cli.replace, &code, &problem);
    int tables = schema_file_count(cli.import_file, 1), columns = schema_file_count(cli.import_file, 2),
        entries = schema_file_count(cli.import_file, 3);
    free_schema_file(cli.import_file);
    cli.import_file = nullptr;
    if (!ok) {
        start_up_text_t box;
        switch (code) {
        case SCHEMA_IMPORT_EXISTS:
            return fail(quoted("The schema '%s' already holds tables of", d->md_database)
                            .append(quoted(" the catalog '%s'.", d->database)).c_str(),
                        "--replace replaces them with the file's.");
        case SCHEMA_IMPORT_WRITE_FAILED:
        case SCHEMA_IMPORT_PENDING:
            return fail(quoted("The schema '%s' could not be written.", d->md_database).c_str(),
                        change_outcome_text(code == SCHEMA_IMPORT_PENDING ? CHANGE_PENDING : CHANGE_UNDONE,
                                            problem.detail).c_str());
        case SCHEMA_IMPORT_NO_LISTING:
            validation_text(d, VALIDATE_NOT_LISTED, &box);
            return fail(box.text, box.informative);
        default:
            creation_failed_text(d, code, &box);
            return fail(box.text, box.informative);
        }
    }
    std::fprintf(cli.out, "Imported %d tables, %d columns and %d index entries into the schema '%s'.\n", tables,
                 columns, entries, d->md_database);
    return EXIT_AGREE;
}
