// The start both programs make before they read the schema: the command line's settings,
// the passwords, the data source, both connections, and a change left unfinished settled.
// The window shows what stopped it in a box and ends; brolix-cli prints it and exits 2.
#ifndef BROLIX_STARTUP_START_H
#define BROLIX_STARTUP_START_H

#include <QStringList>
#include <cstdio>
#include <functional>
#include <string>

struct DBINFO;

// Where a start stopped.
enum start_stop {
    START_DONE = 1,
    START_ARGUMENTS,   // the command line was refused
    START_PASSWORDS,   // text says why
    START_DATA_SOURCE, // text says why
    START_STOPPED,     // the caller's step before connecting stopped it (it has told why)
    START_CONNECTION,  // a side did not answer: its box has been shown
    START_JOURNAL,     // a change left unfinished could not be settled: text says why
};

struct start_t {
    int stop = START_DONE;
    std::string text;    // what stopped it, or the line of what was settled
    bool lasting = false; // START_JOURNAL: starting again will not settle it (it may be set aside)
};

struct start_steps_t {
    std::function<bool(DBINFO*)> parse;          // the command line into the record
    FILE* passwords = nullptr;                   // where --password-stdin reads them, or null
    std::function<bool(DBINFO*)> before_connect; // may stop the start (brolix-cli reads an import file there)
    bool settle = true;                          // brolix-cli settle settles by itself
};

// True when the start got through; else false with where it stopped. A journal settled is
// told in out->text on true too.
bool start_program(DBINFO* dbinfo, const start_steps_t& steps, start_t* out);

// Whether this start may write the schema: the server runs validate on the schema's index
// collection for its user (Edit mode), as the schema check decides it.
bool may_write_schema(DBINFO* dbinfo);

#endif
