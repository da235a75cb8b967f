// Reading and validating the schema database, on the test servers.
#include "discovery/discover.h"
#include "store/read.h"
#include "store/validate.h"

#include "tests/store/store_fixture.h"

#include <cstring>

namespace {

struct Read : StoreTest {
    db_name_t* vt = nullptr;
    db_column_t* columns = nullptr;
    ~Read() override { free_columns(columns), free_names(vt); }
    void read(const std::string& table)
    {
        free_columns(columns), free_names(vt);
        columns = read_table_columns(&d, data.c_str(), "dbo", table.c_str(), &vt);
    }
    strings sql_names() const
    {
        strings out;
        for (const db_column_t* c = columns; c; c = c->next)
            out.push_back(c->sql_name ? c->sql_name : "(null)");
        return out;
    }
    const db_column_t* column(const std::string& sql_name) const
    {
        for (const db_column_t* c = columns; c; c = c->next)
            if (c->sql_name && sql_name == c->sql_name)
                return c;
        return nullptr;
    }
    // Each entry as "name:index:index_name:flags".
    static strings entries(const db_index_t* e)
    {
        strings out;
        for (; e; e = e->next)
            out.push_back(std::string(e->sql_col_name) + ":" + std::to_string(e->index) + ":" +
                          (e->index_name ? e->index_name : "(none)") + ":" + (e->primary ? "p" : "-") +
                          (e->unique ? "u" : "-") + (e->native_id ? "n" : "-") + (e->asc ? "a" : "-") +
                          (e->from_schema ? "s" : "-"));
        return out;
    }
    std::string doc(const std::string& table, const std::string& rest) const
    {
        return "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"" + table + "\"" + rest + "}";
    }
};

TEST_F(Read, TableTreeAndTablesWithoutSchema)
{
    connect();
    EXPECT_TRUE(load_tables_without_schema(&d, &code) && code == 1 && !d.tables) << "an empty database";
    for (const char* c : {"A", "system.js", "t"})
        put_data(c, "{}");
    EXPECT_TRUE(load_tables_without_schema(&d, &code));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(tree(), (strings{data + "/dbo/A", data + "/dbo/t"}));

    for (const char* t : {"A", "B", "A", "a"})
        put_schema("tables", table_doc(t));
    put_schema("tables", doc("A_items", ", \"virtual_array\": true, \"virtual_parent\": \"A\""));
    put_schema("tables", doc("E", ", \"virtual_array\": false"));
    put_schema("tables", "{\"sql_catalog\": \"" + data + "\", \"sql_table\": \"C\"}"); // no schema: an empty name
    read_table_tree(&d);
    read_table_tree(&d); // replaces the tree
    EXPECT_EQ(tree(), (strings{data + "/dbo/A", data + "/dbo/B", data + "/dbo/a", data + "/dbo/E", data + "//C"}));
}

TEST_F(Read, ColumnsSortedWithTheIdentityFirst)
{
    connect();
    put_schema("columns", column_doc("T", 1, "city", "city"));
    put_schema("columns", column_doc("T", 2, "_id", "_id"));
    put_schema("columns", column_doc("T", 3, "Zip", "zip"));
    put_schema("columns", column_doc("Other", 1, "aaa", "aaa"));
    put_schema("columns", column_doc("One", 1, "_id", "_id"));
    for (const char* c : {"a", "b", "z_id"})
        put_schema("columns", column_doc("Two", 1, c, c[0] == 'z' ? "_id" : c));
    const struct { const char* table; strings names; } rows[] = {
        {"T", {"_id", "Zip", "city"}}, {"One", {"_id"}}, {"Two", {"z_id", "a", "b"}}};
    for (const auto& row : rows) {
        read(row.table);
        EXPECT_EQ(sql_names(), row.names) << row.table;
        const db_column_t* last = nullptr;
        for (const db_column_t* c = columns; c; last = c, c = c->next)
            EXPECT_EQ(c->prev, last) << row.table << " " << c->sql_name;
    }
    read("T");
    EXPECT_EQ(std::strspn(columns->id, "0123456789abcdef"), 24u);
    EXPECT_EQ(columns->id[24], '\0');
    EXPECT_TRUE(columns->index == 2 && column("Zip")->length == 40 && column("Zip")->sql_type == 12 &&
                column("Zip")->visible && !vt);
}

TEST_F(Read, NumbersOfOtherTypes)
{
    connect();
    const struct { const char* value; int expected; } rows[] = {
        {"40", 40}, {"40.9", 40}, {"-3.7", -3}, {"{\"$numberLong\": \"7\"}", 0}, {"\"12\"", 0}, {"true", 0},
        {"null", 0}, {"1e300", 2147483647}};
    for (const auto& row : rows) {
        std::string v = row.value;
        put_schema("columns", doc("T", ", \"index\": " + v + ", \"sql_name\": \"c" + std::to_string(&row - rows) + "\", \"sql_type\": " + v +
                                       ", \"mongo_type\": " + v + ", \"length\": " + v + ", \"precision\": " + v +
                                       ", \"scale\": " + v));
    }
    read("T");
    for (const auto& row : rows) {
        const db_column_t* c = column("c" + std::to_string(&row - rows));
        ASSERT_NE(c, nullptr) << row.value;
        for (int got : {c->index, c->sql_type, c->mongo_type, c->length, c->precision, c->scale})
            EXPECT_EQ(got, row.expected) << row.value;
        EXPECT_TRUE(c->visible) << "absent: visible";
    }
}

TEST_F(Read, VirtualTableNamesPerTableAndOfTheWholeSchema)
{
    connect();
    const std::string flag = ", \"virtual_array\": ";
    put_schema("columns", column_doc("T", 1, "tags", "tags", flag + "true"));
    put_schema("columns", column_doc("T", 2, "items", "items", flag + "true"));
    put_schema("columns", column_doc("T", 3, "z_id", "_id", flag + "true"));
    put_schema("columns", column_doc("T", 4, "flag", "flag", flag + "1"));
    put_schema("columns", column_doc("T", 5, "notes", "notes", flag + "false"));
    put_schema("columns", doc("T", ", \"sql_name\": \"hidden\", \"visible\": false"));
    put_schema("columns", column_doc("U", 1, "rows", "rows", flag + "true"));
    put_schema("columns", column_doc("None", 1, "plain", "plain"));
    put_schema("columns", doc("V", flag + "true")); // no name: no virtual table
    put_schema("columns", "{\"sql_catalog\": \"other\", \"sql_schema\": \"dbo\", \"sql_table\": \"T\", "
                          "\"sql_name\": \"elsewhere\", \"virtual_array\": true}");
    read("T");
    EXPECT_EQ(names(vt), (strings{"items", "tags", "z_id"}));
    EXPECT_TRUE(column("items")->virtual_array && !column("notes")->virtual_array && !column("hidden")->visible);
    db_table_vts_t* all = read_schema_virtual_names(&d, data.c_str(), "dbo");
    for (const char* table : {"T", "U", "V", "None", "Missing"}) {
        db_name_t* alone = read_virtual_table_names(&d, data.c_str(), "dbo", table);
        EXPECT_EQ(names(virtual_names_of(all, table)), names(alone)) << table;
        free_names(alone);
    }
    EXPECT_EQ(names(virtual_names_of(all, "U")), strings{"rows"});
    EXPECT_EQ(virtual_names_of(all, "None"), nullptr);
    free_table_vts(all);

    d.md_client = nullptr; // no schema connection: nothing read
    read("T");
    EXPECT_TRUE(!columns && !vt && !read_virtual_table_names(&d, data.c_str(), "dbo", "T") &&
                !read_schema_virtual_names(&d, data.c_str(), "dbo") && !read_column_indexes(&d, "tags"));
}

TEST_F(Read, IndexEntriesOfTheSelectedTable)
{
    connect();
    for (const char* c : {"a", "b", "c"})
        put_schema("columns", column_doc("T", c[0] - 'a' + 1, c, c));
    put_schema("index", index_doc("T", "a", 1, "ab_index"));
    put_schema("index", index_doc("T", "b", 2, "ab_index"));
    put_schema("index", index_doc("Other", "a", 1, "other_index"));
    put_schema("index", doc("T", ", \"sql_col_name\": \"a\", \"index\": 1, \"primary\": true, \"index_name\": "
                                 "\"a_only\", \"unique\": true, \"native_id\": true, \"asc\": true"));
    put_schema("index", doc("T", ", \"sql_col_name\": \"b\", \"asc\": 1")); // no name nor index, asc no boolean
    // An array naming a column matches as the server's equality does, once.
    put_schema("index", doc("T", ", \"sql_col_name\": [\"c\", \"a\", \"c\"], \"index\": 9, \"index_name\": \"arr\""));
    select("T");
    read("T");
    EXPECT_EQ(entries(column("a")->indexes), (strings{"a:1:ab_index:---as", "a:1:a_only:punas", "a:9:arr:----s"}));
    EXPECT_EQ(entries(column("b")->indexes), (strings{"b:2:ab_index:---as", "b:0:(none):----s"}));
    EXPECT_EQ(entries(column("c")->indexes), (strings{"c:9:arr:----s"}));
    for (const char* name : {"a", "b", "c", "zz"}) { // the same as one query per column
        db_index_t* one = read_column_indexes(&d, name);
        EXPECT_EQ(entries(one), entries(column(name) ? column(name)->indexes : nullptr)) << name;
        free_indexes(one);
    }
    select("Other"); // the entries follow the selected table, not the one read
    read("T");
    EXPECT_EQ(entries(column("a")->indexes), (strings{"a:1:other_index:---as"}));
    EXPECT_EQ(column("b")->indexes, nullptr);
}

// Documents another tool wrote with a value of the wrong type in every field.
TEST_F(Read, WrongTypesInEveryField)
{
    connect();
    put_data("A", "{}");
    put_schema("tables", "{\"sql_catalog\": 1, \"sql_schema\": true, \"sql_table\": {\"x\": 1}, \"mongo_name\": [1], "
                         "\"mongo_database\": 2.5, \"type\": null, \"virtual_array\": \"yes\", \"virtual_parent\": 3}");
    put_schema("tables", table_doc("A"));
    put_schema("columns", doc("A", ", \"_id\": \"not an oid\", \"index\": \"1\", \"sql_name\": 5, \"sql_type\": \"12\", "
                                   "\"mongo_name\": {\"a\": 1}, \"mongo_type\": false, \"length\": [40], \"precision\": "
                                   "\"2\", \"scale\": {}, \"visible\": \"no\", \"virtual_array\": 1, \"virtual_parent\": 7"));
    put_schema("columns", column_doc("A", 2, "good", "good"));
    put_schema("columns", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": 1, \"sql_table\": \"A\", "
                          "\"sql_name\": \"stray\"}"); // a selector of the wrong type: not the table's
    put_schema("index", doc("A", ", \"sql_col_name\": \"good\", \"index\": \"1\", \"primary\": \"yes\", \"index_name\": "
                                 "4, \"unique\": 1, \"native_id\": null, \"asc\": \"up\""));
    put_schema("index", doc("A", ", \"sql_col_name\": 12, \"index\": 1"));
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -31); // the odd tables document names ".." with empty names
    ASSERT_NE(d.md_tables, nullptr);
    EXPECT_STREQ(d.md_tables->key, "..");
    EXPECT_TRUE(!*d.md_tables->sql_name && !*d.md_tables->mongo_name && !d.md_tables->is_virtual);
    read_table_tree(&d);
    EXPECT_EQ(tree(), (strings{"//", data + "/dbo/A"}));
    select("A");
    read("A");
    ASSERT_EQ(sql_names(), (strings{"(null)", "good"})); // the server orders numbers before strings
    const db_column_t* odd = columns;
    EXPECT_TRUE(!odd->id[0] && !odd->mongo_name && !odd->virtual_parent && !odd->indexes && odd->visible &&
                !odd->virtual_array && !vt);
    for (int got : {odd->index, odd->sql_type, odd->mongo_type, odd->length, odd->precision, odd->scale})
        EXPECT_EQ(got, 0);
    EXPECT_EQ(entries(column("good")->indexes), (strings{"good:0:(none):----s"}));
}

