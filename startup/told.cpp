#include "startup/told.h"

#include "core/outcomes.h"

std::string change_outcome_text(int outcome, const std::string& told)
{
    const char* state = outcome == CHANGE_PENDING
                            ? "It was left half-written in the journal: the next start puts it back."
                        : outcome == CHANGE_FENCED ? ""
                        : outcome == CHANGE_HELD || outcome == CHANGE_CONFLICT || outcome == CHANGE_NOT_STARTED ||
                                  outcome == CREATE_STOPPED
                            ? "Nothing was written."
                            : "What was written was put back: the schema is as it was.";
    return told.empty() ? state : *state ? told + "\n" + state : told;
}

std::string version_numbers(const std::vector<int64_t>& list)
{
    std::string text;
    for (size_t i = 0; i < list.size(); ++i)
        text += (i == 0 ? "" : i + 1 == list.size() ? " and " : ", ") + std::to_string(list[i]);
    return text;
}
