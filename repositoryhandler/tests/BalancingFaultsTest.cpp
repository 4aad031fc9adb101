// Balancing under attack: resources that are no files or directories, resources and mounts that
// go away while the balancing waits for a resource lock, and locks that cannot be had. Fill
// levels are faked, so m0 stays overloaded however much is moved off it.
#include "MoveDelete.h"
#include "OVSemaphore.h"
#include "OVStop.h"
#include "OVSyscalls.h"
#include "RepositoryStatus.h"
#include "TwoMounts.h"
#include "repositoryhandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// m0 at 90 % with move limit 80 and clean limit 70, m1 at 10 %; resources older than 1000 s move.
struct Overloaded : TwoMounts {
    Overloaded() {
        repo.configure("mountPoints = m0\\m1\nlegacyDir = " + legacy +
                       "\nnomoveTimeSeconds = 1000\n");
        writeFile(m0 + "/repositorypart.cfg", "moveLimit = 80\ncleanLimit = 70\n");
        fill.setPercent(m0, 90);
    }
    // An old resource directory on mount, last used at when.
    std::string old(const std::string& mount, const std::string& id, time_t when = 1000000000) {
        std::string location = make(mount, id);
        setTimes(location, when);
        return location;
    }
    // A clearable repository in which no mount has room: m1 is past its clean limit too.
    void clearableWithoutRoom() {
        repo.configure("mountPoints = m0\\m1\nlegacyDir = " + legacy +
                       "\nnomoveTimeSeconds = 1000\nisClearable = true\n");
        writeFile(m1 + "/repositorypart.cfg", "moveLimit = 80\ncleanLimit = 70\n");
        fill.setPercent(m1, 75);
    }
    // The lock of resource id, taken by a child that waits a second, runs meanwhile, and then
    // gives the lock back; the call returns once the lock is held.
    pid_t holdWhile(const std::string& id, const std::function<void()>& meanwhile) {
        int ready[2];
        if (pipe(ready) != 0)
            return -1;
        pid_t holder = startChild([&] {
            OVSemaphore lock(resourceLockName(repo.path(), id), true);
            bool locked = lock.lock(5);
            if (write(ready[1], "x", 1) != 1 || !locked)
                return 1;
            sleep(1);
            meanwhile();
            return 0;
        });
        char token;
        if (read(ready[0], &token, 1) != 1)
            return -1;
        close(ready[0]);
        close(ready[1]);
        return holder;
    }
};

// Runs body in a child of a process group of its own; -2 when it has not ended within seconds
// (the group, with whatever the body started, is then killed), else the child's status.
int withinSeconds(int seconds, const std::function<int()>& body) {
    pid_t child = startChild([&] {
        setpgid(0, 0);
        return body();
    });
    setpgid(child, child);
    for (int waited = 0; waited < seconds * 10; ++waited) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        usleep(100 * 1000);
    }
    kill(-child, SIGKILL);
    waitForChild(child);
    return -2;
}

} // namespace

