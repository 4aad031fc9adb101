// Processes killed with SIGKILL at random moments while they move resources of several MB between
// real file systems (a tmpfs and a loop-mounted ext4 in a private mount namespace): the overload
// check (the tool itself at random instants, the same library call at a random one of its renames,
// removals and directory creations), and a process whose lookups merge dirty copies. After each
// kill the operator recovers as the operator guide says: once the killed process and the commands
// it started are gone, the repository's lock files are removed, and the staging leftovers go by
// hand or with the library's next move or removal. Then every resource must be whole and found
// with status 0 and settled: a second lookup is clean, its flag is gone and one copy remains; only
// the conflicts made on purpose stay, with both copies intact. The seed is printed (CRASH_SEED
// picks the same kill moments again); the states in which the kills left the repository are
// counted and printed.
#include "OVHash.h"
#include "OVPaths.h"
#include "OVSemaphore.h"
#include "OVSyscalls.h"
#include "Registry.h"
#include "RepositoryStatus.h"
#include "RepositoryTestSupport.h"
#include "Staging.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Files = std::map<std::string, std::string>; // relative path -> content

// Kills at a random instant, and kills at a random one of the process's renames, removals and
// directory creations: the instants between two steps of a move are short, and a kill in time
// seldom falls into them.
constexpr int kTimedTrials = 20;
constexpr int kCountedTrials = 20;
constexpr time_t kOld = 100000; // seconds in the past: older than nomoveTime

// Bytes that differ from file to file and from offset to offset, so that a copy cut short, or a
// file taken for another, never passes for the original.
std::string contentOf(const std::string& name, size_t bytes) {
    std::uint64_t x = 1469598103934665603ULL;
    for (unsigned char c : name)
        x = (x ^ c) * 1099511628211ULL;
    std::string text(bytes, '\0');
    for (size_t i = 0; i < bytes; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        text[i] = static_cast<char>(x >> 32);
    }
    return text;
}

// A resource: a directory of files, or (files holding only "") a plain file.
struct Resource {
    std::string id;
    Files files;
    bool plain() const { return files.size() == 1 && files.begin()->first.empty(); }
};

// Writes the resource at location with the given files, and gives it the time when.
void write(const std::string& location, const Files& files, time_t when) {
    fs::create_directories(fs::path(location).parent_path());
    for (const auto& [relative, content] : files) {
        std::string path = relative.empty() ? location : location + "/" + relative;
        fs::create_directories(fs::path(path).parent_path());
        writeFile(path, content);
    }
    setTimes(location, when);
}

// Every file below location with its content; a plain file as "".
Files filesAt(const std::string& location) {
    Files found;
    std::error_code error;
    if (fs::is_regular_file(fs::symlink_status(location, error)))
        found[""] = readFile(location);
    else
        for (const auto& entry : fs::recursive_directory_iterator(location, error))
            if (entry.is_regular_file())
                found[entry.path().string().substr(location.size() + 1)] =
                    readFile(entry.path().string());
    return found;
}

// The entries of a work directory below a mount's staging directory, for the figures.
size_t stagedEntries(const std::string& mount) {
    size_t entries = 0;
    std::error_code error;
    for (const auto& work : fs::directory_iterator(mount + "/" + kStagingName, error))
        for (auto it = fs::directory_iterator(work.path(), error); it != fs::directory_iterator();
             ++it)
            ++entries;
    return entries;
}

// Everything of a mount but its marker file (and ext4's lost+found) goes.
void wipe(const std::string& mount) {
    for (const auto& entry : fs::directory_iterator(mount)) {
        std::string name = entry.path().filename().string();
        if (name != "repositorypart.cfg" && name != "lost+found")
            fs::remove_all(entry.path());
    }
}

// The names listed by the library, directories and files.
std::set<std::string> listedNames(const char* repository) {
    std::set<std::string> names;
    for (auto list : {listDirs_, listFiles_}) {
        long count = 0;
        char** names_ = list(repository, &count, false);
        for (long i = 0; i < count; ++i)
            names.insert(names_[i]);
        releaseList(names_, count);
    }
    return names;
}

// A lookup through the flat entry point: the location ("" for none) and its status.
std::string lookUp(const char* repository, const std::string& id, int& status) {
    status = -1;
    char* location = getLocation_(repository, id.c_str(), &status);
    std::string path = location != nullptr ? location : "";
    release(location);
    return path;
}

