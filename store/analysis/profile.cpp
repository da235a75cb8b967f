#include "store/analysis/profile.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "discovery/discover.h"
#include "discovery/types.h"
#include "store/change/collection_read.h"
#include "store/read/listing.h"
#include "store/read/read.h"
#include "store/write/fields.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

// The values a column of an SQL type can show: those that would not turn it into
// another type. Nulls show as NULL; the two text types stand for each other.
bool fits(int saved, int bson_type, bool wide)
{
    if (bson_type == BSON_TYPE_NULL || bson_type == BSON_TYPE_UNDEFINED)
        return true;
    int settled = settle_sql_type(saved, bson_type, wide);
    return settled == saved || (is_text_sql_type(settled) && is_text_sql_type(saved));
}

// A saved column as a profile pairs it: by its MongoDB name, for its SQL type. A catalog of
// 10,000 tables has 300,000 of them: a column record each would be 40 MB more.
struct saved_type_t {
    std::string mongo_name;
    int sql_type;
};
typedef std::vector<saved_type_t> saved_types_t;

// The first saved column of the name.
const saved_type_t* saved_column(const saved_types_t& saved, const char* mongo_name)
{
    if (mongo_name)
        for (const saved_type_t& s : saved)
            if (s.mongo_name == mongo_name)
                return &s;
    return nullptr;
}

void pair_columns(const db_sample_t* sample, const saved_types_t& saved, table_profile_t* out);

std::string json_text(const std::string& text)
{
    char* escaped = bson_utf8_escape_for_json(text.c_str(), static_cast<ssize_t>(text.size()));
    std::string out = "\"" + std::string(escaped ? escaped : "") + "\"";
    bson_free(escaped);
    return out;
}

} // namespace

std::string profile_type_name(int bson_type)
{
    for (int i = 0; i < mongo_type_name_count; ++i)
        if (mongo_type_names[i].code == bson_type)
            return mongo_type_names[i].name;
    static const char* const others[] = {"eod", "", "", "", "", "", "undefined", "", "", "", "null", "regex",
                                         "dbPointer", "javascript", "symbol", "javascriptWithScope", "",
                                         "timestamp", "", "decimal"};
    if (bson_type >= 0 && bson_type < 20 && *others[bson_type])
        return others[bson_type];
    return bson_type == BSON_TYPE_MAXKEY ? "maxKey" : bson_type == BSON_TYPE_MINKEY ? "minKey"
                                                                                    : std::to_string(bson_type);
}

std::string profile_sql_type_name(int sql_type)
{
    for (int i = 0; i < sql_type_name_count; ++i)
        if (sql_type_names[i].code == sql_type)
            return sql_type_names[i].name;
    return sql_type == SQL_T_VARBINARY ? "SQL_VARBINARY" : std::to_string(sql_type);
}

std::string profile_type_mix(const db_column_profile_t& seen)
{
    std::vector<int> kinds; // type slots seen ("slots" is a Qt keyword)
    for (int s = 0; s < PROFILE_TYPE_SLOTS; ++s)
        if (seen.types[s])
            kinds.push_back(s);
    std::stable_sort(kinds.begin(), kinds.end(), [&](int a, int b) { return seen.types[a] > seen.types[b]; });
    std::string out;
    for (int s : kinds)
        out += (out.empty() ? "" : ", ") + profile_type_name(profile_slot_type(s)) + " " +
               std::to_string(seen.types[s]);
    return out;
}

void profile_columns(const db_sample_t* sample, const db_column_t* saved, table_profile_t* out)
{
    saved_types_t types;
    for (; saved; saved = saved->next)
        if (saved->mongo_name)
            types.push_back({saved->mongo_name, saved->sql_type});
    pair_columns(sample, types, out);
}

