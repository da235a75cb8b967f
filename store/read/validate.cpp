#include "store/read/validate.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "store/read/listing.h"
#include "store/write/fields.h"
#include "store/write/journal.h"
#include "store/read/seen.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <vector>

namespace {

// The message of the read that made validation give VALIDATE_READ_FAILED.
char read_error[sizeof(bson_error_t::message)] = "";

// What validation read of the columns and index documents, for the out-of-step check:
// the keys "catalog.schema.table" of tables with columns, those keys with ".sql_name" of
// each column, and each index entry's table key, column and index name.
struct step_input_t {
    std::unordered_set<std::string> tables_with_columns;
    // Each column as a hash of its table's key and name, sorted before it is asked: a
    // schema's hundreds of thousands of columns held as strings cost tens of megabytes,
    // and only the few index entries are looked up (two names of one hash are as likely
    // as not at all).
    std::vector<size_t> columns;
    bool columns_sorted = false;
    std::string last_table, table, scratch; // the last two reused: no allocation a document
    size_t column_hash(const std::string& table_key, std::string_view column)
    {
        scratch.assign(table_key).append(1, '.').append(column);
        return std::hash<std::string>()(scratch);
    }
    bool has_column(const std::string& table_key, const std::string& column)
    {
        if (!columns_sorted)
            std::sort(columns.begin(), columns.end());
        columns_sorted = true;
        return std::binary_search(columns.begin(), columns.end(), column_hash(table_key, column));
    }
    struct entry_t {
        std::string table, column, index_name;
    };
    std::vector<entry_t> entries;
} read_docs;

// What the out-of-step check found: the tables to take again, and the text.
struct out_of_step_t {
    std::set<std::string> bare; // keys of tables without columns whose collection holds documents
    std::string text;
} step_found;

// Fields that no document of their collection may hold: each collection and field with the
// documents holding it, in the order met; the tables of those documents by collection.
struct unknown_fields_t {
    struct field_t {
        int kind;
        std::string name;
        long documents;
    };
    std::vector<field_t> fields;
    std::set<std::tuple<int, std::string, std::string, std::string>> tables; // kind, catalog, schema, table
    bool unplaced = false; // a document that names no table: no replacement of tables reaches it
    long tables_documents = 0;
    std::string text;
} unknown;

std::string table_key_of(const bson_t* doc)
{
    return schema_text(doc, "sql_catalog") + "." + schema_text(doc, "sql_schema") + "." + schema_text(doc, "sql_table");
}

// Notes the fields of doc that its collection does not allow; true when it holds one.
bool note_unknown_fields(const bson_t* doc, int kind)
{
    bson_iter_t it;
    if (!bson_iter_init(&it, doc)) {
        unknown.unplaced = true;
        return true;
    }
    // A collection's documents mostly hold the same fields in the same order: a field named
    // as in the last document found allowed is allowed without a look-up.
    static std::vector<std::string> allowed[KIND_SLOTS];
    std::vector<std::string>& last = allowed[kind >= 0 && kind < KIND_SLOTS ? kind : 0];
    std::set<std::string> here;
    size_t at = 0;
    bool same_fields = true;
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        const size_t field = at++;
        if (same_fields && field < last.size() && last[field] == key)
            continue;
        if (schema_field_allowed(kind, key)) {
            if (same_fields && here.empty()) { // still all allowed: remember it in place
                last.resize(field);
                last.emplace_back(key);
            }
            continue;
        }
        same_fields = false;
        if (!here.insert(key).second)
            continue;
        auto known = std::find_if(unknown.fields.begin(), unknown.fields.end(),
                                  [&](const unknown_fields_t::field_t& f) { return f.kind == kind && f.name == key; });
        if (known == unknown.fields.end())
            unknown.fields.push_back({kind, key, 1});
        else
            ++known->documents;
    }
    if (here.empty())
        return false;
    bson_iter_t name;
    bool placed = true;
    for (const char* field : {"sql_catalog", "sql_schema", "sql_table"})
        placed = placed && bson_iter_init_find(&name, doc, field) && BSON_ITER_HOLDS_UTF8(&name);
    if (placed)
        unknown.tables.insert(std::make_tuple(kind, schema_text(doc, "sql_catalog"), schema_text(doc, "sql_schema"),
                                              schema_text(doc, "sql_table")));
    else
        unknown.unplaced = true;
    return true;
}