// The n-th rename, unlink, unlinkat, rmdir or mkdir through the system-call table kills the
// process; every such call is counted.
long callsMade = 0;
long dyingCall = 0;

void countCall() {
    if (++callsMade == dyingCall)
        raise(SIGKILL);
}

// Puts the counting calls in place for its lifetime; the calls go on to the real ones.
class DyingCalls {
public:
    explicit DyingCalls(long n) {
        callsMade = 0;
        dyingCall = n;
        countDirectoryChanges(calls.table(), countCall);
    }

private:
    ScopedSyscalls calls;
};

// Runs body in a child that dies at its n-th counted call (n 0: never); the child writes the
// number of calls it made to countFile when it ends.
pid_t startDyingAt(long n, const std::string& countFile, const std::function<void()>& body) {
    return startChild([=] {
        DyingCalls dying(n);
        body();
        writeFile(countFile, std::to_string(callsMade));
        return 0;
    });
}

// Tallies of the states in which the kills left the repository.
using Tally = std::map<std::string, int>;

void printTally(const std::string& title, unsigned seed, const Tally& tally) {
    std::string text = title + " (seed " + std::to_string(seed) + "):";
    for (const auto& [what, count] : tally)
        text += "\n    " + what + ": " + std::to_string(count);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

// The repository in a child with its own mount namespace: m0 a tmpfs, m1 an ext4 or xfs image. The
// lock directory comes from TestRepository (LOCK_VAR), so the processes started here share it.
class CrashBench {
public:
    CrashBench(TestRepository& repo, unsigned seed, FileSystemKind target)
        : repo(repo), m0(repo / "m0"), m1(repo / "m1"), seed(seed), random(seed), target(target) {}

    // The mounts, in a namespace of this process's own; orphans of the processes it starts come
    // to it, so that it can wait for them.
    bool mount() {
        if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
            return false;
        repo.addMount("m0", "", false);
        repo.addMount("m1", "", false);
        if (!enterPrivateMountNamespace() || !mountTmpfs(m0, "64m") ||
            !mountFileSystem(target, m1, repo.addMount("m1-img", "", false)))
            return false;
        writeFile(m0 + "/repositorypart.cfg", "");
        writeFile(m1 + "/repositorypart.cfg", "");
        return true;
    }

    // A fresh repository state: no resources, flags or locks, handlers built anew.
    void reset() {
        wipe(m0);
        wipe(m1);
        fs::remove(repo / ".dirty");
        for (const auto& entry : fs::directory_iterator(getenv("LOCK_VAR")))
            fs::remove(entry.path());
        repositoryMap.clear();
    }

    // A moment in [0, span] from the seeded generator.
    Clock::duration pick(Clock::duration span) {
        std::uniform_int_distribution<long long> at(0, span.count());
        return Clock::duration(at(random));
    }

    // The shortest of three whole runs of start (each on a fresh state made by prepare): the span
    // within which the timed kills fall.
    template <typename Prepare, typename Start>
    Clock::duration spanOfWholeRuns(Prepare prepare, Start start) {
        Clock::duration shortest = Clock::duration::max();
        for (int run = 0; run < 3; ++run) {
            reset();
            prepare();
            Clock::time_point begin = Clock::now();
            check(waitForChild(start()) == 0, "an uninterrupted run");
            shortest = std::min(shortest, Clock::now() - begin);
        }
        return shortest;
    }

    // Runs the work on a fresh state made by prepare and kills it, until it was killed
    // timedTrials times at a random instant (startTool: the process, killed from here) and
    // countedTrials times at a random one of its counted calls (startDying(n): a process that dies
    // at its n-th call, 0 never). A run that ends before its kill does not count; at most three
    // times as many runs as kills. afterKill gets the trial number and the killed process.
    template <typename Prepare, typename StartTool, typename StartDying, typename AfterKill>
    void killRepeatedly(Prepare prepare, StartTool startTool, StartDying startDying,
                        AfterKill afterKill, Tally& tally) {
        Clock::duration span = spanOfWholeRuns(prepare, startTool);
        reset();
        prepare();
        check(waitForChild(startDying(0)) == 0, "an uninterrupted counting run");
        long calls = std::atol(readFile(countFile()).c_str());
        check(calls > 0, "the work makes counted calls");
        int killed = 0;
        for (int run = 0; killed < kTimedTrials + kCountedTrials &&
                          run < 3 * (kTimedTrials + kCountedTrials) && calls > 0;
             ++run) {
            reset();
            prepare();
            bool timed = killed < kTimedTrials;
            std::uniform_int_distribution<long> call(1, calls);
            long n = timed ? 0 : call(random);
            Clock::duration delay = pick(span);
            pid_t pid = timed ? startTool() : startDying(n);
            if (!(timed ? killAfter(pid, delay) : waitForKill(pid))) {
                ++tally["runs that ended before their kill"];
                continue;
            }
            ++tally[timed ? "kills at an instant" : "kills at a counted call"];
            int failuresBefore = childFailures();
            afterKill(killed++, pid);
            std::string moment =
                timed ? "at " + std::to_string(delay.count() / 1000) + " us of " +
                            std::to_string(span.count() / 1000)
                      : "at call " + std::to_string(n) + " of " + std::to_string(calls);
            if (childFailures() != failuresBefore)
                std::fprintf(stderr, "the checks above failed after the kill %s\n", moment.c_str());
        }
        check(killed == kTimedTrials + kCountedTrials,
              "killed " + std::to_string(killed) + " times");
    }

    std::string countFile() const { return repo / "calls"; }

    // Waits for pid, and then for the cp and diff it had started, which run on after it was
    // killed (they come to this process, a subreaper): they write into the staging directory
    // until they end. True when pid was killed.
    static bool waitForKill(pid_t pid) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
        }
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

    // Kills pid after delay unless it ended before; waits for it. True when it was killed.
    static bool killAfter(pid_t pid, Clock::duration delay) {
        std::this_thread::sleep_for(delay);
        kill(pid, SIGKILL);
        return waitForKill(pid);
    }

    // The documented recovery of the lock files: the killed process is gone (it was waited for,
    // and kill(pid, 0) finds no such process), no other process of the repository runs, so every
    // lock file of the repository is a leftover of it and is removed. Every file in the lock
    // directory must be such a lock file; the kinds are counted.
    void removeLockFiles(pid_t killed, Tally& tally) {
        check(kill(killed, 0) != 0 && errno == ESRCH, "the killed process is gone");
        std::string repositoryLock = lockFileName(resourceLockName(repo.path(), ""));
        std::string dirtyLock = lockFileName(resourceLockName(repo / ".dirty", ""));
        for (const auto& entry : fs::directory_iterator(getenv("LOCK_VAR"))) {
            std::string name = entry.path().filename().string();
            check(name == dirtyLock || name.rfind(repositoryLock, 0) == 0,
                  "only lock files of the repository: " + name);
            ++tally[name == repositoryLock ? "lock left: repository"
                    : name == dirtyLock    ? "lock left: dirty flags"
                                           : "lock left: resource"];
            fs::remove(entry.path());
        }
    }

    // Staging leftovers of the killed process: never listed as resources; in every other trial
    // removed by hand (allowed once no process of the repository runs), else left for the
    // library's next move or removal on the mount.
    void handleLeftovers(int trial, Tally& tally, const std::set<std::string>& ids) {
        bool left = false;
        for (const std::string& mount : {m0, m1})
            left = left || present(mount + "/" + kStagingName);
        if (left)
            ++tally["staging leftovers"];
        check(listedNames(repo.id()) == ids, "exactly the resources are listed");
        if (trial % 2 == 0)
            for (const std::string& mount : {m0, m1})
                fs::remove_all(mount + "/" + kStagingName);
    }

    // After the verification, a removal on each mount (of the resource given for it) has removed
    // every leftover: no staging directory stays.
    void checkStagingGone(const std::string& onM0, const std::string& onM1) {
        check(removeResource_(repo.id(), onM0.c_str()) == RES_OK, "removal on m0");
        check(removeResource_(repo.id(), onM1.c_str()) == RES_OK, "removal on m1");
        for (const std::string& mount : {m0, m1})
            check(!present(mount + "/" + kStagingName), "no staging leftover stays on " + mount);
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(repo.path(), error))
            check(entry.path().filename().string().rfind(".dirty.", 0) != 0,
                  "no temporary flag file stays: " + entry.path().string());
        check(fs::is_empty(getenv("LOCK_VAR")), "no lock file stays");
    }

    // A whole, settled resource: status 0 twice at one place, its files exactly, no flag, one copy.
    void checkSettled(const Resource& resource) {
        int status = -1;
        std::string first = lookUp(repo.id(), resource.id, status);
        check(status == RES_OK,
              resource.id + " found with status 0, not " + std::to_string(status));
        check(filesAt(first) == resource.files, resource.id + " whole at " + first);
        std::string second = lookUp(repo.id(), resource.id, status);
        check(status == RES_OK && second == first, resource.id + " clean at the second lookup");
        check(!getRepository(repo.id())->getDirtyFlags().isDirty(resource.id.c_str()),
              resource.id + " is no longer dirty");
        check(present(place(m0, resource.id)) != present(place(m1, resource.id)),
              resource.id + " has one copy");
    }

    TestRepository& repo;
    std::string m0, m1;
    unsigned seed;
    std::mt19937 random;
    FileSystemKind target;
};

