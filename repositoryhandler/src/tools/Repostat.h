#ifndef REPOSITORYHANDLER_TOOLS_REPOSTAT_H
#define REPOSITORYHANDLER_TOOLS_REPOSTAT_H

#include <cstdio>
#include <string>
#include <vector>

// repostat [-j] <repository> [resource ...] | repostat [-j] --check <repository>: shows the state
// of a repository (and of the named resources) or the problems of its configuration, on out;
// errors go to err. The exit status follows the monitoring convention: 0 OK, 1 WARNING (also a
// resource named that is not found), 2 CRITICAL, 3 UNKNOWN (a missing repository, an error, a
// wrong command line).
int runRepostat(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

#endif
