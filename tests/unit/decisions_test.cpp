// The store's decisions that need no server: the edits of a window carried over onto what
// another program saved meanwhile, the local journal's matching, what a synchronisation
// agreed to before the schema was read again does after, a plan file read whole and what
// one plan item changes in its table, which collections and tables match, what a table's
// comparison finds, and the words a version's line tells its counts in.
#include "core/dbinfo.h"
#include "core/records.h"
#include "core/schema_names.h"
#include "store/analysis/drift_parts.h"
#include "store/analysis/history.h"
#include "store/analysis/plan.h"
#include "store/analysis/plan_parts.h"
#include "store/change/merge.h"
#include "store/read/listing.h"
#include "store/read/seen.h"
#include "store/read/sync_plan.h"
#include "store/write/fields.h"
#include "store/write/place.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

namespace {

// "mongo=sql" columns, "/h" for hidden: "a=a b=who/h".
db_column_t* columns(const std::string& text)
{
    db_column_t* head = nullptr;
    db_column_t** tail = &head;
    db_column_t* prev = nullptr;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        db_column_t* c = new_column();
        c->visible = w.size() < 2 || w.compare(w.size() - 2, 2, "/h") != 0;
        if (!c->visible)
            w.resize(w.size() - 2);
        c->mongo_name = copy_text(w.substr(0, w.find('=')).c_str());
        c->sql_name = copy_text(w.substr(w.find('=') + 1).c_str());
        c->prev = prev;
        *tail = prev = c;
        tail = &c->next;
    }
    return head;
}

std::string text(const db_column_t* list)
{
    std::string out;
    for (const db_column_t* c = list; c; c = c->next)
        out += std::string(out.empty() ? "" : " ") + c->mongo_name + "=" + c->sql_name + (c->visible ? "" : "/h");
    return out;
}

