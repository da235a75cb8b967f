// The length discovery gives a sub-document or array column is the length of the text
// bson_as_json writes for it, on random documents of every value type.
#include "discovery/discover.h"
#include "store/records.h"

#include <gtest/gtest.h>
#include <random>

namespace {

const char* const leaves[] = {
    "7", "-2147483648", "{\"$numberLong\": \"-9007199254740993\"}", "2.5", "-0.0", "3.0", "0.1", "1e300",
    "1e15", "-123456789012345678.0", "{\"$numberDouble\": \"NaN\"}", "{\"$numberDouble\": \"-Infinity\"}",
    "\"plain\"", "\"\"", "\"q \\\" \\\\ \\t\\n\\u0001\"", "\"caf\\u00e9 \\ud83d\\ude00\"", "true", "false", "null",
    "{\"$oid\": \"5f0c1a2b3c4d5e6f70819203\"}", "{\"$date\": {\"$numberLong\": \"-5\"}}",
    "{\"$regex\": \"^a\\\"\", \"$options\": \"i\"}", "{\"$binary\": \"AAE=\", \"$type\": \"00\"}",
    "{\"$numberDecimal\": \"-1.5E+3\"}", "{\"$timestamp\": {\"t\": 1, \"i\": 2}}", "-0.375"};
const int leaf_count = sizeof leaves / sizeof leaves[0];

// A random value as extended JSON; containers have keys without "_" or ".".
std::string value(std::mt19937& rng, int depth)
{
    int pick = int(rng() % (depth > 3 ? leaf_count : leaf_count + 4));
    if (pick < leaf_count)
        return leaves[pick];
    bool array = pick % 2;
    std::string out = array ? "[" : "{";
    for (int i = 0, n = int(rng() % 5); i < n; ++i) {
        std::string key = "\"k" + std::to_string(i) + (rng() % 3 ? "\"" : "\\\"\\u00e9\"") + ": ";
        out += (i ? ", " : "") + (array ? "" : key) + value(rng, depth + 1);
    }
    return out + (array ? "]" : "}");
}

TEST(JsonLength, EqualsTheLibrarysTextOnRandomDocuments)
{
    std::mt19937 rng(20240601);
    for (int round = 0; round < 400; ++round) {
        std::string json = "{\"a\": " + value(rng, 0) + ", \"b\": " + value(rng, 0) + "}";
        bson_error_t error;
        bson_t* doc = bson_new_from_json(reinterpret_cast<const uint8_t*>(json.data()), -1, &error);
        ASSERT_NE(doc, nullptr) << json << ": " << error.message;
        // Text the library refuses to write (not UTF-8), and a chain deeper than it writes out.
        BCON_APPEND(doc, "c", "{", "bad", BCON_UTF8(round % 2 ? "x\xc3" : "x"), "}");
        bson_t* chain = BCON_NEW("v", "[", BCON_DOUBLE(2.5), "]");
        for (int level = 0; round % 50 == 0 && level < 90 + round; ++level) {
            bson_t* outer = BCON_NEW("e", BCON_DOCUMENT(chain));
            bson_destroy(chain);
            chain = outer;
        }
        BSON_APPEND_DOCUMENT(doc, "z", chain);
        bson_destroy(chain);

        db_sample_t* sample = static_cast<db_sample_t*>(record_alloc(sizeof(db_sample_t)));
        bson_iter_t it, found;
        for (bson_iter_init(&it, doc); bson_iter_next(&it);)
            walk_field(sample, &it, nullptr);
        for (const db_column_t* c = sample->columns; c; c = c->next) {
            ASSERT_TRUE(bson_iter_init(&it, doc) && bson_iter_find_descendant(&it, c->mongo_name, &found));
            const bson_value_t* v = bson_iter_value(&found);
            bson_t sub;
            size_t n = 0;
            bool container = v->value_type == BSON_TYPE_DOCUMENT || v->value_type == BSON_TYPE_ARRAY;
            char* text = container && bson_init_static(&sub, v->value.v_doc.data, v->value.v_doc.data_len)
                             ? bson_as_json(&sub, &n)
                             : nullptr;
            EXPECT_EQ(container ? c->length : 0, text ? int32_t(n) : 0) << json << ", column " << c->sql_name;
            bson_free(text);
        }
        free_sample(sample);
        bson_destroy(doc);
    }
}

} // namespace
