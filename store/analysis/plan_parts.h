#pragma once

// What the plan's files share (plan_items, plan_file, plan_apply); nothing outside store/analysis
// includes this but the unit tests of an item's effect.

#include "core/records.h"
#include "store/analysis/plan.h"

#include <bson/bson.h>

#include <array>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace plan_internal {

// The documents of the catalog, each as the digest of its kind and bytes, in any order:
// a digest rather than the document, as a catalog of 10,000 tables holds 300,000 of them.
typedef std::array<unsigned char, 16> doc_digest_t;
typedef std::vector<doc_digest_t> doc_texts_t;

// One document owned (a unique_ptr of bson_t would drop the type's alignment attribute).
struct doc_ptr {
    bson_t* doc = nullptr;
    doc_ptr() = default;
    explicit doc_ptr(bson_t* d) : doc(d) {}
    doc_ptr(doc_ptr&& other) noexcept : doc(other.doc) { other.doc = nullptr; }
    doc_ptr& operator=(doc_ptr&& other) noexcept
    {
        std::swap(doc, other.doc);
        return *this;
    }
    ~doc_ptr()
    {
        if (doc)
            bson_destroy(doc);
    }
    const bson_t* get() const { return doc; }
    void reset(bson_t* d) { *this = doc_ptr(d); }
};

struct column_free {
    void operator()(db_column_t* c) const { free_column(c); }
};

// One column of a table being changed: its document as read, until an item changes it.
struct column_slot_t {
    doc_ptr doc;
    std::unique_ptr<db_column_t, column_free> column;
    bool changed = false;
};

// A table's documents, as read, then as the chosen items leave them.
struct table_state_t {
    std::vector<doc_ptr> tables, index;
    std::vector<column_slot_t> columns;
    bool touched = false;
};

void set_problem(plan_problem_t* problem, int code, int item, const std::string& detail);
// The catalog's documents noted as diff reads them, and their fingerprint.
void note_doc(void* context, int kind, const bson_t* doc);
std::string fingerprint_of(doc_texts_t texts);
// What one item changes in its table; false when the table does not hold what it names.
bool apply_item(DBINFO* dbinfo, const drift_t* d, table_state_t& t);

} // namespace plan_internal
