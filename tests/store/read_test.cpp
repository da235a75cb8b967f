// Reading and validating the schema database, on the test servers.
#include "store/read.h"
#include "store/validate.h"

#include "tests/store/store_fixture.h"

#include <regex>

namespace {

struct Read : StoreTest {};

// Index entries, each " index:index_name:flags" (primary, unique, native id, ascending, from
// the schema).
std::string entries(const db_index_t* e)
{
    std::string out;
    for (; e; e = e->next)
        out += " " + std::to_string(e->index) + ":" + (e->index_name ? e->index_name : "") + ":" +
               (e->primary ? "p" : "-") + (e->unique ? "u" : "-") + (e->native_id ? "n" : "-") +
               (e->asc ? "a" : "-") + (e->from_schema ? "s" : "-");
    return out;
}

// Sorted by name with the identity first, the virtual-table names, and the index entries
// of the selected table (also one column at a time).
TEST_F(Read, ColumnsOfTheSelectedTable)
{
    connect();
    const std::string vt = ", \"virtual_array\": ";
    put_schema("columns", column_doc("T", 1, "city", "city", vt + "true"));
    put_schema("columns", column_doc("T", 2, "z_id", "_id")); // the identity by its field
    put_schema("columns", column_doc("T", 3, "Zip", "zip", vt + "1"));
    put_schema("columns", column_doc("T", 4, "notes", "notes", vt + "true"));
    put_schema("columns", "{" + selector("T") + ", \"sql_name\": \"hidden\", \"visible\": false}");
    put_schema("columns", column_doc("Other", 1, "aaa", "aaa", vt + "true"));
    put_schema("index", index_doc("T", "city", 1, "two"));
    put_schema("index", index_doc("T", "Zip", 2, "two"));
    put_schema("index", index_doc("Other", "city", 1, "other"));
    put_schema("index", "{" + selector("T") + ", \"sql_col_name\": \"city\", \"index\": 1, \"primary\": true, "
                        "\"index_name\": \"pk\", \"unique\": true, \"native_id\": true, \"asc\": true}");
    put_schema("index", "{" + selector("T") + ", \"sql_col_name\": \"Zip\", \"asc\": 1}"); // no name, no boolean
    // An array naming a column matches as the server's equality does, once.
    put_schema("index", "{" + selector("T") + ", \"sql_col_name\": [\"notes\", \"city\", \"notes\"], \"index\": 9}");
    for (const char* picked : {"T", "Other"}) { // the entries follow the selected table
        select(picked);
        db_name_t* names = nullptr;
        db_column_t* columns = read_table_columns(&d, data.c_str(), "dbo", "T", &names);
        std::string got;
        for (const db_column_t* c = columns; c; c = c->next) {
            got += std::string(got.empty() ? "" : ", ") + c->sql_name + (c->visible ? "" : " hidden") +
                   (c->virtual_array ? " virtual" : "") + entries(c->indexes);
            EXPECT_TRUE(!c->next || c->next->prev == c) << c->sql_name;
            db_index_t* alone = read_column_indexes(&d, c->sql_name);
            EXPECT_EQ(entries(alone), entries(c->indexes)) << c->sql_name;
            free_indexes(alone);
        }
        EXPECT_EQ(got, std::string(picked) == "T" ? "z_id, Zip 2:two:---as 0::----s, city virtual 1:two:---as "
                                                     "1:pk:punas 9::----s, hidden hidden, notes virtual 9::----s"
                                                   : "z_id, Zip, city virtual 1:other:---as, hidden hidden, "
                                                     "notes virtual");
        EXPECT_EQ(std::string(names->name) + "," + names->next->name, "city,notes");
        EXPECT_TRUE(std::regex_match(columns->id, std::regex("[0-9a-f]{24}"))) << columns->id;
        EXPECT_TRUE(!columns->prev && columns->index == 2 && columns->length == 40 && columns->sql_type == 12);
        free_columns(columns), free_names(names);
    }
    db_table_vts_t* all = read_schema_virtual_names(&d, data.c_str(), "dbo");
    EXPECT_EQ(std::string(virtual_names_of(all, "Other")->name) + virtual_names_of(all, "T")->next->name, "aaanotes");
    free_table_vts(all);
    d.md_client = nullptr; // no schema connection: nothing read
    EXPECT_TRUE(!read_table_columns(&d, data.c_str(), "dbo", "T", nullptr) && !read_column_indexes(&d, "city") &&
                !read_schema_virtual_names(&d, data.c_str(), "dbo"));
}

// Over a fresh pair of databases per row: the code, and the mode the index collection's
// check leaves.
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
        {"tables empty", -2, RO, [&] { put_schema("columns", column_doc("A", 1, "n", "n")), make_collection("tables"); }},
        {"columns empty", -2, RO, [&] { a_only(), make_collection("columns"); }},
        {"index empty passes", 1, EDIT, [&] { a_only(), put_schema("columns", column_doc("A", 1, "n", "n")),
                                              make_collection("index"); }},
        {"only tables", 1, RO, a_only},
        {"tables field outside the list", -2, EDIT, [&] {
             put_data("B", "{}"), of_a(), put_schema("tables", table_doc("B", ", \"owner\": 1")); }},
        {"columns field outside the list", -2, EDIT, [&] {
             put_schema("columns", column_doc("A", 2, "m", "m", ", \"x\": 1")), of_a(); }},
        {"index field outside the list", -2, EDIT, [&] {
             put_schema("index", index_doc("A", "n", 2, "o", ", \"x\": 1")), of_a(); }},
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
        {"a table without collection", -31, EDIT, [&] { of_a(), put_schema("tables", table_doc("B")); }},
        {"two tables of one collection", -31, EDIT, [&] { of_a(), put_schema("tables", table_doc("A")); }},
        {"a virtual table needs no collection", 1, EDIT, [&] {
             of_a(), put_schema("tables", table_doc("A_x", ", \"virtual_array\": true")); }},
        {"names compared exactly", -32, RO, [&] { put_data("a", "{}"), put_schema("tables", table_doc("A")); }},
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

} // namespace
