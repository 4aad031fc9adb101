// Times gathering the 100 oldest resources of a mount against a plain directory walk of the same
// tree, and measures the memory the gathering takes.
//
//   gather_bench [--resources N] [--runs N] workDir
//
// Builds (or reuses, when a complete one of the same size is there) the repository
// workDir/gather-repo-N with one mount m0 holding N resources (default 100000) in the hashed
// layout, each a directory with one small file, last used between one day and N minutes before
// the set-up. Every run then gathers the 100 oldest in a forked child (getOldestResources of the
// repository's only mount) and walks the tree with
// "find <mount> -mindepth 4 -maxdepth 4", counting its lines as "| wc -l" would. Prints the time
// of every run, the medians and their ratio, and the peak resident size of a gathering child
// beside that of a child that only builds the repository handler, so that neither the set-up nor
// the handler counts. bench/gather_bench.sh runs it on a tmpfs and on an ext4 image.
#include "OVHash.h"
#include "OVMountPointHandler.h"
#include "OVPaths.h"
#include "OVRepositoryHandler.h"
#include "Registry.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kWanted = 100;
constexpr time_t kMinAge = 24 * 60 * 60;
constexpr time_t kAgeStep = 60;
// A prime that does not divide the usual counts: i * kSpread % N spreads the ages over the
// resources in an order unrelated to the names.
constexpr long kSpread = 7919;

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
    std::perror(what.c_str());
    std::exit(1);
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string resourceName(long i) {
    char name[32];
    std::snprintf(name, sizeof name, "res%07ld", i);
    return name;
}

// The age of resource i: distinct for every i below count, between kMinAge and about count minutes.
time_t ageOf(long i, long count) {
    long rank = count % kSpread == 0 ? i : (i * kSpread) % count;
    return kMinAge + static_cast<time_t>(rank) * kAgeStep;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path);
    out << content;
    if (!out)
        fail(path);
}

void setTime(const std::string& path, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        fail(path);
}

void makeResource(const std::string& mount, long i, long count, time_t base) {
    std::string name = resourceName(i);
    std::unique_ptr<char[]> hashed(convertToHashed((name + "/").c_str()));
    std::string dir = mount + "/" + hashed.get();
    dir.pop_back();
    if (mkdirs(dir.c_str(), 0755) != 0)
        fail(dir);
    writeFile(dir + "/data", "resource " + name + "\n");
    time_t when = base - ageOf(i, count);
    setTime(dir + "/data", when);
    setTime(dir, when);
}

// The set-up time of a complete repository at repo, or -1 when there is none.
time_t completedAt(const std::string& repo) {
    std::ifstream in(repo + "/setup-complete");
    long long base = -1;
    in >> base;
    return in ? static_cast<time_t>(base) : -1;
}

time_t setUp(const std::string& repo, long count) {
    time_t base = completedAt(repo);
    if (base != -1) {
        std::printf("reusing %s\n", repo.c_str());
        return base;
    }
    std::printf("building %s with %ld resources...\n", repo.c_str(), count);
    std::string mount = repo + "/m0";
    if (mkdirs(mount.c_str(), 0755) != 0)
        fail(mount);
    writeFile(repo + "/repository.cfg", "mountPoints = m0\nnomoveTimeSeconds = 0\n");
    writeFile(mount + "/repositorypart.cfg", "");
    base = time(nullptr);
    auto start = Clock::now();
    for (long i = 0; i < count; ++i)
        makeResource(mount, i, count, base);
    sync();
    writeFile(repo + "/setup-complete", std::to_string(static_cast<long long>(base)) + "\n");
    std::printf("built in %.1f s\n", msSince(start) / 1000);
    return base;
}

// What a child reports through its pipe.
struct Gathered {
    double ms;
    int count;
    time_t oldest;
    time_t newest;
};

// Builds the handler and, with gather, gathers the oldest resources; the result goes to fd.
[[noreturn]] void childRun(const std::string& repo, bool gather, int fd) {
    Gathered result{0, 0, 0, 0};
    OVMountPointHandler& mount = *getRepository(repo.c_str())->getMounts()[0];
    if (gather) {
        CandidateSet candidates;
        auto start = Clock::now();
        result.count = mount.getOldestResources(candidates, kWanted, "", 0);
        result.ms = msSince(start);
        if (!candidates.empty()) {
            result.oldest = candidates.begin()->accessTime;
            result.newest = candidates.rbegin()->accessTime;
        }
    }
    bool written = write(fd, &result, sizeof result) == static_cast<ssize_t>(sizeof result);
    _exit(written ? 0 : 1);
}

