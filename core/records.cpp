#include "core/records.h"

#include "core/dbinfo.h"

#include <bson/bson.h>
#include <cstdlib>
#include <cstring>

void* record_alloc(unsigned long size)
{
    void* p = std::calloc(1, size ? size : 1);
    if (!p)
        std::exit(0);
    return p;
}

char* copy_text(const char* text)
{
    if (!text)
        return nullptr;
    size_t n = std::strlen(text);
    char* copy = static_cast<char*>(std::malloc(n + 1));
    if (!copy)
        std::exit(0);
    std::memcpy(copy, text, n + 1);
    return copy;
}

db_column_t* new_column(void)
{
    db_column_t* c = static_cast<db_column_t*>(record_alloc(sizeof(db_column_t)));
    c->visible = true;
    return c;
}

void free_indexes(db_index_t* entry)
{
    while (entry) {
        db_index_t* next = entry->next;
        std::free(entry->sql_col_name);
        std::free(entry->index_name);
        std::free(entry);
        entry = next;
    }
}

void free_column(db_column_t* c)
{
    if (!c)
        return;
    std::free(c->sql_name);
    std::free(c->mongo_name);
    std::free(c->virtual_parent);
    free_indexes(c->indexes);
    free_names(c->path);
    std::free(c);
}

void free_columns(db_column_t* c)
{
    while (c) {
        db_column_t* next = c->next;
        free_column(c);
        c = next;
    }
}

void free_table_refs(db_table_ref_t* ref)
{
    while (ref) {
        db_table_ref_t* next = ref->next;
        std::free(ref->key);
        std::free(ref->mongo_name);
        std::free(ref->sql_name);
        std::free(ref);
        ref = next;
    }
}

void free_table_tree(DBINFO* dbinfo)
{
    db_catalog_t* cat = dbinfo->tables;
    while (cat) {
        db_schema_t* sch = cat->schemas;
        while (sch) {
            db_table_t* t = sch->tables;
            while (t) {
                db_table_t* tn = t->next;
                std::free(t->name);
                std::free(t->mongo_name);
                std::free(t);
                t = tn;
            }
            db_schema_t* sn = sch->next;
            std::free(sch->name);
            std::free(sch);
            sch = sn;
        }
        db_catalog_t* cn = cat->next;
        std::free(cat->name);
        std::free(cat);
        cat = cn;
    }
    dbinfo->tables = nullptr;
}

namespace {
template <typename Node>
Node* find_or_append(Node** head, const char* name)
{
    Node** link = head;
    while (*link) {
        if (std::strcmp((*link)->name, name) == 0)
            return *link;
        link = &(*link)->next;
    }
    Node* node = static_cast<Node*>(record_alloc(sizeof(Node)));
    node->name = copy_text(name);
    *link = node;
    return node;
}
}

namespace {
db_table_t* new_table(db_schema_t* sch, const char* name)
{
    db_table_t* t = static_cast<db_table_t*>(record_alloc(sizeof(db_table_t)));
    t->name = copy_text(name);
    (sch->last ? sch->last->next : sch->tables) = t;
    sch->last = t;
    return t;
}

void keep_mongo_name(db_table_t* t, const char* mongo_name)
{
    if (!t->mongo_name && mongo_name && *mongo_name && std::strcmp(mongo_name, t->name) != 0)
        t->mongo_name = copy_text(mongo_name);
}
}

void add_to_table_tree(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                       const char* mongo_name)
{
    db_catalog_t* cat = find_or_append(&dbinfo->tables, catalog ? catalog : "");
    db_schema_t* sch = find_or_append(&cat->schemas, schema ? schema : "");
    db_table_t* t = sch->tables;
    while (t && std::strcmp(t->name, table ? table : "") != 0)
        t = t->next;
    keep_mongo_name(t ? t : new_table(sch, table ? table : ""), mongo_name);
}

void append_to_table_tree(DBINFO* dbinfo, const char* catalog, const char* schema, const char* table,
                          const char* mongo_name)
{
    db_catalog_t* cat = find_or_append(&dbinfo->tables, catalog ? catalog : "");
    db_schema_t* sch = find_or_append(&cat->schemas, schema ? schema : "");
    keep_mongo_name(new_table(sch, table ? table : ""), mongo_name);
}

db_name_t* copy_names(const db_name_t* names)
{
    db_name_t* head = nullptr;
    db_name_t** link = &head;
    for (; names; names = names->next) {
        db_name_t* n = static_cast<db_name_t*>(record_alloc(sizeof(db_name_t)));
        n->name = copy_text(names->name);
        *link = n;
        link = &n->next;
    }
    return head;
}

db_name_t* append_name(db_name_t* names, const char* name)
{
    db_name_t* n = static_cast<db_name_t*>(record_alloc(sizeof(db_name_t)));
    n->name = copy_text(name ? name : "");
    if (!names)
        return n;
    db_name_t* tail = names;
    while (tail->next)
        tail = tail->next;
    tail->next = n;
    return names;
}

char* join_names(const db_name_t* names, const char* separator)
{
    size_t sep = std::strlen(separator);
    size_t total = 1;
    for (const db_name_t* n = names; n; n = n->next)
        total += std::strlen(n->name) + (n->next ? sep : 0);
    char* out = static_cast<char*>(std::malloc(total));
    if (!out)
        std::exit(0);
    char* p = out;
    for (const db_name_t* n = names; n; n = n->next) {
        size_t len = std::strlen(n->name);
        std::memcpy(p, n->name, len);
        p += len;
        if (n->next) {
            std::memcpy(p, separator, sep);
            p += sep;
        }
    }
    *p = '\0';
    return out;
}

void free_names(db_name_t* names)
{
    while (names) {
        db_name_t* next = names->next;
        std::free(names->name);
        std::free(names);
        names = next;
    }
}

void free_collection_names(DBINFO* dbinfo, char** names)
{
    if (!names)
        return;
    if (dbinfo && dbinfo->legacy_collection_list) {
        bson_strfreev(names);
        return;
    }
    for (char** p = names; *p; ++p)
        std::free(*p);
    std::free(names);
}

bool is_system_collection(const char* name)
{
    return name && std::strncmp(name, "system.", 7) == 0;
}
