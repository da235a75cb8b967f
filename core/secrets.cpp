#include "core/secrets.h"

#include "core/dbinfo.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// What to hide, longest first: each password as typed and as it goes into a connection
// string (percent-encoded). Pooled clients log from their own threads.
std::mutex secrets_lock;
std::vector<std::string>& pieces()
{
    static auto* kept = new std::vector<std::string>;
    return *kept;
}

void remember(const std::string& secret)
{
    if (secret.empty() || std::find(pieces().begin(), pieces().end(), secret) != pieces().end())
        return;
    pieces().push_back(secret);
    std::sort(pieces().begin(), pieces().end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
}

void remember_both(const char* secret)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string typed = secret ? secret : "", encoded;
    for (unsigned char c : typed)
        if (std::isalnum(c) || std::strchr("-._~", c))
            encoded += char(c);
        else
            encoded += '%', encoded += hex[c >> 4], encoded += hex[c & 15];
    remember(typed);
    remember(encoded);
}

// The password a connection string carries itself: as written, and decoded.
void remember_in_string(const char* server)
{
    const char* scheme = std::strstr(server, "://");
    if (!scheme || (std::strncmp(server, "mongodb://", 10) && std::strncmp(server, "mongodb+srv://", 14)))
        return;
    std::string hosts(scheme + 3, std::strcspn(scheme + 3, "/?"));
    size_t at = hosts.rfind('@'), colon = hosts.find(':');
    if (at == std::string::npos || colon > at)
        return;
    std::string written = hosts.substr(colon + 1, at - colon - 1), decoded;
    for (size_t i = 0; i < written.size(); ++i) {
        if (written[i] == '%' && i + 2 < written.size() && std::isxdigit((unsigned char)written[i + 1]) &&
            std::isxdigit((unsigned char)written[i + 2])) {
            decoded += char(std::stoi(written.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += written[i];
        }
    }
    remember(written);
    remember_both(decoded.c_str());
}

// A password stands in a connection string's user part (":secret@") or between the
// quotes of a library message; elsewhere the same letters are other words ("server").
bool opens(char c) { return c == ':' || c == '"'; }
bool closes(char c) { return c == '@' || c == '"' || c == '\0'; }

// The library's debug lines (one says a client runs over the editor's own connection
// layer) would go to standard output, which carries results; its warnings and errors
// reach standard error scrubbed, but for the sessions a closing pool ends on a server
// that keeps none.
void scrubbing_log(mongoc_log_level_t level, const char* domain, const char* message, void*)
{
    if (level >= MONGOC_LOG_LEVEL_DEBUG || std::strstr(message, "Couldn't send \"endSessions\""))
        return;
    mongoc_log_default_handler(level, domain, scrub_secrets(message).c_str(), nullptr);
}

} // namespace

bool take_passwords(DBINFO* d, FILE* lines, int* code)
{
    *code = PASSWORDS_TAKEN;
    std::string given[3];
    if (lines) {
        bool any = false;
        for (std::string& line : given) {
            int c;
            while ((c = std::fgetc(lines)) != EOF && c != '\n')
                if (line.size() < DBINFO_TEXT)
                    line += char(c);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            any = any || !line.empty();
            if (c == EOF)
                break;
        }
        if (!any)
            *code = PASSWORDS_NONE_READ;
    }
    const char* const variables[] = {"BROLIX_DATA_PASSWORD", "BROLIX_SCHEMA_PASSWORD", "BROLIX_PEM_PASSWORD"};
    char* const fields[] = {d->password, d->md_password, nullptr};
    for (int i = 0; i < 3 && *code == PASSWORDS_TAKEN; ++i) {
        bool empty = fields[i] ? !fields[i][0] : !d->ssl_opts.pem_pwd || !d->ssl_opts.pem_pwd[0];
        const char* variable = std::getenv(variables[i]);
        const char* value = !given[i].empty() ? given[i].c_str() : variable ? variable : "";
        if (!empty || !*value)
            continue;
        if (std::strlen(value) >= DBINFO_TEXT)
            *code = PASSWORDS_TOO_LONG;
        else if (fields[i])
            dbinfo_set_text(fields[i], value);
        else
            d->ssl_opts.pem_pwd = keep_string(value);
    }
    for (std::string& line : given)
        std::fill(line.begin(), line.end(), '\0');
    return *code == PASSWORDS_TAKEN;
}

const char* password_error_text(int code)
{
    if (code == PASSWORDS_NONE_READ)
        return "No password was read from standard input.";
    return "A password from standard input or the environment is longer than 2047 bytes.";
}

void remember_secrets(const DBINFO* d)
{
    std::lock_guard<std::mutex> guard(secrets_lock);
    remember_both(d->password);
    remember_both(d->md_password);
    remember_both(d->ssl_opts.pem_pwd);
    remember_in_string(d->server);
    remember_in_string(d->md_server);
}

std::string scrub_secrets(const char* text)
{
    std::string out;
    std::lock_guard<std::mutex> guard(secrets_lock);
    const char* start = text ? text : "";
    for (const char* p = start; *p;) {
        size_t matched = 0;
        for (const std::string& piece : pieces()) {
            if ((p == start || opens(p[-1])) && std::strncmp(p, piece.c_str(), piece.size()) == 0 &&
                closes(p[piece.size()])) {
                matched = piece.size();
                break;
            }
        }
        if (matched) {
            out += "*****";
            p += matched;
        } else {
            out += *p++;
        }
    }
    return out;
}

void install_log_scrubber(void)
{
    static std::once_flag installed;
    std::call_once(installed, [] { mongoc_log_set_handler(scrubbing_log, nullptr); });
}
