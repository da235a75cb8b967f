// The reader of plan files (a file from a colleague or a repository): whatever it takes
// must write back as it was read, and its text must be printable.
#include "store/analysis/plan.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plan_problem_t problem;
    plan_t* plan = read_plan(reinterpret_cast<const char*>(data), size, &problem);
    if (!plan)
        return 0;
    plan_text(plan);
    const std::string json = plan_json(plan);
    plan_t* again = read_plan(json.data(), json.size(), &problem);
    if (!again || plan_json(again) != json)
        std::abort();
    free_plan(again);
    free_plan(plan);
    return 0;
}
