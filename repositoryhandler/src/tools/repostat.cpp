// repostat: the state of a repository at a glance, for operators and monitoring. See Repostat.h.
#include "Repostat.h"

int main(int argc, char** argv) {
    return runRepostat(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
