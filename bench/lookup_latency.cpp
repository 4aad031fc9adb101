// An application's lookups, each timed on its own, for the latency benchmark (check_latency.sh):
// how long getLocation_ keeps a caller waiting while other work (a balancing check) runs on the
// same repository.
//
//   lookup_latency repo resources procs seconds
//
// procs processes look up resources of repo chosen at random among "res00000" .. "res<resources
// - 1>" (the names bench/hashed_fill gives), with a pause of $PAUSE_US microseconds (default
// 1000; 0 for none) after each lookup, as an application between requests. With seconds > 0 they
// stop after that many seconds; with 0 once the program gets SIGUSR1, SIGTERM or SIGINT. Each
// process first makes one untimed lookup (it builds the repository handler); once all have, the
// program prints "ready" and the timing starts.
//
// Each lookup is timed with the monotonic clock. Just before it, outside the timed stretch, the
// process tests whether the lock file of the resource exists: a lookup that found it was most
// likely kept waiting for the lock (a holder may also take or leave the lock in between). The
// figures are printed as lines "<name> <value>", times in microseconds: all lookups, the ones
// that found the lock file and the ones that did not, and the slowest lookups with the time they
// started (ms after the start) and their resource. Every lookup must find its resource (status 0):
// the others are counted as failed.
//
// To tell where slow lookups lost their time, each also records the processor time of its process
// and the context switches it made (getrusage, outside the timed stretch): a lookup over 1 ms
// counts as "lock_seen" when it found the lock file, else "waited" when its process gave up the
// processor (a sleep, a disk or journal wait), else "preempted" when it was taken off the
// processor for another task, else "running". "over_1ms_<kind> <count> <worst µs>".
#include "OVRepositoryHandler.h"
#include "OVSemaphore.h"
#include "Registry.h"
#include "repositoryhandler.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "lookup_latency: %s\n", what.c_str());
    std::exit(2);
}

int64_t nowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Sample {
    int64_t startNs; // after the common start
    int64_t tookNs;
    int64_t cpuNs; // processor time of the process during the lookup
    uint32_t resource;
    uint16_t waits;     // times the process gave up the processor to wait (sleep, I/O, ...)
    uint16_t preempted; // times it was taken off the processor while it could have run
    uint8_t lockSeen;
    uint8_t failed;
};

// Processor time, voluntary and involuntary context switches of the calling process so far.
struct Usage {
    int64_t cpuNs;
    long waits, preempted;
};

Usage usageNow() {
    struct rusage r;
    getrusage(RUSAGE_SELF, &r);
    struct timespec cpu;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    return {static_cast<int64_t>(cpu.tv_sec) * 1000000000 + cpu.tv_nsec, r.ru_nvcsw, r.ru_nivcsw};
}

// Shared between the parent and its children (an anonymous shared mapping made before fork).
struct Board {
    std::atomic<int> ready;
    std::atomic<int> stop;
    std::atomic<int64_t> startNs;
};

struct Child {
    std::atomic<long> count;
    std::atomic<int> overflow;
};

void* sharedMapping(size_t bytes) {
    void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED)
        fail(std::string("mmap: ") + strerror(errno));
    return at;
}

std::string resourceName(long i) {
    char name[32];
    std::snprintf(name, sizeof name, "res%05ld", i);
    return name;
}

// Looks one resource up; false when it was not found whole.
bool lookUp(const std::string& repo, const std::string& name) {
    int status = -1;
    std::unique_ptr<char[]> location(getLocation_(repo.c_str(), name.c_str(), &status));
    return location && status == 0;
}

