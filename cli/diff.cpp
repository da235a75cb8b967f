// brolix-cli diff: how far the data has drifted from the schema.
#include "cli/cli.h"

#include "core/dbinfo.h"
#include "startup/schema_check.h"
#include "store/analysis/drift.h"

#include <cstring>

int diff_command(cli_t& cli, DBINFO* d, int, int)
{
    std::vector<const char*> names;
    for (const std::string& name : cli.names)
        names.push_back(name.c_str());
    drift_t* differences = nullptr;
    drift_problem_t problem;
    if (!diff_schema(d, names.data(), names.size(), cli.all, &differences, &problem)) {
        print_box(drift_problem_text(&problem).c_str(), problem.detail);
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
