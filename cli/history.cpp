// brolix-cli history, show and revert: the schema's versions, what one changed, and putting
// back what it replaced.
#include "cli/cli.h"

#include "core/dbinfo.h"
#include "core/message.h"
#include "store/analysis/drift.h"
#include "store/analysis/history.h"
#include "store/write/journal.h"

#include <cstdlib>
#include <cstring>

namespace {

// The version number named on the command line, or 0.
int64_t version_named(const cli_t& cli)
{
    const std::string& word = cli.names.front();
    char* end = nullptr;
    long long n = std::strtoll(word.c_str(), &end, 10);
    return end && *end == '\0' && n > 0 ? n : 0;
}

int no_such_version(const cli_t& cli)
{
    std::fprintf(stderr, "There is no version %s of this schema (the newest 1,000 are kept).\n",
                 cli.names.front().c_str());
    return EXIT_ERROR;
}

} // namespace

int history_command(cli_t& cli, DBINFO* d, int, int)
{
    std::vector<version_t> versions;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    if (!list_versions(d, cli.names, &versions, &error)) {
        print_box("The history of the schema could not be read.", error.message);
        return EXIT_ERROR;
    }
    if (cli.json) {
        bson_t doc = BSON_INITIALIZER, list;
        BSON_APPEND_UTF8(&doc, "schema", d->md_database);
        BSON_APPEND_ARRAY_BEGIN(&doc, "versions", &list);
        for (size_t i = 0; i < versions.size(); ++i) {
            bson_t one;
            BSON_APPEND_DOCUMENT_BEGIN(&list, std::to_string(i).c_str(), &one);
            append_version_json(&one, versions[i]);
            bson_append_document_end(&list, &one);
        }
        bson_append_array_end(&doc, &list);
        print_json(cli, &doc);
        bson_destroy(&doc);
    } else {
        for (const version_t& v : versions)
            std::fprintf(cli.out, "%s\n", version_line(v).c_str());
    }
    return EXIT_AGREE;
}

int show_command(cli_t& cli, DBINFO* d, int, int)
{
    int64_t number = version_named(cli);
    version_t v;
    drift_t* differences = nullptr;
    int code = HISTORY_OK;
    bson_error_t error;
    std::memset(&error, 0, sizeof error);
    if (!number || !version_differences(d, number, &v, &differences, &code, &error)) {
        if (!number || code == HISTORY_NO_SUCH_VERSION)
            return no_such_version(cli);
        print_box("The history of the schema could not be read.", error.message);
        return EXIT_ERROR;
    }
    if (cli.json) {
        bson_t doc = BSON_INITIALIZER, one, list;
        BSON_APPEND_DOCUMENT_BEGIN(&doc, "version", &one);
        append_version_json(&one, v);
        bson_append_document_end(&doc, &one);
        BSON_APPEND_ARRAY_BEGIN(&doc, "differences", &list);
        int i = 0;
        for (const drift_t* x = differences; x; x = x->next, ++i) {
            bson_t entry;
            BSON_APPEND_DOCUMENT_BEGIN(&list, std::to_string(i).c_str(), &entry);
            drift_append_json(&entry, x);
            bson_append_document_end(&list, &entry);
        }
        bson_append_array_end(&doc, &list);
        print_json(cli, &doc);
        bson_destroy(&doc);
    } else {
        std::string text = version_line(v) + "\n" + drift_text(differences);
        std::fwrite(text.data(), 1, text.size(), cli.out);
    }
    free_drift(differences);
    return EXIT_AGREE;
}

int revert_command(cli_t& cli, DBINFO* d, int, int)
{
    int64_t number = version_named(cli);
    if (!number)
        return no_such_version(cli);
    revert_t r;
    // What it would write first, then the question, then the write (the lock held throughout).
    bool planned = revert_version(d, number, cli.force, true, &r);
    if (planned && !cli.dry_run &&
        brolix_message(("Revert version " + std::to_string(number) + "?").c_str(),
                       drift_text(r.plan).c_str(), BTN_YES_NO, BTN_YES) == BTN_YES)
        revert_version(d, number, cli.force, false, &r);
    else if (planned)
        std::fwrite(drift_text(r.plan).data(), 1, drift_text(r.plan).size(), cli.out);
    int status = EXIT_ERROR;
    switch (r.code) {
    case HISTORY_NO_SUCH_VERSION: status = no_such_version(cli); break;
    case HISTORY_LATER_VERSIONS:
        std::fprintf(stderr,
                     "Version %lld is not reverted: version%s %s changed its tables since. --force reverts it "
                     "anyway, over %s.\nNothing was written.\n",
                     static_cast<long long>(number), r.later.size() > 1 ? "s" : "", version_numbers(r.later).c_str(),
                     r.later.size() > 1 ? "them" : "it");
        break;
    case HISTORY_READ_FAILED:
        print_box("The history of the schema could not be read.", r.told.c_str());
        std::fprintf(stderr, "Nothing was written.\n");
        break;
    case HISTORY_WRITE_FAILED:
        print_box(("Version " + std::to_string(number) + " was not reverted.").c_str(),
                  change_outcome_text(r.outcome, r.told).c_str());
        break;
    default:
        if (r.version)
            std::fprintf(cli.out, "Reverted version %lld as version %lld.\n", static_cast<long long>(number),
                         static_cast<long long>(r.version));
        else if (!cli.dry_run)
            std::fprintf(stderr, "Nothing was written.\n");
        status = r.version || cli.dry_run ? EXIT_AGREE : EXIT_ERROR;
    }
    free_revert(&r);
    return status;
}
