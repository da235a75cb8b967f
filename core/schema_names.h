// The schema database's own words, which the driver reads too: its collections, numbered
// as the kinds of a document (the order they are made and written in), and the SQL schema
// every table stands in.
#ifndef BROLIX_CORE_SCHEMA_NAMES_H
#define BROLIX_CORE_SCHEMA_NAMES_H

#include <cstring>
#include <string>

enum schema_kind {
    KIND_NONE = 0, // not a schema collection
    KIND_TABLES = 1,
    KIND_COLUMNS = 2,
    KIND_INDEX = 3,
    KIND_SYSTEM_INDEXES = 4, // "system.indexes", kept by older servers: tolerated, never read
};
// Arrays by kind, indexed from KIND_TABLES to KIND_INDEX.
enum { KIND_SLOTS = KIND_INDEX + 1 };

// "tables", "columns", "index"; "" for any other kind.
inline const char* collection_name(int kind)
{
    static const char* const names[KIND_SLOTS] = {"", "tables", "columns", "index"};
    return kind >= KIND_TABLES && kind <= KIND_INDEX ? names[kind] : "";
}
// The kind of the collection named: KIND_TABLES to KIND_INDEX, else KIND_NONE.
inline int collection_kind(const char* name)
{
    for (int kind = KIND_TABLES; kind <= KIND_INDEX; ++kind)
        if (name && std::strcmp(name, collection_name(kind)) == 0)
            return kind;
    return KIND_NONE;
}

// The SQL schema of every table the editor writes.
constexpr const char SQL_SCHEMA[] = "dbo";
// The key of one of its tables: catalog, schema and name joined with "." (without a name,
// the beginning of every key of the catalog).
inline std::string table_key(const std::string& catalog, const std::string& name = std::string())
{
    return catalog + "." + SQL_SCHEMA + "." + name;
}

#endif