namespace {

void pair_columns(const db_sample_t* sample, const saved_types_t& saved, table_profile_t* out)
{
    const db_profile_t* profile = sample->profile;
    out->documents = profile ? profile->documents : 0;
    bool wide = sample->dbinfo && sample->dbinfo->default_wide;
    size_t count = 0;
    for (const db_column_t* c = sample->columns; c; c = c->next)
        ++count;
    out->columns.reserve(count); // exactly: every sampled column of every table is kept
    int32_t i = 0;
    for (const db_column_t* c = sample->columns; c; c = c->next, ++i) {
        profile_column_t column;
        column.sql_name = c->sql_name ? c->sql_name : "";
        column.mongo_name = c->mongo_name ? c->mongo_name : "";
        column.sql_type = c->sql_type;
        if (profile && i < profile->count) {
            column.seen = profile->columns[i];
            column.decided_id = column.seen.decided_id ? column.seen.decided_id : "";
            column.seen.decided_id = nullptr;
        }
        if (const saved_type_t* s = saved_column(saved, c->mongo_name)) {
            column.saved_sql_type = s->sql_type;
            for (int slot = 0; slot < PROFILE_TYPE_SLOTS; ++slot)
                if (column.seen.types[slot] && !fits(s->sql_type, profile_slot_type(slot), wide))
                    column.unfit = true;
        }
        column.rare = int64_t(column.seen.documents) * 20 < int64_t(out->documents);
        out->columns.push_back(column);
    }
}

// Beyond this many tables a profile reads the catalog's saved types at once.
const size_t one_read_from = 16;

// The saved SQL type of each column of every table of the catalog, by table, in one read:
// a profile of many tables asks the schema once, not once a table. False when the read
// stopped before its end (the lists then hold what was read).
bool read_saved_types(DBINFO* d, std::map<std::string, saved_types_t>* out)
{
    std::string table;
    saved_types_t* list = nullptr;
    auto take = [&](const bson_t* doc) {
        std::string named = schema_text(doc, "sql_table");
        if (!list || named != table) // a table's documents mostly come together
            list = &(*out)[table = std::move(named)];
        bson_iter_t it;
        list->push_back({schema_text(doc, "mongo_name"),
                         bson_iter_init_find(&it, doc, "sql_type") ? schema_number(&it) : 0});
    };
    // The last read of a name is the one paired, as it always was.
    auto newest_first = [&] {
        for (auto& entry : *out)
            std::reverse(entry.second.begin(), entry.second.end());
    };
    // The columns as validation has just read them, when it read them whole.
    bson_t* fields = BCON_NEW("sql_table", BCON_INT32(1), "mongo_name", BCON_INT32(1), "sql_type", BCON_INT32(1));
    bson_error_t error;
    bool ok = each_catalog_document(d, KIND_COLUMNS, fields, [&](const doc_ref_t& r) { take(r.doc); }, &error);
    bson_destroy(fields);
    newest_first();
    return ok;
}

} // namespace

bool profile_tables(DBINFO* d, const std::vector<std::string>& tables, std::vector<table_profile_t>* out,
                    int* code, std::string* table, bson_error_t* error)
{
    *code = PROFILE_OK;
    std::memset(error, 0, sizeof *error);
    std::vector<std::string> names = tables;
    char** listed = list_collection_names(d, d->db, error);
    if (!listed) {
        *code = PROFILE_NOT_LISTED;
        *table = d->database;
        return false;
    }
    std::vector<std::string> collections;
    for (char** p = listed; *p; ++p)
        if (!is_system_collection(*p))
            collections.push_back(*p);
    free_collection_names(d, listed);
    std::sort(collections.begin(), collections.end());
    if (names.empty())
        names = collections;
    for (const std::string& name : names)
        if (!std::binary_search(collections.begin(), collections.end(), name)) {
            *code = PROFILE_NO_SUCH_TABLE;
            *table = name;
            return false;
        }

    std::vector<const char*> read;
    for (const std::string& name : names)
        read.push_back(name.c_str());
    out->clear();
    std::map<std::string, saved_types_t> saved_types;
    const bool at_once = d->md_client && names.size() >= one_read_from;
    if (at_once)
        read_saved_types(d, &saved_types); // what it could not read is no saved type
    int total = static_cast<int>(read.size()), done = 0;
    brolix_progress(0, total, nullptr);
    read_collections(d, read, [&](int i, collection_read_t* r) {
        brolix_progress(++done, total, read[i]);
        if (!r->sample || !r->sample->items) {
            *code = PROFILE_NOT_SAMPLED;
            *table = names[i];
            if (r->sample)
                *error = r->sample->error;
            return false;
        }
        table_profile_t t;
        t.table = names[i];
        if (at_once) {
            pair_columns(r->sample, saved_types[names[i]], &t);
        } else {
            db_column_t* saved =
                d->md_client ? read_table_columns(d, d->database, SQL_SCHEMA, read[i], nullptr) : nullptr;
            profile_columns(r->sample, saved, &t);
            free_columns(saved);
        }
        out->push_back(std::move(t));
        return true;
    });
    return *code == PROFILE_OK;
}

