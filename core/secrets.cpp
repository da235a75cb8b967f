#include "core/secrets.h"

#include "core/dbinfo.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// What to hide, lower case, longest first: each password, and each part of it after an
// '@' (up to a '/'), where the library's host text would go on (an '@' after the part, or
// nothing, when the part ends at a '/'). Pooled clients log from their own threads.
struct piece_t {
    std::string text;
    bool before_at;
};
std::mutex secrets_lock;
std::vector<piece_t>& pieces()
{
    static auto* kept = new std::vector<piece_t>;
    return *kept;
}

char lower(char c)
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

void remember(const char* secret)
{
    std::string s = secret ? secret : "";
    std::transform(s.begin(), s.end(), s.begin(), lower);
    // The library splits the string at its first '@' and quotes the rest, up to the first
    // '/', as the host: "rest-of-password@server".
    for (size_t from = 0; from < s.size();) {
        size_t slash = from ? s.find('/', from) : std::string::npos;
        piece_t piece = {s.substr(from, slash == std::string::npos ? slash : slash - from),
                         from > 0 && slash == std::string::npos};
        if (!piece.text.empty() && std::none_of(pieces().begin(), pieces().end(), [&](const piece_t& p) {
                return p.text == piece.text && p.before_at == piece.before_at;
            }))
            pieces().push_back(piece);
        size_t at = s.find('@', from);
        from = at == std::string::npos ? s.size() : at + 1;
    }
    std::sort(pieces().begin(), pieces().end(),
              [](const piece_t& a, const piece_t& b) { return a.text.size() > b.text.size(); });
}

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
    remember(d->password);
    remember(d->md_password);
    remember(d->ssl_opts.pem_pwd);
}

std::string scrub_secrets(const char* text)
{
    std::string out;
    std::lock_guard<std::mutex> guard(secrets_lock);
    for (const char* p = text ? text : ""; *p;) {
        size_t matched = 0;
        for (const piece_t& piece : pieces()) {
            size_t n = 0;
            while (n < piece.text.size() && p[n] && lower(p[n]) == piece.text[n])
                ++n;
            if (n == piece.text.size() && (!piece.before_at || p[n] == '@')) {
                matched = n;
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
