// brolix-cli over the data layer: its creation against the window's, synchronisation
// previews against synchronisations, and schema files written, read back and refused.
#include "core/message.h"
#include "startup/schema_check.h"
#include "store/change/create.h"
#include "tests/store/store_fixture.h"

#include <cstring>

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
        return testenv::run_cli("-ds " + testenv::server() + " -db " + data + " -ss " + schema_server + " -sc " +
                                    schema_name + " " + args, output);
    }
    // Each table of the schema with its number of column documents.
    std::map<std::string, int> tables_now()
    {
        std::map<std::string, int> tables;
        for (const std::string& doc : schema_docs("tables")) {
            size_t at = doc.find("sql_table:\"") + 11;
            std::string table = doc.substr(at, doc.find('"', at) - at);
            tables[table] = int(schema_docs("columns", "{\"sql_table\": \"" + table + "\"}").size());
        }
        return tables;
    }
    // @S, @O, @D and @F in an expected text: the schema, the other one, the data database, the file.
    std::string named(std::string text) const
    {
        for (const auto& name : {std::make_pair("@S", schema), {"@O", other}, {"@D", data}, {"@F", file}})
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
          {"orders", R"({"no": "two", "who": {"name": "Bo"}, "lines": [{"sku": "x", "qty": 2}]})"}}, nullptr},
        {"several collections", {{"a", R"({"x": 1})"}, {"b", R"({})"}}, nullptr}, {"none", {}, nullptr},
        {"compound index", {{"parts", R"({"sku": "A", "bin": 4})"}}, R"({"sku": 1, "bin": -1})"}, // last: checked below
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
    // Both run one routine: what it writes is checked by hand once, on the compound index.
    const std::string parts = R"(sql_table:"parts" )";
    auto column = [&](const char* index, const char* name, const char* types) {
        return parts + "index:" + index + " sql_name:\"" + name + "\" " + types + " visible:true";
    };
    EXPECT_EQ(schema_docs("columns"),
              (strings{column("i1", "_id", R"(sql_type:i12 mongo_name:"_id" mongo_type:i7 length:i24)"),
                       column("i2", "sku", R"(sql_type:i12 mongo_name:"sku" mongo_type:i2 length:i1)"),
                       column("i3", "bin", R"(sql_type:i4 mongo_name:"bin" mongo_type:i16 length:i255)")}));
    const std::string entry = R"( primary:false index_name:"by_key" unique:true native_id:false asc:)";
    EXPECT_EQ(schema_docs("index", R"({"index_name": "by_key"})"),
              (strings{parts + R"(sql_col_name:"sku" index:i1)" + entry + "true",
                       parts + R"(sql_col_name:"bin" index:i2)" + entry + "false"}));
}

// A collection gone, one new, a virtual table kept: the preview read back as what sync must leave.
TEST_F(CliStore, DryRunPredictsTheSynchronisation)
{
    put_data("kept", R"({"a": 1, "list": [1, 2]})");
    connect();
    ASSERT_TRUE(create_schema(&d, &code));
    put_schema("tables", table_doc("kept_list", R"(, "virtual_array": true, "virtual_parent": "kept")"));
    put_schema("columns", column_doc("kept_list", 1, "kept_list", "list"));
    put_schema("tables", table_doc("gone"));
    put_schema("columns", column_doc("gone", 1, "c", "c"));
    put_data("fresh", R"({"p": 1, "q": {"r": "s"}})");
    put_schema("columns", column_doc("fresh", 7, "stale", "stale")); // of a write cut short
    std::map<std::string, int> before = tables_now(), predicted = before;
    std::string preview;
    EXPECT_EQ(cli("sync --dry-run --quiet", schema, &preview), 0);
    EXPECT_EQ(preview, "The database and the schema do not match each other.\nremove gone (1 columns)\n"
                       "clear leftovers of fresh (1 columns)\nadd fresh (4 columns)\nrefresh indexes of kept\n"
                       "keep virtual kept_list (1 columns)\n");
    EXPECT_EQ(tables_now(), before) << "the preview wrote nothing";
    const std::regex step("(remove|add|keep virtual) (\\w+) \\((\\d+) columns\\)");
    for (std::sregex_iterator m(preview.begin(), preview.end(), step), end; m != end; ++m) {
        if ((*m)[1] == "remove")
            predicted.erase((*m)[2]);
        else
            predicted[(*m)[2]] = std::stoi((*m)[3]);
    }
    EXPECT_EQ(cli("sync --quiet", schema), 0);
    EXPECT_EQ(tables_now(), predicted);
}

