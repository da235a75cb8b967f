// The registry as the data source lookup sees it: a key is opened in one of three
// places, string values are queried from it, and it is closed. On Windows these are
// advapi32's registry calls; elsewhere they read unixODBC's data sources through its
// installer library, user data sources standing where HKEY_CURRENT_USER stands and
// system data sources where HKEY_LOCAL_MACHINE stands.
//
// No Qt here: the Windows implementation must compile on its own.
#ifndef BROLIX_STARTUP_PLATFORM_REGISTRY_H
#define BROLIX_STARTUP_PLATFORM_REGISTRY_H

#include <cstddef>

struct registry_key_t;

// Where a key is looked for, in the order the lookup tries them.
enum registry_hive {
    REGISTRY_CURRENT_USER = 0,     // HKEY_CURRENT_USER; user data sources
    REGISTRY_LOCAL_MACHINE_64 = 1, // HKEY_LOCAL_MACHINE, 64-bit view; system data sources
    REGISTRY_LOCAL_MACHINE_32 = 2  // HKEY_LOCAL_MACHINE, 32-bit view; nothing outside Windows
};

// Result codes are the registry's own (Windows error codes); these are the ones the
// lookup tells apart or that both implementations give.
enum registry_result {
    REGISTRY_SUCCESS = 0,
    REGISTRY_NOT_FOUND = 2,       // ERROR_FILE_NOT_FOUND: no such key, or no such value
    REGISTRY_INVALID = 87,        // ERROR_INVALID_PARAMETER
    REGISTRY_MORE_DATA = 234,     // ERROR_MORE_DATA: the value does not fit its field
    REGISTRY_NOT_LOADED = 1157,   // ERROR_DLL_NOT_FOUND: registry_bind has not succeeded
    REGISTRY_BAD_TYPE = 1630      // ERROR_UNSUPPORTED_TYPE: not a string value
};

// Size of a value's text with its NUL: at most 2047 bytes of text.
enum { REGISTRY_TEXT = 2048 };

// The system library the operations come from, as the start-up box names it
// ("windows library", "advapi32.dll"), and the driver file a data source of the
// editor's own driver names on this platform.
const char* registry_library_kind(void);
const char* registry_library_name(void);
const char* registry_driver_file(void);

typedef void (*registry_function)(void);
typedef registry_function (*registry_resolver)(void* context, const char* symbol);

// Takes the operations' entry points from the loaded library through resolve. False
// (and nothing usable) when one is missing.
bool registry_bind(registry_resolver resolve, void* context);

// Opens path ("SOFTWARE\ODBC\ODBC.INI\" and the data source name) for reading.
// REGISTRY_SUCCESS and *key set, or the error (REGISTRY_NOT_FOUND when there is no such
// key) and *key null. A key is closed with registry_close_key.
int registry_open_key(int hive, const wchar_t* path, registry_key_t** key);

// The value's text as 8-bit text into text (size bytes, at least REGISTRY_TEXT).
// REGISTRY_NOT_FOUND when the key has no such value (an empty value is found, with
// text ""); REGISTRY_MORE_DATA when the text would not fit. On failure text is
// undefined.
int registry_query_value(registry_key_t* key, const wchar_t* name, char* text, size_t size);

// When driver (a data source's "Driver" value) names an installed driver rather than
// a file, that driver's file into path (size bytes). REGISTRY_NOT_FOUND when it names
// none (Windows data sources always hold the file itself).
int registry_driver_path(registry_key_t* key, const char* driver, char* path, size_t size);

void registry_close_key(registry_key_t* key);

#endif