std::string profile_text(const std::vector<table_profile_t>& tables)
{
    std::string out;
    char line[512];
    for (const table_profile_t& t : tables) {
        out += t.table + ": " + std::to_string(t.documents) + " documents sampled\n";
        for (const profile_column_t& c : t.columns) {
            double share = t.documents ? 100.0 * c.seen.documents / t.documents : 0;
            std::snprintf(line, sizeof line, "  %s: in %d (%.1f%%); %s", c.mongo_name.c_str(), c.seen.documents,
                          share, profile_type_mix(c.seen).c_str());
            out += line;
            if (c.seen.longest >= 0)
                out += "; length " + std::to_string(c.seen.shortest) + "-" + std::to_string(c.seen.longest);
            out += "; " + profile_sql_type_name(c.sql_type);
            if (c.seen.decided_before)
                out += " since " + (c.decided_id.empty() ? std::string("a document without _id")
                                                         : "_id " + c.decided_id) +
                       " (was " + profile_sql_type_name(c.seen.decided_before) + ")";
            if (c.unfit)
                out += "; does not fit the saved " + profile_sql_type_name(c.saved_sql_type);
            if (c.rare)
                out += "; rare";
            out += "\n";
        }
    }
    return out;
}

std::string profile_json(const std::vector<table_profile_t>& tables, const char* database, int strategy)
{
    std::string out = "{\"database\": " + json_text(database) + ", \"sample\": \"" +
                      sample_strategy_name(strategy) + "\", \"tables\": [";
    for (size_t ti = 0; ti < tables.size(); ++ti) {
        const table_profile_t& t = tables[ti];
        out += std::string(ti ? ", " : "") + "{\"table\": " + json_text(t.table) +
               ", \"documents\": " + std::to_string(t.documents) + ", \"columns\": [";
        for (size_t ci = 0; ci < t.columns.size(); ++ci) {
            const profile_column_t& c = t.columns[ci];
            out += std::string(ci ? ", " : "") + "{\"sql_name\": " + json_text(c.sql_name) +
                   ", \"mongo_name\": " + json_text(c.mongo_name) + ", \"documents\": " +
                   std::to_string(c.seen.documents) + ", \"types\": {";
            bool first = true;
            for (int s = 0; s < PROFILE_TYPE_SLOTS; ++s)
                if (c.seen.types[s]) {
                    out += std::string(first ? "" : ", ") + json_text(profile_type_name(profile_slot_type(s))) +
                           ": " + std::to_string(c.seen.types[s]);
                    first = false;
                }
            out += "}, \"nulls\": " + std::to_string(profile_nulls(&c.seen));
            out += ", \"shortest\": " + (c.seen.longest >= 0 ? std::to_string(c.seen.shortest) : "null");
            out += ", \"longest\": " + (c.seen.longest >= 0 ? std::to_string(c.seen.longest) : "null");
            out += ", \"sql_type\": " + json_text(profile_sql_type_name(c.sql_type));
            out += ", \"saved_sql_type\": " +
                   (c.saved_sql_type ? json_text(profile_sql_type_name(c.saved_sql_type)) : "null");
            out += ", \"decided_by\": " + (c.decided_id.empty() ? std::string("null") : c.decided_id);
            out += ", \"decided_from\": " +
                   (c.seen.decided_before ? json_text(profile_sql_type_name(c.seen.decided_before)) : "null");
            out += std::string(", \"unfit\": ") + (c.unfit ? "true" : "false");
            out += std::string(", \"rare\": ") + (c.rare ? "true" : "false") + "}";
        }
        out += "]}";
    }
    return out + "]}\n";
}
