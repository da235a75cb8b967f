#include "store/files/schema_file.h"

#include "core/schema_names.h"
#include "store/write/fields.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const char* const file_format = "brolix schema 1";
// The file's members by number: the collections by kind, then "format".
const int format_member = KIND_SLOTS;

struct field_type_t {
    const char* name;
    bson_type_t type;
    const char* type_name;
};

// The type every writer of the editor gives each field.
const field_type_t field_types[] = {
    {"_id", BSON_TYPE_OID, "ObjectId"},         {"sql_catalog", BSON_TYPE_UTF8, "string"},
    {"sql_schema", BSON_TYPE_UTF8, "string"},   {"sql_table", BSON_TYPE_UTF8, "string"},
    {"mongo_name", BSON_TYPE_UTF8, "string"},   {"mongo_database", BSON_TYPE_UTF8, "string"},
    {"type", BSON_TYPE_UTF8, "string"},         {"virtual_parent", BSON_TYPE_UTF8, "string"},
    {"sql_name", BSON_TYPE_UTF8, "string"},     {"sql_col_name", BSON_TYPE_UTF8, "string"},
    {"index_name", BSON_TYPE_UTF8, "string"},   {"index", BSON_TYPE_INT32, "int32"},
    {"sql_type", BSON_TYPE_INT32, "int32"},     {"mongo_type", BSON_TYPE_INT32, "int32"},
    {"length", BSON_TYPE_INT32, "int32"},       {"precision", BSON_TYPE_INT32, "int32"},
    {"scale", BSON_TYPE_INT32, "int32"},        {"virtual_array", BSON_TYPE_BOOL, "boolean"},
    {"visible", BSON_TYPE_BOOL, "boolean"},     {"primary", BSON_TYPE_BOOL, "boolean"},
    {"unique", BSON_TYPE_BOOL, "boolean"},      {"native_id", BSON_TYPE_BOOL, "boolean"},
    {"asc", BSON_TYPE_BOOL, "boolean"},
};

struct unique_key_t {
    int kind;
    const char* name;
    const char* fields[6];
};

// The unique indexes of the schema collections: their fields are required in a file.
const unique_key_t unique_keys[] = {
    {KIND_TABLES, "tables_index_1", {"sql_catalog", "sql_schema", "sql_table"}},
    {KIND_COLUMNS, "columns_index_1", {"sql_catalog", "sql_schema", "sql_table", "sql_name"}},
    {KIND_COLUMNS, "columns_index_2", {"sql_catalog", "sql_schema", "sql_table", "index"}},
    {KIND_INDEX, "index_index_1", {"sql_catalog", "sql_schema", "sql_table", "sql_col_name", "index", "index_name"}},
};

// What the driver needs of each document besides its keys.
const char* const required_fields[KIND_SLOTS][4] = {
    {},
    {"type"},
    {"mongo_name", "sql_type", "mongo_type", "visible"},
    {"primary", "unique", "asc"},
};

const field_type_t* type_of(const char* field)
{
    for (const field_type_t& t : field_types)
        if (std::strcmp(t.name, field) == 0)
            return &t;
    return nullptr;
}

// A JSON reader that checks the whole text and notes where each document of the three
// arrays begins and ends; the documents themselves are read by the BSON library.
struct element_t {
    const char* begin;
    const char* end;
    int line;
};

class file_scanner {
public:
    file_scanner(const char* text, size_t size, schema_file_problem_t* problem)
        : p(text), end(text + size), problem(problem)
    {
    }

    bool scan(std::vector<element_t> (&elements)[KIND_SLOTS])
    {
        bool seen[format_member + 1] = {};
        skip_space();
        if (!expect('{', "'{'"))
            return false;
        skip_space();
        if (p < end && *p == '}')
            return layout_missing(seen);
        for (;;) {
            skip_space();
            int member_line = line;
            std::string key;
            if (!string(&key))
                return false;
            skip_space();
            if (!expect(':', "':'"))
                return false;
            skip_space();
            int member = key == "format" ? format_member : collection_kind(key.c_str());
            if (member == KIND_NONE)
                return layout(SCHEMA_FILE_MEMBER_UNKNOWN, member_line, key);
            if (seen[member])
                return layout(SCHEMA_FILE_MEMBER_REPEATED, member_line, key);
            seen[member] = true;
            if (member == format_member) {
                std::string format;
                if (p < end && *p != '"')
                    return layout(SCHEMA_FILE_MEMBER_KIND, line, key);
                if (!string(&format))
                    return false;
                if (format != file_format)
                    return layout(SCHEMA_FILE_MEMBER_KIND, member_line, key);
            } else if (!array_of_documents(key, elements[member])) {
                return false;
            }
            skip_space();
            if (p < end && *p == ',') {
                ++p;
                continue;
            }
            if (!expect('}', "',' or '}'"))
                return false;
            break;
        }
        skip_space();
        if (p != end)
            return syntax("the end of the text");
        return layout_missing(seen);
    }

private:
    bool layout_missing(const bool (&seen)[format_member + 1])
    {
        const int order[] = {format_member, KIND_TABLES, KIND_COLUMNS, KIND_INDEX};
        for (int member : order)
            if (!seen[member])
                return layout(SCHEMA_FILE_MEMBER_MISSING, line,
                              member == format_member ? "format" : collection_name(member));
        return true;
    }

