#include "startup/datasource.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "discovery/discover.h"
#include "startup/platform/registry.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QLibrary>
#include <QString>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

QByteArray chosen_library; // set_data_source_library; null for the default
QByteArray bound_library;  // the library whose entry points the registry layer holds
QByteArray failed_library; // the last library that did not load

QByteArray library_name()
{
    if (!chosen_library.isNull())
        return chosen_library;
    static const QByteArray from_environment = qgetenv("BROLIX_ODBCINST_LIBRARY");
    return from_environment.isEmpty() ? QByteArray(registry_library_name()) : from_environment;
}

registry_function resolve_symbol(void* context, const char* symbol)
{
    return static_cast<QLibrary*>(context)->resolve(symbol);
}

// Loaded once: QLibrary's destructor leaves the library in memory, so the entry points
// stay valid for the rest of the process.
bool load_registry_library()
{
    QByteArray name = library_name();
    if (!bound_library.isNull() && bound_library == name)
        return true;
    bound_library = QByteArray();
    QLibrary library(QString::fromLocal8Bit(name));
    if (!library.load() || !registry_bind(resolve_symbol, &library)) {
        failed_library = name;
        return false;
    }
    bound_library = name;
    return true;
}

bool contains(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

bool is_our_driver(const char* file)
{
    return contains(file, "brol.dll") || contains(file, registry_driver_file());
}


// The TLS file settings a data source may give, in the order they are read.
struct tls_value {
    const wchar_t* name;
    const char* mongoc_ssl_opt_t::*field;
};

// One line on standard output and in the -debug file.
void warn(const DBINFO* d, const char* line)
{
    brolix_diagnostic((std::string(line) + "\n").c_str());
    append_debug_line(d, line);
}

// SSL and, when it is on, the certificate settings the command line left unset.
int read_tls_values(DBINFO* d, registry_key_t* key)
{
    char text[DBINFO_TEXT] = "";
    int result = read_registry_value(key, text, L"SSL");
    if (result == REGISTRY_NOT_FOUND) {
        // No "SSL" value turns TLS off, whatever the command line said; a -ssl y that
        // this undoes is told, lest the connection go out in plain text unnoticed. TLS that
        // a server's connection string asks for stays on.
        if (d->ssl[0] == 'Y')
            warn(d, "Warning: the data source has no SSL value, so TLS is off although -ssl y was given.");
        d->ssl[0] = 'N';
    } else if (result != 0) {
        return result;
    } else {
        if (d->ssl[0] == ' ' && text[0])
            d->ssl[0] = std::strcmp(text, "Yes") == 0 ? 'Y' : 'N';
        if (d->ssl[0] == 'Y') {
            if (d->wcv[0] == ' ') {
                text[0] = '\0';
                result = read_registry_value(key, text, L"weak_cert_validation");
                if (result != 0)
                    return result;
                if (text[0])
                    d->ssl_opts.weak_cert_validation = std::strcmp(text, "Yes") == 0;
            }
            static const tls_value files[] = {
                {L"pem_file", &mongoc_ssl_opt_t::pem_file}, {L"ca_file", &mongoc_ssl_opt_t::ca_file},
                {L"ca_dir", &mongoc_ssl_opt_t::ca_dir},     {L"crl_file", &mongoc_ssl_opt_t::crl_file},
                {L"pem_pwd", &mongoc_ssl_opt_t::pem_pwd},
            };
            for (const auto& value : files) {
                if (d->ssl_opts.*value.field)
                    continue;
                text[0] = '\0';
                result = read_registry_value(key, text, value.name);
                if (result != 0)
                    return result;
                if (text[0])
                    d->ssl_opts.*value.field = keep_string(text);
            }
        }
    }
    return 0;
}

// How the grid and the sample read: wide text, the preview's size, which documents.
int read_sample_values(DBINFO* d, registry_key_t* key)
{
    char text[DBINFO_TEXT] = "";
    d->default_wide = false;
    int result = read_registry_value(key, text, L"DefaultW");
    if (result != 0)
        return result;
    d->default_wide = std::strcmp(text, "Yes") == 0;

    if (d->preview_rows == 0) {
        d->preview_rows = 100;
        text[0] = '\0';
        result = read_registry_value(key, text, L"Preview");
        if (result != 0)
            return result;
        if (std::strcmp(text, "-1") == 0)
            d->preview_rows = 1000;
        else if (text[0])
            d->preview_rows = leading_decimal(text);
    }

    // Optional: without it the first documents are sampled.
    if (d->sample_strategy < 0) {
        text[0] = '\0';
        result = read_registry_value(key, text, L"Sample");
        if (result == 0 && text[0]) {
            d->sample_strategy = sample_strategy_of(text);
            if (d->sample_strategy < 0)
                return DATA_SOURCE_NOT_USABLE;
        } else if (result != 0 && result != REGISTRY_NOT_FOUND) {
            return result;
        }
    }
    return 0;
}

int read_values(DBINFO* d, registry_key_t* key)
{
    char driver[DBINFO_TEXT] = "";
    int result = read_registry_value(key, driver, L"Driver");
    if (result != 0)
        return result;
    // A driver name of odbcinst.ini stands for its file; a Windows value is the file.
    char driver_file[DBINFO_TEXT] = "";
    const char* file = driver;
    if (registry_driver_path(key, driver, driver_file, sizeof driver_file) == REGISTRY_SUCCESS)
        file = driver_file;
    if (!is_our_driver(file)) {
        brolix_diagnostic("\n- - - - -DSN NOT Tarnwell");
        return DATA_SOURCE_NOT_USABLE;
    }

    const struct {
        const wchar_t* name;
        char* field;
    } connection[] = {
        {L"Server", d->server},         {L"Database", d->database},
        {L"User", d->user},             {L"Password", d->password},
        {L"MD_Server", d->md_server},   {L"MD_Database", d->md_database},
        {L"MD_User", d->md_user},       {L"MD_Password", d->md_password},
    };
    for (const auto& value : connection) {
        result = read_registry_value(key, value.field, value.name);
        if (result != 0)
            return result;
    }

    result = read_tls_values(d, key);
    if (result != 0)
        return result;
    return read_sample_values(d, key);
}

} // namespace

