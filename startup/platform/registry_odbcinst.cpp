// The registry operations over unixODBC's installer library. A key is a data source
// of odbc.ini: HKEY_CURRENT_USER is the user file (~/.odbc.ini, or the file named by
// ODBCINI), HKEY_LOCAL_MACHINE the system file (odbc.ini in ODBCSYSINI, /etc by
// default). The files are read through SQLGetPrivateProfileString, as the driver
// reads them, never parsed here.
//
// unixODBC keeps the answer to a value query for about 20 seconds, keyed by the
// logical file name ("ODBC.INI"), config mode, section and entry, and fixes the
// ODBCSYSINI directory at its first use in the process. Listings of sections and
// entries are always read afresh. One lookup per process makes neither matter here.
#ifndef _WIN32

#include "startup/platform/registry.h"

#include <QByteArray>
#include <QString>
#include <cstring>
#include <strings.h>
#include <vector>

namespace {

// unixODBC's SQLSetConfigMode flags.
const unsigned short config_both = 0;
const unsigned short config_user = 1;
const unsigned short config_system = 2;

typedef int (*get_profile_fn)(const char* section, const char* entry, const char* fallback,
                              char* buffer, int size, const char* file);
typedef int (*set_mode_fn)(unsigned short mode);

get_profile_fn get_profile = nullptr;
set_mode_fn set_mode = nullptr;

const wchar_t odbc_ini_prefix[] = L"SOFTWARE\\ODBC\\ODBC.INI\\";

// Listings longer than this are not believed (and not searched).
const size_t listing_limit = 1 << 20;

int read_profile(unsigned short mode, const char* section, const char* entry, char* buffer,
                 size_t size, const char* file)
{
    set_mode(mode);
    int n = get_profile(section, entry, "", buffer, static_cast<int>(size), file);
    set_mode(config_both);
    return n;
}

// Whether the listing of a file's sections (section null) or of a section's entries
// holds name. Names are compared as unixODBC compares them, without regard to case.
bool listing_holds(unsigned short mode, const char* section, const char* name, const char* file)
{
    std::vector<char> buffer(4096);
    int n = 0;
    for (;;) {
        n = read_profile(mode, section, nullptr, buffer.data(), buffer.size(), file);
        if (n < 0)
            return false;
        // A listing that fills the buffer may have been cut: read it again in a larger one.
        if (static_cast<size_t>(n) + 2 < buffer.size())
            break;
        if (buffer.size() >= listing_limit)
            return false;
        buffer.assign(buffer.size() * 2, '\0');
    }
    const char* p = buffer.data();
    const char* end = p + n;
    while (p < end && *p) {
        if (strcasecmp(p, name) == 0)
            return true;
        p += std::strlen(p) + 1;
    }
    return false;
}

// A value known to exist, into text; REGISTRY_MORE_DATA when it is too long for the
// field. unixODBC itself cuts lines at about 1000 bytes, so a value read here is the
// value the driver reads.
int read_value(unsigned short mode, const char* section, const char* entry, const char* file,
               char* text, size_t size)
{
    char buffer[2 * REGISTRY_TEXT];
    buffer[0] = '\0';
    read_profile(mode, section, entry, buffer, sizeof buffer, file);
    buffer[sizeof buffer - 1] = '\0';
    size_t n = std::strlen(buffer);
    if (n >= size || n >= REGISTRY_TEXT)
        return REGISTRY_MORE_DATA;
    std::memcpy(text, buffer, n + 1);
    return REGISTRY_SUCCESS;
}

QByteArray local_text(const wchar_t* text)
{
    return QString::fromWCharArray(text).toLocal8Bit();
}

} // namespace

struct registry_key_t {
    unsigned short mode;
    QByteArray section;
};

const char* registry_library_kind(void) { return "ODBC installer library"; }

const char* registry_library_name(void)
{
#ifdef __APPLE__
    return "libodbcinst.2.dylib";
#else
    return "libodbcinst.so.2";
#endif
}

const char* registry_driver_file(void) { return "libbrol.so"; }

bool registry_bind(registry_resolver resolve, void* context)
{
    get_profile = reinterpret_cast<get_profile_fn>(resolve(context, "SQLGetPrivateProfileString"));
    set_mode = reinterpret_cast<set_mode_fn>(resolve(context, "SQLSetConfigMode"));
    if (get_profile && set_mode)
        return true;
    get_profile = nullptr;
    set_mode = nullptr;
    return false;
}

int registry_open_key(int hive, const wchar_t* path, registry_key_t** key)
{
    *key = nullptr;
    if (!get_profile)
        return REGISTRY_NOT_LOADED;
    if (!path)
        return REGISTRY_INVALID;
    unsigned short mode;
    switch (hive) {
    case REGISTRY_CURRENT_USER: mode = config_user; break;
    case REGISTRY_LOCAL_MACHINE_64: mode = config_system; break;
    case REGISTRY_LOCAL_MACHINE_32: return REGISTRY_NOT_FOUND; // one system file, already tried
    default: return REGISTRY_INVALID;
    }
    size_t prefix = std::wcslen(odbc_ini_prefix);
    if (std::wcsncmp(path, odbc_ini_prefix, prefix) != 0)
        return REGISTRY_NOT_FOUND;
    QByteArray section = local_text(path + prefix);
    if (section.isEmpty() || !listing_holds(mode, nullptr, section.constData(), "ODBC.INI"))
        return REGISTRY_NOT_FOUND;
    *key = new registry_key_t{mode, section};
    return REGISTRY_SUCCESS;
}

int registry_query_value(registry_key_t* key, const wchar_t* name, char* text, size_t size)
{
    if (!get_profile)
        return REGISTRY_NOT_LOADED;
    if (!key || !name || !text)
        return REGISTRY_INVALID;
    QByteArray entry = local_text(name);
    const char* section = key->section.constData();
    // The value query answers a missing value with the fallback text, so whether the
    // value exists is asked of the section's listing.
    if (entry.isEmpty() || !listing_holds(key->mode, section, entry.constData(), "ODBC.INI"))
        return REGISTRY_NOT_FOUND;
    return read_value(key->mode, section, entry.constData(), "ODBC.INI", text, size);
}

int registry_driver_path(registry_key_t* key, const char* driver, char* path, size_t size)
{
    if (!get_profile)
        return REGISTRY_NOT_LOADED;
    if (!key || !driver || !path)
        return REGISTRY_INVALID;
    // As the driver manager does: a name of odbcinst.ini stands for its "Driver" file.
    if (!*driver || !listing_holds(config_both, nullptr, driver, "ODBCINST.INI") ||
        !listing_holds(config_both, driver, "Driver", "ODBCINST.INI"))
        return REGISTRY_NOT_FOUND;
    return read_value(config_both, driver, "Driver", "ODBCINST.INI", path, size);
}

void registry_close_key(registry_key_t* key) { delete key; }

#endif
