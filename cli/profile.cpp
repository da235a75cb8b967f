// brolix-cli profile: what each column's sample holds, beside the SQL type it leads to.
#include "cli/cli.h"

#include "core/dbinfo.h"
#include "store/analysis/profile.h"

#include <cstring>

int profile_command(cli_t& cli, DBINFO* d, int, int)
{
    std::vector<table_profile_t> tables;
    int code = 0;
    std::string table;
    bson_error_t error;
    if (!profile_tables(d, cli.names, &tables, &code, &table, &error)) {
        std::string detail = error.message;
        const char* const texts[] = {"The collection '%s' is not in the data database.",
                                     "The collection '%s' could not be sampled.",
                                     "The collections of the database '%s' could not be listed."};
        int at = PROFILE_NO_SUCH_TABLE - code;
        std::string text = at >= 0 && at < 3 ? texts[at] : "'%s' could not be profiled.";
        if (code == PROFILE_NOT_SAMPLED && d->sample_strategy == SAMPLE_RANDOM && detail.find("$sample") != std::string::npos)
            text = "The collection '%s' could not be sampled at random: the data server has no $sample "
                   "(-sample spread reaches across the whole collection).";
        text.replace(text.find("%s"), 2, table);
        print_box(text.c_str(), detail.c_str());
        return EXIT_ERROR;
    }
    std::string text = cli.json ? profile_json(tables, d->database, d->sample_strategy) : profile_text(tables);
    std::fwrite(text.data(), 1, text.size(), cli.out);
    return EXIT_AGREE;
}
