// brolix-cli plan and apply: the drift as a plan one reviews, and the chosen items written.
#include "cli/cli.h"

#include "core/dbinfo.h"
#include "startup/schema_check.h"
#include "store/analysis/plan.h"

#include <QFile>
#include <QSaveFile>
#include <algorithm>
#include <set>

namespace {

std::string with_name(const char* format, const std::string& name)
{
    std::string text = format;
    return text.replace(text.find("%s"), 2, name);
}

// "3,5,8" into ids; false on anything else.
bool read_ids(const std::string& list, std::vector<int>* ids)
{
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        std::string word = list.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (word.empty() || word.size() > 9 || word.find_first_not_of("0123456789") != std::string::npos)
            return false;
        ids->push_back(std::stoi(word));
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return !ids->empty();
}

} // namespace

int plan_command(cli_t& cli, DBINFO* d, int, int)
{
    std::vector<const char*> names;
    for (const std::string& name : cli.names)
        names.push_back(name.c_str());
    plan_t* plan = nullptr;
    drift_problem_t problem;
    if (!make_plan(d, names.data(), names.size(), &plan, &problem)) {
        print_box(drift_problem_text(&problem).c_str(), problem.detail);
        return EXIT_ERROR;
    }
    std::string text = cli.json ? plan_json(plan) : plan_text(plan);
    size_t count = plan->items.size();
    free_plan(plan);
    if (cli.has_out) {
        QSaveFile file(QString::fromLocal8Bit(cli.out_file.c_str()));
        if (!file.open(QIODevice::WriteOnly) ||
            file.write(text.data(), text.size()) != static_cast<qint64>(text.size()) || !file.commit()) {
            print_box(with_name("Cannot write '%s': ", cli.out_file).append(file.errorString().toStdString()).c_str(),
                      "");
            return EXIT_ERROR;
        }
    } else {
        std::fwrite(text.data(), 1, text.size(), cli.out);
    }
    if (!cli.quiet)
        std::fprintf(stderr,
                     count ? "%zu changes in the plan.\n" : "Nothing to change: the data and the schema agree.\n",
                     count);
    return EXIT_AGREE;
}

int apply_command(cli_t& cli, DBINFO* d, int, int)
{
    const std::string& name = cli.names.front();
    QFile file(QString::fromLocal8Bit(name.c_str()));
    if (!file.open(QIODevice::ReadOnly)) {
        print_box(with_name("Cannot read '%s': ", name).append(file.errorString().toStdString()).c_str(), "");
        return EXIT_ERROR;
    }
    QByteArray text = file.readAll();
    plan_problem_t problem;
    plan_t* plan = read_plan(text.constData(), static_cast<size_t>(text.size()), &problem);
    if (!plan) {
        std::fprintf(stderr, "%s: item %d: %s\nNothing was written.\n", name.c_str(), problem.item, problem.detail);
        return EXIT_ERROR;
    }
    std::vector<int> only, except, chosen;
    if ((cli.has_only && !read_ids(cli.only, &only)) || (cli.has_except && !read_ids(cli.except, &except))) {
        free_plan(plan);
        std::fprintf(stderr, "brolix-cli: --only and --except take item ids: 1,4,7\n");
        return EXIT_ERROR;
    }
    std::set<int> known;
    for (const plan_item_t& item : plan->items)
        known.insert(item.id);
    for (const std::vector<int>* list : {&only, &except})
        for (int id : *list)
            if (!known.count(id)) {
                free_plan(plan);
                std::fprintf(stderr, "The plan has no item %d.\nNothing was written.\n", id);
                return EXIT_ERROR;
            }
    for (int id : known)
        if ((!cli.has_only || std::count(only.begin(), only.end(), id)) &&
            !std::count(except.begin(), except.end(), id))
            chosen.push_back(id);
    bool ok = apply_plan(d, plan, chosen, &problem);
    free_plan(plan);
    if (!ok) {
        switch (problem.code) {
        case PLAN_STALE: print_box("The schema changed since the plan was made; make the plan again.", ""); break;
        case PLAN_OTHER_DATABASE:
            print_box(with_name("The plan was made for the database '%s'.", problem.detail).c_str(), "");
            break;
        case PLAN_DOES_NOT_FIT:
            print_box(
                ("Item " + std::to_string(problem.item) + " does not fit the schema; make the plan again.").c_str(),
                "");
            break;
        case PLAN_READ_FAILED:
            print_box(with_name("The schema '%s' could not be read.", d->md_database).c_str(), problem.detail);
            break;
        case PLAN_WRITE_PENDING:
            print_box(with_name("The schema '%s' could not be written.", d->md_database).c_str(), problem.detail);
            std::fprintf(stderr, "The next start puts back what the schema held before.\n");
            return EXIT_ERROR;
        default: print_box(with_name("The schema '%s' could not be written.", d->md_database).c_str(), problem.detail);
        }
        std::fprintf(stderr, "Nothing was written.\n");
        return EXIT_ERROR;
    }
    std::fprintf(cli.out, "Applied %zu of %zu changes to the schema '%s'.\n", chosen.size(), known.size(),
                 d->md_database);
    return EXIT_AGREE;
}
