// The repository of the lookup benchmarks (lookup_bench, lookup_floor): its layout, the names of
// its resources and the order in which they are looked up, the same for the library and for the
// floor it is compared with.
//
// A repository of M mounts "m0" .. "m<M-1>" holds N resources on each mount, every one an empty
// directory in the hashed layout named "r<mount>-<index>". The i-th lookup of a run takes the
// resource ((i * kStride) + offset) mod (M * N) of the whole set, so that successive lookups go
// to every mount in turn and spread over all hash directories, and two runs with different
// offsets modulo P (P dividing M * N) never take the same resource.
#ifndef BENCH_LOOKUPSET_H
#define BENCH_LOOKUPSET_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace lookupset {

// A prime that divides none of the benchmark's set sizes: i -> i * kStride mod size is one-to-one.
constexpr long kStride = 7919;

struct Resource {
    int mount;
    long index;
};

inline std::string mountName(int mount) {
    return "m" + std::to_string(mount);
}

inline std::string resourceName(const Resource& r) {
    char name[40];
    std::snprintf(name, sizeof name, "r%d-%07ld", r.mount, r.index);
    return name;
}

// The resource of lookup i; mounts take turns.
inline Resource pick(long i, int mounts, long perMount) {
    long size = mounts * perMount;
    long j = static_cast<long>((static_cast<unsigned long long>(i) * kStride) % size);
    return {static_cast<int>(j % mounts), j / mounts};
}

// Measures the elapsed time and the processor time (user and system) of this process over the
// stretches between resume and pause. Processor time is the steadier figure while other work
// competes for the processors: waiting for one does not count.
class Stopwatch {
public:
    Stopwatch() { resume(); }
    void resume() {
        wallStart = now(CLOCK_MONOTONIC);
        cpuStart = now(CLOCK_PROCESS_CPUTIME_ID);
        running = true;
    }
    void pause() {
        if (!running)
            return;
        wall += now(CLOCK_MONOTONIC) - wallStart;
        cpu += now(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
        running = false;
    }
    // Prints "name <ns>" and "name_cpu <ns>", per operation of count.
    void print(const char* name, long count) {
        pause();
        std::printf("%s %.0f\n%s_cpu %.0f\n", name, wall / static_cast<double>(count), name,
                    cpu / static_cast<double>(count));
    }

    double wallNs() const { return wall; }

private:
    static double now(clockid_t clock) {
        struct timespec ts;
        clock_gettime(clock, &ts);
        return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
    }
    double wall = 0, cpu = 0, wallStart = 0, cpuStart = 0;
    bool running = false;
};

// Runs body(p, k) for k = 1 .. count in each of the child processes p = 0 .. processes - 1, all
// released at once when every one has run body(p, 0), which is not timed. Returns the operations
// per second of all of them together, or -1 when a child failed.
template <typename Body> double inProcesses(int processes, long count, Body body) {
    int ready[2], go[2];
    if (pipe(ready) != 0 || pipe(go) != 0)
        return -1;
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid < 0)
            return -1;
        if (pid == 0) {
            close(ready[0]);
            close(go[1]);
            body(p, 0);
            char byte = 1;
            if (write(ready[1], &byte, 1) != 1 || read(go[0], &byte, 1) != 0)
                _exit(1);
            for (long k = 1; k <= count; ++k)
                body(p, k);
            _exit(0);
        }
        children.push_back(pid);
    }
    close(ready[1]);
    close(go[0]);
    bool failed = false;
    char byte;
    for (int p = 0; p < processes; ++p)
        failed = failed || read(ready[0], &byte, 1) != 1;
    Stopwatch watch;
    close(go[1]); // every child reads the end of the pipe and starts
    for (pid_t pid : children) {
        int status = 0;
        failed = failed || waitpid(pid, &status, 0) != pid || status != 0;
    }
    close(ready[0]);
    watch.pause();
    return failed ? -1 : static_cast<double>(count) * processes / (watch.wallNs() / 1e9);
}

// The arguments every lookup program takes: repository mounts perMount count.
struct Args {
    std::string repo;
    int mounts = 0;
    long perMount = 0;
    long count = 0;
};

inline Args parseArgs(int argc, char** argv, int first, const char* usage) {
    Args args;
    if (argc - first != 4) {
        std::fprintf(stderr, "Usage: %s\n", usage);
        std::exit(2);
    }
    args.repo = argv[first];
    args.mounts = std::atoi(argv[first + 1]);
    args.perMount = std::atol(argv[first + 2]);
    args.count = std::atol(argv[first + 3]);
    if (args.mounts < 1 || args.perMount < 1 || args.count < 0) {
        std::fprintf(stderr, "Usage: %s\n", usage);
        std::exit(2);
    }
    return args;
}

} // namespace lookupset

#endif