void runChild(const std::string& repo, const std::vector<std::string>& names,
              const std::vector<std::string>& lockFiles, long pauseUs, Board& board, Child& me,
              Sample* samples, long capacity) {
    std::minstd_rand generator(static_cast<unsigned>(getpid()) ^
                               static_cast<unsigned>(nowNs() & 0xffffffff));
    std::uniform_int_distribution<size_t> pick(0, names.size() - 1);
    lookUp(repo, names[pick(generator)]);
    board.ready.fetch_add(1);
    while (board.startNs.load() == 0 && board.stop.load() == 0)
        usleep(200);
    int64_t start = board.startNs.load();
    struct timespec pause = {pauseUs / 1000000, (pauseUs % 1000000) * 1000};
    long n = 0;
    while (board.stop.load() == 0) {
        if (n == capacity) {
            me.overflow.store(1);
            break;
        }
        size_t r = pick(generator);
        bool lockSeen = access(lockFiles[r].c_str(), F_OK) == 0;
        Usage used = usageNow();
        int64_t before = nowNs();
        bool found = lookUp(repo, names[r]);
        int64_t after = nowNs();
        Usage usedAfter = usageNow();
        samples[n] =
            Sample{before - start,
                   after - before,
                   usedAfter.cpuNs - used.cpuNs,
                   static_cast<uint32_t>(r),
                   static_cast<uint16_t>(std::min(usedAfter.waits - used.waits, 65535L)),
                   static_cast<uint16_t>(std::min(usedAfter.preempted - used.preempted, 65535L)),
                   static_cast<uint8_t>(lockSeen),
                   static_cast<uint8_t>(!found)};
        me.count.store(++n);
        if (pauseUs > 0)
            nanosleep(&pause, nullptr);
    }
}

// The p-th quantile (nearest rank) of sorted times, in µs.
double quantileUs(const std::vector<int64_t>& sorted, double p) {
    if (sorted.empty())
        return 0;
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[std::max<size_t>(rank, 1) - 1]) / 1000.0;
}

void printFigures(const char* prefix, std::vector<int64_t> times) {
    std::sort(times.begin(), times.end());
    std::printf("%scount %zu\n", prefix, times.size());
    std::printf("%sp50_us %.1f\n", prefix, quantileUs(times, 0.5));
    std::printf("%sp99_us %.1f\n", prefix, quantileUs(times, 0.99));
    std::printf("%sp999_us %.1f\n", prefix, quantileUs(times, 0.999));
    std::printf("%sworst_us %.1f\n", prefix, times.empty() ? 0.0 : times.back() / 1000.0);
}