void note_for_step(const bson_t* doc, int kind, const column_keys_t& keys)
{
    if (kind == KIND_COLUMNS) {
        // The names as schema_text gives them (the first of each, up to a NUL), read once.
        auto text = [&](int f) { return std::string_view(keys.has[f] ? keys.text[f] : ""); };
        std::string& table = read_docs.table;
        if (keys.fit)
            table.assign(text(0)).append(1, '.').append(text(1)).append(1, '.').append(text(2));
        else
            table = table_key_of(doc);
        const std::string other_name = keys.fit ? std::string() : schema_text(doc, "sql_name");
        read_docs.columns.push_back(read_docs.column_hash(table, keys.fit ? text(3) : other_name));
        read_docs.columns_sorted = false;
        if (table != read_docs.last_table) // a table's documents mostly come together
            read_docs.tables_with_columns.insert(read_docs.last_table = table);
        return;
    }
    bson_iter_t it;
    if (kind != KIND_INDEX || !bson_iter_init_find(&it, doc, "sql_col_name"))
        return;
    std::vector<std::string> named;
    if (BSON_ITER_HOLDS_UTF8(&it)) {
        named.push_back(bson_iter_utf8(&it, nullptr));
    } else if (BSON_ITER_HOLDS_ARRAY(&it)) {
        bson_iter_t element;
        if (bson_iter_recurse(&it, &element))
            while (bson_iter_next(&element))
                if (BSON_ITER_HOLDS_UTF8(&element))
                    named.push_back(bson_iter_utf8(&element, nullptr));
    }
    for (const std::string& column : named)
        read_docs.entries.push_back({table_key_of(doc), column, schema_text(doc, "index_name")});
}

// True when the data collection holds a document (one small request): a table without
// columns is out of step only then, an empty collection gives none.
bool collection_has_documents(DBINFO* dbinfo, const char* collection)
{
    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->client, dbinfo->database, collection);
    bson_t filter = BSON_INITIALIZER;
    bson_t* opts = BCON_NEW("limit", BCON_INT64(1), "projection", "{", "_id", BCON_INT32(1), "}");
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &filter, opts, nullptr);
    const bson_t* doc;
    bool found = mongoc_cursor_next(cursor, &doc);
    // A read that failed says nothing: the table is offered to be taken again, which
    // writes nothing before the user agrees.
    bool failed = !found && mongoc_cursor_error(cursor, nullptr);
    mongoc_cursor_destroy(cursor);
    bson_destroy(opts);
    bson_destroy(&filter);
    mongoc_collection_destroy(coll);
    return found || failed;
}

