#include "startup/cmdline.h"

#include "core/dbinfo.h"
#include "discovery/discover.h"

#include <QByteArray>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

enum option_id {
    OPT_NONE, OPT_DSN, OPT_DS, OPT_DB, OPT_DU, OPT_DP, OPT_SS, OPT_SC, OPT_SU, OPT_SP,
    OPT_PS, OPT_CW, OPT_DEBUG, OPT_SSL, OPT_CAFILE, OPT_CADIR, OPT_CRLFILE, OPT_PEMFILE,
    OPT_PEMPWD, OPT_WCV, OPT_POOL, OPT_SAMPLE
};

const struct {
    const char* word;
    option_id id;
} options[] = {
    {"-dsn", OPT_DSN},         {"-ds", OPT_DS},           {"-db", OPT_DB},
    {"-du", OPT_DU},           {"-dp", OPT_DP},           {"-ss", OPT_SS},
    {"-sc", OPT_SC},           {"-su", OPT_SU},           {"-sp", OPT_SP},
    {"-ps", OPT_PS},           {"-cw", OPT_CW},           {"-debug", OPT_DEBUG},
    {"-ssl", OPT_SSL},         {"-cafile", OPT_CAFILE},   {"-cadir", OPT_CADIR},
    {"-crlfile", OPT_CRLFILE}, {"-pemfile", OPT_PEMFILE}, {"-pempwd", OPT_PEMPWD},
    {"-wcv", OPT_WCV},         {"-pool", OPT_POOL},       {"-sample", OPT_SAMPLE},
};

option_id option_of(const QByteArray& word)
{
    for (const auto& o : options)
        if (word == o.word)
            return o.id;
    return OPT_NONE;
}


// y/Y -> 'Y', n/N -> 'N', anything else 0.
char yes_no(const QByteArray& value)
{
    if (value == "y" || value == "Y")
        return 'Y';
    if (value == "n" || value == "N")
        return 'N';
    return 0;
}

bool store_value(DBINFO* d, option_id id, const QByteArray& value)
{
    const char* v = value.constData();
    switch (id) {
    case OPT_DSN:
        if (value.size() >= DBINFO_TEXT)
            return false;
        d->dsn = QString::fromUtf8(value);
        return true;
    case OPT_DS: return dbinfo_set_text(d->server, v);
    case OPT_DB: return dbinfo_set_text(d->database, v);
    case OPT_DU: return dbinfo_set_text(d->user, v);
    case OPT_DP: return dbinfo_set_text(d->password, v);
    case OPT_SS: return dbinfo_set_text(d->md_server, v);
    case OPT_SC: return dbinfo_set_text(d->md_database, v);
    case OPT_SU: return dbinfo_set_text(d->md_user, v);
    case OPT_SP: return dbinfo_set_text(d->md_password, v);
    case OPT_DEBUG: return dbinfo_set_text(d->debug_file, v);
    case OPT_PS: {
        int n = leading_decimal(v);
        d->preview_rows = n == 0 ? 100 : n == -1 ? 1000 : n;
        return true;
    }
    case OPT_CW: {
        int n = leading_decimal(v);
        d->max_width = n == 0 ? 4096 : n == -1 ? 32768 : n;
        return true;
    }
    case OPT_SSL: {
        char c = yes_no(value);
        if (!c)
            return false;
        d->ssl[0] = c;
        return true;
    }
    case OPT_WCV: {
        char c = yes_no(value);
        if (!c)
            return false;
        d->wcv[0] = c;
        d->ssl_opts.weak_cert_validation = c == 'Y';
        return true;
    }
    case OPT_CAFILE: d->ssl_opts.ca_file = keep_string(v); return true;
    case OPT_CADIR: d->ssl_opts.ca_dir = keep_string(v); return true;
    case OPT_CRLFILE: d->ssl_opts.crl_file = keep_string(v); return true;
    case OPT_PEMFILE: d->ssl_opts.pem_file = keep_string(v); return true;
    case OPT_PEMPWD: d->ssl_opts.pem_pwd = keep_string(v); return true;
    case OPT_POOL: {
        // A count of connections, nothing else: "8x" or "0" is a mistake worth stopping for.
        bool number = false;
        int n = value.toInt(&number);
        if (!number || n < 1 || n > MAX_POOL_SIZE)
            return false;
        d->pool_size = n;
        return true;
    }
    case OPT_SAMPLE: {
        int strategy = sample_strategy_of(v);
        if (strategy < 0)
            return false;
        d->sample_strategy = strategy;
        return true;
    }
    case OPT_NONE: break;
    }
    return false;
}

} // namespace

bool parse_command_line(DBINFO* d, const QStringList& arguments)
{
    d->dsn.clear();
    d->server[0] = d->database[0] = d->user[0] = d->password[0] = '\0';
    d->md_server[0] = d->md_database[0] = d->md_user[0] = d->md_password[0] = '\0';
    d->debug_file[0] = '\0';
    d->preview_rows = 0;
    d->max_width = 0;
    d->ssl = keep_string(" ");
    d->wcv = keep_string(" ");
    d->ssl_opts.pem_file = d->ssl_opts.pem_pwd = d->ssl_opts.ca_file = nullptr;
    d->ssl_opts.ca_dir = d->ssl_opts.crl_file = nullptr;
    d->ssl_opts.weak_cert_validation = false;
    d->legacy_collection_list = 0;
    d->pool_size = 0;
    d->sample_strategy = -1; // the data source may name one

    if (arguments.size() <= 1)
        return false;

    bool valid = true;
    option_id pending = OPT_NONE;
    for (int i = 1; i < arguments.size(); ++i) {
        QByteArray word = arguments.at(i).toUtf8();
        option_id id = option_of(word);
        if (id != OPT_NONE) {
            if (pending != OPT_NONE)
                valid = false; // the pending option lost its value
            pending = id;
            continue;
        }
        if (pending == OPT_NONE)
            return false;
        if (!store_value(d, pending, word))
            return false;
        pending = OPT_NONE;
    }
    return valid && pending == OPT_NONE;
}

bool is_command_line_option(const char* word)
{
    return word && option_of(QByteArray(word)) != OPT_NONE;
}

const char* usage_text(void)
{
    return "Invalid command line arguments. Usage is:\n"
           "\n"
           "brolix.exe [-dsn \"datasource name\"] [-ds \"database server\"] [-db \"database name\"]\n"
           "[-du \"database username\"] [-dp \"database password\"] [-ss \"schema server\"]\n"
           "[-sc \"schema name\"] [-su \"schema username\"] [-sp \"schema password\"]\n"
           "[-ps \"preview data size\"] [-cw \"sample data max display width\"] [-debug \"filename\"]\n"
           "[-ssl y/Y/n/N]\n"
           "\n"
           "If secure connection required (-ssl y/Y used), add:\n"
           "\n"
           "[-cafile \"ca filename\" -cadir \"ca directory\" -pemfile \"pem filename\"\n"
           "  -pempwd \"pem password\"] [-wcv (weak certificate validation) y/Y/n/N]\n";
}

namespace {

bool is_password_option(const char* word)
{
    return !std::strcmp(word, "-dp") || !std::strcmp(word, "-sp") || !std::strcmp(word, "-pempwd");
}

} // namespace

void hide_command_line_passwords(int argc, char** argv)
{
    // The walk of the parser: a word after an option word is that option's value.
    const char* pending = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (is_command_line_option(argv[i])) {
            pending = argv[i];
            continue;
        }
        if (pending && is_password_option(pending))
            std::memset(argv[i], 'x', std::strlen(argv[i]));
        pending = nullptr;
    }
}
