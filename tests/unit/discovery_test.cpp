// Flattening of documents into columns, the type decisions and names, the table tree.
#include "app/dbinfo.h"
#include "discovery/discover.h"
#include "discovery/lookup.h"
#include "discovery/types.h"
#include "store/records.h"

#include <algorithm>
#include <bson/bson.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Letters of the SQL types discovery picks: t text (VARCHAR, WVARCHAR when wide), V VARCHAR even
// when wide, W WVARCHAR, D DOUBLE, B VARBINARY, T TINYINT, I INTEGER, L BIGINT, S TIMESTAMP.
const std::string letters = "VWDBTILS";
const int letter_types[] = {SQL_T_VARCHAR, SQL_T_WVARCHAR, SQL_T_DOUBLE, SQL_T_VARBINARY, SQL_T_TINYINT,
                            SQL_T_INTEGER, SQL_T_BIGINT, SQL_T_TYPE_TIMESTAMP};
int type_of(char letter, bool wide)
{
    return letter == 't' ? type_of(wide ? 'W' : 'V', wide) : letter_types[letters.find(letter)];
}
char letter_of(int sql_type) { return letters[std::find(letter_types, letter_types + 8, sql_type) - letter_types]; }

std::string joined(const db_name_t* path, const char* separator)
{
    char* text = join_names(path, separator);
    std::string out = text;
    std::free(text);
    return out;
}

// A sample over an in-memory record, fed document by document as sampling would.
struct Sample {
    DBINFO d;
    db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
    explicit Sample(bool wide = false)
    {
        dbinfo_clear(&d);
        d.default_wide = wide;
        sample->dbinfo = &d;
    }
    ~Sample() { free_sample(sample); }
    void walk_json(const std::string& json)
    {
        bson_error_t error;
        bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.c_str()), -1, &error);
        ASSERT_NE(doc, nullptr) << error.message << " in " << json;
        bson_iter_t it;
        for (bool ok = bson_iter_init(&it, doc); ok && bson_iter_next(&it);)
            walk_field(sample, &it, nullptr);
        bson_destroy(doc);
    }
    db_column_t* column(const char* sql_name) { return lookup_column(sample, sql_name); }
    // "sql_name[=mongo_name][@key path] mongo_type sql_type length" of each column, the key path
    // shown where it is not the MongoDB name.
    std::string columns() const
    {
        std::string out;
        int count = 0;
        const db_column_t* prev = nullptr;
        for (const db_column_t* c = sample->columns; c; prev = c, c = c->next, ++count) {
            std::string mongo = c->mongo_name, path = joined(c->path, ".");
            out += (out.empty() ? "" : ", ") + std::string(c->sql_name) + (mongo == c->sql_name ? "" : "=" + mongo);
            out += path == mongo || (path.empty() && mongo.find('.') == std::string::npos) ? "" : "@" + path;
            out += " " + std::to_string(c->mongo_type) + " " + letter_of(c->sql_type) + " " + std::to_string(c->length);
            if (c->prev != prev || c->precision || c->scale || !c->visible || c->index || c->indexes ||
                c->virtual_array || c->id[0])
                out += " (not as a new column is)";
        }
        return count == sample->count ? out : out + " (count " + std::to_string(sample->count) + ")";
    }
};

TEST(Discovery, TypeDecisions)
{
    // BSON codes 1 to 19, max key, min key, then codes no type has.
    const int codes[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 127, 255,
                         0, 20, 128, 256, -1};
    const std::pair<std::vector<int>, const char*> rows[] = { // 0: the first sighting
        {{0}, "DtttBttTSttttttIVLttt"}, {{SQL_T_TINYINT}, "DtttBTtTtttttttItLtttttttt"},
        {{SQL_T_BIGINT}, "DtttBLtLtttttttLtLtttttttt"}, {{SQL_T_VARBINARY}, "BBBBBBBBBBBBBBBBBBtBBBtttt"},
        {{SQL_T_INTEGER}, "DtttBItItttttttItLtttttttt"}, {{SQL_T_DOUBLE}, "DtttBDtttttttttDtDtttttttt"},
        {{SQL_T_TYPE_TIMESTAMP}, "ttttBSttSttttttttttttttttt"},
        {{SQL_T_VARCHAR, SQL_T_WVARCHAR, SQL_T_CHAR, SQL_T_NUMERIC, SQL_T_BIT}, "ttttBttttttttttttttttttttt"}};
    for (const auto& row : rows)
        for (int current : row.first)
            for (size_t i = 0; row.second[i]; ++i)
                for (bool wide : {false, true})
                    EXPECT_EQ(current ? settle_sql_type(current, codes[i], wide) : first_sql_type(codes[i], wide),
                              type_of(row.second[i], wide))
                        << "current " << current << ", BSON " << codes[i] << (wide ? ", wide" : "");
}