unsigned seedOfRun() {
    const char* given = getenv("CRASH_SEED");
    unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                     : static_cast<unsigned>(std::random_device()());
    std::printf("crash test seed %u (CRASH_SEED=%u picks the same kill moments)\n", seed, seed);
    return seed;
}

int runScenario(void (*scenario)(CrashBench&),
                FileSystemKind target = FileSystemKind::Ext4SmallInodes) {
    unsigned seed = seedOfRun();
    TestRepository repo;
    return runInChild([&] {
        CrashBench bench(repo, seed, target);
        if (!bench.mount())
            return kNoNamespace;
        scenario(bench);
        return childFailures();
    });
}

// Six old resources of about 1 MB each on m0 (five directories, one plain file) and a young one;
// m0's limits make the check move every old resource to m1.
std::vector<Resource> balancedResources() {
    std::vector<Resource> resources;
    for (int i = 0; i < 5; ++i) {
        std::string id = "study" + std::to_string(i);
        resources.push_back({id,
                             {{"a", contentOf(id + "a", 600000)},
                              {"b", contentOf(id + "b", 300000)},
                              {"series/c", contentOf(id + "c", 100000)},
                              {"series/d", contentOf(id + "d", 4096)}}});
    }
    resources.push_back({"report.pdf", {{"", contentOf("report", 1000000)}}});
    return resources;
}

