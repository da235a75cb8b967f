// brolix-cli diff: how far the data has drifted from the schema.
#include "cli/cli.h"

#include "core/dbinfo.h"
#include "store/drift.h"

#include <cstring>

namespace {

std::string with_name(const char* format, const char* name)
{
    std::string text = format;
    return text.replace(text.find("%s"), 2, name);
}

} // namespace

int diff_command(cli_t& cli, DBINFO* d, int, int)
{
    std::vector<const char*> names;
    for (const std::string& name : cli.names)
        names.push_back(name.c_str());
    drift_t* differences = nullptr;
    drift_problem_t problem;
    if (!diff_schema(d, names.data(), names.size(), cli.all, &differences, &problem)) {
        const char* const texts[] = {"The table '%s' is neither in the schema nor in the data.",
                                     "The schema's collection '%s' could not be read.",
                                     "The collections of the database '%s' could not be listed.",
                                     "The collection '%s' could not be sampled.",
                                     "The indexes of the collection '%s' could not be listed."};
        int at = DRIFT_NO_SUCH_TABLE - problem.code;
        print_box(with_name(at >= 0 && at < 5 ? texts[at] : "'%s' could not be compared.", problem.name).c_str(),
                  problem.detail);
        return EXIT_ERROR;
    }
    std::string text = cli.json ? drift_json(differences, d->database, d->md_database, cli.all)
                                : drift_text(differences);
    std::fwrite(text.data(), 1, text.size(), cli.out);
    int count = 0;
    for (const drift_t* x = differences; x; x = x->next)
        ++count;
    if (!cli.quiet)
        std::fprintf(stderr, count ? "%d differences between the data and the schema.\n"
                                   : "The data and the schema do not differ.\n", count);
    free_drift(differences);
    return count ? EXIT_MISMATCH : EXIT_AGREE;
}
