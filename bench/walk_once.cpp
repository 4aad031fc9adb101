// Times one walk of a repository's resources as the overload check makes it: the gathering of the
// 100 globally oldest of every mounted mount (a status query and the dirty flag of every name, a
// stat of every resource). The unit the clearable benchmark (clearable_bench.sh) measures a whole
// check in.
//
//   walk_once repository [runs]
//
// Prints the shortest of runs (default 3) walks in seconds.
#include "OVRepositoryHandler.h"
#include "Registry.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::printf("Usage: walk_once repository [runs]\n");
        return 2;
    }
    int runs = argc == 3 ? std::atoi(argv[2]) : 3;
    OVRepositoryHandler* repository = getRepository(argv[1]);
    double best = 1e30;
    for (int run = 0; run < runs; ++run) {
        CandidateSet candidates;
        auto start = std::chrono::steady_clock::now();
        int found = repository->getGlobalOldestResources(candidates);
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        if (found < 0)
            return 1;
        best = took.count() < best ? took.count() : best;
    }
    std::printf("%.3f\n", best);
    return 0;
}