const Resource kYoung = {"young", {{"y", "in use"}}};

void placeForBalancing(CrashBench& bench, const std::vector<Resource>& resources) {
    bench.repo.configure("mountPoints = m0\\m1\nnomoveTimeSeconds = 1000\n");
    writeFile(bench.m0 + "/repositorypart.cfg", "moveLimit = 1\ncleanLimit = 1\n");
    time_t now = time(nullptr);
    for (size_t i = 0; i < resources.size(); ++i)
        write(place(bench.m0, resources[i].id), resources[i].files,
              now - kOld + static_cast<time_t>(i));
    write(place(bench.m0, kYoung.id), kYoung.files, now);
}

// Starts the tool on the repository, its output in a file.
pid_t startBalancer(CrashBench& bench) {
    std::string out = bench.repo / "balance.out";
    return startChild([&] {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        execl(MOUNTBALANCE_PATH, "mountbalance", bench.repo.id(), static_cast<char*>(nullptr));
        return 97;
    });
}

// What the kill met, seen on disk before anything else touches the repository.
void noteBalancerState(CrashBench& bench, const std::vector<Resource>& resources, Tally& tally) {
    size_t moved = 0, both = 0;
    for (const Resource& resource : resources) {
        bool on0 = present(place(bench.m0, resource.id)),
             on1 = present(place(bench.m1, resource.id));
        moved += !on0 && on1 ? 1 : 0;
        both += on0 && on1 ? 1 : 0;
        // A name shows a whole copy or nothing.
        for (const std::string& mount : {bench.m0, bench.m1})
            if (present(place(mount, resource.id)))
                check(filesAt(place(mount, resource.id)) == resource.files,
                      resource.id + " whole on " + mount + " right after the kill");
    }
    ++tally["killed with " + std::to_string(moved) + " of " + std::to_string(resources.size()) +
            " moved"];
    if (both > 0)
        ++tally["killed with a copy in place beside its origin"];
    if (stagedEntries(bench.m1) > 0)
        ++tally["killed with a copy in the target's staging"];
    if (stagedEntries(bench.m0) > 0)
        ++tally["killed with an origin taken away, not yet deleted"];
    if (!readFile(bench.repo / ".dirty").empty())
        ++tally["killed with a flag set"];
}

