// Change plans: made from the drift, applied whole or in part, refused once the schema moved.
#include "store/change/create.h"
#include "store/analysis/plan.h"
#include "tests/store/store_fixture.h"

#include <cstring>

namespace {

struct PlanStore : StoreTest {
    std::string file = testenv::build_dir() + "/" + testenv::unique_name("plan") + ".json";
    ~PlanStore() override { std::remove(file.c_str()); }
    void save_orders() // with two columns renamed
    {
        save_edited("orders", [](db_column_t* c) {
            for (const auto& to : {std::make_pair("who", "label"), {"no", "number"}})
                if (!std::strcmp(c->mongo_name, to.first))
                    rename(c, to.second);
        });
    }
};

// A new, a retyped and a vanished field and a new index beside a column renamed by hand;
// a collection gone and a new one. A plan made stale, or with a write the server refuses,
// writes nothing.
TEST_F(PlanStore, AppliesWhatWasChosenAndKeepsHandEdits)
{
    const char* const orders_plan =
        "1 orders: new column fresh (Bool, SQL_TINYINT, length 255)\n"
        "2 orders: column gone old (String, SQL_VARCHAR, length 1)\n"
        "3 orders: column no: MongoDB type NumberInt32 -> String, SQL type SQL_INTEGER -> SQL_VARCHAR (kept by "
        "hand: SQL name number)\n"
        "4 orders: new index entry By_who key 1: label (ascending)\n";
    const struct {
        std::string plan, apply; // arguments
        const char* between; // "save": the table saved again; "clash": two columns of one name;
                             // "other": the plan names another database
        int exit;
        std::string output, diff; // of apply (a pattern), of the diff after it
    } rows[] = {
        {"orders", "", nullptr, 0, "Applied 4 of 4 changes to the schema '@S'.\n",
         "gone: table gone (no collection gone)\nlisted: new table (4 columns)\n"},
        {"orders", "--except 3", nullptr, 0, "Applied 3 of 4 changes to the schema '@S'.\n",
         "gone: table gone (no collection gone)\nlisted: new table (4 columns)\norders: column no: MongoDB type "
         "NumberInt32 -> String, SQL type SQL_INTEGER -> SQL_VARCHAR\n"},
        {"", "--only 1,4", nullptr, 0, "Applied 2 of 6 changes to the schema '@S'.\n",
         "listed: new table (4 columns)\norders: new column fresh (Bool, SQL_TINYINT, length 255)\norders: column "
         "no: MongoDB type NumberInt32 -> String, SQL type SQL_INTEGER -> SQL_VARCHAR\norders: new index entry "
         "By_who key 1: label (ascending)\n"},
        {"", "", nullptr, 0, "Applied 6 of 6 changes to the schema '@S'.\n", ""},
        {"orders", "", "save", 2,
         "The schema changed since the plan was made; make the plan again.\nNothing was written.\n", "unchanged"},
        {"orders", "", "other", 2, "The plan was made for the database 'elsewhere'.\nNothing was written.\n",
         "unchanged"},
        {"orders", "--only 9", nullptr, 2, "The plan has no item 9.\nNothing was written.\n", "unchanged"},
        {"", "", "clash", 2, "The schema '@S' could not be written.\n[\\s\\S]*Nothing was written.\n", "unchanged"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.plan + " / " + row.apply);
        fresh();
        put_data("orders", R"({"_id": 1, "no": 1, "old": "x", "who": "ann"})");
        put_data("gone", R"({"_id": 1})");
        connect();
        ASSERT_TRUE(create_schema(&d, &code));
        save_orders();
        testenv::drop_database(fx, data);
        put_data("orders", R"({"_id": 1, "no": "one", "who": "ann", "fresh": true})");
        put_data("listed", R"({"_id": 1, "tags": ["a", "bb"]})");
        make_index("orders", R"({"who": 1})", "By_who");
        std::string output;
        ASSERT_EQ(cli("plan " + row.plan, &output), 0) << output;
        if (row.plan == "orders") {
            EXPECT_EQ(output, orders_plan);
        }
        ASSERT_EQ(cli("plan --json --out " + file + " " + row.plan, &output), 0) << output;
        if (row.between && std::string(row.between) == "save")
            save_orders(); // the same columns, written again
        if (row.between && std::string(row.between) == "clash") { // the new table's last column named as another
            const std::string text = testenv::file_text(file);
            std::ofstream(file) << std::regex_replace(text, std::regex("tags_1"), "tags_0");
        }
        if (row.between && std::string(row.between) == "other") {
            const std::string text = testenv::file_text(file);
            std::ofstream(file) << std::regex_replace(text, std::regex("\"database\" ?: ?\"" + data + "\""),
                                                      "\"database\": \"elsewhere\"");
        }
        std::vector<strings> before;
        for (const char* coll : {"tables", "columns", "index"})
            before.push_back(schema_json(coll));
        EXPECT_EQ(cli("apply " + file + " " + row.apply, &output), row.exit);
        EXPECT_TRUE(std::regex_match(output, std::regex(std::regex_replace(row.output, std::regex("@S"), schema))))
            << output;
        if (row.diff == "unchanged") {
            int i = 0;
            for (const char* coll : {"tables", "columns", "index"})
                EXPECT_EQ(schema_json(coll), before[i++]) << coll;
            continue;
        }
        EXPECT_EQ(cli("diff", &output), row.diff.empty() ? 0 : 1);
        EXPECT_EQ(output, row.diff);
        for (const char* name : {"label", "number"})
            EXPECT_EQ(schema_json("columns", std::string(R"({"sql_table": "orders", "sql_name": ")") + name + "\"}")
                          .size(),
                      1u)
                << "the hand rename is kept";
    }
}

} // namespace