// States of the catalog that creation and synchronisation write legally and that a
// synchronisation brings in step: a table without columns (its collection empty when the
// table was made) whose collection holds documents now; and an index entry of a table that
// names no column of it. Such an entry is what a synchronisation that maps index keys
// through a fresh sample writes once a column was renamed or removed by hand (the sample
// names the field as discovery does); a refresh through the saved columns mends it. Only
// base tables whose collection is listed count: other entries no refresh reaches.
// True when something was found.
bool find_out_of_step(DBINFO* dbinfo)
{
    int more = 0;
    auto tell = [&](const std::string& what) {
        if (step_found.text.empty())
            step_found.text = what;
        else
            ++more;
    };
    std::string ours = table_key(dbinfo->database);
    const table_refs_t collections = table_refs_by_key(dbinfo->db_collections);
    const table_refs_t tables = table_refs_by_key(dbinfo->md_tables);
    auto ref_of = [](const table_refs_t& refs, const std::string& key) {
        auto found = refs.find(key);
        return found == refs.end() ? nullptr : found->second;
    };
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next) {
        if (t->is_virtual || !t->key || std::strncmp(t->key, ours.c_str(), ours.size()) != 0 ||
            read_docs.tables_with_columns.count(t->key))
            continue;
        const db_table_ref_t* c = ref_of(collections, t->key);
        if (!c || !collection_has_documents(dbinfo, c->mongo_name))
            continue;
        tell("table '" + std::string(t->sql_name) + "' has no columns while its collection holds documents");
        step_found.bare.insert(t->key);
    }
    for (const step_input_t::entry_t& e : read_docs.entries) {
        if (e.table.compare(0, ours.size(), ours) != 0 || !read_docs.tables_with_columns.count(e.table) ||
            read_docs.has_column(e.table, e.column)) // the usual entry: its column is there
            continue;
        const db_table_ref_t* t = ref_of(tables, e.table);
        if (t && !t->is_virtual && ref_of(collections, e.table))
            tell("the index entry '" + e.index_name + "' of table '" + e.table.substr(ours.size()) + "' names '" +
                 e.column + "', which is not one of its columns");
    }
    if (more)
        step_found.text += " (and " + std::to_string(more) + " more)";
    return !step_found.text.empty();
}

// The text of the unknown fields: the first found and how many more.
void tell_unknown_fields()
{
    if (unknown.fields.empty())
        return;
    const unknown_fields_t::field_t& first = unknown.fields.front();
    unknown.text = "'" + first.name + "' in " + std::to_string(first.documents) +
                   (first.documents == 1 ? " document of '" : " documents of '") + collection_name(first.kind) + "'";
    if (unknown.fields.size() > 1)
        unknown.text += " (and " + std::to_string(unknown.fields.size() - 1) + " more)";
}

// VALIDATE_OK the collection was read (its unknown fields noted), VALIDATE_DOCUMENTS_INVALID
// it is an empty tables collection, VALIDATE_READ_FAILED it could not be read to its end
// (error set). The columns documents read are kept for start-up (seen.h).
int read_schema_collection(DBINFO* dbinfo, const char* name, int kind, bson_error_t* error)
{
    std::memset(error, 0, sizeof *error);
    if (!dbinfo->md_client)
        return VALIDATE_DOCUMENTS_INVALID;
    if (kind == KIND_SYSTEM_INDEXES)
        return VALIDATE_OK;
    if (kind < KIND_TABLES || kind > KIND_INDEX)
        return VALIDATE_DOCUMENTS_INVALID;

    mongoc_collection_t* coll = mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, name);
    if (!coll)
        return VALIDATE_DOCUMENTS_INVALID;
    if (kind == KIND_COLUMNS)
        seen_columns_start(dbinfo);
    bson_t query = BSON_INITIALIZER;
    bson_t* opts = whole_collection_opts();
    mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &query, opts, nullptr);
    bson_destroy(opts);
    bool refused = false;
    long documents = 0;
    const bson_t* doc;
    // Read to the end also past a document refused: the repair names every field found.
    while (mongoc_cursor_next(cursor, &doc)) {
        brolix_reading(name, documents, false); // told once another comes: the end tells the last
        ++documents;
        if (note_unknown_fields(doc, kind))
            refused = true;
        column_keys_t keys{};
        if (kind == KIND_COLUMNS) {
            read_column_keys(doc, &keys);
            seen_columns_add(doc, keys);
        }
        note_for_step(doc, kind, keys);
    }
    // A collection that cannot be read to its end cannot be vouched for either.
    bool read_failed = mongoc_cursor_error(cursor, error);
    brolix_reading(name, documents, true);
    mongoc_cursor_destroy(cursor);
    bson_destroy(&query);
    mongoc_collection_destroy(coll);
    if (kind == KIND_COLUMNS)
        seen_columns_finish(!refused && !read_failed);

    if (read_failed)
        return VALIDATE_READ_FAILED;
    if (kind == KIND_TABLES)
        unknown.tables_documents += documents;
    // Columns gone from under the tables are out of step, told per table: no reason to
    // offer a creation that would drop every hand edit.
    return kind != KIND_TABLES || documents > 0 ? VALIDATE_OK : VALIDATE_DOCUMENTS_INVALID;
}

} // namespace

