#include "Repostat.h"

#include "RepoCheck.h"
#include "RepoReport.h"
#include "RepoState.h"

#include <algorithm>
#include <ctime>
#include <exception>

namespace {

constexpr int kUnknown = 3;

const char* const kUsage = "Usage: repostat [-j] <repository> [resource ...]\n"
                           "       repostat [-j] --check <repository>\n";

struct Options {
    bool json = false;
    bool check = false;
    std::vector<std::string> operands;
};

bool parse(const std::vector<std::string>& args, Options& options) {
    bool optionsEnded = false;
    for (const std::string& arg : args) {
        if (!optionsEnded && arg == "--")
            optionsEnded = true;
        else if (!optionsEnded && arg == "-j")
            options.json = true;
        else if (!optionsEnded && arg == "--check")
            options.check = true;
        else if (!optionsEnded && arg.size() > 1 && arg[0] == '-')
            return false;
        else
            options.operands.push_back(arg);
    }
    return !options.operands.empty() && (!options.check || options.operands.size() == 1);
}

int check(const Options& options, std::FILE* out) {
    const std::string& repository = options.operands[0];
    std::vector<Problem> problems = checkConfiguration(repository, std::time(nullptr));
    int status = exitStatusOf(problems);
    if (options.json) {
        std::fprintf(out,
                     "{\"repository\": %s, \"result\": \"%s\", \"exitStatus\": %d, "
                     "\"problems\": [",
                     jsonString(repository).c_str(), exitStatusName(status), status);
        for (size_t i = 0; i < problems.size(); ++i)
            std::fprintf(out, "%s\n  {\"level\": \"%s\", \"text\": %s}", i == 0 ? "" : ",",
                         exitStatusName(problems[i].level), jsonString(problems[i].text).c_str());
        std::fprintf(out, "]}\n");
        return status;
    }
    // Notes (level 0) are shown, but they are no problems.
    size_t notes = static_cast<size_t>(
        std::count_if(problems.begin(), problems.end(),
                      [](const Problem& problem) { return problem.level == 0; }));
    std::string counts = counted(problems.size() - notes, "problem", "problems");
    if (notes > 0)
        counts += ", " + counted(notes, "note", "notes");
    std::fprintf(out, "%s: configuration of %s, %s\n", exitStatusName(status), repository.c_str(),
                 counts.c_str());
    for (const Problem& problem : problems)
        std::fprintf(out, "%s: %s\n", exitStatusName(problem.level), problem.text.c_str());
    return status;
}

int show(const Options& options, std::FILE* out) {
    std::vector<std::string> resources(options.operands.begin() + 1, options.operands.end());
    RepoState state = readRepoState(options.operands[0], resources, std::time(nullptr));
    if (options.json)
        printJson(out, state);
    else
        printText(out, state);
    return exitStatusOf(state);
}

} // namespace

int runRepostat(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    Options options;
    if (!parse(args, options)) {
        std::fputs(kUsage, err);
        return kUnknown;
    }
    try {
        int status = options.check ? check(options, out) : show(options, out);
        std::fflush(out);
        return status;
    } catch (const std::exception& failure) {
        std::fflush(out);
        std::fprintf(err, "Error: %s\n", failure.what());
        return kUnknown;
    }
}