// Where the library puts the repository's lock files: the directory its "lockDirectory" names,
// else LOCK_VAR, else the working directory.
std::string lockDirectoryOf(const std::string& repo) {
    OVRepositoryHandler* handler = getRepository(repo.c_str());
    if (handler != nullptr && !handler->getLockDirectory().empty())
        return handler->getLockDirectory();
    const char* lockVar = std::getenv("LOCK_VAR");
    return lockVar != nullptr && *lockVar != '\0' ? lockVar : ".";
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        fail("usage: lookup_latency repo resources procs seconds");
    std::string repo = argv[1];
    long resources = std::atol(argv[2]);
    int procs = std::atoi(argv[3]);
    long seconds = std::atol(argv[4]);
    const char* pauseText = std::getenv("PAUSE_US");
    long pauseUs = pauseText != nullptr ? std::atol(pauseText) : 1000;
    if (resources < 1 || resources > 100000 || procs < 1 || seconds < 0 || pauseUs < 0)
        fail("usage: lookup_latency repo resources procs seconds");

    std::vector<std::string> names, lockFiles;
    std::string lockDir = lockDirectoryOf(repo);
    for (long i = 0; i < resources; ++i) {
        names.push_back(resourceName(i));
        lockFiles.push_back(lockDir + "/" + lockFileName(resourceLockName(repo, names.back())));
    }

    // Room for every lookup the run can make: at most one per 5 µs when a duration is given,
    // else 2^22 per process (pages not written cost nothing).
    long capacity = seconds > 0 ? seconds * 200000 + 1000 : 1L << 22;
    auto* board = new (sharedMapping(sizeof(Board))) Board{};
    auto* children = static_cast<Child*>(sharedMapping(sizeof(Child) * procs));
    auto* samples =
        static_cast<Sample*>(sharedMapping(sizeof(Sample) * static_cast<size_t>(capacity * procs)));
    for (int p = 0; p < procs; ++p)
        new (&children[p]) Child{};

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGUSR1);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    std::vector<pid_t> pids;
    for (int p = 0; p < procs; ++p) {
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid < 0)
            fail(std::string("fork: ") + strerror(errno));
        if (pid == 0) {
            runChild(repo, names, lockFiles, pauseUs, *board, children[p],
                     samples + static_cast<size_t>(p) * capacity, capacity);
            _exit(0);
        }
        pids.push_back(pid);
    }
    while (board->ready.load() < procs)
        usleep(1000);
    board->startNs.store(nowNs());
    std::printf("ready\n");
    std::fflush(stdout);
    if (seconds > 0) {
        struct timespec duration = {seconds, 0};
        struct timespec left;
        while (nanosleep(&duration, &left) != 0 && errno == EINTR)
            duration = left;
    } else {
        int signal = 0;
        sigwait(&stopSignals, &signal);
    }
    double ranSeconds = static_cast<double>(nowNs() - board->startNs.load()) / 1e9;
    board->stop.store(1);
    bool childFailed = false;
    for (pid_t pid : pids) {
        int status = 0;
        childFailed = waitpid(pid, &status, 0) != pid || status != 0 || childFailed;
    }
    if (childFailed)
        fail("a lookup process failed");

    std::vector<Sample> all;
    bool overflow = false;
    for (int p = 0; p < procs; ++p) {
        const Sample* first = samples + static_cast<size_t>(p) * capacity;
        all.insert(all.end(), first, first + children[p].count.load());
        overflow = overflow || children[p].overflow.load() != 0;
    }
    std::vector<int64_t> every, withLock, withoutLock;
    long failed = 0;
    for (const Sample& s : all) {
        every.push_back(s.tookNs);
        (s.lockSeen ? withLock : withoutLock).push_back(s.tookNs);
        failed += s.failed;
    }
    std::printf("seconds %.2f\n", ranSeconds);
    std::printf("failed %ld\n", failed);
    std::printf("overflow %d\n", overflow ? 1 : 0);
    printFigures("", every);
    printFigures("lock_seen_", withLock);
    printFigures("lock_free_", withoutLock);
    // Where the slow lookups (over 1 ms) lost their time.
    long slow[4] = {0, 0, 0, 0};
    int64_t slowWorst[4] = {0, 0, 0, 0};
    for (const Sample& s : all) {
        if (s.tookNs <= 1000000)
            continue;
        int kind = s.lockSeen ? 0 : s.waits > 0 ? 1 : s.preempted > 0 ? 2 : 3;
        ++slow[kind];
        slowWorst[kind] = std::max(slowWorst[kind], s.tookNs);
    }
    const char* kinds[4] = {"lock_seen", "waited", "preempted", "running"};
    for (int k = 0; k < 4; ++k)
        std::printf("over_1ms_%s %ld %.1f\n", kinds[k], slow[k], slowWorst[k] / 1000.0);
    std::sort(all.begin(), all.end(),
              [](const Sample& a, const Sample& b) { return a.tookNs > b.tookNs; });
    for (size_t i = 0; i < std::min<size_t>(all.size(), 8); ++i)
        std::printf("slowest %.1f us at %.0f ms %s: %.1f us processor, %u waits, %u preempted%s\n",
                    all[i].tookNs / 1000.0, all[i].startNs / 1e6, names[all[i].resource].c_str(),
                    all[i].cpuNs / 1000.0, all[i].waits, all[i].preempted,
                    all[i].lockSeen ? ", lock held" : "");
    return failed == 0 ? 0 : 1;
}
