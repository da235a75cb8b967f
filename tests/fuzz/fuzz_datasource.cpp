// The data-source values over an in-memory registry. Input: two bytes saying which
// settings the command line already gave, then the key's values as NUL-separated
// "Name=Value" (the first of a name counts; "Name" alone: a value of the wrong type;
// "*=file": the file that the installed driver named by "Driver" stands for).
#include "startup/datasource.h"
#include "startup/platform/registry.h"
#include "tests/fuzz/kept_strings.h"

#include <QByteArray>
#include <QList>
#include <map>
#include <string>

struct registry_key_t {
    std::map<std::wstring, QByteArray> values; // a null text: of the wrong type
};

const char* registry_library_kind(void) { return "in-memory registry"; }
const char* registry_library_name(void) { return "none"; }
const char* registry_driver_file(void) { return "libbrol.so"; }
bool registry_bind(registry_resolver, void*) { return true; }
int registry_open_key(int, const wchar_t*, registry_key_t**) { return REGISTRY_NOT_FOUND; }
void registry_close_key(registry_key_t*) {}

int registry_query_value(registry_key_t* key, const wchar_t* name, char* text, size_t size)
{
    auto v = key->values.find(name);
    if (v == key->values.end() || v->second.isNull())
        return v == key->values.end() ? REGISTRY_NOT_FOUND : REGISTRY_BAD_TYPE;
    if (size_t(v->second.size()) + 1 > size)
        return REGISTRY_MORE_DATA;
    std::memcpy(text, v->second.constData(), v->second.size() + 1);
    return REGISTRY_SUCCESS;
}

int registry_driver_path(registry_key_t* key, const char*, char* path, size_t size)
{
    return registry_query_value(key, L"*", path, size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    registry_key_t key;
    for (const QByteArray& entry : QByteArray(reinterpret_cast<const char*>(data) + 2, int(size) - 2).split('\0')) {
        int eq = entry.indexOf('=');
        QByteArray name = entry.left(eq);
        QByteArray text = eq < 0 ? QByteArray() : QByteArray(entry.constData() + eq + 1);
        key.values.emplace(std::wstring(name.begin(), name.end()), text);
    }
    DBINFO d;
    dbinfo_clear(&d);
    char* given[] = {d.server, d.database, d.user, d.password, d.md_server, d.md_database, d.md_user, d.md_password};
    for (int i = 0; i < 8; ++i)
        if (data[0] & (1 << i))
            std::strcpy(given[i], "given");
    char ssl[2] = {" YN "[data[1] & 3], 0}, wcv[2] = {" YN "[(data[1] >> 2) & 3], 0};
    d.ssl = ssl;
    d.wcv = wcv;
    d.preview_rows = data[1] & 16 ? 7 : 0;
    d.ssl_opts.ca_file = data[1] & 32 ? "given" : nullptr;
    int result = read_data_source_values(&d, &key);
    bool known = result == 0 || result == DATA_SOURCE_NOT_USABLE || result == REGISTRY_NOT_FOUND ||
                 result == REGISTRY_MORE_DATA || result == REGISTRY_BAD_TYPE;
    if (!settings_sound(d) || !known || d.preview_rows == 0 || d.max_width == 0)
        std::abort();

    // One value read alone: its whole text, or nothing and 234 when it is too long.
    for (const auto& v : key.values) {
        char field[DBINFO_TEXT] = "";
        int code = read_registry_value(&key, field, v.first.c_str());
        bool whole = code == 0 && v.second == field;
        bool refused = code == REGISTRY_MORE_DATA && !field[0] && v.second.size() >= REGISTRY_TEXT;
        if (!v.second.isNull() && !whole && !refused)
            std::abort();
    }
    return 0;
}