    bool array_of_documents(const std::string& key, std::vector<element_t>& out)
    {
        if (p >= end || *p != '[')
            return layout(SCHEMA_FILE_MEMBER_KIND, line, key);
        ++p;
        skip_space();
        if (p < end && *p == ']') {
            ++p;
            return true;
        }
        for (;;) {
            skip_space();
            if (p >= end || *p != '{')
                return p >= end ? syntax("a document") : layout(SCHEMA_FILE_MEMBER_KIND, line, key);
            element_t element{p, nullptr, line};
            if (!value(0))
                return false;
            element.end = p;
            out.push_back(element);
            skip_space();
            if (p < end && *p == ',') {
                ++p;
                continue;
            }
            return expect(']', "',' or ']'");
        }
    }

    bool value(int depth)
    {
        if (depth > 64)
            return syntax("less nesting");
        skip_space();
        if (p >= end)
            return syntax("a value");
        switch (*p) {
        case '{': return container('}', depth, true);
        case '[': return container(']', depth, false);
        case '"': return string(nullptr);
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: return number();
        }
    }

    bool container(char close, int depth, bool object)
    {
        ++p;
        skip_space();
        if (p < end && *p == close) {
            ++p;
            return true;
        }
        for (;;) {
            skip_space();
            if (object) {
                if (!string(nullptr))
                    return false;
                skip_space();
                if (!expect(':', "':'"))
                    return false;
            }
            if (!value(depth + 1))
                return false;
            skip_space();
            if (p < end && *p == ',') {
                ++p;
                continue;
            }
            return expect(close, object ? "',' or '}'" : "',' or ']'");
        }
    }

    bool string(std::string* text)
    {
        if (p >= end || *p != '"')
            return syntax("a string");
        ++p;
        while (p < end && *p != '"') {
            unsigned char c = static_cast<unsigned char>(*p);
            if (c < 0x20)
                return syntax("the end of the string");
            if (c == '\\') {
                ++p;
                if (p >= end || !std::strchr("\"\\/bfnrtu", *p))
                    return syntax("an escape sequence");
                if (*p == 'u') {
                    for (int i = 1; i <= 4; ++i)
                        if (p + i >= end || !std::isxdigit(static_cast<unsigned char>(p[i])))
                            return syntax("four hexadecimal digits");
                    p += 4;
                }
                if (text)
                    text->push_back('\\'); // member names never need escapes: such a name is unknown
            }
            if (text)
                text->push_back(*p);
            ++p;
        }
        if (p >= end)
            return syntax("the end of the string");
        ++p;
        return true;
    }

    bool word(const char* w)
    {
        size_t n = std::strlen(w);
        if (static_cast<size_t>(end - p) < n || std::strncmp(p, w, n) != 0)
            return syntax("a value");
        p += n;
        return true;
    }

    bool number()
    {
        auto digits = [this]() {
            const char* start = p;
            while (p < end && std::isdigit(static_cast<unsigned char>(*p)))
                ++p;
            return p > start;
        };
        if (p < end && *p == '-')
            ++p;
        if (p < end && *p == '0')
            ++p;
        else if (!digits())
            return syntax("a value");
        if (p < end && *p == '.' && (++p, !digits()))
            return syntax("a digit");
        if (p < end && (*p == 'e' || *p == 'E')) {
            ++p;
            if (p < end && (*p == '+' || *p == '-'))
                ++p;
            if (!digits())
                return syntax("a digit");
        }
        return true;
    }

    void skip_space()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) {
            if (*p == '\n')
                ++line;
            ++p;
        }
    }

    bool expect(char c, const char* what)
    {
        if (p < end && *p == c) {
            ++p;
            return true;
        }
        return syntax(what);
    }

    bool syntax(const char* expected)
    {
        problem->code = SCHEMA_FILE_SYNTAX;
        problem->line = line;
        std::snprintf(problem->detail, sizeof problem->detail, "%s", expected);
        return false;
    }

    bool layout(int code, int at, const std::string& member)
    {
        problem->code = code;
        problem->line = at;
        std::snprintf(problem->field, sizeof problem->field, "%s", member.c_str());
        return false;
    }

    const char* p;
    const char* end;
    int line = 1;
    schema_file_problem_t* problem;
};

