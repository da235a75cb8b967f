// A change plan: what diff finds, as items a reviewer accepts one by one, and the
// documents the accepted items leave each table with, written in one go. Hand edits of
// a column (SQL name, SQL type, hidden) stay unless the item is about that very field.
#ifndef BROLIX_STORE_PLAN_H
#define BROLIX_STORE_PLAN_H

#include "core/outcomes.h"
#include "store/analysis/drift.h"

#include <string>
#include <vector>

struct DBINFO;

// The hand edits an item keeps.
enum plan_kept { PLAN_KEPT_SQL_NAME = 1, PLAN_KEPT_SQL_TYPE = 2, PLAN_KEPT_HIDDEN = 4 };

struct plan_item_t {
    int id;                // from 1, in the order diff lists the changes
    const drift_t* change; // one difference (a new table's columns and entries in contents)
    int kept;              // PLAN_KEPT_ flags
};

struct plan_t {
    std::string database, schema;
    std::string fingerprint; // of the catalog's schema documents the plan was made from
    drift_t* changes = nullptr;
    std::vector<plan_item_t> items;
};

struct plan_problem_t {
    int code;
    int item;
    char detail[512];
};

// The plan of the tables named (all when count is 0): diff's reads and nothing more.
// False with problem set as diff_schema sets it.
bool make_plan(DBINFO* dbinfo, const char* const* tables, size_t count, plan_t** plan, drift_problem_t* problem);
void free_plan(plan_t* plan);

// One line per item: "ID TABLE: what", and the hand edits it keeps.
std::string plan_text(const plan_t* plan);
// One JSON object: format, database, schema, fingerprint, items (diff's members each,
// with id, kept and, for a new table, contents).
std::string plan_json(const plan_t* plan);
// A plan file as plan_json writes it, checked whole; null with the problem otherwise.
plan_t* read_plan(const char* text, size_t size, plan_problem_t* problem);

// An item as diff's report words it ("TABLE: what"), and the hand edits it keeps
// ("SQL name number, hidden"; empty when none).
std::string plan_item_text(const plan_item_t& item);
std::string plan_kept_text(const plan_item_t& item);

// Writes the chosen items (ids) through the schema's journal, all or none, after checking
// that the schema holds the documents the plan was made from. False with problem set
// otherwise. Costs the three reads of the catalog and the journal's constant requests.
bool apply_plan(DBINFO* dbinfo, const plan_t* plan, const std::vector<int>& chosen, plan_problem_t* problem);

#endif
