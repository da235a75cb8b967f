// brolix-cli over the data layer: its creation against the window's, synchronisation
// previews against synchronisations, and schema files written, read back and refused.
#include "app/message.h"
#include "app/schema_check.h"
#include "store/create.h"
#include "store/export.h"
#include "store/read.h"
#include "store/save.h"
#include "store/sync_plan.h"
#include "store/validate.h"
#include "tests/store/store_fixture.h"

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <sys/wait.h>

namespace {

struct CliStore : StoreTest {
    std::string other = testenv::unique_name("scli");
    ~CliStore() override { testenv::drop_database(fx, other); }
    // The real binary on this test's data database: its exit status and output.
    int cli(const std::string& args, const std::string& schema_name, std::string* output = nullptr)
    {
        std::string command = testenv::build_dir() + "/brolix-cli " + args + " -ds " + testenv::server() + " -db " +
                              data + " -ss " + testenv::server() + " -sc " + schema_name + " 2>&1";
        FILE* pipe = popen(command.c_str(), "r");
        std::string text;
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        int status = pclose(pipe);
        if (output)
            *output = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string exported(DBINFO* dbinfo)
    {
        std::string text;
        EXPECT_TRUE(export_schema(dbinfo, &text, &code)) << code;
        return text;
    }
    // Each table of the schema with its number of column documents.
    std::map<std::string, int> tables_now()
    {
        std::map<std::string, int> tables;
        for (const std::string& doc : schema_docs("tables")) {
            size_t at = doc.find("sql_table:\"") + 11;
            std::string table = doc.substr(at, doc.find('"', at) - at);
            tables[table] = static_cast<int>(schema_docs("columns", "{\"sql_table\": \"" + table + "\"}").size());
        }
        return tables;
    }
};

TEST_F(CliStore, CreateWritesWhatTheWindowWrites)
{
    const struct { const char* name; std::vector<std::pair<const char*, const char*>> docs; const char* index_key; } rows[] = {
        {"nested documents, arrays, mixed types",
         {{"orders", R"({"no": 1, "who": {"name": "Ann", "tags": ["a", "b"]}, "total": 2.5})"},
          {"orders", R"({"no": "two", "who": {"name": "Bo"}, "lines": [{"sku": "x", "qty": 2}]})"}}, nullptr},
        {"compound index", {{"parts", R"({"sku": "A", "bin": 4})"}}, R"({"sku": 1, "bin": -1})"},
        {"several collections", {{"a", R"({"x": 1})"}, {"b", R"({"y": true})"}, {"c", R"({})"}}, nullptr},
        {"no collections", {}, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        testenv::drop_database(fx, other);
        for (const auto& doc : row.docs)
            put_data(doc.first, doc.second);
        if (row.index_key)
            make_index(row.docs[0].first, row.index_key, "by_key", true);
        connect();
        recorder.answer(BTN_YES);
        ASSERT_TRUE(check_schema_at_start(&d));
        ASSERT_EQ(cli("create --quiet", other), 0);
        for (const char* coll : {"tables", "columns", "index"})
            EXPECT_EQ(testenv::read_json(fx, other, coll), schema_json(coll)) << coll;
        EXPECT_EQ(cli("create", other), 2) << "an existing schema is refused";
    }
}

TEST_F(CliStore, DryRunPredictsTheSynchronisation)
{
    const struct { const char* name; bool new_collection, gone_table; int code; } rows[] = {
        {"a new collection", true, false, -30}, {"a gone collection", false, true, -31}, {"both", true, true, -32}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        put_data("kept", R"({"a": 1, "list": [1, 2]})");
        connect();
        ASSERT_TRUE(create_schema(&d, &code));
        put_schema("tables", table_doc("kept_list", R"(, "virtual_array": true, "virtual_parent": "kept")"));
        put_schema("columns", column_doc("kept_list", 1, "kept_list", "list"));
        if (row.gone_table)
            put_schema("tables", table_doc("gone")), put_schema("columns", column_doc("gone", 1, "c", "c"));
        if (row.new_collection)
            put_data("fresh", R"({"p": 1, "q": {"r": "s"}})");
        ASSERT_FALSE(validate_schema(&d, &code));
        ASSERT_EQ(code, row.code);

        std::map<std::string, int> before = tables_now(), predicted = before, refreshed;
        sync_step_t* steps = plan_synchronisation(&d, code);
        for (sync_step_t* s = steps; s; s = s->next) {
            if (s->action == SYNC_REMOVE)
                predicted.erase(s->table);
            else if (s->action == SYNC_ADD)
                predicted[s->table] = s->columns;
            else
                EXPECT_EQ(predicted[s->table], s->columns) << s->table;
            if (s->action == SYNC_REFRESH_INDEXES)
                refreshed[s->table];
        }
        free_sync_steps(steps);
        EXPECT_EQ(tables_now(), before) << "the preview wrote nothing";
        std::string printed = stdout_of([&] { synchronise_schema(&d, code); });
        EXPECT_EQ(tables_now(), predicted);
        EXPECT_TRUE(!predicted.count("gone") && predicted.count("kept_list") &&
                    predicted.count("fresh") == row.new_collection) << "gone removed, virtual kept, fresh added";
        for (auto& entry : refreshed)
            EXPECT_NE(printed.find("Updating INDEX for " + entry.first), std::string::npos) << entry.first;
        EXPECT_EQ(refreshed.size(), row.new_collection ? 1u : 0u);
    }
}

TEST_F(CliStore, ExportImportExportIsIdentical)
{
    // The fixture of the window's dump test, whose expected texts serve here too.
    put_data("items", R"({"_id": {"$oid": "5f00000000000000000000aa"}, "sku": "A1", "qty": 3, "parts": ["x"]})");
    make_index("items", R"({"sku": 1})", "items_sku", true);
    connect();
    auto dumped = [&](const std::string& args, const char* file, const std::string& name) {
        std::string out;
        EXPECT_EQ(cli(args, schema, &out), 0);
        std::ifstream in(testenv::source_dir() + "/tests/ui/data/" + file, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        out = std::regex_replace(out, std::regex("Generated     : [-0-9: ]{19}"), "Generated     : @TIME@");
        EXPECT_EQ(out, text.replace(text.find("@NAME@"), 6, data + name)) << args;
    };
    std::string first;
    for (int run = 0; run < 2; ++run) { // the second creation: new _id values, the same schema
        ASSERT_TRUE(create_schema(&d, &code));
        if (run == 1)
            dumped("dump --all", "dump_base.txt", ".items");
        select("items"); // the array column made a virtual table, as Save makes it
        db_column_t* columns = read_table_columns(&d, data.c_str(), "dbo", "items", nullptr);
        for (db_column_t* c = columns; c; c = c->next)
            c->virtual_array = std::strcmp(c->sql_name, "parts") == 0;
        save_table_columns(&d, columns);
        free_columns(columns);
        if (run == 0)
            first = exported(&d);
    }
    ASSERT_EQ(exported(&d), first);
    dumped("dump items_parts", "dump_virtual.txt", ".items_parts");

    // Each array's documents in reverse order: the same schema, the same export.
    std::istringstream lines(first);
    std::string line, reversed;
    strings docs;
    while (std::getline(lines, line)) {
        if (line.compare(0, 5, "    {") == 0) {
            docs.push_back(line.substr(0, line.rfind('}') + 1));
            continue;
        }
        for (size_t i = docs.size(); i-- > 0; docs.pop_back())
            reversed += docs[i] + (i ? ",\n" : "\n");
        reversed += line + "\n";
    }
    schema_file_problem_t problem;
    schema_file_t* file = read_schema_file(reversed.data(), reversed.size(), data.c_str(), &problem);
    ASSERT_NE(file, nullptr) << problem.line << ": " << problem.code;
    DBINFO copy;
    testenv::init_dbinfo(&copy);
    testenv::connect_dbinfo(&copy, data, other);
    EXPECT_TRUE(import_schema(&copy, file, false, &code, nullptr)) << code;
    EXPECT_EQ(exported(&copy), first);
    EXPECT_FALSE(import_schema(&copy, file, false, &code, nullptr));
    EXPECT_EQ(code, SCHEMA_IMPORT_EXISTS);
    EXPECT_TRUE(import_schema(&copy, file, true, &code, nullptr)) << code;
    EXPECT_EQ(exported(&copy), first);
    EXPECT_TRUE(validate_schema(&copy, &code)) << code;
    free_schema_file(file);
    testenv::release_dbinfo(&copy);
}

TEST_F(CliStore, DamagedFileIsRefusedWithItsLineAndNothingWritten)
{
    put_data("items", R"({"sku": "A1", "qty": 3})");
    make_index("items", R"({"sku": 1})", "items_sku");
    connect();
    ASSERT_TRUE(create_schema(&d, &code));
    strings lines;
    std::istringstream text(exported(&d));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    const struct {
        const char* name;
        const char* line_with; // the first line holding it is damaged
        const char* from;      // null: the file ends after the line
        const char* to;
        int reported; // lines after the damaged one
        const char* says;
    } rows[] = {
        {"missing comma", "\"sql_name\" : \"_id\"", "},", "}", 0, "not JSON: expected ',' or '}'"},
        {"truncated", "\"sql_name\" : \"qty\"", nullptr, nullptr, 1, "not JSON: expected ',' or ']'"},
        {"foreign field", "\"type\" : \"TABLE\"", "\"type\"", "\"colour\" : 1, \"type\"", 0, "\"colour\" is not a field of tables"},
        {"field twice", "\"type\" : \"TABLE\"", "\"type\"", "\"type\" : \"VIEW\", \"type\"", 0, "given twice"},
        {"wrong type", "\"sql_name\" : \"sku\"", "\"visible\" : true", "\"visible\" : 1", 0, "\"visible\" must be boolean"},
        {"bad value", "\"sql_name\" : \"sku\"", "\"$numberInt\" : \"2\"", "\"$numberInt\" : \"two\"", 0, "columns document"},
        {"key missing", "\"sql_name\" : \"qty\"", "\"sql_name\" : \"qty\", ", "", 0, "\"sql_name\" missing"},
        {"duplicate", "\"sql_name\" : \"qty\"", "\"qty\", \"sql_type\"", "\"sku\", \"sql_type\"", 0,
         "same key as line 8 (columns_index_1)"},
        {"other catalog", "\"type\" : \"TABLE\"", "\"sql_catalog\" : \"", "\"sql_catalog\" : \"x", 0, "is not this catalog"},
        {"orphan", "\"index_name\" : \"items_sku\"", "\"sql_table\" : \"items\"", "\"sql_table\" : \"gone\"", 0,
         "table \"gone\" is not in the file's tables"},
        {"format", "\"format\"", "schema 1", "schema 9", 0, "\"format\" must be \"brolix schema 1\""},
        {"unknown member", "\"index\": [", "\"index\"", "\"indices\"", 0, "unknown member \"indices\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        size_t at = 0;
        while (at < lines.size() && lines[at].find(row.line_with) == std::string::npos)
            ++at;
        ASSERT_LT(at, lines.size());
        std::string damaged, path = testenv::build_dir() + "/" + other + ".json", output;
        for (size_t i = 0; i < lines.size() && (row.from || i <= at); ++i) {
            std::string line = lines[i];
            if (i == at && row.from)
                line.replace(line.find(row.from), std::strlen(row.from), row.to);
            damaged += line + "\n";
        }
        std::ofstream(path) << damaged;
        EXPECT_EQ(cli("import " + path, other, &output), 2);
        size_t found = output.find(path + ":" + std::to_string(at + 1 + row.reported) + ": ");
        EXPECT_TRUE(found != std::string::npos && output.find(row.says, found) != std::string::npos) << output;
        EXPECT_TRUE(testenv::collection_names(fx, other).empty()) << "something was written";
        std::remove(path.c_str());
    }
}

} // namespace