bool refuse(schema_file_problem_t* problem, int code, int line, int kind, const char* field, const char* detail)
{
    problem->code = code;
    problem->line = line;
    std::snprintf(problem->collection, sizeof problem->collection, "%s", collection_name(kind));
    std::snprintf(problem->field, sizeof problem->field, "%s", field ? field : "");
    std::snprintf(problem->detail, sizeof problem->detail, "%s", detail ? detail : "");
    return false;
}

// Every field known, of its type, once; the key fields present; this catalog.
bool check_document(const bson_t* doc, int kind, int line, const char* catalog, schema_file_problem_t* problem)
{
    std::set<std::string> seen;
    bson_iter_t it;
    bson_iter_init(&it, doc);
    while (bson_iter_next(&it)) {
        const char* key = bson_iter_key(&it);
        if (!schema_field_allowed(kind, key))
            return refuse(problem, SCHEMA_FILE_FIELD, line, kind, key, nullptr);
        if (!seen.insert(key).second)
            return refuse(problem, SCHEMA_FILE_REPEATED, line, kind, key, nullptr);
        const field_type_t* type = type_of(key);
        if (type && bson_iter_type(&it) != type->type)
            return refuse(problem, SCHEMA_FILE_TYPE, line, kind, key, type->type_name);
    }
    for (const unique_key_t& u : unique_keys)
        if (u.kind == kind)
            for (const char* field : u.fields)
                if (field && !seen.count(field))
                    return refuse(problem, SCHEMA_FILE_MISSING, line, kind, field, nullptr);
    for (const char* field : required_fields[kind])
        if (field && !seen.count(field))
            return refuse(problem, SCHEMA_FILE_MISSING, line, kind, field, nullptr);
    std::string doc_catalog = schema_text(doc, "sql_catalog");
    if (doc_catalog != catalog)
        return refuse(problem, SCHEMA_FILE_CATALOG, line, kind, "sql_catalog", doc_catalog.c_str());
    return true;
}

std::string key_of(const bson_t* doc, const char* const (&fields)[6])
{
    std::string key;
    for (const char* field : fields)
        if (field) {
            bson_iter_t it;
            bson_iter_init_find(&it, doc, field);
            key += BSON_ITER_HOLDS_UTF8(&it) ? schema_text(doc, field) : std::to_string(bson_iter_int32(&it));
            key += '\x1f';
        }
    return key;
}

// Names the document in the problem: its table and, for a column or an index entry, its name.
void name_document(const bson_t* doc, int kind, schema_file_problem_t* problem)
{
    std::string named = "table '" + schema_text(doc, "sql_table") + "'";
    if (kind == KIND_COLUMNS)
        named += ", column '" + schema_text(doc, "sql_name") + "'";
    else if (kind == KIND_INDEX)
        named += ", index '" + schema_text(doc, "index_name") + "' on '" + schema_text(doc, "sql_col_name") + "'";
    std::snprintf(problem->document, sizeof problem->document, "%s", named.c_str());
}

// The _id's bytes (a file's _id is an ObjectId, checked before), or empty without one.
std::string id_of(const bson_t* doc)
{
    bson_iter_t it;
    if (!bson_iter_init_find(&it, doc, "_id") || !BSON_ITER_HOLDS_OID(&it))
        return std::string();
    return std::string(reinterpret_cast<const char*>(bson_iter_oid(&it)->bytes), 12);
}

// One element of the file as a document; null with the problem when the JSON library
// refused it, or the server would (text that is not UTF-8).
bson_t* parsed(const element_t& e, int kind, schema_file_problem_t* problem)
{
    bson_error_t error;
    bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(e.begin), e.end - e.begin, &error);
    // A text the server would refuse must not stop the writing half way.
    if (doc && !bson_validate_with_error(doc, BSON_VALIDATE_UTF8, &error)) {
        bson_destroy(doc);
        doc = nullptr;
    }
    if (!doc)
        refuse(problem, SCHEMA_FILE_VALUE, e.line, kind, nullptr, error.message);
    return doc;
}

// What the documents read so far name, for the checks of a document against the others:
// ids and unique keys not repeated, every document of a table the file names, every index
// entry of a column it names, every virtual table's parent among its tables.
struct cross_checks_t {
    std::set<std::string> tables_named;
    std::map<std::string, int> lines[sizeof unique_keys / sizeof unique_keys[0]];
    std::map<std::string, int> ids[KIND_SLOTS];
    std::set<std::string> columns_named; // table key, then the column's sql_name
    std::vector<std::pair<size_t, int>> virtual_tables; // position among the tables, line

