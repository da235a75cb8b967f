#include "store/files/dump.h"

#include "core/records.h"

#include <cstring>

namespace {

void line(std::string& out, const char* label, const char* value)
{
    out += label;
    out += value ? value : "";
    out += "\r\n";
}

void line(std::string& out, const char* label, int value)
{
    line(out, label, std::to_string(value).c_str());
}

bool inside_virtual_table(const char* sql_name, const char* virtual_table)
{
    size_t n = std::strlen(virtual_table);
    return std::strcmp(sql_name, virtual_table) == 0 ||
           (std::strncmp(sql_name, virtual_table, n) == 0 && sql_name[n] == '_');
}

std::string local_time_text(std::time_t when)
{
    std::tm local;
#ifdef _WIN32 // MSVC and MinGW: Microsoft's localtime_s, the tm first
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    char text[64];
    std::strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local);
    return text;
}

} // namespace

std::string schema_dump_text(const db_column_t* columns, const char* catalog, const char* table,
                             const char* virtual_table, std::time_t generated)
{
    bool is_virtual = virtual_table && *virtual_table;
    std::string name = std::string(catalog ? catalog : "") + "." + (table ? table : "");
    if (is_virtual)
        name += std::string("_") + virtual_table;

    std::string out;
    line(out, " ", "");
    line(out, "\nGenerated     : ", local_time_text(generated).c_str());
    line(out, is_virtual ? "\nVirtual Table : " : "\nTable         : ", name.c_str());
    line(out, " ", "");
    for (const db_column_t* c = columns; c; c = c->next) {
        const char* sql_name = c->sql_name ? c->sql_name : "";
        if (is_virtual && !inside_virtual_table(sql_name, virtual_table))
            continue;
        line(out, "SQL Column    : ", sql_name);
        line(out, "SQL Type      : ", c->sql_type);
        line(out, "SQL Index     : ", c->indexes ? "Yes" : "No");
        for (const db_index_t* e = c->indexes; e; e = e->next) {
            line(out, "  Asc         : ", e->asc);
            line(out, "  Index       : ", e->index);
            line(out, "  Index Name  : ", e->index_name);
            line(out, "  Primary     : ", e->primary);
            line(out, "  SQL Column  : ", e->sql_col_name);
            line(out, "  Unique      : ", e->unique);
        }
        line(out, "Mongo Name    : ", c->mongo_name);
        line(out, "Mongo Type    : ", c->mongo_type);
        line(out, "Length        : ", c->length);
        line(out, "Precision     : ", c->precision);
        line(out, "Scale         : ", c->scale);
        line(out, "Visible       : ", c->visible ? "Yes" : "No");
        line(out, "Virtual Array : ", c->virtual_array ? "Yes" : "No");
        line(out, " ", "");
    }
    return out;
}
