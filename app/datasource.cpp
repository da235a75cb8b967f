#include "app/datasource.h"

#include "app/dbinfo.h"

bool lookup_data_source(DBINFO*, int* code)
{
    *code = -15;
    return false;
}

const char* data_source_library_message(void)
{
    return "Failed to load windows library (advapi32.dll).";
}
