// brolix-cli over the data layer: its creation against the window's, synchronisation
// previews against synchronisations, and schema files written, read back and refused.
#include "app/message.h"
#include "app/schema_check.h"
#include "store/create.h"
#include "store/read.h"
#include "store/save.h"
#include "tests/store/store_fixture.h"

#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <sys/wait.h>

namespace {

struct CliStore : StoreTest {
    std::string other = testenv::unique_name("scli"), file = testenv::build_dir() + "/" + other + ".json";
    ~CliStore() override
    {
        testenv::drop_database(fx, other);
        std::remove(file.c_str());
    }
    // The real binary on this test's data: its exit status and what it wrote on both outputs.
    int cli(const std::string& args, const std::string& schema_name, std::string* output = nullptr,
            const std::string& schema_server = testenv::server())
    {
        std::string command = testenv::build_dir() + "/brolix-cli -ds " + testenv::server() + " -db " + data +
                              " -ss " + schema_server + " -sc " + schema_name + " " + args + " 2>&1";
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
    std::string exported(const std::string& schema_name)
    {
        std::string text;
        EXPECT_EQ(cli("export", schema_name, &text), 0) << text;
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
    // @S, @O and @D in an expected text: the schema, the other schema, the data database.
    std::string named(std::string text) const
    {
        const std::pair<const char*, std::string> names[] = {{"@S", schema}, {"@O", other}, {"@D", data}};
        for (const auto& name : names)
            text = std::regex_replace(text, std::regex(name.first), name.second);
        return text;
    }
};

TEST_F(CliStore, CreateWritesWhatTheWindowWrites)
{
    const struct {
        const char* name;
        std::vector<std::pair<const char*, const char*>> docs;
        const char* index_key;
    } rows[] = {
        {"nested documents, arrays, mixed types",
         {{"orders", R"({"no": 1, "who": {"name": "Ann", "tags": ["a", "b"]}, "total": 2.5})"},
          {"orders", R"({"no": "two", "who": {"name": "Bo"}, "lines": [{"sku": "x", "qty": 2}]})"}},
         nullptr},
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

// The preview's lines are read back as what the synchronisation must then leave.
TEST_F(CliStore, DryRunPredictsTheSynchronisation)
{
    const struct {
        const char* name;
        bool new_collection, gone_table;
        std::string preview;
    } rows[] = {
        {"a new collection", true, false,
         "Collections exist in the database that are not referenced in the schema.\n"
         "add fresh (4 columns)\nrefresh indexes of kept\nkeep virtual kept_list (1 columns)\n"},
        {"a gone collection", false, true,
         "Collections are referenced in the schema that do not exist in the database.\n"
         "remove gone (1 columns)\nkeep virtual kept_list (1 columns)\n"},
        {"both", true, true,
         "The database and the schema do not match each other.\n"
         "remove gone (1 columns)\nadd fresh (4 columns)\nrefresh indexes of kept\n"
         "keep virtual kept_list (1 columns)\n"},
    };
    const std::regex step("(remove|add|keep virtual) (\\w+) \\((\\d+) columns\\)");
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

        std::map<std::string, int> before = tables_now(), predicted = before;
        std::string preview;
        EXPECT_EQ(cli("sync --dry-run --quiet", schema, &preview), 0);
        EXPECT_EQ(preview, row.preview);
        EXPECT_EQ(tables_now(), before) << "the preview wrote nothing";
        for (std::sregex_iterator m(preview.begin(), preview.end(), step), end; m != end; ++m) {
            if ((*m)[1] == "remove")
                predicted.erase((*m)[2]);
            else
                predicted[(*m)[2]] = std::stoi((*m)[3]);
        }
        EXPECT_EQ(cli("sync --quiet", schema), 0);
        EXPECT_EQ(tables_now(), predicted);
    }
}

// Options, outcomes and their texts as a script sees them; @S holds one table.
TEST_F(CliStore, CommandsSayWhatTheyDid)
{
    put_data("items", R"({"sku": "A1"})");
    connect();
    ASSERT_TRUE(create_schema(&d, &code));
    const std::string agree = "\"database\" : \"@D\", \"schema\" : \"@S\", \"mode\" : \"edit\", \"message\" : "
                              "\"The schema '@S' agrees with the database '@D'.\"";
    const struct {
        std::string args, schema_name;
        int exit;
        std::string output;
    } rows[] = {
        {"check", "@O", 2, "The schema '@O' does not exist or may be invalid.\n'brolix-cli create' creates it.\n"},
        {"check", "@S", 0, "The schema '@S' agrees with the database '@D'.\n"},
        {"check --json", "@S", 0,
         "{ \"outcome\" : \"agree\", \"code\" : 1, " + agree + ", \"missing_from_schema\" : [  ], "
         "\"collection_gone\" : [  ] }\n"},
        {"sync --dry-run --json", "@S", 0,
         "{ \"outcome\" : \"agree\", \"code\" : 1, " + agree + ", \"remove\" : [  ], \"add\" : [  ], "
         "\"refresh_indexes\" : [  ], \"keep_virtual\" : [  ] }\n"},
        {"sync --json", "@S", 2, "brolix-cli: --json applies to sync --dry-run only\nTry 'brolix-cli --help'.\n"},
        {"export --out", "@S", 2, "brolix-cli: --out needs a file name\nTry 'brolix-cli --help'.\n"},
        {"dump", "@S", 2, "brolix-cli: dump takes table names or --all\nTry 'brolix-cli --help'.\n"},
        {"dump nothing_here", "@S", 2, "The table 'nothing_here' is not in the schema of this catalog.\n"},
        {"export --out /nonexistent/dir/x.json", "@S", 2,
         "Cannot write '/nonexistent/dir/x.json': No such file or directory\n"},
    };
    for (const auto& row : rows) {
        std::string output;
        EXPECT_EQ(cli(row.args, named(row.schema_name), &output), row.exit) << row.args;
        EXPECT_EQ(output, named(row.output)) << row.args;
    }
    std::string output;
    EXPECT_EQ(cli("export --out " + file, schema, &output), 0);
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(output + std::string(std::istreambuf_iterator<char>(in), {}), exported(schema)) << "--out";
}

TEST_F(CliStore, ExportImportExportIsIdentical)
{
    // The fixture of the window's dump test, whose expected texts serve here too.
    put_data("items", R"({"_id": {"$oid": "5f00000000000000000000aa"}, "sku": "A1", "qty": 3, "parts": ["x"]})");
    make_index("items", R"({"sku": 1})", "items_sku", true);
    connect();
    auto dumped = [&](const std::string& args, const char* expected, const std::string& name) {
        std::string out;
        EXPECT_EQ(cli(args, schema, &out), 0);
        std::ifstream in(testenv::source_dir() + "/tests/ui/data/" + expected, std::ios::binary);
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
            first = exported(schema);
    }
    ASSERT_EQ(exported(schema), first);
    dumped("dump items_parts", "dump_virtual.txt", ".items_parts");

    // Each array's documents in reverse order: the same schema, the same export.
    std::istringstream lines(first);
    std::string line, reversed, output;
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
    std::ofstream(file) << reversed;
    EXPECT_EQ(cli("import " + file, other, &output), 0);
    EXPECT_EQ(output, "Imported 2 tables, 8 columns and 4 index entries into the schema '" + other + "'.\n");
    EXPECT_EQ(exported(other), first);
    EXPECT_EQ(cli("import " + file, other, &output), 2);
    EXPECT_EQ(output, named("The schema '@O' already holds tables of the catalog '@D'.\n"
                            "--replace replaces them with the file's.\n"));
    EXPECT_EQ(cli("import --replace " + file, other), 0);
    EXPECT_EQ(exported(other), first);
    EXPECT_EQ(cli("check --quiet", other), 0);
}

TEST_F(CliStore, DamagedFileIsRefusedWithItsLineAndNothingWritten)
{
    put_data("items", R"({"sku": "A1", "qty": 3})");
    make_index("items", R"({"sku": 1})", "items_sku");
    make_index("items", R"({"qty": 1, "sku": -1})", "by_qty");
    connect();
    ASSERT_TRUE(create_schema(&d, &code));
    strings lines;
    std::string order;
    std::istringstream text(exported(schema));
    const std::regex entry("\"sql_col_name\" : \"(\\w+)\".*\"index_name\" : \"(\\w+)\"");
    std::smatch m;
    for (std::string line; std::getline(text, line); lines.push_back(line))
        if (std::regex_search(line, m, entry))
            order += m[2].str() + "." + m[1].str() + " ";
    EXPECT_EQ(order, "_id_._id by_qty.qty by_qty.sku items_sku.sku ") << "an index's entries together, in its order";
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
        {"foreign field", "\"type\" : \"TABLE\"", "\"type\"", "\"colour\" : 1, \"type\"", 0,
         "\"colour\" is not a field of tables"},
        {"field twice", "\"type\" : \"TABLE\"", "\"type\"", "\"type\" : \"VIEW\", \"type\"", 0, "given twice"},
        {"wrong type", "\"sql_name\" : \"sku\"", "\"visible\" : true", "\"visible\" : 1", 0,
         "\"visible\" must be boolean"},
        {"bad value", "\"sql_name\" : \"sku\"", "\"$numberInt\" : \"2\"", "\"$numberInt\" : \"two\"", 0,
         "columns document"},
        {"key missing", "\"sql_name\" : \"qty\"", "\"sql_name\" : \"qty\", ", "", 0, "\"sql_name\" missing"},
        {"duplicate", "\"sql_name\" : \"qty\"", "\"qty\", \"sql_type\"", "\"sku\", \"sql_type\"", 0,
         "same key as line 8 (columns_index_1)"},
        {"other catalog", "\"type\" : \"TABLE\"", "\"sql_catalog\" : \"", "\"sql_catalog\" : \"x", 0,
         "is not this catalog"},
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
        std::string damaged, output;
        for (size_t i = 0; i < lines.size() && (row.from || i <= at); ++i) {
            std::string line = lines[i];
            if (i == at && row.from)
                line.replace(line.find(row.from), std::strlen(row.from), row.to);
            damaged += line + "\n";
        }
        std::ofstream(file) << damaged;
        EXPECT_EQ(cli("import " + file, other, &output), 2);
        size_t found = output.find(file + ":" + std::to_string(at + 1 + row.reported) + ": ");
        EXPECT_TRUE(found != std::string::npos && output.find(row.says, found) != std::string::npos) << output;
        EXPECT_TRUE(testenv::collection_names(fx, other).empty()) << "something was written";
    }
}

// A schema server that refuses what the file's checks cannot foresee: the import fails.
TEST_F(CliStore, ImportRefusedByTheServer)
{
    put_data("items", R"({"sku": "A1", "qty": 3})");
    connect();
    ASSERT_TRUE(create_schema(&d, &code));
    std::ofstream(file) << exported(schema);
    const struct {
        const char* name;
        std::string config, output;
    } rows[] = {
        {"collection not created", R"({"errors": {"create:tables": [13, "not authorized"]}})",
         "The schema '@O' could not be created (error -6).\n"},
        {"document refused", R"({"refuse": {"columns": [2]}})",
         "The schema '@O' could not be written.\nE11000 duplicate key\n"},
    };
    for (const auto& row : rows) {
        testenv::ScriptedServer server;
        ASSERT_TRUE(server.start(row.config));
        std::string output;
        EXPECT_EQ(cli("import " + file, other, &output, server.address()), 2) << row.name;
        EXPECT_EQ(output, named(row.output)) << row.name;
    }
}

} // namespace
