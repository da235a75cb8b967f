// The registry operations over advapi32. The entry points are taken from the library
// that the lookup has loaded, so a missing advapi32 is reported rather than fatal.
#ifdef _WIN32

#include "startup/platform/registry.h"

#include <cstring>
#include <windows.h>

namespace {

typedef LONG(WINAPI* open_key_fn)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
typedef LONG(WINAPI* query_value_fn)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
typedef LONG(WINAPI* close_key_fn)(HKEY);

open_key_fn open_key = nullptr;
query_value_fn query_value = nullptr;
close_key_fn close_key = nullptr;

// The value buffer of the registry query: 4096 bytes of wide text.
const DWORD value_bytes = 4096;

} // namespace

const char* registry_library_kind(void) { return "windows library"; }
const char* registry_library_name(void) { return "advapi32.dll"; }
const char* registry_driver_file(void) { return "brol.dll"; }

bool registry_bind(registry_resolver resolve, void* context)
{
    open_key = reinterpret_cast<open_key_fn>(resolve(context, "RegOpenKeyExW"));
    query_value = reinterpret_cast<query_value_fn>(resolve(context, "RegQueryValueExW"));
    close_key = reinterpret_cast<close_key_fn>(resolve(context, "RegCloseKey"));
    if (open_key && query_value && close_key)
        return true;
    open_key = nullptr;
    query_value = nullptr;
    close_key = nullptr;
    return false;
}

int registry_open_key(int hive, const wchar_t* path, registry_key_t** key)
{
    *key = nullptr;
    if (!open_key)
        return ERROR_DLL_NOT_FOUND;
    if (!path)
        return ERROR_INVALID_PARAMETER;
    HKEY root;
    REGSAM access = KEY_QUERY_VALUE;
    switch (hive) {
    case REGISTRY_CURRENT_USER: root = HKEY_CURRENT_USER; break;
    case REGISTRY_LOCAL_MACHINE_64: root = HKEY_LOCAL_MACHINE; access |= KEY_WOW64_64KEY; break;
    case REGISTRY_LOCAL_MACHINE_32: root = HKEY_LOCAL_MACHINE; access |= KEY_WOW64_32KEY; break;
    default: return ERROR_INVALID_PARAMETER;
    }
    HKEY opened = nullptr;
    LONG result = open_key(root, path, 0, access, &opened);
    if (result != ERROR_SUCCESS)
        return static_cast<int>(result);
    *key = reinterpret_cast<registry_key_t*>(opened);
    return ERROR_SUCCESS;
}

int registry_query_value(registry_key_t* key, const wchar_t* name, char* text, size_t size)
{
    if (!query_value)
        return ERROR_DLL_NOT_FOUND;
    if (!key || !name || !text || size == 0)
        return ERROR_INVALID_PARAMETER;
    // One wide character more than the registry may fill, so the text always ends.
    WCHAR wide[value_bytes / sizeof(WCHAR) + 1];
    DWORD type = 0;
    DWORD bytes = value_bytes;
    LONG result = query_value(reinterpret_cast<HKEY>(key), name, nullptr, &type,
                              reinterpret_cast<LPBYTE>(wide), &bytes);
    if (result != ERROR_SUCCESS)
        return static_cast<int>(result);
    // The editor's data sources hold strings; anything else is not taken as text.
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_UNSUPPORTED_TYPE;
    wide[bytes / sizeof(WCHAR)] = L'\0';
    int limit = size < REGISTRY_TEXT ? static_cast<int>(size) : REGISTRY_TEXT;
    int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, text, limit, nullptr, nullptr);
    if (n == 0) {
        DWORD error = GetLastError();
        return error == ERROR_INSUFFICIENT_BUFFER ? ERROR_MORE_DATA : static_cast<int>(error);
    }
    return ERROR_SUCCESS;
}

int registry_driver_path(registry_key_t*, const char*, char*, size_t)
{
    // A Windows data source's "Driver" value is the driver's file itself.
    return ERROR_FILE_NOT_FOUND;
}

void registry_close_key(registry_key_t* key)
{
    if (key && close_key)
        close_key(reinterpret_cast<HKEY>(key));
}

#endif