int read_registry_value(registry_key_t* key, char* field, const wchar_t* name)
{
    if (field[0])
        return 0;
    char text[REGISTRY_TEXT];
    int result = registry_query_value(key, name, text, sizeof text);
    if (result != REGISTRY_SUCCESS)
        return result;
    text[sizeof text - 1] = '\0';
    dbinfo_set_text(field, text);
    return 0;
}

int read_data_source_values(DBINFO* d, registry_key_t* key)
{
    // A record that did not pass the command line still gets its two flags.
    if (!d->ssl)
        d->ssl = keep_string(" ");
    if (!d->wcv)
        d->wcv = keep_string(" ");
    int result = read_values(d, key);
    if (d->preview_rows == -1)
        d->preview_rows = 1000;
    if (d->preview_rows == 0)
        d->preview_rows = 100;
    if (d->max_width == 0)
        d->max_width = 4096;
    return result;
}

bool lookup_data_source(DBINFO* d, int* code)
{
    *code = DATA_SOURCE_READ;
    QByteArray name = d->dsn.toLocal8Bit();
    std::wstring path = QString("SOFTWARE\\ODBC\\ODBC.INI\\").toStdWString() +
                        QString::fromLocal8Bit(name).toStdWString();
    if (!load_registry_library()) {
        *code = DATA_SOURCE_NO_LIBRARY;
        return false;
    }
    // A key path of more than 2047 wide characters names nothing the registry holds.
    if (name.isEmpty() || path.size() >= REGISTRY_TEXT) {
        *code = DATA_SOURCE_NOT_FOUND;
        return false;
    }
    const int hives[] = {REGISTRY_CURRENT_USER, REGISTRY_LOCAL_MACHINE_64,
                         REGISTRY_LOCAL_MACHINE_32};
    registry_key_t* key = nullptr;
    for (int hive : hives)
        if (registry_open_key(hive, path.c_str(), &key) == REGISTRY_SUCCESS)
            break;
    if (!key) {
        *code = DATA_SOURCE_NOT_FOUND;
        return false;
    }
    if (read_data_source_values(d, key) != 0)
        *code = DATA_SOURCE_NOT_USABLE;
    registry_close_key(key);
    return *code == DATA_SOURCE_READ;
}

const char* data_source_library_message(void)
{
    static char message[DBINFO_TEXT];
    QByteArray name = failed_library.isNull() ? library_name() : failed_library;
    std::snprintf(message, sizeof message, "Failed to load %s (%s).", registry_library_kind(),
                  name.constData());
    return message;
}

const char* data_source_error_text(int code)
{
    if (code == DATA_SOURCE_NOT_USABLE)
        return "Datasource not compatible with the Tarnwell MongoDB Driver.";
    if (code == DATA_SOURCE_NOT_FOUND)
        return "Datasource not found.";
    return data_source_library_message();
}

void set_data_source_library(const char* name)
{
    chosen_library = name ? QByteArray(name) : QByteArray();
    failed_library = QByteArray();
}
