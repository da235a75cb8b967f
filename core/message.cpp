#include "core/message.h"

#include "core/secrets.h"
#include "core/work.h"

#include <cstdio>

namespace {
brolix_message_fn routine = nullptr;
void* routine_context = nullptr;
brolix_progress_fn progress = nullptr;
void* progress_context = nullptr;
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
    std::string clean_text = scrub_secrets(text), clean_informative = scrub_secrets(informative);
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
