#include "core/dbinfo.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

void dbinfo_clear(DBINFO* d)
{
    d->catalog.clear();
    d->schema.clear();
    d->table.clear();
    d->qualified_table.clear();
    d->virtual_table.clear();
    d->dsn.clear();
    d->server[0] = d->database[0] = d->user[0] = d->password[0] = '\0';
    d->md_server[0] = d->md_database[0] = d->md_user[0] = d->md_password[0] = '\0';
    d->tables = nullptr;
    d->client = nullptr;
    d->db = nullptr;
    d->md_client = nullptr;
    d->md_db = nullptr;
    d->preview_rows = 0;
    d->max_width = 0;
    d->default_wide = false;
    d->db_collections = nullptr;
    d->md_tables = nullptr;
    d->mode = MODE_EDIT;
    d->view_switch = false;
    d->debug_file[0] = '\0';
    d->column_count = d->page_count = d->page_size = d->current_page = 0;
    d->columns = nullptr;
    d->vt_names = nullptr;
    d->ssl = nullptr;
    d->wcv = nullptr;
    std::memset(&d->ssl_opts, 0, sizeof d->ssl_opts);
    d->legacy_collection_list = 0;
    d->pool_size = 0;
    d->sample_strategy = SAMPLE_FIRST;
}

void dbinfo_init(DBINFO* d)
{
    d->catalog = "";
    d->schema = "";
    d->table = "";
    d->qualified_table = "";
    d->virtual_table = "";
    d->tables = nullptr;
    d->client = nullptr;
    d->db = nullptr;
    d->md_client = nullptr;
    d->md_db = nullptr;
    d->preview_rows = 0;
    d->max_width = 0;
    d->default_wide = false;
    d->mode = MODE_EDIT;
    d->view_switch = false;
}

void dbinfo_before_connect(DBINFO* d)
{
    if (d->preview_rows == 0)
        d->preview_rows = 100;
    if (d->pool_size == 0)
        d->pool_size = DEFAULT_POOL_SIZE;
    if (d->sample_strategy < 0)
        d->sample_strategy = SAMPLE_FIRST;
    d->legacy_collection_list = 0;
    d->column_count = d->page_count = d->page_size = d->current_page = 0;
    d->columns = nullptr;
    d->vt_names = nullptr;
}

int leading_decimal(const char* text)
{
    long long v = std::strtoll(text ? text : "", nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

bool dbinfo_set_text(char* field, const char* text)
{
    size_t n = std::strlen(text);
    if (n >= DBINFO_TEXT)
        return false;
    std::memcpy(field, text, n + 1);
    return true;
}

namespace {
std::vector<void*>& process_lifetime()
{
    // Never destroyed: the leak checker looks after the static destructors have run.
    static auto* kept = new std::vector<void*>;
    return *kept;
}
std::mutex kept_lock;
}

void keep_for_process(void* pointer)
{
    if (!pointer)
        return;
    std::lock_guard<std::mutex> guard(kept_lock);
    process_lifetime().push_back(pointer);
}

char* keep_string(const char* text)
{
    char* copy = strdup(text ? text : "");
    if (!copy)
        std::exit(0);
    keep_for_process(copy);
    return copy;
}
