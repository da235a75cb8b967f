#include "store/change/merge.h"

#include "core/records.h"

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

db_index_t* copy_indexes(const db_index_t* entries)
{
    db_index_t* head = nullptr;
    db_index_t** tail = &head;
    for (const db_index_t* e = entries; e; e = e->next) {
        db_index_t* copy = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
        *copy = *e;
        copy->sql_col_name = copy_text(e->sql_col_name);
        copy->index_name = copy_text(e->index_name);
        copy->next = nullptr;
        *tail = copy;
        tail = &copy->next;
    }
    return head;
}

db_column_t* copy_column(const db_column_t* c)
{
    db_column_t* copy = new_column();
    *copy = *c;
    copy->sql_name = copy_text(c->sql_name);
    copy->mongo_name = copy_text(c->mongo_name);
    copy->virtual_parent = copy_text(c->virtual_parent);
    copy->indexes = copy_indexes(c->indexes);
    copy->path = copy_names(c->path);
    copy->next = copy->prev = nullptr;
    return copy;
}

// Each column of a list under its key: its MongoDB name and which of the columns of that
// name it is.
std::vector<std::pair<std::string, const db_column_t*>> keyed(const db_column_t* list)
{
    std::vector<std::pair<std::string, const db_column_t*>> out;
    std::map<std::string, int> seen;
    for (const db_column_t* c = list; c; c = c->next) {
        std::string name = c->mongo_name ? c->mongo_name : "";
        out.emplace_back(name + '\x1f' + std::to_string(seen[name]++), c);
    }
    return out;
}

const db_column_t* find(const std::vector<std::pair<std::string, const db_column_t*>>& list, const std::string& key)
{
    for (const auto& k : list)
        if (k.first == key)
            return k.second;
    return nullptr;
}

bool same_text(const char* a, const char* b)
{
    return std::strcmp(a ? a : "", b ? b : "") == 0;
}

bool edited_at_all(const db_column_t* was, const db_column_t* is)
{
    return !same_text(was->sql_name, is->sql_name) || was->sql_type != is->sql_type ||
           was->mongo_type != is->mongo_type || was->length != is->length || was->precision != is->precision ||
           was->scale != is->scale || was->visible != is->visible || was->virtual_array != is->virtual_array;
}

// fresh's column with the fields this program changed from was to is.
db_column_t* carried(const db_column_t* was, const db_column_t* is, const db_column_t* fresh)
{
    db_column_t* out = copy_column(fresh);
    if (!same_text(was->sql_name, is->sql_name)) {
        std::free(out->sql_name);
        out->sql_name = copy_text(is->sql_name);
    }
    auto take = [&](auto field) {
        if (was->*field != is->*field)
            out->*field = is->*field;
    };
    take(&db_column_t::sql_type);
    take(&db_column_t::mongo_type);
    take(&db_column_t::length);
    take(&db_column_t::precision);
    take(&db_column_t::scale);
    take(&db_column_t::visible);
    take(&db_column_t::virtual_array);
    return out;
}

void append(db_column_t** head, db_column_t** tail, db_column_t* c)
{
    c->prev = *tail;
    c->next = nullptr;
    if (*tail)
        (*tail)->next = c;
    else
        *head = c;
    *tail = c;
}

} // namespace

db_column_t* copy_columns(const db_column_t* columns)
{
    db_column_t* head = nullptr;
    db_column_t* tail = nullptr;
    for (const db_column_t* c = columns; c; c = c->next)
        append(&head, &tail, copy_column(c));
    return head;
}

db_column_t* merge_column_edits(const db_column_t* read, const db_column_t* edited, const db_column_t* fresh)
{
    auto r = keyed(read), e = keyed(edited), f = keyed(fresh);
    db_column_t* head = nullptr;
    db_column_t* tail = nullptr;
    std::map<std::string, db_column_t*> placed;
    // fresh's columns, in its order, with this program's edits and removals.
    for (const auto& k : f) {
        const db_column_t* was = find(r, k.first);
        const db_column_t* is = find(e, k.first);
        if (was && !is)
            continue; // removed here
        db_column_t* c = was && is ? carried(was, is, k.second) : copy_column(k.second);
        append(&head, &tail, c);
        placed[k.first] = c;
    }
    // What this program added, and what it edited that the other program removed, after
    // the column it follows here.
    const db_column_t* previous = nullptr;
    std::string previous_key;
    for (const auto& k : e) {
        const db_column_t* was = find(r, k.first);
        bool added = !was && !find(f, k.first);
        bool kept = was && !find(f, k.first) && edited_at_all(was, k.second);
        if (added || kept) {
            db_column_t* c = copy_column(k.second);
            auto after = previous ? placed.find(previous_key) : placed.end();
            if (after == placed.end()) {
                append(&head, &tail, c);
            } else {
                db_column_t* at = after->second;
                c->prev = at;
                c->next = at->next;
                if (at->next)
                    at->next->prev = c;
                else
                    tail = c;
                at->next = c;
            }
            placed[k.first] = c;
        }
        if (placed.count(k.first)) {
            previous = k.second;
            previous_key = k.first;
        }
    }
    return head;
}