// Runs childRun in a child; its peak resident size in KiB goes to maxRss.
Gathered inChild(const std::string& repo, bool gather, long& maxRss) {
    int fds[2];
    if (pipe(fds) != 0)
        fail("pipe");
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        close(fds[0]);
        childRun(repo, gather, fds[1]);
    }
    close(fds[1]);
    Gathered result{};
    bool got = read(fds[0], &result, sizeof result) == static_cast<ssize_t>(sizeof result);
    close(fds[0]);
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !got || status != 0) {
        std::fprintf(stderr, "the child failed (status %d)\n", status);
        std::exit(1);
    }
    maxRss = usage.ru_maxrss;
    return result;
}

// Runs "find mount -mindepth 4 -maxdepth 4" and counts the lines it writes.
double timeFind(const std::string& mount, long& lines) {
    int fds[2];
    if (pipe(fds) != 0)
        fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<std::string> args = {"find", mount, "-mindepth", "4", "-maxdepth", "4"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    auto start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, "find", &actions, nullptr, argv.data(), environ) != 0)
        fail("find");
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    lines = 0;
    char buffer[65536];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0)
        lines += std::count(buffer, buffer + got, '\n');
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    double ms = msSince(start);
    if (status != 0) {
        std::fprintf(stderr, "find failed (status %d)\n", status);
        std::exit(1);
    }
    return ms;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The gathering must find exactly the kWanted resources of the largest ages.
void checkGathered(const Gathered& got, long count, time_t base) {
    long expected = std::min<long>(kWanted, count);
    time_t oldest = base - kMinAge - (count - 1) * kAgeStep;
    time_t newest = base - kMinAge - (count - expected) * kAgeStep;
    if (got.count != expected || got.oldest != oldest || got.newest != newest) {
        std::fprintf(
            stderr, "wrong gathering: %d resources, times %lld..%lld, expected %ld, %lld..%lld\n",
            got.count, static_cast<long long>(got.oldest), static_cast<long long>(got.newest),
            expected, static_cast<long long>(oldest), static_cast<long long>(newest));
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv) {
    long count = 100000;
    int runs = 5;
    std::string work;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--resources") == 0 && i + 1 < argc)
            count = std::atol(argv[++i]);
        else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else
            work = argv[i];
    }
    if (work.empty() || count < 1 || runs < 1) {
        std::printf("Usage: gather_bench [--resources N] [--runs N] workDir\n");
        return 2;
    }
    std::string locks = work + "/gather-locks";
    mkdir(locks.c_str(), 0755);
    setenv("LOCK_VAR", locks.c_str(), 1);
    std::string repo = work + "/gather-repo-" + std::to_string(count);
    time_t base = setUp(repo, count);

    long idleRss = 0, gatherRss = 0;
    inChild(repo, false, idleRss);
    std::vector<double> gatherMs, findMs;
    for (int run = 0; run < runs; ++run) {
        long rss = 0, lines = 0;
        Gathered got = inChild(repo, true, rss);
        checkGathered(got, count, base);
        gatherRss = std::max(gatherRss, rss);
        double find = timeFind(repo + "/m0", lines);
        if (lines != count) {
            std::fprintf(stderr, "find listed %ld entries, expected %ld\n", lines, count);
            return 1;
        }
        std::printf("run %d: gathering %.1f ms, find %.1f ms\n", run + 1, got.ms, find);
        gatherMs.push_back(got.ms);
        findMs.push_back(find);
    }
    double gather = median(gatherMs), find = median(findMs);
    std::printf("%ld resources: gathering the %d oldest: median %.1f ms; find: median %.1f ms; "
                "ratio %.2f\n",
                count, kWanted, gather, find, gather / find);
    std::printf("peak resident size: handler only %ld KiB, with gathering %ld KiB, "
                "difference %ld KiB\n",
                idleRss, gatherRss, gatherRss - idleRss);
    return 0;
}