TEST_F(Read, DocumentOfFifteenMebibytes)
{
    connect();
    put_data("A", "{}");
    put_schema("tables", table_doc("A"));
    std::string big(15u << 20, 'x');
    put_schema("columns", column_doc("A", 1, "big", big));
    put_schema("columns", column_doc("A", 2, "_id", "_id"));
    EXPECT_TRUE(validate_schema(&d, &code));
    read("A");
    ASSERT_EQ(sql_names(), (strings{"_id", "big"}));
    EXPECT_EQ(std::strlen(column("big")->mongo_name), big.size());
}

// Validation over a fresh pair of databases per row: the code, and the mode the index
// collection's check leaves.
TEST_F(Read, Validation)
{
    auto of_a = [this] {
        put_data("A", R"({"name": "x"})");
        put_schema("tables", table_doc("A"));
        put_schema("columns", column_doc("A", 1, "name", "name"));
        put_schema("index", index_doc("A", "name", 1, "_id_"));
    };
    const std::string vt = ", \"virtual_array\": false, \"virtual_parent\": \"p\"";
    auto a_only = [&] { put_data("A", "{}"), put_schema("tables", table_doc("A")); };
    const int RO = MODE_READ_ONLY, EDIT = MODE_EDIT;
    const struct { const char* name; int code, mode; std::function<void()> setup; } rows[] = {
        {"same database, same server", -18, RO, [&] { schema = data; }},
        {"same name on two servers", -1, RO, [&] { schema = data, connect(testenv::server(), testenv::server2()); }},
        {"empty schema", -1, RO, [] {}},
        {"tables empty", -2, RO, [&] { put_schema("columns", column_doc("A", 1, "n", "n")),
                                       make_collection(fx, schema, "tables"); }},
        {"columns empty", -2, RO, [&] { a_only(), make_collection(fx, schema, "columns"); }},
        {"index empty passes", 1, EDIT, [&] { a_only(), put_schema("columns", column_doc("A", 1, "n", "n")),
                                              make_collection(fx, schema, "index"); }},
        {"only tables", 1, RO, a_only},
        {"tables field outside the list", -2, EDIT, [&] { put_data("B", "{}"), of_a(),
                                                          put_schema("tables", table_doc("B", ", \"owner\": 1")); }},
        {"columns field outside the list", -2, EDIT, [&] { put_schema("columns", column_doc("A", 2, "m", "m", ", \"x\": 1")),
                                                           of_a(); }},
        {"index field outside the list", -2, EDIT, [&] { put_schema("index", index_doc("A", "n", 2, "o", ", \"x\": 1")),
                                                         of_a(); }},
        {"every allowed field", 1, EDIT, [&] {
             put_data("A", "{}"), put_schema("tables", table_doc("A", vt));
             put_schema("columns", column_doc("A", 1, "n", "n", ", \"precision\": 2, \"scale\": 1" + vt));
             put_schema("index", index_doc("A", "n", 1, "i", vt)); }},
        {"field outside the list behind many replies", -2, EDIT, [&] {
             of_a();
             for (int i = 2; i < 700; ++i)
                 put_schema("columns", column_doc("A", i, "n" + std::to_string(i), "n"));
             put_schema("columns", column_doc("A", 700, "last", "last", ", \"comment\": 1")); }},
        {"a foreign collection", -3, EDIT, [&] { of_a(), put_schema("notes", "{}"); }},
        {"system.indexes tolerated", 1, EDIT, [&] { of_a(), put_schema("system.indexes", "{}"); }},
        {"a collection not in the schema", -30, EDIT, [&] { of_a(), put_data("B", "{}"), put_data("system.js", "{}"); }},
        {"a table without collection", -31, EDIT, [&] {
             of_a(), put_schema("tables", table_doc("B"));
             put_schema("tables", doc("A_x", ", \"mongo_name\": \"A\", \"virtual_array\": true")); }},
        {"both out of step", -32, EDIT, [&] { of_a(), put_schema("tables", table_doc("B")), put_data("C", "{}"); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh();
        d.mode = MODE_READ_ONLY;
        row.setup(); // before connecting: a row may name the databases or the servers
        if (!d.client)
            connect();
        EXPECT_EQ(validate_schema(&d, &code), row.code == 1);
        EXPECT_EQ(code, row.code);
        EXPECT_EQ(d.mode, row.mode);
        EXPECT_TRUE(row.code != 1 || validate_schema(&d, &code)) << "a second run releases the first's lists";
    }
}

TEST_F(Read, ComparisonListsOfValidation)
{
    connect();
    put_data("A", "{}"), put_data("B", "{}"), put_data("system.js", "{}");
    put_schema("tables", table_doc("A"));
    put_schema("tables", table_doc("gone"));
    put_schema("tables", doc("A_items", ", \"mongo_name\": \"A\", \"virtual_array\": true"));
    EXPECT_FALSE(validate_schema(&d, &code));
    EXPECT_EQ(code, -32);
    auto keys = [](const db_table_ref_t* r, bool matched_only) {
        strings out;
        for (; r; r = r->next)
            if (!matched_only || r->matched)
                out.push_back(std::string(r->key) + (r->is_virtual ? " virtual " + std::string(r->mongo_name) : ""));
        return out;
    };
    EXPECT_EQ(keys(d.db_collections, false), (strings{data + ".dbo.A", data + ".dbo.B"}));
    EXPECT_EQ(keys(d.db_collections, true), strings{data + ".dbo.A"});
    EXPECT_EQ(keys(d.md_tables, false), (strings{data + ".dbo.A", data + ".dbo.gone", data + ".dbo.A_items virtual A"}));
    EXPECT_EQ(keys(d.md_tables, true), strings{data + ".dbo.A"});

    d.mode = MODE_READ_ONLY; // FerretDB: "Collection '...index' does not exist to validate."
    check_index_access(&d);
    EXPECT_EQ(d.mode, MODE_READ_ONLY);
    bson_error_t error;
    char** listed = list_collection_names(&d, d.md_db, &error);
    ASSERT_NE(listed, nullptr) << error.message;
    EXPECT_EQ(listed[0] ? std::string(listed[0]) : "", "tables");
    EXPECT_EQ(listed[1], nullptr);
    free_collection_names(&d, listed);
    testenv::drop_database(fx, schema);
    listed = list_collection_names(&d, d.md_db, &error);
    EXPECT_TRUE(listed && !listed[0] && !d.legacy_collection_list) << "no collections: an empty list";
    free_collection_names(&d, listed);
}

TEST_F(Read, CollectionOfTable)
{
    connect();
    put_schema("tables", table_doc("orders"));
    // A SQL name other than its collection's: its key names the SQL table, so it never fits.
    put_schema("tables", doc("Customers", ", \"mongo_name\": \"cust_v2\""));
    d.md_tables = list_schema_tables(&d);
    const struct { const char* catalog; const char* table; int mode; const char* out; } rows[] = {
        {"", "Customers", MODE_EDIT, nullptr}, {"", "orders", MODE_EDIT, "orders"},
        {"othercatalog", "orders", MODE_EDIT, nullptr}, {"", "nosuch", MODE_EDIT, nullptr},
        {"", "Customers", MODE_VIEW_ONLY, "Customers"}};
    for (const auto& row : rows) {
        char out[DBINFO_TEXT] = "unchanged";
        d.mode = row.mode;
        EXPECT_EQ(collection_of_table(&d, *row.catalog ? row.catalog : data.c_str(), row.table, out), !!row.out);
        EXPECT_STREQ(out, row.out ? row.out : "unchanged") << row.table;
    }
}

TEST(Compare, Verdicts)
{
    // Keys, a trailing '*' marking a virtual table.
    const struct { strings collections, tables; int code; } rows[] = {
        {{"A"}, {"A"}, 1}, {{}, {}, 1}, {{}, {"A"}, -31}, {{}, {"A_x*"}, 1}, {{"A", "B"}, {"A"}, -30},
        {{"A"}, {"A", "B", "A_items*"}, -31}, {{"A", "C"}, {"A", "B"}, -32},
        {{"A"}, {"A", "A"}, -31},  // two tables of one key: the second stays unmatched
        {{"a"}, {"A"}, -32},       // names compared exactly
        {{"A_x"}, {"A_x*"}, 1}};   // a virtual table can match a collection of its name
    auto refs = [](const strings& keys) {
        db_table_ref_t* head = nullptr;
        for (auto k = keys.rbegin(); k != keys.rend(); ++k) {
            auto* r = static_cast<db_table_ref_t*>(record_alloc(sizeof(db_table_ref_t)));
            r->is_virtual = k->back() == '*';
            r->key = copy_text(("d.dbo." + k->substr(0, k->size() - r->is_virtual)).c_str());
            r->mongo_name = copy_text("m"), r->sql_name = copy_text("s");
            r->next = head, head = r;
        }
        return head;
    };
    for (const auto& row : rows) {
        db_table_ref_t *collections = refs(row.collections), *tables = refs(row.tables);
        EXPECT_EQ(compare_collections_with_schema(collections, tables), row.code) << ::testing::PrintToString(row.tables);
        free_table_refs(collections), free_table_refs(tables);
    }
}

} // namespace
