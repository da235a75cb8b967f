// Settings from a named ODBC data source.
#ifndef BROLIX_STARTUP_DATASOURCE_H
#define BROLIX_STARTUP_DATASOURCE_H

#include "core/outcomes.h"

struct DBINFO;
struct registry_key_t;

// Fills the settings that the command line left empty from the data source named by
// dbinfo->dsn. True when code is DATA_SOURCE_READ; otherwise code is DATA_SOURCE_NOT_USABLE,
// DATA_SOURCE_NOT_FOUND or DATA_SOURCE_NO_LIBRARY (the system library could not be loaded).
bool lookup_data_source(DBINFO* dbinfo, int* code);

// Reads the data source's values from its open key into the record: 0, DATA_SOURCE_NOT_USABLE
// when the data source belongs to another driver, or the registry's code for the first value
// that had to be read and could not be (2 when it does not exist). Whatever the
// result, the sample size and display width are left usable.
int read_data_source_values(DBINFO* dbinfo, registry_key_t* key);

// Reads one value into a 2048-byte field unless the field already holds text (then 0
// at once). 0, or the registry's code with the field unchanged. A value longer than
// 2047 bytes is not read (code 234), so no setting is ever silently cut.
int read_registry_value(registry_key_t* key, char* field, const wchar_t* name);

// The text of the start-up box for DATA_SOURCE_NO_LIBRARY on this platform, naming the
// library that failed to load.
const char* data_source_library_message(void);
// The text of the start-up box for a failed lookup's code.
const char* data_source_error_text(int code);

// The system library the lookup loads. By default the platform's own, or the file
// named by the environment variable BROLIX_ODBCINST_LIBRARY (read once); a name set
// here (null: back to the default) is loaded at the next lookup. A library once loaded
// stays loaded.
void set_data_source_library(const char* name);

#endif
