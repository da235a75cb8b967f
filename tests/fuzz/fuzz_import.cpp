// The import file: bytes read and checked as a schema file of the catalog "shop", then every
// document of the result read as the import writes it.
#include "core/records.h"
#include "store/write/fields.h"
#include "store/files/schema_file.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace {

bool ends_in_nul(const char* text, size_t size)
{
    return std::memchr(text, '\0', size) != nullptr;
}

// A copy of the bytes that ends where a page nothing may read begins: a read one byte past
// the end faults, with a sanitizer or without one.
const char* guarded_copy(const uint8_t* data, size_t size)
{
    static char* region = nullptr;
    static size_t usable = 0;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    if (!region || size > usable) {
        if (region)
            munmap(region, usable + page);
        usable = (size / page + 1) * page;
        region = static_cast<char*>(
            mmap(nullptr, usable + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (region == MAP_FAILED || mprotect(region + usable, page, PROT_NONE) != 0)
            std::abort();
    }
    if (size)
        std::memcpy(region + usable - size, data, size);
    return region + usable - size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* text = guarded_copy(data, size);
    schema_file_problem_t problem;
    schema_file_t* file = read_schema_file(text, size, "shop", &problem);
    // Refused with a problem that says where, or accepted with none; its texts terminated.
    const int lines = 1 + int(std::count(text, text + size, '\n'));
    const bool texts_end = ends_in_nul(problem.collection, sizeof problem.collection) &&
                           ends_in_nul(problem.field, sizeof problem.field) &&
                           ends_in_nul(problem.detail, sizeof problem.detail);
    if (!texts_end || (file ? problem.code != 0 : problem.code == 0 || problem.line < 1 || problem.line > lines))
        std::abort();
    for (int kind = 0; kind <= 4; ++kind) {
        const int count = schema_file_count(file, kind);
        if (count < 0 || ((!file || kind < 1 || kind > 3) && count != 0))
            std::abort();
        for (int i = 0; i < count; ++i) {
            // What the import writes: a valid document of the collection, of this catalog.
            const bson_t* doc = file->docs[kind][size_t(i)].doc;
            bson_iter_t it;
            if (!doc || !bson_validate(doc, BSON_VALIDATE_UTF8, nullptr) || !schema_document_allowed(doc, kind) ||
                !bson_iter_init_find(&it, doc, "sql_catalog") || !BSON_ITER_HOLDS_UTF8(&it) ||
                std::strcmp(bson_iter_utf8(&it, nullptr), "shop") != 0)
                std::abort();
            db_table_doc_t tree, ref;
            if (kind == 1 && (!read_tables_document(doc, &tree, &ref) || !tree.table || !ref.table))
                std::abort();
            db_column_t* column = new_column();
            if (kind == 2)
                read_column_document(doc, column);
            free_column(column);
            db_index_t* entry = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
            if (kind == 3)
                read_index_document(doc, entry);
            free_indexes(entry);
        }
    }
    free_schema_file(file);
    return 0;
}