TEST(SharedSchema, EditsGoOnTopOfWhatAnotherProgramSaved)
{
    const struct { const char *name, *read, *edited, *fresh, *merged; } rows[] = {
        {"each renames another column", "a=a b=b c=c", "a=x b=b c=c", "a=a b=y c=c", "a=x b=y c=c"},
        {"both rename one column: ours", "a=a b=b", "a=x b=b", "a=y b=b", "a=x b=b"},
        {"a field we left keeps theirs", "a=a b=b", "a=a/h b=b", "a=y b=b", "a=y/h b=b"},
        {"removed here, renamed there", "a=a b=b c=c", "a=a c=c", "a=a b=y c=c", "a=a c=c"},
        {"removed there, untouched here", "a=a b=b c=c", "a=a b=b c=c", "a=a b=b", "a=a b=b"},
        {"removed there, edited here", "a=a b=b c=c", "a=a b=b c=z", "a=a b=b", "a=a b=b c=z"},
        {"added here after a, added there", "a=a b=b", "a=a d=d b=b", "a=a b=b e=e", "a=a d=d b=b e=e"},
        {"a name twice: which one", "a=a a=a2", "a=a a=x", "a=y a=a2", "a=y a=x"},
        {"nothing read: all ours added", "", "a=a", "b=b", "b=b a=a"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        db_column_t *read = columns(row.read), *edited = columns(row.edited), *fresh = columns(row.fresh);
        const std::string before[] = {text(read), text(edited), text(fresh)};
        db_column_t* merged = merge_column_edits(read, edited, fresh);
        EXPECT_EQ(text(merged), row.merged);
        for (const db_column_t* c = merged; c; c = c->next)
            EXPECT_TRUE(c->prev ? c->prev->next == c : merged == c) << "list links";
        EXPECT_EQ((std::vector<std::string>{text(read), text(edited), text(fresh)}),
                  std::vector<std::string>(before, before + 3)) << "inputs left as they were";
        db_column_t* copy = copy_columns(merged);
        EXPECT_EQ(text(copy), text(merged));
        for (db_column_t* list : {read, edited, fresh, merged, copy})
            free_columns(list);
    }
}

TEST(SharedSchema, LocalJournalMatchesAsTheServerDoes)
{
    auto doc = [](const char* json) { return bson_new_from_json(reinterpret_cast<const uint8_t*>(json), -1, nullptr); };
    const struct { const char *doc, *filter; bool matches; } rows[] = {
        {R"({"_id": "header", "v": 1})", R"({"_id": "header"})", true},
        {R"({"_id": "header"})", R"({"_id": "other"})", false},
        {R"({"n": {"$numberLong": "7"}})", R"({"n": 7})", true}, // numbers of two widths
        {R"({"a": 1})", R"({"after": null})", true},                 // null: the field absent
        {R"({"after": true})", R"({"after": null})", false},
        {R"({"tables": ["T", "U"]})", R"({"tables": "U"})", true}, // an array holding the value
        {R"({"tables": ["T"]})", R"({"tables": "U"})", false},
        {R"({"kind": 2})", R"({"kind": {"$in": [1, 2, 3]}})", true},
        {R"({"kind": 4})", R"({"kind": {"$in": [1, 2, 3]}})", false},
        {R"({"tables": ["*"]})", R"({"tables": {"$in": ["T", "*"]}})", true},
        {R"({"tables": ["U", "V"]})", R"({"tables": {"$in": ["T", "*"]}})", false},
        {R"({"j": {"$oid": "0123456789abcdef01234567"}, "k": 1})",
         R"({"j": {"$oid": "0123456789abcdef01234567"}, "k": 2})", false},
    };
    for (const auto& row : rows) {
        bson_t *d = doc(row.doc), *f = doc(row.filter);
        EXPECT_EQ(place_matches(d, f), row.matches) << row.doc << " ~ " << row.filter;
        bson_destroy(d), bson_destroy(f);
    }
}

TEST(SharedSchema, ASynchronisationDoesOnlyWhatWasAgreedAndIsStillNeeded)
{
    const int agreed[] = {-30, -31, -32, -34}, now[] = {1, -30, -31, -32};
    const int done[4][4] = {{0, -30, 0, -30}, {0, 0, -31, -31}, {0, -30, -31, -32}, {0, -30, -31, -32}};
    for (int a = 0; a < 4; ++a)
        for (int n = 0; n < 4; ++n)
            EXPECT_EQ(agreed_synchronisation(agreed[a], now[n]), done[a][n]) << agreed[a] << " then " << now[n];
}

// A plan file is checked whole before any of it is used: each item's "kept" is there and
// names only what a retyped or longer column can keep.
TEST(SharedSchema, APlanFileIsCheckedWhole)
{
    const std::string item1 = R"({ "id" : 1, "table" : "o", "kind" : "column_new", "virtual" : false, "column" : )"
                              R"("paid", "data" : { "sql_name" : "paid", "sql_type" : -6, "mongo_type" : 8, )"
                              R"("length" : 255, "visible" : true }, "kept" : KEPT1 })";
    const std::string item2 = R"({ "id" : 2, "table" : "o", "kind" : "column_type", "virtual" : false, "column" : )"
                              R"("no", "schema" : { "sql_name" : "number", "sql_type" : 4, "mongo_type" : 16, )"
                              R"("length" : 255, "visible" : true }, "data" : { "sql_name" : "no", "sql_type" : )"
                              R"(12, "mongo_type" : 2, "length" : 255, "visible" : true }, "kept" : KEPT2 })";
    const std::string plan = R"({ "format" : "brolix-plan-1", "database" : "px", "schema" : "px_s", )"
                             R"("fingerprint" : "f", "items" : [ )" + item1 + ", " + item2 + " ] }";
    const struct { const char *kept1, *kept2; bool read; } rows[] = {
        {"[ ]", R"([ "sql_name" ])", true},
        {"", R"([ "sql_name" ])", false},          // "kept" missing
        {R"([ "sql_name" ])", "[ ]", false},        // on a change that keeps nothing
        {"[ ]", R"([ "sql_name", "x" ])", false},   // something else
    };
    for (const auto& row : rows) {
        std::string text = plan;
        text.replace(text.find("KEPT1"), 5, row.kept1);
        text.replace(text.find("KEPT2"), 5, row.kept2);
        if (!*row.kept1)
            text.replace(text.find(", \"kept\" :  }"), 13, " }");
        plan_problem_t problem;
        plan_t* read = read_plan(text.data(), text.size(), &problem);
        EXPECT_EQ(read != nullptr, row.read) << row.kept1 << " / " << row.kept2 << ": " << problem.detail;
        if (read) {
            EXPECT_EQ(read->items.size(), 2u);
        }
        free_plan(read);
    }
}

// An index item finds its entry by index, column and position: a compound index's
// entries differ only in position, and an item matched at the wrong one would drop or
// double another's entry.
TEST(SharedSchema, AnIndexItemChangesOnlyTheEntryItNames)
{
    DBINFO dbinfo{};
    std::snprintf(dbinfo.database, sizeof dbinfo.database, "%s", "px");
    const struct { int kind; const char *index, *column; int position; bool fits; const char* after; } rows[] = {
        {DRIFT_INDEX_GONE, "ix", "b", 2, true, "ix.a.1 iy.b.1"},
        {DRIFT_INDEX_GONE, "ix", "b", 1, false, ""},      // no such position
        {DRIFT_INDEX_GONE, "iy", "a", 1, false, ""},      // no such column in that index
        {DRIFT_INDEX_NEW, "ix", "a", 1, false, ""},       // there already
        {DRIFT_INDEX_NEW, "ix", "b", 1, true, "ix.a.1 ix.b.2 iy.b.1 ix.b.1"},
    };
    for (const auto& row : rows) {
        plan_internal::table_state_t t;
        for (const char* e : {"ix a 1", "ix b 2", "iy b 1"}) {
            char index[8], column[8];
            int position = 0;
            std::sscanf(e, "%7s %7s %d", index, column, &position);
            t.index.emplace_back(BCON_NEW("sql_table", "o", "sql_col_name", BCON_UTF8(column), "index",
                                          BCON_INT32(position), "index_name", BCON_UTF8(index)));
        }
        drift_t d{};
        d.kind = row.kind;
        d.table = const_cast<char*>("o");
        drift_entry_t& e = row.kind == DRIFT_INDEX_GONE ? d.schema_entry : d.data_entry;
        e.index_name = const_cast<char*>(row.index);
        e.sql_col_name = const_cast<char*>(row.column);
        e.position = row.position;
        std::string label = std::string(row.kind == DRIFT_INDEX_GONE ? "gone " : "new ") + row.index + "." +
                            row.column + "." + std::to_string(row.position);
        ASSERT_EQ(plan_internal::apply_item(&dbinfo, &d, t), row.fits) << label;
        if (!row.fits)
            continue;
        std::string after;
        for (const auto& doc : t.index) {
            db_index_t entry{};
            read_index_document(doc.get(), &entry);
            after += std::string(after.empty() ? "" : " ") + entry.index_name + "." + entry.sql_col_name + "." +
                     std::to_string(entry.index);
            std::free(entry.index_name);
            std::free(entry.sql_col_name);
        }
        EXPECT_EQ(after, row.after) << label;
    }
}

// "catalog.name" or "catalog.name/v" (a virtual table) words, as keys of the schema dbo.
db_table_ref_t* refs(const std::string& words)
{
    db_table_ref_t* head = nullptr;
    db_table_ref_t** tail = &head;
    std::istringstream in(words);
    for (std::string w; in >> w; tail = &(*tail)->next) {
        *tail = static_cast<db_table_ref_t*>(record_alloc(sizeof(db_table_ref_t)));
        (*tail)->is_virtual = w.size() > 2 && w.compare(w.size() - 2, 2, "/v") == 0;
        w.resize((*tail)->is_virtual ? w.size() - 2 : w.size());
        (*tail)->key = copy_text(table_key(w.substr(0, w.find('.')), w.substr(w.find('.') + 1)).c_str());
    }
    return head;
}

std::string unmatched(const db_table_ref_t* list)
{
    std::string out;
    for (; list; list = list->next)
        if (!list->matched)
            out += std::string(out.empty() ? "" : " ") + (list->key + sizeof "px.dbo" - 1);
    return out;
}

// Each collection matches one table of its key (a second table of that key is gone); a
// virtual table left over is no loss; another catalog's tables are not this one's to lose.
TEST(SharedSchema, CollectionsAndTablesMatchOneToOne)
{
    const struct { const char *collections, *tables; int code; const char *left_c, *left_t; } rows[] = {
        {"px.a px.b", "px.b px.a", VALIDATE_OK, "", ""},
        {"px.a px.b", "px.a", VALIDATE_COLLECTIONS_NEW, ".b", ""},
        {"px.a", "px.a px.a", VALIDATE_COLLECTIONS_GONE, "", ".a"},
        {"px.a", "px.a px.a_x/v", VALIDATE_OK, "", ".a_x"},
        {"px.a px.c", "px.a px.b ot.c", VALIDATE_COLLECTIONS_NEW_AND_GONE, ".c", ".b"},
        {"", "", VALIDATE_OK, "", ""},
    };
    for (const auto& row : rows) {
        db_table_ref_t* c = refs(row.collections);
        db_table_ref_t* t = refs(row.tables);
        EXPECT_EQ(compare_collections_with_schema(c, t, "px"), row.code) << row.collections << " / " << row.tables;
        EXPECT_EQ(unmatched(c), row.left_c) << row.collections << " / " << row.tables;
        EXPECT_EQ(unmatched(t), row.left_t) << row.collections << " / " << row.tables;
        free_table_refs(c);
        free_table_refs(t);
    }
}

using namespace drift_internal;

// "mongo:type:sql:length" words, "/h" for hidden; index entries as "index:position:column".
void fill(const std::string& columns, const std::string& entries, std::vector<column_ptr>* owned,
          std::vector<entry_ptr>* index)
{
    std::istringstream words(columns);
    for (std::string w; words >> w;) {
        column_ptr c(new_column());
        c->visible = w.compare(w.size() - 2, 2, "/h") != 0;
        char mongo[16], sql[16];
        std::sscanf(w.c_str(), "%15[^:]:%d:%15[^:]:%d", mongo, &c->mongo_type, sql, &c->length);
        c->mongo_name = copy_text(mongo);
        c->sql_name = copy_text(sql);
        owned->push_back(std::move(c));
    }
    std::istringstream list(entries);
    for (std::string w; list >> w;) {
        entry_ptr e(static_cast<db_index_t*>(record_alloc(sizeof(db_index_t))));
        char name[16], column[16];
        std::sscanf(w.c_str(), "%15[^:]:%d:%15s", name, &e->index, column);
        e->index_name = copy_text(name);
        e->sql_col_name = copy_text(column);
        index->push_back(std::move(e));
    }
}

// Columns pair by MongoDB name and type first; hand edits count only when asked for; the
// data longer than the schema counts, shorter only between two states of the schema; an
// index with a hidden column is not wanted; entries compare under the saved SQL names.
TEST(SharedSchema, ATablesComparisonFindsWhatChanged)
{
    const struct { const char *saved, *saved_index, *data, *data_index; bool all, exact; const char* found; } rows[] = {
        {"a:16:a:0 b:2:b:10", "", "a:16:a:0 b:2:b:10", "", true, false, ""},
        {"a:16:who:0", "", "a:16:a:0", "", false, false, ""},
        {"a:16:who:0", "", "a:16:a:0", "", true, false, "sql_name:who"},
        {"a:16:a:0", "", "a:2:a:0", "", false, false, "type:a"},
        {"b:2:b:10", "", "b:2:b:20", "", false, false, "length:b"},
        {"b:2:b:20", "", "b:2:b:10", "", false, false, ""},
        {"b:2:b:20", "", "b:2:b:10", "", true, true, "length:b"},
        {"a:16:x:0 a:2:y:0", "", "a:2:a:0", "", false, false, "gone:x"},
        {"a:16:a:0", "", "a:16:a:0 c:8:c:0", "", false, false, "new:c"},
        {"a:16:a:0 b:2:b:0/h", "", "a:16:a:0 b:2:b:0", "", true, false, "hidden:b"},
        {"a:16:a:0 b:2:b:0/h", "", "a:16:a:0 b:2:b:0", "ib:1:b", false, false, ""},
        {"a:16:who:0", "", "a:16:a:0", "ia:1:a", false, false, "index_new:ia"},
        {"a:16:who:0", "ia:1:who", "a:16:a:0", "ia:1:a", false, false, ""},
        {"a:16:a:0", "ia:1:a ia:2:b", "a:16:a:0", "ia:1:a", false, false, "index_gone:ia"},
    };
    const char* kinds[] = {"", "table_new", "table_gone", "new", "gone", "type", "length", "sql_name", "sql_type",
                           "hidden", "index_new", "index_gone"};
    for (const auto& row : rows) {
        saved_table_t saved;
        expected_t data;
        fill(row.saved, row.saved_index, &saved.columns, &saved.entries);
        fill(row.data, row.data_index, &data.owned, &data.entries);
        for (const column_ptr& c : data.owned)
            data.columns.push_back(c.get());
        std::vector<drift_t*> found;
        const std::string table = "o", none;
        compare_table(table_diff_t{table, false, none, &found}, saved, data, row.all, row.exact);
        std::string text;
        for (const drift_t* d : found) {
            const char* name = d->kind >= DRIFT_INDEX_NEW ? (d->in_data ? d->data_entry : d->schema_entry).index_name
                                                          : (d->in_schema ? d->schema_column : d->data_column).sql_name;
            text += std::string(text.empty() ? "" : " ") + kinds[d->kind] + ":" + name;
            const_cast<drift_t*>(d)->next = nullptr;
            free_drift(const_cast<drift_t*>(d));
        }
        EXPECT_EQ(text, row.found) << row.saved << " [" << row.saved_index << "] / " << row.data << " ["
                                   << row.data_index << "] all " << row.all << " exact " << row.exact;
    }
}

// What start-up read of the columns collection serves a pick from, and when the server must
// be asked: it sorts by name, so a document without one, or two of one name, leave the order unknown.
TEST(SharedSchema, SeenColumnsServeOnlyWhatTheirOrderIsKnownFor)
{
    const struct {
        // t:n ("!" virtual, "-" no sql_name, "2" two, "L"/"H" with 0.6/1.5 MB more); "*": virtual tables
        const char *docs, *table, *served; // virtual tables by table in the order met, each by name, as t:n
        bool whole;                        // the collection read to its end
    } rows[] = {
        {"t:b t:a u:c t:c", "t", "a b c", true}, {"t:b t:a", "t", "ask", false}, {"t:b t:a t:b", "t", "ask", true},
        {"t:b u:b t:a", "t", "a b", true},       {"t:a t:-", "t", "ask", true},  {"t:a u:x", "v", "", true},
        {"t:b! u:a! t:c t:a!", "*", "t:a t:b u:a", true}, {"t:a! u:a!", "*", "t:a u:a", true}, {"t:a! t:a!", "*", "ask", true},
        {"t:a t:b2", "t", "ask", true},          {"t:bL u:aH t:aH t:cL t:dL", "t", "a b c d", true},
        {"t:b u:aH t:c t:d", "u", "a", true},
    };
    for (const auto& row : rows) {
        DBINFO d;
        dbinfo_clear(&d);
        d.md_client = reinterpret_cast<mongoc_client_t*>(&d); // compared, never used
        d.tables = reinterpret_cast<db_catalog_t*>(&d);       // start-up holds the tree
        std::strcpy(d.md_database, "s");
        seen_columns_start(&d);
        std::istringstream words(row.docs);
        for (std::string w; words >> w;) {
            std::string name = w.substr(2), mark = name.size() > 1 ? name.substr(1) : "";
            bson_t* doc = BCON_NEW("sql_catalog", "c", "sql_schema", "dbo", "sql_table",
                                   BCON_UTF8(w.substr(0, 1).c_str()), "virtual_array", BCON_BOOL(mark == "!"));
            for (int times = name[0] == '-' ? 0 : mark == "2" ? 2 : 1; times > 0; --times)
                BSON_APPEND_UTF8(doc, "sql_name", name.substr(0, 1).c_str());
            if (mark == "L" || mark == "H") // kept across the record's blocks, or in one of its own
                BSON_APPEND_UTF8(doc, "pad", std::string(mark == "L" ? 600000 : 1500000, 'x').c_str());
            seen_columns_add(doc);
            bson_destroy(doc);
        }
        seen_columns_finish(row.whole);
        doc_refs_t docs;
        std::string served = "ask", names;
        auto name = [&](const char* t, const char* n) {
            names += std::string(names.empty() ? "" : " ") + t + ":" + n;
        };
        if (*row.table == '*') {
            if (seen_virtual_names(&d, "c", "dbo", name))
                served = names;
        } else if (seen_table_columns(&d, "c", "dbo", row.table, &docs)) {
            served.clear();
            for (const doc_ref_t& r : docs) {
                bson_iter_t it;
                bson_iter_init_find(&it, r.doc, "sql_name");
                served += std::string(served.empty() ? "" : " ") + bson_iter_utf8(&it, nullptr);
                char* text = bson_as_relaxed_extended_json(r.doc, nullptr); // null when a byte is wrong
                if (!text || (std::strstr(text, "pad") && std::string(text).find("xxx\"") == std::string::npos))
                    served += "(overwritten)";
                bson_free(text);
            }
        }
        EXPECT_EQ(served, row.served) << row.docs << " / " << row.table;
        d.tables = nullptr; // a pick after start-up asks the server
        EXPECT_FALSE(seen_table_columns(&d, "c", "dbo", "t", &docs)) << row.docs;
        d.tables = reinterpret_cast<db_catalog_t*>(&d);
        std::strcpy(d.md_database, "other"); // so does another schema database
        EXPECT_FALSE(seen_table_columns(&d, "c", "dbo", "t", &docs)) << row.docs;
        seen_columns_forget();
    }
}

TEST(SharedSchema, AVersionsCountsInWords)
{
    const struct {
        int32_t added, removed, columns, index;
        const char* words;
    } rows[] = {{0, 0, 0, 0, "no change"},
                {1, 0, 0, 0, "added 1 table"},
                {2, 0, 0, 0, "added 2 tables"},
                {0, 1, 0, 0, "removed 1 table"},
                {0, 3, 1, 0, "removed 3 tables, columns changed 1"},
                {1, 1, 0, 0, "added 1 table, removed 1"},
                {0, 0, 2, 1, "columns changed 2, index entries changed 1"}};
    for (const auto& row : rows) {
        version_t v;
        v.tables_added = row.added, v.tables_removed = row.removed;
        v.columns_changed = row.columns, v.index_changed = row.index;
        EXPECT_EQ(version_counts(v), row.words);
    }
}

} // namespace