const char* schema_read_error(void)
{
    return read_error;
}

const char* schema_out_of_step(int* bare_tables)
{
    if (bare_tables)
        *bare_tables = static_cast<int>(step_found.bare.size());
    return step_found.text.c_str();
}

void mark_out_of_step(DBINFO* dbinfo)
{
    for (db_table_ref_t* t = dbinfo->md_tables; t; t = t->next)
        t->matched = !t->key || !step_found.bare.count(t->key);
    for (db_table_ref_t* c = dbinfo->db_collections; c; c = c->next)
        c->matched = !c->key || !step_found.bare.count(c->key);
}

const char* schema_unknown_fields(void)
{
    return unknown.text.c_str();
}

bool remove_unknown_fields(DBINFO* dbinfo, bson_error_t* error)
{
    std::memset(error, 0, sizeof *error);
    if (!dbinfo->md_client)
        return false;
    seen_columns_forget();
    // Each table holding such a document has all its documents of that collection replaced
    // by copies without those fields, _id kept: one change, every other document as it is.
    schema_change_t* change = schema_change_new("removal of unknown fields", dbinfo->md_database);
    bool read = true;
    for (int kind = KIND_TABLES; kind <= KIND_INDEX && read; ++kind) {
        bson_t filter = BSON_INITIALIZER, any;
        int clauses = 0;
        BSON_APPEND_ARRAY_BEGIN(&filter, "$or", &any);
        for (const auto& t : unknown.tables) {
            if (std::get<0>(t) != kind)
                continue;
            schema_change_replace_table(change, std::get<1>(t).c_str(), std::get<2>(t).c_str(),
                                        std::get<3>(t).c_str(), 1 << kind);
            bson_t clause;
            std::string key = std::to_string(clauses++);
            BSON_APPEND_DOCUMENT_BEGIN(&any, key.c_str(), &clause);
            BSON_APPEND_UTF8(&clause, "sql_catalog", std::get<1>(t).c_str());
            BSON_APPEND_UTF8(&clause, "sql_schema", std::get<2>(t).c_str());
            BSON_APPEND_UTF8(&clause, "sql_table", std::get<3>(t).c_str());
            bson_append_document_end(&any, &clause);
        }
        bson_append_array_end(&filter, &any);
        if (clauses) {
            mongoc_collection_t* coll =
                mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(kind));
            bson_t* opts = whole_collection_opts();
            mongoc_cursor_t* cursor = mongoc_collection_find_with_opts(coll, &filter, opts, nullptr);
            const bson_t* doc;
            while (mongoc_cursor_next(cursor, &doc)) {
                bson_t copy = BSON_INITIALIZER;
                bson_iter_t it;
                if (bson_iter_init(&it, doc))
                    while (bson_iter_next(&it))
                        if (schema_field_allowed(kind, bson_iter_key(&it)))
                            bson_append_iter(&copy, bson_iter_key(&it), -1, &it);
                schema_change_add(change, kind, &copy);
                bson_destroy(&copy);
            }
            read = !mongoc_cursor_error(cursor, error);
            mongoc_cursor_destroy(cursor);
            bson_destroy(opts);
            mongoc_collection_destroy(coll);
        }
        bson_destroy(&filter);
    }
    int outcome = 0;
    bool applied = read && schema_change_apply(dbinfo, change, &outcome, error);
    schema_change_free(change);
    return applied;
}