// States check reports as a mismatch and sync mends, every other table kept; fields no
// document may hold beside no tables leave a schema to create.
TEST_F(CliStore, SyncMendsWhatCheckFindsOutOfStep)
{
    const std::string step = "The schema '@S' is out of step with the database: ";
    const std::string bare = "table 'A' has no columns while its collection holds documents.";
    const struct {
        const char* change; // an update or delete command of the schema's columns
        std::string check;
        int exit;
        std::string output, synced;
        const char* dry; // the steps sync --dry-run lists
    } rows[] = {
        {R"({"update": "columns", "updates": [{"q": {"sql_table": "A"}, "u": {"$set": {"note": 1}}, "multi": true}]})",
         "check", 1, "The schema '@S' holds fields that no schema document may hold: 'note' in 2 documents of "
         "'columns'.\n'brolix-cli sync' removes these fields; every table keeps its edits.\n",
         "unknown fields removed\n", ""},
        {R"({"delete": "columns", "deletes": [{"q": {"sql_table": "A"}, "limit": 0}]})", "check", 1,
         step + bare + "\n'brolix-cli sync' takes these tables again from the database and refreshes the index "
         "entries; every other table keeps its edits.\n",
         "taken again A\nindex entries refreshed\nSynchronised: added 0, removed 0.\n",
         "remove A (0 columns)\nadd A (2 columns)\nrefresh indexes of B\n"},
        {R"({"delete": "columns", "deletes": [{"q": {"sql_table": "A"}, "limit": 0}]})", "check --json", 1,
         "{ \"outcome\" : \"mismatch\", \"code\" : -34, \"database\" : \"@D\", \"schema\" : \"@S\", \"mode\" : "
         "\"edit\", \"message\" : \"" + step + bare + "\", \"missing_from_schema\" : [  ], \"collection_gone\" : [  ] }\n",
         "taken again A\nindex entries refreshed\nSynchronised: added 0, removed 0.\n",
         "remove A (0 columns)\nadd A (2 columns)\nrefresh indexes of B\n"},
        {R"({"update": "columns", "updates": [{"q": {"sql_name": "y"}, "u": {"$set": {"sql_name": "hand_edit"}}}]})",
         "check", 1, step + "the index entry 'by_y' of table 'B' names 'y', which is not one of its columns.\n'brolix-cli "
         "sync' refreshes the index entries from the collections' indexes; every table keeps its edits.\n",
         "index entries refreshed\nSynchronised: added 0, removed 0.\n", "refresh indexes of A\nrefresh indexes of B\n"},
        {R"({"update": "columns", "updates": [{"q": {}, "u": {"$set": {"note": 1}}, "multi": true}]})", "check", 2,
         "The schema '@S' does not exist or may be invalid.\n'brolix-cli create' creates it.\n", "", ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.output);
        fresh();
        put_data("A", R"({"x": 1})");
        put_data("B", R"({"y": 1})");
        make_index("B", R"({"y": 1})", "by_y");
        connect();
        ASSERT_TRUE(create_schema(&d, &code));
        testenv::command_json(fx, schema, row.change);
        if (row.exit == 2)
            testenv::command_json(fx, schema, R"({"delete": "tables", "deletes": [{"q": {}, "limit": 0}]})");
        std::string output, text = row.output.substr(0, row.output.find('\n') + 1);
        EXPECT_EQ(cli(row.check + " --quiet", schema, &output), row.exit);
        EXPECT_EQ(output, named(row.output));
        const std::string first = row.check == "check" ? text : step + bare + "\n";
        EXPECT_EQ(cli("sync --dry-run --quiet", schema, &output), row.exit == 1 ? 0 : 2);
        EXPECT_EQ(output, named(row.exit == 1 ? first + row.dry : row.output)) << "the preview";
        EXPECT_EQ(cli("sync --quiet", schema, &output), row.exit == 1 ? 0 : 2);
        EXPECT_EQ(output, named(row.exit == 1 ? first + row.synced : row.output));
        EXPECT_EQ(cli("check --quiet", schema), row.exit == 1 ? 0 : 2);
    }
}

