// The one way the program shows a message box. The data layer calls
// brolix_message; the window installs the routine that really shows the box,
// tests install a recorder.
#ifndef BROLIX_CORE_MESSAGE_H
#define BROLIX_CORE_MESSAGE_H

#include <string>

// Standard button values of the message box.
enum brolix_button {
    BTN_OK = 0x400,
    BTN_YES = 0x4000,
    BTN_NO = 0x10000,
    BTN_YES_NO = 0x14000
};

typedef int (*brolix_message_fn)(void* context, const char* text, const char* informative,
                                 int buttons, int default_button);

// Installs the routine; returns the previous one (and its context) so a caller can put it back.
brolix_message_fn set_message_routine(brolix_message_fn routine, void* context,
                                      void** previous_context = nullptr);

// Shows a box through the installed routine and returns the button pressed. With no
// routine installed the texts go to standard error and the default button is returned.
int brolix_message(const char* text, const char* informative, int buttons, int default_button);

// A server's refusal of a privilege ("not authorized on DB to execute command { NAME ...")
// is never left bare: the text gets one sentence naming the database and the role that
// grants the command. Any other text is returned as it is.
std::string with_privilege_named(const std::string& text);

// Diagnostic lines of the data layer (the index listings it echoes, the lines of a failed
// creation): the data layer never prints itself. Without a routine they go to standard
// output, as the window has them; brolix-cli shows them on standard error with --verbose.
typedef void (*brolix_diagnostic_fn)(void* context, const char* text);
brolix_diagnostic_fn set_diagnostic_routine(brolix_diagnostic_fn routine, void* context,
                                            void** previous_context = nullptr);
void brolix_diagnostic(const char* text);

// The -debug file's one writer (dumps, warnings, read faults): appends bytes, or a line
// with the date and time before it and CR LF after it. False when it cannot be written.
struct DBINFO;
bool append_to_debug_file(const DBINFO* dbinfo, const char* bytes, long long size);
bool append_debug_line(const DBINFO* dbinfo, const std::string& line);

// Progress of a long run over the data collections (creation, synchronisation, sampling):
// done of total collections, with the name of the one just finished (null at the start).
// The window shows a bar, the command line a line on standard error; without a routine
// nothing is shown. done == total ends the run.
typedef void (*brolix_progress_fn)(void* context, int done, int total, const char* collection);
brolix_progress_fn set_progress_routine(brolix_progress_fn routine, void* context,
                                        void** previous_context = nullptr);
void brolix_progress(int done, int total, const char* collection);

// Progress of reading one of the schema database's collections whole (start-up's
// validation): documents read so far, told every BROLIX_READING_STEP documents and at the
// end of a collection that reached that many; a small schema tells nothing. brolix-cli
// shows it on standard error; without a routine nothing is shown.
enum { BROLIX_READING_STEP = 10000 };
typedef void (*brolix_reading_fn)(void* context, const char* collection, long documents, bool done);
brolix_reading_fn set_reading_routine(brolix_reading_fn routine, void* context);
void brolix_reading(const char* collection, long documents, bool done);

#endif