// A resource that is a pipe, a device or a socket is moved as what it is: verifying its copy must
// not read it (a pipe without writer, or a device without end, would never let the check end).
// Hostile names are moved and reported like any other.
TEST(BalancingFaults, SpecialFileResourcesMoveWithoutBeingRead) {
    Overloaded r;
    std::string pipe = r.on(r.m0, "pipe"), zero = r.on(r.m0, "zero"), sock = r.on(r.m0, "sock");
    r.make(r.m0, "pipe", "");
    r.make(r.m0, "zero", "");
    r.make(r.m0, "sock", "");
    for (const std::string& path : {pipe, zero, sock})
        ASSERT_EQ(rmdir(path.c_str()), 0);
    ASSERT_EQ(mkfifo(pipe.c_str(), 0640), 0);
    ASSERT_EQ(mknod(zero.c_str(), S_IFCHR | 0640, makedev(1, 5)), 0);
    ASSERT_EQ(mknod(sock.c_str(), S_IFSOCK | 0640, 0), 0);
    for (const std::string& path : {pipe, zero, sock})
        setTimes(path, 1000000000);
    // Names that are printf directives, hold a line feed or are as long as a name may be.
    std::vector<std::string> named = {"plain%n%s", "two\nlines", std::string(250, 'L') + "%s%n"};
    for (const std::string& id : named)
        r.old(r.m0, id);
    // One that cannot be flagged for a merge with its copy on m1 is given up; the others move.
    std::string unflaggable = r.old(r.m0, "three\nlines", 999999000);
    r.make(r.m1, "three\nlines", "other");

    std::string out = r.repo / "check.out";
    EXPECT_EQ(withinSeconds(20,
                            [&] {
                                int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                                dup2(fd, 1);
                                checkOverload_(r.repo.id(), true);
                                fflush(stdout);
                                return 0;
                            }),
              0)
        << "the check ended";
    std::string text = readFile(out);
    for (const std::string& id : named) {
        EXPECT_EQ(readFile(r.on(r.m1, id) + "/f"), "f") << id;
        EXPECT_NE(text.find("CheckOverload moves " + r.on(r.m0, id) + " to "), std::string::npos);
    }
    EXPECT_TRUE(present(unflaggable + "/f") && present(r.on(r.m1, "three\nlines") + "/other"));
    struct stat st;
    EXPECT_FALSE(present(pipe) || present(zero) || present(sock));
    ASSERT_EQ(lstat(r.on(r.m1, "pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode) && (st.st_mode & 07777) == 0640);
    ASSERT_EQ(lstat(r.on(r.m1, "zero").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 5));
    ASSERT_EQ(lstat(r.on(r.m1, "sock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

namespace {

int sleeps = 0;

int countedSleep(const struct timespec*, struct timespec*) {
    ++sleeps;
    return 0;
}

} // namespace

// Emptying a mount needs no pause after a move: its targets are chosen by their own fill levels.
// A resource that another process removes (or moves) while the emptying waits for its lock is no
// longer there to move: the emptying goes on with the others instead of failing.
TEST(BalancingFaults, EmptyingGoesOnWhenAResourceGoesMeanwhile) {
    Overloaded r;
    for (const char* id : {"c", "d", "e"})
        r.old(r.m0, id);
    // A stop requested before the walk, or during a later walk that finds a resource placed
    // meanwhile: what is left stays, and the mount is not reported empty.
    static std::string late, away, arrival;
    late = r.old(r.m0, "late");
    away = r.repo / "late";
    arrival = r.on(r.m1, "c");
    ASSERT_EQ(rename(late.c_str(), away.c_str()), 0);
    for (bool during : {false, true}) {
        ScopedSyscalls calls;
        calls.table().lstat = [](const char* p, struct stat* st) {
            if (arrival == p && present(away))
                rename(away.c_str(), late.c_str()); // while c is offered
            else if (late == p)
                ovstop::request(SIGTERM);
            return ovsys::real().lstat(p, st);
        };
        if (!during)
            ovstop::request(SIGTERM);
        EXPECT_EQ(freeMount_(r.repo.id(), "m0"), 3) << during;
        ovstop::reset();
        EXPECT_TRUE(present(during ? late : r.on(r.m0, "c"))) << during;
    }
    {
        ScopedSyscalls calls;
        calls.table().nanosleep = countedSleep;
        sleeps = 0;
        EXPECT_EQ(freeMount_(r.repo.id(), "m0"), 0);
        EXPECT_EQ(sleeps, 0) << "pauses while emptying";
    }
    EXPECT_TRUE(present(r.on(r.m1, "c")) && present(r.on(r.m1, "d")) && present(r.on(r.m1, "e")));

    std::string a = r.old(r.m0, "a");
    r.old(r.m0, "b");
    pid_t holder = r.holdWhile("a", [&] { deleteRes(a.c_str()); });
    ASSERT_GT(holder, 0);
    int result = -1;
    EXPECT_NO_THROW(result = freeMount_(r.repo.id(), "m0"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(waitForChild(holder), 0);
    EXPECT_TRUE(present(r.on(r.m1, "b")) && !present(a) && !present(r.on(r.m1, "a")));

    // One that cannot be queried has not left: it stays, and the mount is not reported empty.
    static std::string hidden;
    hidden = r.old(r.m0, "h");
    ScopedSyscalls calls;
    calls.table().lstat = [](const char* p, struct stat* st) {
        return hidden == p ? (errno = EIO, -1) : ovsys::real().lstat(p, st);
    };
    EXPECT_EQ(freeMount_(r.repo.id(), "m0"), 3);
    EXPECT_TRUE(present(hidden + "/f"));

    // Likewise one whose query fails only when it is offered (the walk's query went through): it
    // is given up, not offered again in the round that moving "i" starts.
    static int queries;
    queries = 0;
    r.old(r.m0, "i");
    calls.table().lstat = [](const char* p, struct stat* st) {
        return hidden == p && ++queries == 2 ? (errno = EIO, -1) : ovsys::real().lstat(p, st);
    };
    EXPECT_EQ(freeMount_(r.repo.id(), "m0"), 3);
    EXPECT_TRUE(present(hidden + "/f"));

    // Nor is a mount reported empty whose hash directory cannot be listed.
    calls.table().lstat = ovsys::real().lstat;
    hidden = hidden.substr(0, hidden.rfind('/'));
    calls.table().opendir = [](const char* p) {
        return hidden == p ? (errno = EIO, nullptr) : ovsys::real().opendir(p);
    };
    EXPECT_EQ(freeMount_(r.repo.id(), "m0"), 3);
    EXPECT_TRUE(present(hidden + "/h/f"));
}

// What changes while the check waits for the lock of a, or cannot be queried when a is offered.
// A target switched off (or unmounted) meanwhile must not receive a, where no lookup would find
// it; nothing moves without its dirty flag, so flags that turned unreadable keep a where it is,
// and so does a place on the target that cannot be queried (flagged: a copy may stand there). A
// resource flagged meanwhile is moved and keeps its flag for its next lookup.
TEST(BalancingFaults, WhatChangesWhileTheCheckWaitsForTheLock) {
    static std::string hidden;
    const struct {
        const char* name;
        std::function<void(Overloaded&)> meanwhile;
        bool hideTarget, moved, dirty;
    } rows[] = {
        {"target switched off", [](Overloaded& r) { r.unmount(r.m1); }, false, false, false},
        {"flags unreadable", [](Overloaded& r) { mkdirs((r.repo / ".dirty").c_str(), 0755); },
         false, false, false},
        {"target place unqueryable", [](Overloaded&) {}, true, false, true},
        {"flagged meanwhile",
         [](Overloaded& r) { r.handler()->getDirtyFlags().setDirty("a", true); }, false, true,
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        Overloaded r;
        std::string a = r.old(r.m0, "a");
        pid_t holder = r.holdWhile("a", [&] { row.meanwhile(r); });
        ASSERT_GT(holder, 0);
        {
            ScopedSyscalls calls;
            hidden = row.hideTarget ? r.on(r.m1, "a") : "";
            calls.table().lstat = [](const char* p, struct stat* st) {
                return hidden == p ? (errno = EIO, -1) : ovsys::real().lstat(p, st);
            };
            checkOverload_(r.repo.id(), false);
        }
        EXPECT_EQ(waitForChild(holder), 0);
        EXPECT_EQ(present(a + "/f"), !row.moved) << "a stays where it is found";
        EXPECT_EQ(present(r.on(r.m1, "a") + "/f"), row.moved);
        if (std::filesystem::is_directory(r.repo / ".dirty"))
            std::filesystem::remove(r.repo / ".dirty");
        EXPECT_EQ(readFile(r.repo / ".dirty") == "a\n", row.dirty);
    }
}

// A resource whose move cannot mark it dirty (the dirty-flag lock stays busy) is given up: the
// check waits for that lock once, gives up after the time-out, and does not wait again in every
// later batch; the other resources cannot be marked for their moves either and stay where they are.
// A clearable repository with room ends the same way instead of trying to move again and again;
// the batch that met the refusal is the only one given up.
TEST(BalancingFaults, AResourceThatCannotBeMarkedDirtyIsTriedOnce) {
    for (bool clearable : {false, true}) {
        SCOPED_TRACE(clearable ? "clearable" : "not clearable");
        Overloaded r;
        if (clearable)
            r.repo.configure("mountPoints = m0\\m1\nlegacyDir = " + r.legacy +
                             "\nnomoveTimeSeconds = 1000\nisClearable = true\n");
        std::string x = r.old(r.m0, "x", 999999000); // the oldest of all
        r.make(r.m1, "x", "other");
        for (int i = 0; i < 101; ++i)
            r.old(r.m0, "r" + std::to_string(i));
        OVRepositoryHandler* handler = r.handler();
        ASSERT_FALSE(handler->getDirtyFlags().isDirty("x")); // read before its lock is taken
        OVSemaphore busy(resourceLockName(r.repo / ".dirty", ""), true);
        ASSERT_TRUE(busy.lock(1));
        std::string text = "The dirty mechanism \"" + r.repo / ".dirty" + "\" could not be locked.";
        EXPECT_EQ(withinSeconds(
                      20,
                      [&] {
                          SyslogCapture syslog;
                          ScopedSyscalls calls;
                          static long waited = 0; // µs, slept in pretence only
                          calls.table().nanosleep = [](const struct timespec* delay,
                                                       struct timespec*) {
                              return waited += delay->tv_sec * 1000000 + delay->tv_nsec / 1000, 0;
                          };
                          checkOverload_(r.repo.id(), false);
                          std::vector<std::string> said = syslog.messages();
                          bool logged = std::find(said.begin(), said.end(), text) != said.end();
                          bool oneGivenUp =
                              std::any_of(said.begin(), said.end(), [](const std::string& l) {
                                  const std::string tally = ": 0 moved (0 bytes), 0 deleted, 0 "
                                                            "skipped as used meanwhile, ";
                                  size_t at = l.find(tally);
                                  // One batch holds at most eight.
                                  return at != std::string::npos &&
                                         std::atoi(l.c_str() + at + tally.size()) <= 8;
                              });
                          return (waited >= 30000000 && waited < 31000000 ? 0 : 1) +
                                 (logged ? 0 : 2) + (oneGivenUp ? 0 : 4);
                      }),
                  0)
            << "the check ended after one wait of 30 s, logged, one batch given up";
        EXPECT_TRUE(present(x + "/f") && present(r.on(r.m0, "r100")) && !present(r.on(r.m1, "r0")));
    }
}

// A batch never waits for a lock while it holds others (a lookup of those would wait as long): b's
// lock is busy, so the batch that holds a is put in place first, while b's holder still runs.
TEST(BalancingFaults, ABatchIsCommittedBeforeItWaitsForALock) {
    Overloaded r;
    std::string a = r.old(r.m0, "a", 999999000); // the oldest
    r.old(r.m0, "b");
    pid_t holder = r.holdWhile("b", [&] {
        if (!present(r.on(r.m1, "a") + "/f") || present(a))
            _exit(3); // a's move waited for b's lock
    });
    ASSERT_GT(holder, 0);
    checkOverload_(r.repo.id(), false);
    EXPECT_EQ(waitForChild(holder), 0) << "a was moved while b's lock was held";
    EXPECT_TRUE(present(r.on(r.m1, "b") + "/f")) << "b follows once its lock is free";
}

// A clearable repository without room: the oldest resource lies on m1, which is switched off while
// the check waits for its lock. Deleting it there would free no room the check counts; it stays.
TEST(BalancingFaults, NoDeletionOnAMountSwitchedOffWhileWaitingForTheLock) {
    Overloaded r;
    r.clearableWithoutRoom();
    std::string oldest = r.old(r.m1, "oldest", 999999000);
    std::string next = r.old(r.m0, "next");
    // A check asked to stop deletes nothing (it would go on until a mount has room).
    ovstop::request(SIGTERM);
    checkOverload_(r.repo.id(), false);
    ovstop::reset();
    EXPECT_TRUE(present(oldest) && present(next) && getDeletedDirs_(r.repo.id())->empty());
    pid_t holder = r.holdWhile("oldest", [&] { r.unmount(r.m1); });
    ASSERT_GT(holder, 0);
    checkOverload_(r.repo.id(), false);
    EXPECT_EQ(waitForChild(holder), 0);
    EXPECT_TRUE(present(oldest + "/f"));
    EXPECT_FALSE(present(next)) << "the deleting goes on with the mounted mounts";
}

namespace {

// While set, renaming exactly this path away kills the process: the balancer dies after the
// verified copy took its name on the target and before the origin was taken away. Renaming
// failingRenameFrom away fails with EIO instead.
// From that failure on, an lstat of hiddenAfterFailure fails with EIO.
std::string dyingRenameFrom, failingRenameFrom, hiddenAfterFailure, hidden;
int failedRenames = 0;

int dyingRename(const char* from, const char* to) {
    if (dyingRenameFrom == from)
        raise(SIGKILL);
    if (failingRenameFrom == from) {
        ++failedRenames;
        hidden = hiddenAfterFailure;
        errno = EIO;
        return -1;
    }
    return ovsys::real().rename(from, to);
}

ovsys::Table beforeHiding;
int lstatHiding(const char* path, struct stat* st) {
    if (hidden == path) {
        errno = EIO;
        return -1;
    }
    return beforeHiding.lstat(path, st);
}

} // namespace

// A check killed between putting the copy in place and taking the origin away leaves two whole
// copies. The next lookup must settle them into one: a second copy that lingered unnoticed would
// be changed apart from the one served and later meet it as a conflict.
TEST(BalancingFaults, ACheckKilledBeforeTakingTheOriginAwayLeavesOneCopyAfterTheLookup) {
    Overloaded r;
    std::string a = r.make(r.m0, "a");
    writeFile(a + "/g", "more");
    setTimes(a, 1000000000);
    int result = runInChild([&] {
        ScopedSyscalls calls;
        dyingRenameFrom = a;
        calls.table().rename = dyingRename;
        checkOverload_(r.repo.id(), false);
        return 0;
    });
    ASSERT_EQ(result, -1) << "the check died at the rename of the origin";
    ASSERT_TRUE(present(a + "/f") && present(r.on(r.m1, "a") + "/g")) << "both copies whole";
    for (const auto& entry : std::filesystem::directory_iterator(getenv("LOCK_VAR")))
        std::filesystem::remove(entry.path()); // the dead check's locks, removed by the operator
    for (int round = 0; round < 2; ++round) {
        int status = -1;
        std::string location = r.lookUp("a", status);
        EXPECT_EQ(status, RES_OK) << "round " << round;
        EXPECT_EQ(readFile(location + "/f") + readFile(location + "/g"), "fmore");
    }
    EXPECT_FALSE(r.handler()->getDirtyFlags().isDirty("a"));
    EXPECT_NE(present(a), present(r.on(r.m1, "a"))) << "exactly one copy of a remains";

    // Taking the origin away fails after the copy took its name, and the check goes on: both
    // copies stay whole and flagged (also when the copy then cannot be looked at), and the
    // lookup settles them as well.
    for (const std::string id : {"b", "c"}) {
        SCOPED_TRACE(id);
        std::string origin = r.make(r.m0, id), copy = r.on(r.m1, id);
        writeFile(origin + "/g", "more");
        setTimes(origin, 1000000000);
        {
            ScopedSyscalls calls;
            failingRenameFrom = origin;
            hiddenAfterFailure = id == "c" ? copy : "";
            calls.table().rename = dyingRename;
            beforeHiding = calls.table();
            calls.table().lstat = lstatHiding;
            checkOverload_(r.repo.id(), false);
            failingRenameFrom.clear();
            hidden.clear();
        }
        ASSERT_EQ(failedRenames, id == "c" ? 2 : 1);
        ASSERT_TRUE(present(origin + "/f") && present(copy + "/g")) << "both copies whole";
        EXPECT_TRUE(r.handler()->getDirtyFlags().isDirty(id.c_str()));
        int status = -1;
        std::string location = r.lookUp(id.c_str(), status);
        EXPECT_EQ(status, RES_OK);
        EXPECT_EQ(readFile(location + "/f") + readFile(location + "/g"), "fmore");
        EXPECT_FALSE(r.handler()->getDirtyFlags().isDirty(id.c_str()));
        EXPECT_NE(present(origin), present(copy)) << "exactly one copy remains";
    }
}

// A clearable repository without room whose oldest resource cannot be deleted: it stays, flagged,
// so that the next lookup or check settles it before it is served.
TEST(BalancingFaults, AResourceWhoseDeletionFailsIsFlagged) {
    Overloaded r;
    r.clearableWithoutRoom();
    std::string oldest = r.old(r.m0, "oldest");
    {
        ScopedSyscalls calls;
        failingRenameFrom = oldest;
        calls.table().rename = dyingRename;
        checkOverload_(r.repo.id(), false);
        failingRenameFrom.clear();
    }
    EXPECT_TRUE(present(oldest + "/f") && r.handler()->getDirtyFlags().isDirty("oldest"));
}