// Start-up's read of a schema of many documents tells its progress on standard error,
// unless --quiet; a small one tells nothing.
TEST_F(CliStore, LargeSchemaReadTellsItsProgress)
{
    put_data("a", R"({"x": 1})");
    connect();
    ASSERT_TRUE(create_schema(&d, &code));
    std::string output;
    ASSERT_EQ(cli("check", schema, &output), 0);
    EXPECT_EQ(output.find("documents read"), std::string::npos) << output;
    // A column of another catalog, its names and table numbered (@): many of them.
    const std::string column = std::regex_replace(
        std::regex_replace(schema_json("columns").front(), std::regex(data), "elsewhere"),
        std::regex("(_name\" : \"|_table\" : \")[^\"]*"), "$1@");
    std::string docs;
    for (int i = 2; i < 2 * BROLIX_READING_STEP; ++i) { // 20,000 with the two of "a": each count told once
        docs += i > 2 ? "," : "";
        for (char c : column)
            docs += c == '@' ? "c" + std::to_string(i) : std::string(1, c);
    }
    testenv::command_json(fx, schema, R"({"insert": "columns", "documents": [)" + docs + "]}");
    cli("check", schema, &output);
    EXPECT_NE(output.find("schema columns: 10000 documents read\nschema columns: 20000 documents read, all\n"),
              std::string::npos)
        << output;
    cli("check --quiet", schema, &output);
    EXPECT_EQ(output.find("documents read"), std::string::npos) << output;
}