    // False with the problem (and the document named) when doc breaks one.
    bool take(const bson_t* doc, int kind, int line, size_t position, schema_file_problem_t* problem)
    {
        bool ok = true;
        std::string id = id_of(doc);
        if (!id.empty()) {
            auto found = ids[kind].emplace(id, line);
            if (!found.second) {
                refuse(problem, SCHEMA_FILE_DUPLICATE, line, kind, "_id", "_id");
                problem->other_line = found.first->second;
                name_document(doc, kind, problem);
                return false;
            }
        }
        std::string table_key = key_of(doc, unique_keys[0].fields);
        for (size_t u = 0; u < sizeof unique_keys / sizeof unique_keys[0] && ok; ++u) {
            if (unique_keys[u].kind != kind)
                continue;
            auto found = lines[u].emplace(key_of(doc, unique_keys[u].fields), line);
            if (!found.second) {
                ok = refuse(problem, SCHEMA_FILE_DUPLICATE, line, kind, nullptr, unique_keys[u].name);
                problem->other_line = found.first->second;
            }
        }
        if (kind == KIND_TABLES) {
            tables_named.insert(table_key);
            bson_iter_t it;
            if (bson_iter_init_find(&it, doc, "virtual_parent"))
                virtual_tables.emplace_back(position, line);
        } else if (ok && !tables_named.count(table_key)) {
            ok = refuse(problem, SCHEMA_FILE_ORPHAN, line, kind, "sql_table", schema_text(doc, "sql_table").c_str());
        } else if (kind == KIND_COLUMNS) {
            columns_named.insert(table_key + schema_text(doc, "sql_name"));
        } else if (ok && !columns_named.count(table_key + schema_text(doc, "sql_col_name"))) {
            // An entry naming no column would be written as a damaged index.
            ok = refuse(problem, SCHEMA_FILE_NO_COLUMN, line, kind, "sql_col_name",
                        schema_text(doc, "sql_col_name").c_str());
        }
        if (!ok)
            name_document(doc, kind, problem);
        return ok;
    }

    // Tables come first in a file, but a virtual table may stand before its parent.
    bool parents_named(const schema_file_t* file, schema_file_problem_t* problem) const
    {
        for (const auto& v : virtual_tables) {
            const bson_t* doc = file->docs[KIND_TABLES][v.first].doc;
            std::string parent = schema_text(doc, "virtual_parent");
            std::string key =
                schema_text(doc, "sql_catalog") + '\x1f' + schema_text(doc, "sql_schema") + '\x1f' + parent + '\x1f';
            if (!tables_named.count(key)) {
                refuse(problem, SCHEMA_FILE_NO_PARENT, v.second, KIND_TABLES, "virtual_parent", parent.c_str());
                name_document(doc, KIND_TABLES, problem);
                return false;
            }
        }
        return true;
    }
};

} // namespace

const char* schema_file_format(void)
{
    return file_format;
}

schema_file_t* read_schema_file(const char* text, size_t size, const char* catalog, schema_file_problem_t* problem,
                                size_t document_limit)
{
    std::memset(problem, 0, sizeof *problem);
    std::vector<element_t> elements[KIND_SLOTS];
    file_scanner scanner(text, size, problem);
    if (!scanner.scan(elements))
        return nullptr;

    schema_file_t* file = new schema_file_t;
    cross_checks_t named;
    bool ok = true;
    for (int kind = KIND_TABLES; kind <= KIND_INDEX && ok; ++kind)
        for (const element_t& e : elements[kind]) {
            bson_t* doc = parsed(e, kind, problem);
            if (!doc) {
                ok = false;
                break;
            }
            file->docs[kind].push_back({doc});
            if (!check_document(doc, kind, e.line, catalog, problem)) {
                name_document(doc, kind, problem);
                ok = false;
                break;
            }
            if (doc->len > document_limit) {
                ok = refuse(problem, SCHEMA_FILE_TOO_BIG, e.line, kind, nullptr,
                            std::to_string(document_limit).c_str());
                name_document(doc, kind, problem);
                break;
            }
            if (!named.take(doc, kind, e.line, file->docs[kind].size() - 1, problem)) {
                ok = false;
                break;
            }
        }
    if (ok)
        ok = named.parents_named(file, problem);
    if (!ok) {
        free_schema_file(file);
        return nullptr;
    }
    return file;
}

void free_schema_file(schema_file_t* file)
{
    if (!file)
        return;
    for (auto& docs : file->docs)
        for (schema_file_t::doc_t& d : docs)
            bson_destroy(d.doc);
    delete file;
}

int schema_file_count(const schema_file_t* file, int kind)
{
    return file && kind >= KIND_TABLES && kind <= KIND_INDEX ? static_cast<int>(file->docs[kind].size()) : 0;
}
