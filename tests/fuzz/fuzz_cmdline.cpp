// The command-line parser: the input's NUL-separated words after the program path.
#include "startup/cmdline.h"
#include "tests/fuzz/kept_strings.h"

#include <QStringList>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QStringList arguments("brolix");
    if (size)
        for (const QByteArray& word : QByteArray(reinterpret_cast<const char*>(data), int(size)).split('\0'))
            arguments << QString::fromUtf8(word);
    DBINFO dbinfo;
    dbinfo_clear(&dbinfo);
    bool accepted = parse_command_line(&dbinfo, arguments);
    bool ssl_known = dbinfo.ssl && std::strchr(" YN", dbinfo.ssl[0]);
    if (!settings_sound(dbinfo) || (accepted && !ssl_known))
        std::abort();
    return 0;
}