// Documents walked in turn (separated by ";") and the columns they leave.
TEST(Discovery, ColumnsOfDocuments)
{
    const std::string oid = R"({"$oid": "5f0c1a2b3c4d5e6f70819203"})", ts = R"({"$timestamp": {"t": 1, "i": 1}})";
    const std::string bin = R"({"$binary": {"base64": "AAECAwQF", "subType": "00"}})";
    const struct {
        bool wide;
        std::string docs, columns;
    } rows[] = {
        {false, R"({"_id": )" + oid + R"(, "name": "Ann", "age": 31, "tags": ["a", "bc"], "address": {"city": "Paris"}};
                   {"_id": )" + oid + R"(, "name": "Bertha", "age": 31.5, "tags": ["x"], "flag": true})",
         "_id 7 V 24, name 2 V 6, age 1 D 255, tags 4 V 25, tags_0=tags.0 2 V 1, tags_1=tags.1 2 V 2, "
         "address 3 V 20, address_city=address.city 2 V 5, flag 8 T 255"},
        {false, R"({"a": "abc"}; {"a": "abcdefghij"}; {"a": "ab"})", "a 2 V 10"},
        {false, R"({"a": "abc"}; {"a": 4})", "a 16 V 255"}, {false, R"({"a": 4}; {"a": null})", "a 10 V 255"},
        {false, R"({"a": "xx"}; {"a": )" + oid + "}", "a 7 V 24"}, {false, R"({"a": )" + bin + "}", "a 5 B 6"},
        {false, R"({"a": ""}; {"a": ""})", "a 2 V 0"},
        {false, R"({"address": {"street": "Main", "city": "Oslo"}, "empty": {}, "tags": ["a", "b", "c"]};
                   {"tags": ["z"], "nested": {"deep": {"x": 1}}})",
         "address 3 V 38, address_street=address.street 2 V 4, address_city=address.city 2 V 4, empty 3 V 3, "
         "tags 4 V 35, tags_0=tags.0 2 V 1, tags_1=tags.1 2 V 1, tags_2=tags.2 2 V 1, nested 3 V 24, "
         "nested_deep=nested.deep 3 V 11, nested_deep_x=nested.deep.x 16 I 255"},
        // Colliding SQL names share the first column: its MongoDB name stays, the path follows.
        {false, R"({"a_b": "xyz", "a": {"b": 5}})", "a_b@a.b 16 V 255, a 3 V 11"},
        {false, R"({"x": {"y": 1}, "x_y": {"z": 2}})", "x 3 V 11, x_y=x.y@x_y 3 V 255, x_y_z=x_y.z 16 I 255"},
        {true, R"({"name": "x", "ts": )" + ts + R"(, "ts2": )" + ts + R"(, "sub": {"k": "v"}, "n": 1};
                  {"ts2": )" + ts + R"(, "n": "now text"})",
         "name 2 W 1, ts 17 V 255, ts2 17 W 255, sub 3 W 13, sub_k=sub.k 2 W 1, n 2 W 255"},
    };
    for (const auto& row : rows) {
        Sample s(row.wide);
        for (size_t at = 0, end; at < row.docs.size(); at = end + 1)
            s.walk_json(row.docs.substr(at, (end = std::min(row.docs.find(';', at), row.docs.size())) - at));
        EXPECT_EQ(s.columns(), row.columns) << row.docs;
    }
}

