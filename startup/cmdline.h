// The command line of the editor: nineteen options, each with one value, -pool and -sample.
#ifndef BROLIX_STARTUP_CMDLINE_H
#define BROLIX_STARTUP_CMDLINE_H

#include <QStringList>

struct DBINFO;

// Reads the arguments (the first is the program path) into the record. False when the
// line is unusable: no arguments, a stray word, an option without a value, a bad y/n
// value, or a value too long for its 2048-byte field.
bool parse_command_line(DBINFO* dbinfo, const QStringList& arguments);

// One of the option words (exact, case-sensitive).
bool is_command_line_option(const char* word);

// The usage text shown for a rejected line.
const char* usage_text(void);

// Overwrites the values of -dp, -sp and -pempwd in the process's own argument strings,
// so that the process list shows "xxxx" instead. Read the arguments first: Qt's
// arguments() reads these same strings again.
void hide_command_line_passwords(int argc, char** argv);

#endif
