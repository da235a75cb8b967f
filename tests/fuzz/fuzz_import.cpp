// The import file: bytes read and checked as a schema file of the catalog "shop", then every
// document of the result read as the import writes it. The text lies in a heap block of exactly
// its size, so that a read one byte past the end is caught.
#include "core/records.h"
#include "store/fields.h"
#include "store/schema_file.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

bool terminated(const char* text, size_t size)
{
    return std::memchr(text, '\0', size) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<char> text(data, data + size); // a heap block of exactly this size
    schema_file_problem_t problem;
    schema_file_t* file = read_schema_file(text.data(), size, "shop", &problem);
    // Refused with a problem that says where, or accepted with none.
    int lines = 1;
    for (size_t i = 0; i < size; ++i)
        lines += text[i] == '\n';
    if (!file && (problem.code == 0 || problem.line < 1 || problem.line > lines))
        std::abort();
    if (!terminated(problem.collection, sizeof problem.collection) || !terminated(problem.field, sizeof problem.field) ||
        !terminated(problem.detail, sizeof problem.detail))
        std::abort();
    if (file && problem.code != 0)
        std::abort();
    int total = 0;
    for (int kind = 0; kind <= 4; ++kind) {
        int count = schema_file_count(file, kind);
        if (count < 0 || ((kind < 1 || kind > 3) && count != 0))
            std::abort();
        total += count;
        for (int i = 0; file && kind >= 1 && kind <= 3 && i < count; ++i) {
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
    if (!file && total != 0)
        std::abort();
    free_schema_file(file);
    return 0;
}