void killedBalancer(CrashBench& bench) {
    std::vector<Resource> resources = balancedResources();
    std::set<std::string> ids = {kYoung.id};
    for (const Resource& resource : resources)
        ids.insert(resource.id);
    Tally tally;
    auto prepare = [&] { placeForBalancing(bench, resources); };
    auto start = [&] { return startBalancer(bench); };
    // The library's check as the tool runs it, in a process that dies at a counted call.
    auto dying = [&](long n) {
        return startDyingAt(n, bench.countFile(), [&] { checkOverload_(bench.repo.id(), false); });
    };
    bench.killRepeatedly(
        prepare, start, dying,
        [&](int trial, pid_t balancer) {
            noteBalancerState(bench, resources, tally);
            bench.removeLockFiles(balancer, tally);
            bench.handleLeftovers(trial, tally, ids);
            for (const Resource& resource : resources)
                bench.checkSettled(resource);
            bench.checkSettled(kYoung);
            check(readFile(bench.repo / ".dirty").empty(), "no flag stays");
            // The next check, once the lookups' use has aged, moves what is left.
            for (const Resource& resource : resources)
                for (const std::string& mount : {bench.m0, bench.m1})
                    if (present(place(mount, resource.id)))
                        setTimes(place(mount, resource.id), time(nullptr) - kOld);
            check(waitForChild(startBalancer(bench)) == 0, "the next check");
            for (const Resource& resource : resources)
                check(!present(place(bench.m0, resource.id)) &&
                          filesAt(place(bench.m1, resource.id)) == resource.files,
                      resource.id + " moved whole by the next check");
            bench.checkStagingGone(kYoung.id, resources.front().id);
        },
        tally);
    printTally("mountbalance killed", bench.seed, tally);
}

} // namespace

TEST(Crash, KilledBalancerLosesNothing) {
    // The target's file system decides when the batch's copies and names reach the disk.
    for (FileSystemKind target : {FileSystemKind::Ext4SmallInodes, FileSystemKind::Xfs})
        EXPECT_SCENARIO(runScenario(killedBalancer, target));
}

