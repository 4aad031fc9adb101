#include "OVException.h"
#include "OVSemaphore.h"
#include "OVStop.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool present(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// The delays (µs) requested from nanosleep while a recorder is installed; nothing actually sleeps.
std::vector<long>& recordedSleeps() {
    static std::vector<long> sleeps;
    return sleeps;
}

int recordSleep(const struct timespec* request, struct timespec*) {
    recordedSleeps().push_back(request->tv_sec * 1000000 + request->tv_nsec / 1000);
    return 0;
}

// Reads the number in the counter file, adds one and writes it back: a lost update shows as a
// final count below the number of increments.
void incrementCounter(const std::string& path) {
    long value = atol(readFile(path).c_str());
    writeFile(path, std::to_string(value + 1));
}

} // namespace

TEST(Semaphore, TakesAFreeLockAndReleasesIt) {
    TempDir dir;
    mode_t oldMask = umask(027);
    {
        OVSemaphore lock("res", dir.path(), true);
        EXPECT_TRUE(lock.lock(30));
        std::string file = dir / "semaphore_res";
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u); // 0660 less the umask

        OVSemaphore other("res", dir.path(), true);
        EXPECT_FALSE(other.lockResource()); // not re-entrant, not even in one process
        other.unlock();                     // does not touch the holder's file
        EXPECT_TRUE(present(file));

        lock.unlock();
        EXPECT_FALSE(present(file));
        size_t held = openDescriptors();
        EXPECT_TRUE(other.lockResource());  // an object may lock again after a release
        EXPECT_EQ(openDescriptors(), held); // the lock is the file, no descriptor stays open
    }
    umask(oldMask);
    EXPECT_FALSE(present(dir / "semaphore_res")); // released by the destructor
}

TEST(Semaphore, DirectoryComesFromTheArgumentLockVarOrTheWorkingDirectory) {
    TempDir dir;
    {
        ScopedEnv lockVar("LOCK_VAR", "/var/lock/rep");
        EXPECT_EQ(OVSemaphore("n", true).path(), "/var/lock/rep/semaphore_n");
        EXPECT_EQ(OVSemaphore("n", "/given", true).path(), "/given/semaphore_n");
        EXPECT_EQ(OVSemaphore("n", "", true).path(), "/var/lock/rep/semaphore_n");
    }
    {
        ScopedEnv lockVar("LOCK_VAR", "");
        EXPECT_EQ(OVSemaphore("n", true).path(), "./semaphore_n");
    }
    ScopedEnv lockVar("LOCK_VAR", nullptr);
    char* previous = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    {
        OVSemaphore lock("cwd", true);
        lock.lock(1);
        EXPECT_TRUE(present(dir / "semaphore_cwd"));
    }
    EXPECT_EQ(chdir(previous), 0);
    free(previous);
}

TEST(Semaphore, AutoReleaseDecidesWhetherDestructionRemovesTheFile) {
    TempDir dir;
    { OVSemaphore("kept", dir.path(), false).lock(1); }
    EXPECT_TRUE(present(dir / "semaphore_kept"));

    // A lock file removed by someone else is released silently.
    OVSemaphore lock("gone", dir.path(), true);
    lock.lock(1);
    ASSERT_EQ(unlink((dir / "semaphore_gone").c_str()), 0);
    EXPECT_NO_THROW(lock.unlock());
    EXPECT_FALSE(lock.isLocked());
}

TEST(Semaphore, FailuresNameTheLockAndTheSystemText) {
    TempDir dir;
    OVSemaphore missing("res", dir / "no-such-dir", true);
    SyslogCapture capture;
    try {
        missing.lock(30);
        FAIL() << "no exception";
    } catch (const OVIOException& e) {
        EXPECT_EQ(e.getCode(), ENOENT);
        EXPECT_EQ(e.getMessage(),
                  std::string("Creating semaphore failed: res [") + strerror(ENOENT) + "]");
    }
    // The log names the lock file's path, which the operator needs to mend the directory.
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"The lock file \"" + (dir / "no-such-dir/semaphore_res") +
                                       "\" could not be created. Error code is 2"});

    capture.clear();
    ScopedSyscalls calls;
    {
        OVSemaphore lock("stuck", dir.path(), true);
        lock.lock(1);
        calls.table().unlink = failing<EACCES>(calls.table().unlink);
        try {
            lock.unlock();
            FAIL() << "no exception";
        } catch (const OVIOException& e) {
            EXPECT_EQ(e.getCode(), EACCES);
            EXPECT_EQ(e.getMessage(),
                      std::string("Releasing semaphore failed: stuck [") + strerror(EACCES) + "]");
        }
        EXPECT_TRUE(lock.isLocked());
    } // the destructor fails to release too: it logs and does not throw
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>(2, "The lock file \"" + dir / "semaphore_stuck" +
                                              "\" could not be removed. Error code is 13"));
    EXPECT_TRUE(present(dir / "semaphore_stuck"));
}