void check_index_access(DBINFO* dbinfo)
{
    if (dbinfo->mode == MODE_VIEW_ONLY || !dbinfo->md_client)
        return;
    mongoc_collection_t* coll =
        mongoc_client_get_collection(dbinfo->md_client, dbinfo->md_database, collection_name(KIND_INDEX));
    bson_t reply;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    bool ok = mongoc_collection_validate(coll, nullptr, &reply, &error);
    bson_destroy(&reply);
    mongoc_collection_destroy(coll);
    if (ok) {
        dbinfo->mode = MODE_EDIT;
        return;
    }
    // A missing collection is not a matter of rights.
    if (std::strcmp(error.message, "ns not found") == 0 || std::strstr(error.message, "does not exist to validate"))
        return;
    dbinfo->mode = MODE_READ_ONLY;
}

bool validate_schema(DBINFO* dbinfo, int* code)
{
    // The lists of an earlier run are released rather than dropped.
    free_table_refs(dbinfo->db_collections);
    dbinfo->db_collections = nullptr;
    free_table_refs(dbinfo->md_tables);
    dbinfo->md_tables = nullptr;
    *code = VALIDATE_OK;

    if (std::strcmp(dbinfo->database, dbinfo->md_database) == 0 &&
        std::strcmp(dbinfo->server, dbinfo->md_server) == 0) {
        *code = VALIDATE_SAME_DATABASE;
        return false;
    }

    bson_error_t error;
    read_error[0] = '\0';
    read_docs = step_input_t();
    step_found = out_of_step_t();
    unknown = unknown_fields_t();
    char** names = list_collection_names(dbinfo, dbinfo->md_db, &error);
    if (!names) {
        *code = VALIDATE_NOT_LISTED;
    } else {
        int walked = 0;
        for (char** p = names; *p; ++p) {
            ++walked;
            int kind = schema_collection_kind(*p);
            if (kind == KIND_NONE) {
                *code = VALIDATE_FOREIGN_COLLECTION;
                break;
            }
            // A read that failed says nothing about the documents: not
            // VALIDATE_DOCUMENTS_INVALID, which offers to create the schema anew.
            int checked = read_schema_collection(dbinfo, *p, kind, &error);
            if (checked != VALIDATE_OK) {
                *code = checked;
                break;
            }
        }
        free_collection_names(dbinfo, names);
        // Fields the driver may not read: removed where tables (and their edits) would be
        // lost to a creation, and where a replacement of tables reaches every such document.
        if (*code == VALIDATE_OK && (!unknown.fields.empty() || unknown.unplaced)) {
            *code = unknown.tables_documents > 0 && !unknown.unplaced ? VALIDATE_UNKNOWN_FIELDS
                                                                      : VALIDATE_DOCUMENTS_INVALID;
            tell_unknown_fields();
        }
        if (walked == 0 && *code == VALIDATE_OK)
            *code = VALIDATE_NO_COLLECTIONS;
        if (walked > 0 && *code == VALIDATE_OK) {
            bson_error_t listing;
            dbinfo->db_collections = list_data_collections(dbinfo, &listing);
            dbinfo->md_tables = list_schema_tables(dbinfo, &error);
            if (listing.domain) {
                *code = VALIDATE_DATA_NOT_LISTED;
                error = listing;
            } else if (error.code || error.domain) {
                *code = VALIDATE_READ_FAILED;
            } else {
                *code = compare_collections_with_schema(dbinfo->db_collections, dbinfo->md_tables, dbinfo->database);
                if (find_out_of_step(dbinfo) && *code == VALIDATE_OK)
                    *code = VALIDATE_OUT_OF_STEP;
            }
        }
        if (*code == VALIDATE_READ_FAILED || *code == VALIDATE_DATA_NOT_LISTED)
            bson_strncpy(read_error, error.message, sizeof read_error);
    }

    check_index_access(dbinfo);
    return *code == VALIDATE_OK;
}

