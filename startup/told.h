// Texts both programs tell the same way: how the schema stands after a write that did not
// happen, and a list of version numbers.
#ifndef BROLIX_STARTUP_TOLD_H
#define BROLIX_STARTUP_TOLD_H

#include <cstdint>
#include <string>
#include <vector>

// The outcome's own words (told, may be empty), then on a line of its own what became of
// the write: nothing written, put back, or left in the journal for the next start (a
// CHANGE_ outcome, or CREATE_STOPPED: a read that failed before anything was written).
std::string change_outcome_text(int outcome, const std::string& told);

// "4", "4 and 5", "4, 5 and 7".
std::string version_numbers(const std::vector<int64_t>& list);

#endif