// What creation would write now against what the schema holds; edits by hand count only with --all.
TEST_F(CliStore, DiffTellsHowTheDataDrifted)
{
    typedef std::vector<std::pair<const char*, const char*>> docs_t;
    const docs_t orders = {{"orders", R"({"_id": 1, "no": 1, "tags": ["a"]})"}};
    const struct {
        docs_t before, after; // the data the schema was made from, the data now
        const char *index, *rename, *array; // an index made on orders now; edits saved before
        std::string args;
        int exit;
        std::string output;
    } rows[] = {
        {orders, orders, nullptr, nullptr, "tags", "", 0, ""},
        {{{"orders", R"({"_id": 1, "no": 1, "old": "x"})"}}, {{"orders", R"({"_id": 1, "no": "one", "new": true})"}},
         nullptr, nullptr, nullptr, "", 1,
         "orders: new column new (Bool, SQL_TINYINT, length 255)\norders: column gone old (String, SQL_VARCHAR, "
         "length 1)\norders: column no: MongoDB type NumberInt32 -> String, SQL type SQL_INTEGER -> SQL_VARCHAR\n"},
        {{{"a", R"({"x": 1})"}}, {{"b", R"({"y": 1})"}}, nullptr, nullptr, nullptr, "--json", 1,
         "{ \"outcome\" : \"drift\", \"database\" : \"@D\", \"schema\" : \"@S\", \"all\" : false, "
         "\"differences\" : [ { \"table\" : \"a\", \"kind\" : \"table_gone\", \"virtual\" : false }, "
         "{ \"table\" : \"b\", \"kind\" : \"table_new\", \"virtual\" : false, \"columns\" : 2 } ] }\n"},
        {orders, orders, R"({"no": -1})", nullptr, nullptr, "orders", 1,
         "orders: new index entry By_no key 1: no (descending)\n"},
        {orders, orders, nullptr, "no", nullptr, "", 0, ""},
        {orders, orders, nullptr, "no", nullptr, "--all", 1, "orders: column no: SQL name number -> no\n"},
        {orders, {{"orders", R"({"_id": 1, "no": 1, "tags": "a"})"}}, nullptr, nullptr, "tags", "", 1,
         "orders: column gone tags.0 (String, SQL_VARCHAR, length 1)\norders: column tags: MongoDB type Array -> "
         "String, SQL type SQL_VARCHAR\norders_tags: virtual table gone (orders has no array tags)\n"},
        {{{"a", R"({"x": 1})"}}, {{"b", R"({"y": 1})"}}, nullptr, nullptr, nullptr, "b", 1, // only the table named
         "b: new table (2 columns)\n"},
        {orders, orders, nullptr, nullptr, nullptr, "orders nope", 2,
         "The table 'nope' is neither in the schema nor in the data.\n"},
        {orders, orders, nullptr, nullptr, nullptr, "-sc @O", 2,
         "The schema '@O' does not exist or may be invalid.\n'brolix-cli create' creates it.\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args + " " + (row.rename ? "renamed" : "") + row.output);
        fresh();
        for (const auto& doc : row.before)
            put_data(doc.first, doc.second);
        connect();
        ASSERT_TRUE(create_schema(&d, &code));
        if (row.rename || row.array)
            save_edited("orders", [&](db_column_t* c) {
                if (row.rename && !std::strcmp(c->mongo_name, row.rename))
                    rename(c, "number");
                c->virtual_array = row.array && !std::strcmp(c->mongo_name, row.array);
            });
        testenv::drop_database(fx, data);
        for (const auto& doc : row.after)
            put_data(doc.first, doc.second);
        if (row.index)
            make_index("orders", row.index, "By_no"); // listed before _id_
        strings before = schema_json("columns");
        std::string output;
        EXPECT_EQ(cli(named("diff --quiet " + row.args), schema, &output), row.exit);
        EXPECT_EQ(output, named(row.output));
        EXPECT_EQ(schema_json("columns"), before) << "diff wrote";
    }
}

// Export, import, export on a table with a virtual table and two indexes; damaged files refused.
TEST_F(CliStore, SchemaFileRoundTripsOrIsRefused)
{
    // The fixture of the window's dump test, whose expected text serves here too.
    put_data("items", R"({"_id": {"$oid": "5f00000000000000000000aa"}, "sku": "A1", "qty": 3,
                          "parts": ["x"]})");
    make_index("items", R"({"sku": 1})", "items_sku", true);
    connect();
    ASSERT_TRUE(create_schema(&d, &code));
    // The array column made a virtual table, as Save makes it.
    save_edited("items", [](db_column_t* c) { c->virtual_array = std::strcmp(c->sql_name, "parts") == 0; });
    std::string dumped; // the window's dump, byte for byte
    EXPECT_EQ(cli("dump items_parts", schema, &dumped), 0);
    std::string text = testenv::file_text(testenv::source_dir() + "/tests/ui/data/dump_virtual.txt");
    dumped = std::regex_replace(dumped, std::regex("Generated     : [-0-9: ]{19}"), "Generated     : @TIME@");
    EXPECT_EQ(dumped, text.replace(text.find("@NAME@"), 6, data + ".items_parts"));
    put_schema("index", index_doc("items", "sku", 2, "by_qty")); // a second index, written out of order
    put_schema("index", index_doc("items", "qty", 1, "by_qty"));

    std::string good, output;
    EXPECT_EQ(cli("export", schema, &good), 0); // an index's entries together, in its order:
    EXPECT_TRUE(std::regex_search(good, std::regex("\"qty\"[^\n]*\"by_qty\".*\n.*\"sku\"[^\n]*\"by_qty\"")));

    // Outcomes as a script sees them; a scripted schema server refuses what no file check foresees.
    const std::string agree = "{ \"outcome\" : \"agree\", \"code\" : 1, \"database\" : \"@D\", "
                              "\"schema\" : \"@S\", \"mode\" : \"edit\", "
                              "\"message\" : \"The schema '@S' agrees with the database '@D'.\"";
    const struct {
        std::string args, schema_name;
        int exit;
        std::string output, scripted = "";
    } commands[] = {
        {"check", "@O", 2,
         "The schema '@O' does not exist or may be invalid.\n'brolix-cli create' creates it.\n"},
        {"check --json", "@S", 0, agree + ", \"missing_from_schema\" : [  ], \"collection_gone\" : [  ] }\n"},
        {"export --out", "@S", 2, "brolix-cli: --out needs a file name\nTry 'brolix-cli --help'.\n"},
        {"export --out @F", "@S", 0, ""}, // the file the imports below read
        {"import @F", "@O", 2, "The schema '@O' could not be created (error -6).\n",
         R"({"errors": {"create:tables": [13, "not authorized"]}})"},
        {"import @F", "@O", 2, "The schema '@O' could not be written.\nThe server refused the columns document of 'items' "
                               "('parts'): E11000 duplicate key\nWhat was written was put back: the schema is as it was.\n",
         R"({"refuse": {"columns": [2]}})"},
        {"import @F", "@O", 0, "Imported 2 tables, 8 columns and 6 index entries into the schema '@O'.\n"},
        {"import @F", "@O", 2, "The schema '@O' already holds tables of the catalog '@D'.\n"
                              "--replace replaces them with the file's.\n"},
        {"import --replace @F", "@O", 0,
         "Imported 2 tables, 8 columns and 6 index entries into the schema '@O'.\n"},
        {"check -sc @O", "@S", 0, "The schema '@O' agrees with the database '@D'.\n"}, // the last -sc counts
    };
    for (const auto& row : commands) {
        testenv::ScriptedServer server;
        ASSERT_TRUE(row.scripted.empty() || server.start(row.scripted));
        const std::string& address = row.scripted.empty() ? testenv::server() : server.address();
        EXPECT_EQ(cli(named(row.args), named(row.schema_name), &output, address), row.exit) << row.args;
        EXPECT_EQ(output, named(row.output)) << row.args;
    }
    EXPECT_EQ(cli("export", other, &output), 0);
    EXPECT_EQ(output, good);
    testenv::drop_database(fx, other);

    // Each kind of damage, the line the refusal names and its reason.
    const struct {
        const char *from, *to; // the first "from" becomes "to"
        bool cut;              // and the file ends there
        std::string says;
    } rows[] = {
        {"\"_id\", \"sql_type\"", "\"_id\" \"sql_type\"", false, "8: not JSON: expected ',' or '}'"},
        {"\"qty\", \"sql_type\"", "", true, "11: not JSON: expected a value"},
        {"\"qty\", \"sql_type\"", "\"q", true, "11: not JSON: expected the end of the string"},
        {"\"type\"", "\"colour\" : 1, \"type\"", false,
         "4: tables document: \"colour\" is not a field of tables"},
        {"\"type\"", "\"type\" : \"VIEW\", \"type\"", false, "4: tables document: \"type\" given twice"},
        {"\"visible\" : true", "\"visible\" : 1", false, "8: columns document: \"visible\" must be boolean"},
        {"\"$numberInt\" : \"2\"", "\"$numberInt\" : \"two\"", false,
         "9: columns document: Number \"two\" is invalid"},
        {"\"sql_name\" : \"qty\", ", "", false, "11: columns document: \"sql_name\" missing"},
        {"\"qty\", \"sql_type\"", "\"sku\", \"sql_type\"", false,
         "12: columns document: same key as line 11 (columns_index_1)"},
        {"\"sql_catalog\" : \"", "\"sql_catalog\" : \"x", false,
         "4: tables document: sql_catalog \"x@D\" is not this catalog"},
        {"\"items\", \"sql_col_name\"", "\"gone\", \"sql_col_name\"", false,
         "18: index document: table \"gone\" is not in the file's tables"},
        {"schema 1", "schema 9", false, "2: \"format\" must be \"brolix schema 1\""},
        {"\"index\": [", "\"indices\": [", false, "17: unknown member \"indices\""},
        {",\n  \"index\": [", "\n}\n", true, "18: member \"index\" missing"},
        {"\"index\": [", "\"tables\": [], \"index\": [", false, "17: member \"tables\" given twice"},
        {"\"index\": [", "\"index\": 1, \"x\": [", false, "17: \"index\" must be an array of documents"},
    };
    for (const auto& row : rows) {
        std::string damaged = good;
        size_t at = damaged.find(row.from);
        ASSERT_NE(at, std::string::npos) << row.says;
        damaged.replace(at, std::strlen(row.from), row.to);
        damaged.resize(row.cut ? at + std::strlen(row.to) : damaged.size());
        std::ofstream(file) << damaged;
        EXPECT_EQ(cli("import " + file, other, &output), 2) << row.says;
        std::string says = named("@F:" + row.says); // then the rest of the reason and "Nothing was written."
        EXPECT_TRUE(output.rfind(says, 0) == 0 && output.find("\nNothing was written.\n") != output.npos)
            << row.says << " / " << output;
        EXPECT_TRUE(testenv::collection_names(fx, other).empty()) << row.says << ": something was written";
    }
}

} // namespace
