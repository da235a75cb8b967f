// For the settings fuzzers (one includer per program): the settings' process-lifetime
// strings are made per input and released after it, as a fuzzer parses millions of
// times in one process. Linked with -Wl,--wrap of keep_string (its mangled name).
#include "core/dbinfo.h"

#include <cstdlib>
#include <cstring>
#include <vector>

static std::vector<char*> kept;
extern "C" char* __wrap__Z11keep_stringPKc(const char* text) { return kept.emplace_back(strdup(text ? text : "")); }

// Every 2048-byte field ends in its buffer and both flags hold one letter; the kept go.
static bool settings_sound(const DBINFO& d)
{
    bool sound = d.ssl && d.wcv && std::strlen(d.ssl) == 1 && std::strlen(d.wcv) == 1;
    for (const char* f : {d.server, d.database, d.user, d.password, d.md_server, d.md_database, d.md_user,
                          d.md_password, d.debug_file})
        sound = sound && std::memchr(f, '\0', DBINFO_TEXT);
    for (char* s : kept)
        std::free(s);
    kept.clear();
    return sound;
}
