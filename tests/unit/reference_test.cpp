// brolix-cli's reference is its --help, its manual page and its bash completion: each
// names every command and every option, and none names one the others lack.
#include "tests/support/test_env.h"

#include <regex>
#include <set>
#include <sstream>

namespace {

std::string file_text(const std::string& path)
{
    return std::regex_replace(testenv::file_text(path), std::regex(R"(\\-)"), "-"); // the manual's escaped hyphens
}

// The options a text names: "-db", "--dry-run", each standing as a word of its own.
std::set<std::string> options_in(const std::string& text)
{
    std::set<std::string> found;
    std::regex option(R"((^|[^A-Za-z0-9-])(--?[a-z][a-z-]*))");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it)
        found.insert((*it)[2]);
    return found;
}

TEST(Reference, HelpManualAndCompletionNameTheSameCommandsAndOptions)
{
    std::string help;
    ASSERT_EQ(testenv::run_cli("--help", &help), 0);
    const std::string manual = file_text(testenv::source_dir() + "/docs/man/brolix-cli.1");
    const std::string completion = file_text(testenv::source_dir() + "/packaging/brolix-cli.bash");
    EXPECT_EQ(options_in(help), options_in(manual));
    // The completion offers every option; it names no other (its own shell words aside).
    std::set<std::string> offered = options_in(completion);
    for (const char* shell : {"-d", "-f", "-s", "-t", "-v", "-n", "-q", "-W", "-z"})
        offered.erase(shell);
    EXPECT_EQ(options_in(help), offered);

    // Commands: the help's list, the manual's entries, the completion's words.
    std::set<std::string> listed, entries, completed;
    std::smatch m;
    std::istringstream lines(help.substr(help.find("Commands:")));
    for (std::string line; std::getline(lines, line) && line != "Flags:";)
        if (std::regex_search(line, m, std::regex(R"(^  ([a-z]+) )")))
            listed.insert(m[1]);
    std::regex entry(R"(\n\.TP\n\.B[RI]? ([a-z]+))");
    for (std::sregex_iterator it(manual.begin(), manual.end(), entry), end; it != end; ++it)
        entries.insert((*it)[1]);
    ASSERT_TRUE(std::regex_search(completion, m, std::regex(R"x(local commands="([a-z ]+)")x")));
    std::istringstream words(m[1].str());
    for (std::string w; words >> w;)
        completed.insert(w);
    EXPECT_EQ(listed, completed);
    for (const std::string& command : listed)
        EXPECT_TRUE(entries.count(command)) << command << " has no entry in the manual";
}

} // namespace
