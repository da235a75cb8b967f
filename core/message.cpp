#include "core/message.h"

#include "core/dbinfo.h"

#include "core/secrets.h"
#include "core/work.h"

#include <QDateTime>
#include <QFile>
#include <cstdio>

namespace {
brolix_message_fn routine = nullptr;
void* routine_context = nullptr;
brolix_progress_fn progress = nullptr;
void* progress_context = nullptr;
brolix_reading_fn reading = nullptr;
void* reading_context = nullptr;
brolix_diagnostic_fn diagnostic = nullptr;
void* diagnostic_context = nullptr;
}

brolix_diagnostic_fn set_diagnostic_routine(brolix_diagnostic_fn fn, void* context, void** previous_context)
{
    brolix_diagnostic_fn previous = diagnostic;
    if (previous_context)
        *previous_context = diagnostic_context;
    diagnostic = fn;
    diagnostic_context = context;
    return previous;
}

void brolix_diagnostic(const char* text)
{
    if (diagnostic) {
        diagnostic(diagnostic_context, text);
        return;
    }
    std::fputs(text, stdout);
    std::fflush(stdout);
}

bool append_to_debug_file(const DBINFO* dbinfo, const char* bytes, long long size)
{
    QFile file(QString::fromLocal8Bit(dbinfo->debug_file));
    if (!dbinfo->debug_file[0] || !file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    return file.write(bytes, size) == size;
}

bool append_debug_line(const DBINFO* dbinfo, const std::string& line)
{
    QByteArray text = QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss ").toUtf8() +
                      QByteArray::fromStdString(line) + "\r\n";
    return append_to_debug_file(dbinfo, text.constData(), text.size());
}

brolix_message_fn set_message_routine(brolix_message_fn fn, void* context, void** previous_context)
{
    brolix_message_fn previous = routine;
    if (previous_context)
        *previous_context = routine_context;
    routine = fn;
    routine_context = context;
    return previous;
}

int brolix_message(const char* text, const char* informative, int buttons, int default_button)
{
    // A box asked for by server work is shown by the thread that waits for it.
    if (on_work_thread()) {
        int answer = default_button;
        on_waiting_thread([&] { answer = brolix_message(text, informative, buttons, default_button); });
        return answer;
    }
    // MongoDB's error texts can quote parts of the connection string.
    std::string clean_text = with_privilege_named(scrub_secrets(text));
    std::string clean_informative = with_privilege_named(scrub_secrets(informative));
    if (routine)
        return routine(routine_context, clean_text.c_str(), clean_informative.c_str(), buttons, default_button);
    std::fprintf(stderr, "%s\n%s\n", clean_text.c_str(), clean_informative.c_str());
    return default_button;
}

brolix_progress_fn set_progress_routine(brolix_progress_fn fn, void* context, void** previous_context)
{
    brolix_progress_fn previous = progress;
    if (previous_context)
        *previous_context = progress_context;
    progress = fn;
    progress_context = context;
    return previous;
}

void brolix_progress(int done, int total, const char* collection)
{
    if (on_work_thread()) {
        on_waiting_thread([&] { brolix_progress(done, total, collection); });
        return;
    }
    if (progress)
        progress(progress_context, done, total, collection);
}

brolix_reading_fn set_reading_routine(brolix_reading_fn fn, void* context)
{
    brolix_reading_fn previous = reading;
    reading = fn;
    reading_context = context;
    return previous;
}

void brolix_reading(const char* collection, long documents, bool done)
{
    if (!reading || documents < BROLIX_READING_STEP || (!done && documents % BROLIX_READING_STEP))
        return;
    if (on_work_thread()) {
        on_waiting_thread([&] { brolix_reading(collection, documents, done); });
        return;
    }
    reading(reading_context, collection, documents, done);
}

std::string with_privilege_named(const std::string& text)
{
    const std::string marker = "not authorized on ";
    size_t at = text.find(marker);
    if (at == std::string::npos)
        return text;
    size_t db_end = text.find(' ', at + marker.size());
    size_t command = text.find("command { ", at);
    if (db_end == std::string::npos || command == std::string::npos)
        return text;
    std::string database = text.substr(at + marker.size(), db_end - at - marker.size());
    command += 10;
    std::string name = text.substr(command, text.find_first_of(": }", command) - command);
    struct grant_t {
        const char* role;
        const char* commands[12];
    };
    // The built-in role that grants each command a schema user sends.
    const grant_t grants[] = {
        {"read", {"find", "getMore", "aggregate", "count", "listCollections", "listIndexes", "killCursors"}},
        {"readWrite", {"insert", "update", "delete", "findAndModify", "create", "createIndexes", "drop",
                       "dropIndexes"}},
        {"dbAdmin", {"validate", "dropDatabase"}},
    };
    const char* role = nullptr;
    for (const grant_t& g : grants)
        for (const char* c : g.commands)
            if (c && name == c)
                role = g.role;
    if (!role)
        return text;
    return text + (text.empty() || text.back() == '.' ? " " : ". ") + "The user may not run " + name +
           " on the database '" + database + "': grant it the role " + role + " there (or one with that privilege).";
}
