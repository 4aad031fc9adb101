#ifndef REPOSITORYHANDLER_TOOLS_REPOCHECK_H
#define REPOSITORYHANDLER_TOOLS_REPOCHECK_H

#include <ctime>
#include <string>
#include <vector>

// One mistake in a repository's configuration or surroundings, with its exit status: 2 when the
// library would refuse to work (or would work without excluding anything), 3 when there is no
// repository to check, 0 for a note that changes nothing (shown as OK), else 1.
struct Problem {
    int level;
    std::string text;
};

// Every problem found in the configuration of the repository at path, its mounts, its legacy
// directory, the lock directory and the repository's lock files, at the time now. Reads only.
// Throws std::runtime_error when a file that exists cannot be read.
std::vector<Problem> checkConfiguration(const std::string& path, time_t now);

// The exit status of a check: 0 without problems, else the highest level among them.
int exitStatusOf(const std::vector<Problem>& problems);

#endif