TEST(Semaphore, TimeOutArithmetic) {
    TempDir dir;
    OVSemaphore holder("busy", dir.path(), true);
    holder.lock(1);
    ScopedSyscalls calls;
    calls.table().nanosleep = recordSleep;

    // A negative time-out makes one attempt and does not sleep.
    recordedSleeps().clear();
    OVSemaphore waiter("busy", dir.path(), true);
    EXPECT_THROW(waiter.lock(-1), OVTimeoutException);
    EXPECT_TRUE(recordedSleeps().empty());

    // A positive one gives up at the first failed attempt after the delays reached the limit.
    try {
        waiter.lock(2);
        FAIL() << "no time-out";
    } catch (const OVTimeoutException& e) {
        EXPECT_EQ(e.getCode(), 1);
        EXPECT_EQ(e.getMessage(), "Semaphore timed out");
    }
    // The first retries come within a millisecond, then the delays double up to the long range.
    const std::vector<long>& sleeps = recordedSleeps();
    ASSERT_GT(sleeps.size(), 10u);
    long total = 0;
    for (size_t retry = 0; retry < sleeps.size(); ++retry) {
        long delay = sleeps[retry];
        if (retry < 10) {
            EXPECT_GE(delay, 500L << retry) << "retry " << retry;
            EXPECT_LE(delay, 1000L << retry) << "retry " << retry;
        } else {
            EXPECT_GE(delay, 10000) << "retry " << retry;
            EXPECT_LE(delay, 989000) << "retry " << retry;
        }
        total += delay;
    }
    EXPECT_GE(total, 2000000);
    EXPECT_LT(total - sleeps.back(), 2000000);

    // A stop request ends even an endless wait, at once or after its delay; a free lock is taken.
    recordedSleeps().clear();
    ovstop::request(SIGINT);
    EXPECT_FALSE(waiter.tryLock(0));
    EXPECT_TRUE(recordedSleeps().empty());
    EXPECT_TRUE(OVSemaphore("free", dir.path(), true).tryLock(30));
    ovstop::reset();
    calls.table().nanosleep = [](const struct timespec* request, struct timespec*) {
        ovstop::request(SIGTERM);
        return recordSleep(request, nullptr);
    };
    EXPECT_THROW(waiter.lock(0), OVTimeoutException);
    EXPECT_EQ(recordedSleeps().size(), 1u);
    ovstop::reset();
}

TEST(Semaphore, RandomDelaysGrowAndStayInTheirRanges) {
    // Retries far beyond the growing ones (also ones that would shift the ceiling out of range)
    // stay in the long range.
    const struct {
        int retry;
        long shortest, longest; // µs
    } rows[] = {
        {0, 500, 1000},      {1, 1000, 2000},     {5, 16000, 32000},        {9, 256000, 512000},
        {10, 10000, 989000}, {64, 10000, 989000}, {1 << 30, 10000, 989000}, {-1, 10000, 989000},
    };
    for (const auto& row : rows) {
        std::set<long> drawn;
        for (int i = 0; i < 200; ++i) {
            long delay = lockDelayMicros(row.retry);
            EXPECT_GE(delay, row.shortest) << "retry " << row.retry;
            EXPECT_LE(delay, row.longest) << "retry " << row.retry;
            drawn.insert(delay);
        }
        EXPECT_GT(drawn.size(), 50u) << "retry " << row.retry; // drawn, not fixed
    }
}

TEST(Semaphore, RandomDelaysLeaveRandAloneAndDifferBetweenProcesses) {
    srand(4711);
    int first = rand();
    srand(4711);
    for (int i = 0; i < 50; ++i)
        lockDelayMicros(i % 12);
    EXPECT_EQ(rand(), first);

    // Two children forked from one parent draw different sequences.
    TempDir dir;
    auto drawInto = [&](const std::string& file) {
        return [file] {
            std::string values;
            for (int i = 0; i < 8; ++i)
                values += std::to_string(lockDelayMicros(10)) + " ";
            writeFile(file, values);
            return 0;
        };
    };
    lockDelayMicros(10); // the parent is seeded before it forks
    ASSERT_EQ(runInChild(drawInto(dir / "a")), 0);
    ASSERT_EQ(runInChild(drawInto(dir / "b")), 0);
    EXPECT_NE(readFile(dir / "a"), readFile(dir / "b"));
}

