// Reading the schema database into records, on the test servers.
#include "store/read.h"
#include "store/validate.h"

#include "tests/store/store_fixture.h"

#include <cstring>

namespace {

struct Read : StoreTest {
    db_name_t* vt = nullptr;
    db_column_t* columns = nullptr;
    ~Read() override
    {
        free_columns(columns);
        free_names(vt);
    }
    void read(const std::string& table)
    {
        free_columns(columns);
        free_names(vt);
        columns = read_table_columns(&d, data.c_str(), "dbo", table.c_str(), &vt);
    }
    static std::vector<std::string> sql_names(const db_column_t* c)
    {
        std::vector<std::string> out;
        for (; c; c = c->next)
            out.push_back(c->sql_name ? c->sql_name : "(null)");
        return out;
    }
    static std::vector<std::string> names(const db_name_t* n)
    {
        std::vector<std::string> out;
        for (; n; n = n->next)
            out.push_back(n->name);
        return out;
    }
    const db_column_t* column(const std::string& sql_name) const
    {
        for (const db_column_t* c = columns; c; c = c->next)
            if (c->sql_name && sql_name == c->sql_name)
                return c;
        return nullptr;
    }
    // catalog/schema/table triples of the tree, in order.
    std::vector<std::string> tree() const
    {
        std::vector<std::string> out;
        for (const db_catalog_t* c = d.tables; c; c = c->next)
            for (const db_schema_t* s = c->schemas; s; s = s->next)
                for (const db_table_t* t = s->tables; t; t = t->next)
                    out.push_back(std::string(c->name) + "/" + s->name + "/" + t->name);
        return out;
    }
    // The entries as "name:index:index_name:flags".
    static std::vector<std::string> entries(const db_index_t* e)
    {
        std::vector<std::string> out;
        for (; e; e = e->next)
            out.push_back(std::string(e->sql_col_name) + ":" + std::to_string(e->index) + ":" +
                          (e->index_name ? e->index_name : "(none)") + ":" + (e->primary ? "p" : "-") +
                          (e->unique ? "u" : "-") + (e->native_id ? "n" : "-") + (e->asc ? "a" : "-") +
                          (e->from_schema ? "s" : "-"));
        return out;
    }
};

TEST_F(Read, TableTree)
{
    connect();
    put_schema("tables", table_doc("A"));
    put_schema("tables", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"A_items\", "
                         "\"mongo_name\": \"A\", \"type\": \"TABLE\", \"virtual_array\": true, \"virtual_parent\": \"A\"}");
    put_schema("tables", table_doc("B"));
    put_schema("tables", table_doc("A"));
    put_schema("tables", table_doc("a"));
    // Missing schema field: an empty name at that level.
    put_schema("tables", "{\"sql_catalog\": \"" + data + "\", \"sql_table\": \"C\"}");
    // A virtual flag that is false is no virtual table.
    put_schema("tables", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"E\", "
                         "\"virtual_array\": false}");
    read_table_tree(&d);
    EXPECT_EQ(tree(), (std::vector<std::string>{data + "/dbo/A", data + "/dbo/B", data + "/dbo/a", data + "/dbo/E",
                                                data + "//C"}));
    // A second read replaces the tree.
    read_table_tree(&d);
    EXPECT_EQ(tree().size(), 5u);
}

TEST_F(Read, ColumnsComeSortedWithTheIdentityFirst)
{
    connect();
    put_schema("columns", column_doc("T", 1, "city", "city"));
    put_schema("columns", column_doc("T", 2, "_id", "_id"));
    put_schema("columns", column_doc("T", 3, "Zip", "zip"));
    put_schema("columns", column_doc("Other", 1, "aaa", "aaa"));
    select("T");
    read("T");
    EXPECT_EQ(sql_names(columns), (std::vector<std::string>{"_id", "Zip", "city"}));
    ASSERT_NE(columns, nullptr);
    EXPECT_EQ(columns->prev, nullptr);
    EXPECT_EQ(columns->next->prev, columns);
    EXPECT_EQ(columns->next->next->prev, columns->next);
    EXPECT_EQ(columns->next->next->next, nullptr);
    EXPECT_EQ(std::strlen(columns->id), 24u);
    EXPECT_EQ(std::strspn(columns->id, "0123456789abcdef"), 24u);
    EXPECT_EQ(columns->index, 2);
    EXPECT_EQ(column("Zip")->length, 40);
    EXPECT_EQ(column("Zip")->sql_type, 12);
    EXPECT_TRUE(column("Zip")->visible);
    EXPECT_EQ(vt, nullptr);
}

TEST_F(Read, IdentityAloneAndIdentityLast)
{
    connect();
    put_schema("columns", column_doc("One", 1, "_id", "_id"));
    put_schema("columns", column_doc("Two", 1, "a", "a"));
    put_schema("columns", column_doc("Two", 2, "b", "b"));
    put_schema("columns", column_doc("Two", 3, "z_id", "_id"));
    read("One");
    ASSERT_NE(columns, nullptr);
    EXPECT_EQ(columns->next, nullptr);
    EXPECT_EQ(columns->prev, nullptr);
    read("Two");
    EXPECT_EQ(sql_names(columns), (std::vector<std::string>{"z_id", "a", "b"}));
    EXPECT_EQ(columns->next->next->next, nullptr);
    EXPECT_EQ(columns->next->next->prev, columns->next);
}

TEST_F(Read, NumbersOfOtherTypes)
{
    connect();
    struct Case {
        const char* value;
        int expected;
    };
    const Case cases[] = {
        {"40", 40},
        {"40.9", 40},
        {"-3.7", -3},
        {"{\"$numberLong\": \"7\"}", 0},
        {"\"12\"", 0},
        {"true", 0},
        {"null", 0},
        {"1e300", 2147483647},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string name = "c" + std::to_string(n++);
        put_schema("columns", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"T\", "
                              "\"index\": " + c.value + ", \"sql_name\": \"" + name + "\", \"sql_type\": " + c.value +
                              ", \"mongo_name\": \"" + name + "\", \"mongo_type\": " + c.value + ", \"length\": " +
                              c.value + ", \"precision\": " + c.value + ", \"scale\": " + c.value + "}");
    }
    read("T");
    n = 0;
    for (const Case& c : cases) {
        const db_column_t* col = column("c" + std::to_string(n++));
        ASSERT_NE(col, nullptr) << c.value;
        EXPECT_EQ(col->index, c.expected) << c.value;
        EXPECT_EQ(col->sql_type, c.expected) << c.value;
        EXPECT_EQ(col->mongo_type, c.expected) << c.value;
        EXPECT_EQ(col->length, c.expected) << c.value;
        EXPECT_EQ(col->precision, c.expected) << c.value;
        EXPECT_EQ(col->scale, c.expected) << c.value;
        EXPECT_TRUE(col->visible); // absent: visible
    }
}

TEST_F(Read, VirtualTableNames)
{
    connect();
    put_schema("columns", column_doc("T", 1, "tags", "tags", ", \"virtual_array\": true"));
    put_schema("columns", column_doc("T", 2, "items", "items", ", \"virtual_array\": true"));
    put_schema("columns", column_doc("T", 3, "notes", "notes", ", \"virtual_array\": false"));
    put_schema("columns", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"T\", "
                          "\"sql_name\": \"hidden\", \"visible\": false}");
    read("T");
    EXPECT_EQ(names(vt), (std::vector<std::string>{"items", "tags"}));
    EXPECT_TRUE(column("items")->virtual_array);
    EXPECT_FALSE(column("notes")->virtual_array);
    EXPECT_FALSE(column("hidden")->visible);
    db_name_t* alone = read_virtual_table_names(&d, data.c_str(), "dbo", "T");
    EXPECT_EQ(names(alone), names(vt));
    free_names(alone);
    EXPECT_EQ(read_virtual_table_names(&d, data.c_str(), "dbo", "None"), nullptr);
}

TEST_F(Read, VirtualTableNamesOfTheWholeSchemaInOneQuery)
{
    connect();
    put_schema("columns", column_doc("T", 1, "tags", "tags", ", \"virtual_array\": true"));
    put_schema("columns", column_doc("T", 2, "items", "items", ", \"virtual_array\": true"));
    put_schema("columns", column_doc("T", 3, "z_id", "_id", ", \"virtual_array\": true"));
    put_schema("columns", column_doc("T", 4, "flag", "flag", ", \"virtual_array\": 1"));
    put_schema("columns", column_doc("U", 1, "rows", "rows", ", \"virtual_array\": true"));
    put_schema("columns", column_doc("U", 2, "notes", "notes", ", \"virtual_array\": false"));
    put_schema("columns", column_doc("None", 1, "plain", "plain"));
    // A flagged document without a name names no virtual table.
    put_schema("columns", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"V\", "
                          "\"virtual_array\": true}");
    put_schema("columns", "{\"sql_catalog\": \"other\", \"sql_schema\": \"dbo\", \"sql_table\": \"T\", "
                          "\"sql_name\": \"elsewhere\", \"virtual_array\": true}");

    db_table_vts_t* all = read_schema_virtual_names(&d, data.c_str(), "dbo");
    for (const char* table : {"T", "U", "V", "None", "Missing"}) {
        db_name_t* alone = read_virtual_table_names(&d, data.c_str(), "dbo", table);
        std::vector<std::string> together;
        for (const db_name_t* n = virtual_names_of(all, table); n; n = n->next)
            together.push_back(n->name);
        EXPECT_EQ(together, names(alone)) << table;
        free_names(alone);
    }
    EXPECT_EQ(names(const_cast<db_name_t*>(virtual_names_of(all, "T"))),
              (std::vector<std::string>{"items", "tags", "z_id"}));
    EXPECT_EQ(virtual_names_of(all, "None"), nullptr);
    free_table_vts(all);
}

TEST_F(Read, NoSchemaConnection)
{
    connect();
    put_schema("columns", column_doc("T", 1, "a", "a", ", \"virtual_array\": true"));
    d.md_client = nullptr;
    EXPECT_EQ(read_table_columns(&d, data.c_str(), "dbo", "T", &vt), nullptr);
    EXPECT_EQ(vt, nullptr);
    EXPECT_EQ(read_virtual_table_names(&d, data.c_str(), "dbo", "T"), nullptr);
    EXPECT_EQ(read_schema_virtual_names(&d, data.c_str(), "dbo"), nullptr);
    EXPECT_EQ(read_column_indexes(&d, "a"), nullptr);
}

TEST_F(Read, IndexEntriesOfTheSelectedTable)
{
    connect();
    put_schema("columns", column_doc("T", 1, "a", "a"));
    put_schema("columns", column_doc("T", 2, "b", "b"));
    put_schema("columns", column_doc("T", 3, "c", "c"));
    put_schema("index", index_doc("T", "a", 1, "ab_index"));
    put_schema("index", index_doc("T", "b", 2, "ab_index"));
    put_schema("index", index_doc("Other", "a", 1, "other_index"));
    put_schema("index", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"T\", "
                        "\"sql_col_name\": \"a\", \"index\": 1, \"primary\": true, \"index_name\": \"a_only\", "
                        "\"unique\": true, \"native_id\": true, \"asc\": true}");
    // No index_name, no index, asc of another type.
    put_schema("index", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"T\", "
                        "\"sql_col_name\": \"b\", \"asc\": 1}");
    // An array naming a column matches as the server's equality does.
    put_schema("index", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"T\", "
                        "\"sql_col_name\": [\"c\", \"a\", \"c\"], \"index\": 9, \"index_name\": \"arr\"}");
    select("T");
    read("T");
    EXPECT_EQ(entries(column("a")->indexes),
              (std::vector<std::string>{"a:1:ab_index:---as", "a:1:a_only:punas", "a:9:arr:----s"}));
    EXPECT_EQ(entries(column("b")->indexes), (std::vector<std::string>{"b:2:ab_index:---as", "b:0:(none):----s"}));
    EXPECT_EQ(entries(column("c")->indexes), (std::vector<std::string>{"c:9:arr:----s"}));

    // The same lists as one query per column.
    for (const char* name : {"a", "b", "c", "zz"}) {
        db_index_t* one = read_column_indexes(&d, name);
        const db_column_t* col = column(name);
        EXPECT_EQ(entries(one), entries(col ? col->indexes : nullptr)) << name;
        free_indexes(one);
    }

    // The entries follow the table selected in the record, not the one read.
    select("Other");
    read("T");
    EXPECT_EQ(entries(column("a")->indexes), (std::vector<std::string>{"a:1:other_index:---as"}));
    EXPECT_EQ(column("b")->indexes, nullptr);
}

TEST_F(Read, TablesWithoutSchema)
{
    connect();
    put_data("A", "{}");
    put_data("system.js", "{}");
    put_data("t", "{}");
    int code = 0;
    EXPECT_TRUE(load_tables_without_schema(&d, &code));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(tree(), (std::vector<std::string>{data + "/dbo/A", data + "/dbo/t"}));
}

TEST_F(Read, TablesWithoutSchemaOfAnEmptyDatabase)
{
    connect();
    int code = 0;
    EXPECT_TRUE(load_tables_without_schema(&d, &code));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(d.tables, nullptr);
}

// Documents another tool wrote with a value of the wrong type in every field.
TEST_F(Read, WrongTypesInEveryField)
{
    connect();
    put_data("A", "{}");
    // tables: names that are not strings, a virtual flag that is not a boolean.
    put_schema("tables", "{\"sql_catalog\": 1, \"sql_schema\": true, \"sql_table\": {\"x\": 1}, \"mongo_name\": [1], "
                         "\"mongo_database\": 2.5, \"type\": null, \"virtual_array\": \"yes\", \"virtual_parent\": 3}");
    put_schema("tables", table_doc("A"));
    // columns: every field of the wrong type, in a table selected by strings.
    put_schema("columns", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"A\", "
                          "\"_id\": \"not an oid\", \"index\": \"1\", \"sql_name\": 5, \"sql_type\": \"12\", "
                          "\"mongo_name\": {\"a\": 1}, \"mongo_type\": false, \"length\": [40], \"precision\": \"2\", "
                          "\"scale\": {}, \"visible\": \"no\", \"virtual_array\": 1, \"virtual_parent\": 7}");
    put_schema("columns", column_doc("A", 2, "good", "good"));
    // A selector field of the wrong type: not the table's.
    put_schema("columns", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": 1, \"sql_table\": \"A\", "
                          "\"sql_name\": \"stray\"}");
    // index: every field of the wrong type.
    put_schema("index", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"A\", "
                        "\"sql_col_name\": \"good\", \"index\": \"1\", \"primary\": \"yes\", \"index_name\": 4, "
                        "\"unique\": 1, \"native_id\": null, \"asc\": \"up\", \"virtual_array\": 2, "
                        "\"virtual_parent\": false}");
    put_schema("index", "{\"sql_catalog\": \"" + data + "\", \"sql_schema\": \"dbo\", \"sql_table\": \"A\", "
                        "\"sql_col_name\": 12, \"index\": 1}");

    int code = 0;
    validate_schema(&d, &code);
    EXPECT_EQ(code, -31); // the odd tables document names "..." with empty names
    ASSERT_NE(d.md_tables, nullptr);
    EXPECT_STREQ(d.md_tables->key, "..");
    EXPECT_STREQ(d.md_tables->sql_name, "");
    EXPECT_STREQ(d.md_tables->mongo_name, "");
    EXPECT_FALSE(d.md_tables->is_virtual);

    read_table_tree(&d);
    EXPECT_EQ(tree(), (std::vector<std::string>{"//", data + "/dbo/A"}));

    select("A");
    read("A");
    // The wrong-typed column sorts before strings, as the server orders numbers first.
    ASSERT_EQ(sql_names(columns), (std::vector<std::string>{"(null)", "good"}));
    const db_column_t* odd = columns;
    EXPECT_EQ(odd->id[0], '\0');
    EXPECT_EQ(odd->mongo_name, nullptr);
    EXPECT_EQ(odd->virtual_parent, nullptr);
    EXPECT_EQ(odd->indexes, nullptr);
    EXPECT_EQ(odd->index, 0);
    EXPECT_EQ(odd->sql_type, 0);
    EXPECT_EQ(odd->mongo_type, 0);
    EXPECT_EQ(odd->length, 0);
    EXPECT_EQ(odd->precision, 0);
    EXPECT_EQ(odd->scale, 0);
    EXPECT_TRUE(odd->visible);
    EXPECT_FALSE(odd->virtual_array);
    EXPECT_EQ(vt, nullptr);
    EXPECT_EQ(entries(column("good")->indexes), (std::vector<std::string>{"good:0:(none):----s"}));
}

TEST_F(Read, DocumentOfFifteenMebibytes)
{
    connect();
    put_data("A", "{}");
    put_schema("tables", table_doc("A"));
    std::string big(15u << 20, 'x');
    put_schema("columns", column_doc("A", 1, "big", big));
    put_schema("columns", column_doc("A", 2, "_id", "_id"));
    int code = 0;
    EXPECT_TRUE(validate_schema(&d, &code));
    EXPECT_EQ(code, 1);
    select("A");
    read("A");
    ASSERT_EQ(sql_names(columns), (std::vector<std::string>{"_id", "big"}));
    EXPECT_EQ(std::strlen(column("big")->mongo_name), big.size());
}

} // namespace