namespace {

// Dirty resources with a copy on each mount. "merge*": disjoint files and one shared file of the
// same bytes, so that the lookup merges them into m1's copy. "clash*": the shared file differs, a
// conflict made on purpose. "single": a dirty plain file with one copy, settled by clearing.
struct DirtyResource {
    std::string id;
    Files onM0, onM1;
    bool conflicting;
    Files merged() const {
        Files all = onM1;
        all.insert(onM0.begin(), onM0.end());
        return all;
    }
};

std::vector<DirtyResource> dirtyResources() {
    std::vector<DirtyResource> resources;
    for (int i = 0; i < 5; ++i) {
        std::string id = "merge" + std::to_string(i);
        std::string shared = contentOf(id + "s", 200000);
        resources.push_back({id,
                             {{"a", contentOf(id + "a", 500000)},
                              {"series/c", contentOf(id + "c", 100000)},
                              {"s", shared}},
                             {{"b", contentOf(id + "b", 300000)}, {"s", shared}},
                             false});
    }
    for (int i = 0; i < 2; ++i) {
        std::string id = "clash" + std::to_string(i);
        resources.push_back({id,
                             {{"a", contentOf(id + "a", 400000)}, {"s", contentOf(id + "0", 1000)}},
                             {{"s", contentOf(id + "1", 1000)}, {"z", contentOf(id + "z", 1000)}},
                             true});
    }
    resources.push_back({"single", {{"", contentOf("single", 800000)}}, {}, false});
    return resources;
}

void placeDirty(CrashBench& bench, const std::vector<DirtyResource>& resources) {
    bench.repo.configure("mountPoints = m0\\m1\n");
    time_t now = time(nullptr);
    OVDirtyFlagHandler& flags = getRepository(bench.repo.id())->getDirtyFlags();
    for (const DirtyResource& resource : resources) {
        write(place(bench.m0, resource.id), resource.onM0, now);
        if (!resource.onM1.empty())
            write(place(bench.m1, resource.id), resource.onM1, now);
        flags.setDirty(resource.id.c_str(), true);
    }
    repositoryMap.clear(); // the lookup process builds its own
}

void lookUpAll(CrashBench& bench, const std::vector<DirtyResource>& resources) {
    for (const DirtyResource& resource : resources) {
        int status = -1;
        lookUp(bench.repo.id(), resource.id, status);
    }
}

void noteMergeState(CrashBench& bench, const std::vector<DirtyResource>& resources, Tally& tally) {
    size_t settled = 0, partly = 0;
    for (const DirtyResource& resource : resources) {
        std::string on0 = place(bench.m0, resource.id), on1 = place(bench.m1, resource.id);
        // The origin stays whole until it is taken away; the copy on m1 holds its own files and
        // some of the origin's, each whole.
        if (present(on0))
            check(filesAt(on0) == resource.onM0, resource.id + " whole on m0 after the kill");
        Files there = filesAt(on1), all = resource.merged();
        for (const auto& [path, content] : there) {
            bool own = resource.onM1.count(path) && resource.onM1.at(path) == content;
            bool moved = resource.onM0.count(path) && resource.onM0.at(path) == content;
            check(own || moved, resource.id + "/" + path + " on m1 is a whole copy");
        }
        if (resource.conflicting)
            continue;
        settled += !present(on0) ? 1 : 0;
        partly += present(on0) && there.size() > resource.onM1.size() ? 1 : 0;
    }
    ++tally["killed with " + std::to_string(settled) + " of 5 merged"];
    if (partly > 0)
        ++tally["killed with entries in place, origin whole"];
    if (stagedEntries(bench.m1) > 0)
        ++tally["killed with a copy in m1's staging"];
    if (stagedEntries(bench.m0) > 0)
        ++tally["killed with an origin taken away, not yet deleted"];
}

// A conflict made on purpose stays, with both copies intact, and answers 2 every time.
void checkConflictStays(CrashBench& bench, const DirtyResource& resource) {
    for (int round = 0; round < 2; ++round) {
        int status = -1;
        lookUp(bench.repo.id(), resource.id, status);
        check(status == RES_CONFLICT,
              resource.id + " is a conflict, not " + std::to_string(status));
    }
    check(filesAt(place(bench.m0, resource.id)) == resource.onM0, resource.id + " m0 copy whole");
    Files there = filesAt(place(bench.m1, resource.id));
    for (const auto& [path, content] : resource.onM1)
        check(there.count(path) && there[path] == content,
              resource.id + "/" + path + " kept on m1");
}

void killedMerges(CrashBench& bench) {
    std::vector<DirtyResource> resources = dirtyResources();
    std::set<std::string> ids;
    std::string dirtyAfter;
    for (const DirtyResource& resource : resources) {
        ids.insert(resource.id);
        if (resource.conflicting)
            dirtyAfter += resource.id + "\n";
    }
    Tally tally;
    auto prepare = [&] { placeDirty(bench, resources); };
    auto start = [&] {
        return startDyingAt(0, bench.countFile(), [&] { lookUpAll(bench, resources); });
    };
    auto dying = [&](long n) {
        return startDyingAt(n, bench.countFile(), [&] { lookUpAll(bench, resources); });
    };
    bench.killRepeatedly(
        prepare, start, dying,
        [&](int trial, pid_t looker) {
            noteMergeState(bench, resources, tally);
            bench.removeLockFiles(looker, tally);
            bench.handleLeftovers(trial, tally, ids);
            for (const DirtyResource& resource : resources)
                if (resource.conflicting)
                    checkConflictStays(bench, resource);
                else
                    bench.checkSettled({resource.id, resource.merged()});
            check(readFile(bench.repo / ".dirty") == dirtyAfter, "only the conflicts stay dirty");
            bench.checkStagingGone("single", "merge0");
        },
        tally);
    printTally("merging lookups killed", bench.seed, tally);
}

} // namespace

TEST(Crash, KilledMergingLookupsLoseNothing) {
    EXPECT_SCENARIO(runScenario(killedMerges));
}