TEST(Semaphore, ProcessesIncrementingUnderTheLockLoseNothing) {
    TempDir dir;
    std::string counter = dir / "counter";
    writeFile(counter, "0");
    const int children = 4, increments = 200;
    std::vector<pid_t> pids;
    for (int c = 0; c < children; ++c)
        pids.push_back(startChild([&] {
            for (int i = 0; i < increments; ++i) {
                OVSemaphore lock("counter", dir.path(), true);
                lock.lock(0);
                incrementCounter(counter);
            }
            return 0;
        }));
    for (pid_t pid : pids)
        EXPECT_EQ(waitForChild(pid), 0);
    EXPECT_EQ(readFile(counter), std::to_string(children * increments));
    EXPECT_FALSE(present(dir / "semaphore_counter"));
}

TEST(Semaphore, WaitsForAHolderInAnotherProcess) {
    // A lock held briefly costs a brief wait: the waiter retries soon, and its delays grow
    // with the time waited, not beyond. A lock held long is waited for as long as it takes.
    const struct {
        int holdMillis;
        int timeoutSeconds;
        double atLeast, atMost; // seconds waited
    } rows[] = {
        {5, 30, 0.0, 0.025},
        {20, 30, 0.015, 0.060},
        {80, 30, 0.070, 0.200},
        {1500, 0, 1.0, 30.0}, // lock(0) waits for ever
    };
    for (const auto& row : rows) {
        TempDir dir;
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t holder = startChild([&] {
            OVSemaphore lock("shared", dir.path(), true);
            lock.lock(1);
            char byte = 'x';
            if (write(ready[1], &byte, 1) != 1)
                return 1;
            usleep(static_cast<useconds_t>(row.holdMillis) * 1000);
            return 0;
        });
        char byte;
        ASSERT_EQ(read(ready[0], &byte, 1), 1);
        close(ready[0]);
        close(ready[1]);

        auto start = Clock::now();
        OVSemaphore waiter("shared", dir.path(), true);
        EXPECT_TRUE(waiter.lock(row.timeoutSeconds));
        double waited = secondsSince(start);
        EXPECT_GE(waited, row.atLeast) << "held " << row.holdMillis << " ms";
        EXPECT_LE(waited, row.atMost) << "held " << row.holdMillis << " ms";
        EXPECT_EQ(waitForChild(holder), 0);
    }
}

TEST(Semaphore, GivesUpOnAHeldLockAfterTheTimeOut) {
    TempDir dir;
    OVSemaphore holder("held", dir.path(), false);
    holder.lock(1);
    pid_t waiter = startChild([&] {
        OVSemaphore lock("held", dir.path(), true);
        try {
            lock.lock(2);
        } catch (const OVTimeoutException&) {
            return 7;
        }
        return 1;
    });
    auto start = Clock::now();
    EXPECT_EQ(waitForChild(waiter), 7);
    double waited = secondsSince(start);
    EXPECT_GE(waited, 2.0);
    EXPECT_LT(waited, 5.0);
    holder.unlock();
}

TEST(Semaphore, ResourceIdReplacesSlashes) {
    std::unique_ptr<char[]> id(toResourceID("/data/rep", "1234"));
    EXPECT_STREQ(id.get(), "OVRepositoryHandler-_data_rep-1234");
    id.reset(toResourceID("/data/rep", ""));
    EXPECT_STREQ(id.get(), "OVRepositoryHandler-_data_rep-");
    id.reset(toResourceID("/var/log/notes.txt", "a/b/"));
    EXPECT_STREQ(id.get(), "OVRepositoryHandler-_var_log_notes.txt-a_b_");
    EXPECT_THROW(toResourceID(nullptr, "x"), OVAssertionException);

    // A name that fits is kept whole; a longer one is cut and ends with a hash of all of it, so
    // that names differing only past the cut still lock apart.
    const std::string fits(kLockFileNameMax - 10, 'n'), cut = fits + "a", other = fits + "b";
    EXPECT_EQ(lockFileName(fits), "semaphore_" + fits);
    EXPECT_EQ(lockFileName(cut).size(), kLockFileNameMax);
    EXPECT_EQ(lockFileName(cut).substr(0, 239), "semaphore_" + fits.substr(0, 228) + "-");
    EXPECT_NE(lockFileName(cut), lockFileName(other));
    EXPECT_EQ(lockFileName(cut), lockFileName(cut));
}
