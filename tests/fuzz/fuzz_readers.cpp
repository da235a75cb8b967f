// The readers of schema documents: every document of the input (as a reply's batch holds
// them, not validated first) read as a tables, a columns and an index document and checked
// against each schema collection's fields. Whatever another tool stored must read cleanly.
#include "core/records.h"
#include "store/write/fields.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    bson_reader_t* reader = bson_reader_new_from_data(data, size);
    const bson_t* doc;
    while ((doc = bson_reader_read(reader, nullptr))) {
        db_table_doc_t tree, ref;
        // Each name is a text that lies in the document, or the empty text.
        if (read_tables_document(doc, &tree, &ref))
            for (const char* name : {tree.catalog, tree.schema, tree.table, ref.catalog, ref.schema, ref.table, ref.mongo_name})
                if (!name || std::strlen(name) >= doc->len)
                    std::abort();
        db_column_t* column = new_column();
        if (read_column_document(doc, column) && std::strcmp(column->mongo_name, "_id") != 0)
            std::abort();
        free_column(column);
        db_index_t* entry = static_cast<db_index_t*>(record_alloc(sizeof(db_index_t)));
        read_index_document(doc, entry);
        free_indexes(entry);
        for (int kind = 1; kind <= 3; ++kind)
            schema_document_allowed(doc, kind);
    }
    bson_reader_destroy(reader);
    return 0;
}