TEST(Discovery, ListsAndIndex)
{
    // A length another tool made negative counts as longer than anything seen.
    Sample s;
    s.walk_json(R"({"a": "abc"})");
    s.column("a")->length = -5;
    s.walk_json(R"({"a": "abcdefghij", "b": 1})");
    s.walk_json(R"({"a": 12})");
    EXPECT_EQ(s.columns(), "a 16 V -5, b 16 I 255");

    // A column put in the list behind discovery's back is found, not added again.
    db_column_t* c = s.column("b")->next = new_column();
    c->sql_name = copy_text("c");
    c->mongo_name = copy_text("c");
    c->sql_type = SQL_T_INTEGER;
    c->prev = s.column("b");
    s.sample->count++;
    s.walk_json(R"({"c": 2.5, "d": 1})");
    EXPECT_EQ(s.columns(), "a 16 V -5, b 16 I 255, c 1 D 255, d 16 I 255");

    // Many names, walked twice, half of them colliding: one column each, in first-seen order.
    Sample many;
    std::string json, names;
    for (int i = 0; i < 3000; ++i) {
        json += (i ? ", " : "{") + ("\"f" + std::to_string(i)) + "\": {\"x\": 1}, \"f" + std::to_string(i) + "_x\": 2";
        names += "f" + std::to_string(i) + " f" + std::to_string(i) + "_x ";
    }
    many.walk_json(json + "}");
    many.walk_json(json + "}");
    std::string seen;
    for (const db_column_t* col = many.sample->columns; col; col = col->next)
        seen += col->sql_name + std::string(" ");
    EXPECT_EQ(seen, names);
    EXPECT_EQ(many.sample->count, 6000);

    // Key paths: deep copies, empty names kept.
    EXPECT_EQ(copy_names(nullptr), nullptr);
    EXPECT_EQ(joined(nullptr, "_"), "");
    db_name_t* path = append_name(append_name(append_name(nullptr, "a"), "b"), "");
    db_name_t* copy = copy_names(path);
    path = append_name(path, "c");
    EXPECT_EQ(joined(path, "_") + " " + joined(copy, "."), "a_b__c a.b.");
    EXPECT_NE(copy->name, path->name);
    free_names(path);
    free_names(copy);
}

TEST(Discovery, TableTreeKeepsOrderAndCase)
{
    DBINFO d;
    dbinfo_clear(&d);
    for (QString t : {"shop/dbo/orders", "shop/dbo/orders", "shop/dbo/Orders", "hr/dbo/staff", "shop/dbo/items",
                      "shop/sales/items", "Shop/dbo/items", "//"})
        add_to_table_tree(&d, qPrintable(t.section('/', 0, 0)), qPrintable(t.section('/', 1, 1)),
                          qPrintable(t.section('/', 2, 2)));
    std::string tree;
    for (db_catalog_t* c = d.tables; c; c = c->next)
        for (db_schema_t* s = c->schemas; s; s = s->next)
            for (db_table_t* t = s->tables; t; t = t->next)
                tree += std::string(c->name) + "/" + s->name + "/" + t->name + " ";
    EXPECT_EQ(tree, "shop/dbo/orders shop/dbo/Orders shop/dbo/items shop/sales/items hr/dbo/staff Shop/dbo/items // ");
    free_table_tree(&d);
    EXPECT_EQ(d.tables, nullptr);
}

// The codes are the ones the driver reads from the schema; the names in the choosers' order.
TEST(Discovery, TypeNames)
{
    std::string sql, mongo, view;
    for (int i = 0; i < sql_type_name_count; ++i)
        sql += sql_type_names[i].name + (" " + std::to_string(sql_type_of_name(sql_type_names[i].name))) + " ";
    for (int i = 0; i < mongo_type_name_count; ++i)
        mongo += mongo_type_names[i].name + (" " + std::to_string(mongo_type_of_name(mongo_type_names[i].name))) + " ";
    EXPECT_EQ(sql, "SQL_BIGINT -5 SQL_BINARY -2 SQL_BIT -7 SQL_DOUBLE 8 SQL_INTEGER 4 SQL_NUMERIC 2 SQL_SMALLINT 5 "
                   "SQL_TINYINT -6 SQL_TYPE_TIMESTAMP 93 SQL_VARCHAR 12 SQL_LONGVARCHAR -1 SQL_WVARCHAR -9 "
                   "SQL_WLONGVARCHAR -10 ");
    EXPECT_EQ(mongo, "Array 4 BinaryData 5 Bool 8 Date 9 NumberDouble 1 NumberInt32 16 NumberLong64 18 Object 3 "
                     "OID 7 String 2 ");
    for (const char* unknown : {"sql_varchar", "", "SQL_VARBINARY"})
        EXPECT_EQ(sql_type_of_name(unknown), -1) << unknown;
    EXPECT_EQ(mongo_type_of_name("NumberInt32 "), 6);
    EXPECT_EQ(mongo_type_of_name(nullptr), 6);
    for (int code : {1, 12, 4, -9, 7, -1, -2, 2})
        view += std::string(driver_sql_type_name(code)) + "/" + driver_mongo_type_name(code) + " ";
    EXPECT_EQ(view, "SQL_CHAR/ SQL_VARCHAR/ SQL_INTEGER/ / /OID /Driver Defined /Driver Defined / ");
}

} // namespace
