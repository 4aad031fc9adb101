#include "OVDirtyFlagHandler.h"
#include "OVException.h"
#include "OVSemaphore.h"
#include "RepositoryTestSupport.h"
#include "SharedRepository.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

// A repository directory, with lock files going to a directory of their own.
class DirtyFlags : public ::testing::Test {
protected:
    DirtyFlags() : lockVar("LOCK_VAR", locks.path().c_str()) {}

    void bind(OVDirtyFlagHandler& handler) { handler.setRepository(repo.path().c_str()); }
    std::string temporaryFile() const { return setFile + "." + writerTag(); }

    TempDir locks;
    ScopedEnv lockVar;
    TempDir repo;
    std::string setFile = repo / ".dirty";
};

void post(int fd) {
    char token = 'x';
    ASSERT_EQ(write(fd, &token, 1), 1);
}

void await(int fd) {
    char token;
    ASSERT_EQ(read(fd, &token, 1), 1);
}

} // namespace

TEST_F(DirtyFlags, KeepsOneSortedLinePerIdentifierAndNothingElse) {
    OVDirtyFlagHandler handler;
    bind(handler);
    EXPECT_EQ(handler.getSetFile(), setFile);
    EXPECT_FALSE(handler.isDirty("a"));
    handler.setDirty("b", false);
    EXPECT_TRUE(namesIn(repo.path()).empty()); // no file before the first change

    handler.setDirty("a", true);
    handler.setDirty("c", true);
    handler.setDirty("b", true);
    EXPECT_EQ(readFile(setFile), "a\nb\nc\n");
    handler.setDirty("b", false);
    EXPECT_EQ(readFile(setFile), "a\nc\n");
    EXPECT_TRUE(handler.isDirty("c"));
    EXPECT_FALSE(handler.isDirty("b"));
    // An identifier with a line feed would flag two others: refused, the file unchanged.
    EXPECT_FALSE(handler.setDirty("x\nc", true));
    EXPECT_EQ(readFile(setFile), "a\nc\n");
    // Several at once, as a batch of moves flags them: all or none.
    EXPECT_TRUE(handler.setDirty(std::vector<std::string>{"e", "d"}, true));
    EXPECT_EQ(readFile(setFile), "a\nc\nd\ne\n");
    EXPECT_FALSE(handler.setDirty(std::vector<std::string>{"f", "x\nc"}, true));
    EXPECT_TRUE(handler.setDirty(std::vector<std::string>{"d", "e", "z"}, false));
    EXPECT_EQ(readFile(setFile), "a\nc\n");

    EXPECT_EQ(namesIn(repo.path()), std::vector<std::string>{".dirty"}); // no temporary left
    EXPECT_TRUE(namesIn(locks.path()).empty());                          // every lock released
}

TEST_F(DirtyFlags, RewritesTheFileOnlyWhenTheSetChanges) {
    OVDirtyFlagHandler handler;
    bind(handler);
    handler.setDirty("a", true);
    struct stat before = statOf(setFile);
    handler.setDirty("a", true);
    handler.setDirty("z", false);
    handler.setDirty(std::vector<std::string>{"a", "a"}, true);
    handler.setDirty(std::vector<std::string>{}, false);
    struct stat after = statOf(setFile);
    EXPECT_EQ(after.st_ino, before.st_ino); // a rewrite would have put a new file in place
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    handler.clearDirtySet();
    EXPECT_EQ(namesIn(repo.path()), std::vector<std::string>{".dirty"});
    EXPECT_EQ(statOf(setFile).st_size, 0);
    EXPECT_FALSE(handler.isDirty("a"));
}

TEST_F(DirtyFlags, ReadsWholeLinesOfAnyLength) {
    std::string longId(1500, 'x');
    writeFile(setFile, "a\n\n" + longId + "\nlast");
    OVDirtyFlagHandler handler;
    bind(handler);
    EXPECT_TRUE(handler.isDirty("a"));
    EXPECT_TRUE(handler.isDirty("")); // an empty line is the empty identifier
    EXPECT_TRUE(handler.isDirty("last"));
    EXPECT_TRUE(handler.isDirty(longId.c_str()));
    EXPECT_FALSE(handler.isDirty(longId.substr(0, 1023).c_str()));

    handler.setDirty("b", true);
    EXPECT_EQ(readFile(setFile), "\na\nb\nlast\n" + longId + "\n");
    OVDirtyFlagHandler reader;
    bind(reader);
    EXPECT_TRUE(reader.isDirty(longId.c_str()));
}

TEST_F(DirtyFlags, ProcessesSeeAndKeepEachOthersChanges) {
    OVDirtyFlagHandler mine;
    bind(mine);
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe(toChild), 0);
    ASSERT_EQ(pipe(toParent), 0);
    pid_t child = startChild([&] {
        close(toChild[1]); // a parent that dies ends the wait below instead of hanging it
        OVDirtyFlagHandler theirs;
        bind(theirs);
        post(toParent[1]);
        await(toChild[0]); // the parent marks "a" meanwhile
        theirs.setDirty("b", true);
        return theirs.isDirty("a") ? 0 : 1;
    });
    await(toParent[0]);
    EXPECT_NO_THROW(mine.setDirty("a", true));
    post(toChild[1]);
    EXPECT_EQ(waitForChild(child), 0); // the child saw "a"
    for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]})
        close(fd);
    EXPECT_EQ(readFile(setFile), "a\nb\n");
    EXPECT_TRUE(mine.isDirty("b"));

    // A flag cleared elsewhere reads as clean here.
    EXPECT_EQ(runInChild([&] {
                  OVDirtyFlagHandler theirs;
                  bind(theirs);
                  theirs.setDirty("a", false);
                  return 0;
              }),
              0);
    EXPECT_FALSE(mine.isDirty("a"));
    EXPECT_TRUE(mine.isDirty("b"));
    // A set file removed elsewhere leaves no flag here.
    ASSERT_EQ(unlink(setFile.c_str()), 0);
    EXPECT_FALSE(mine.isDirty("b"));
}

namespace {

// The failing call of a row of the fault table, with its errno, on one path (empty: any).
struct Fault {
    std::string call, path;
    int error;
} fault;

bool failing(const char* call, const char* path = "") {
    if (fault.call != call || (*path != '\0' && fault.path != path))
        return false;
    errno = fault.error;
    if (fault.error == EINTR)
        fault.call.clear(); // an interrupted call goes through when it is made again
    return true;
}

const ovsys::Table& real = ovsys::real();

void injectFaults(ovsys::Table& t) {
    t.stat = [](const char* p, struct stat* s) {
        return failing("stat", p) ? -1 : real.stat(p, s);
    };
    t.open = [](const char* p, int f, mode_t m) {
        return failing("open", p) ? -1 : real.open(p, f, m);
    };
    t.read = [](int fd, void* b, size_t n) { return failing("read") ? -1 : real.read(fd, b, n); };
    t.write = [](int fd, const void* b, size_t n) {
        return failing("write") ? -1 : real.write(fd, b, n);
    };
    t.rename = [](const char* a, const char* b) {
        return failing("rename") ? -1 : real.rename(a, b);
    };
    t.fsync = [](int fd) { return failing("fsync") ? -1 : real.fsync(fd); };
}

std::vector<std::string> callsSeen;

int sleeps = 0;

} // namespace

// A lock left by a holder that died: reading needs none, a change waits for it once per call.
TEST_F(DirtyFlags, BusyLockIsWaitedForOncePerCallAndChangesNothing) {
    SyslogCapture syslog;
    ScopedSyscalls calls;
    calls.table().nanosleep = [](const struct timespec*, struct timespec*) { return ++sleeps, 0; };
    OVDirtyFlagHandler handler;
    bind(handler);
    writeFile(setFile, "x\n"); // another writer, after the handler looked

    std::string name = "OVRepositoryHandler-" + repo.path() + "/.dirty-";
    std::replace(name.begin(), name.end(), '/', '_');
    OVSemaphore held(name, true);
    ASSERT_TRUE(held.lock(30));
    EXPECT_FALSE(handler.isDirty("y") || !handler.isDirty("x")); // read without the lock
    EXPECT_FALSE(handler.setDirty("y", true));
    int oneWait = sleeps;
    EXPECT_FALSE(handler.clearDirtySet());
    EXPECT_TRUE(oneWait > 0 && sleeps == oneWait); // no second wait within the call
    OVDirtyFlagHandler late;
    bind(late);
    EXPECT_EQ(readFile(setFile), "x\n");
    std::string message = "The dirty mechanism \"" + setFile + "\" could not be locked.";
    EXPECT_EQ(syslog.messages(), std::vector<std::string>(2, message));

    held.unlock();
    EXPECT_FALSE(handler.isDirty("y"));
    EXPECT_TRUE(late.isDirty("x"));

    // A file unchanged since it was read is answered for without the lock.
    syslog.clear();
    ASSERT_TRUE(held.lock(30));
    EXPECT_TRUE(handler.isDirty("x"));
    EXPECT_FALSE(handler.isDirty("y"));
    EXPECT_TRUE(syslog.messages().empty());
    handler.beginCall();
    EXPECT_FALSE(handler.setDirty("y", true));
    EXPECT_GT(sleeps, oneWait); // a new call waits again
}

// Whatever call fails on the set file, nothing throws: a failed read makes every flag count as
// set, a failed change reports false and leaves the flags as stored, and each failure is logged
// once with the path (".dirty" or the temporary) and the failing call's errno.
TEST_F(DirtyFlags, FailuresNeverThrowAndLeaveTheFlagsAsStored) {
    {
        OVDirtyFlagHandler handler; // null arguments are a caller's bug, not I/O: they still throw
        EXPECT_THROW(handler.setRepository(nullptr), OVAssertionException);
        bind(handler);
        EXPECT_THROW(handler.isDirty(nullptr), OVAssertionException);
        EXPECT_THROW(handler.setDirty(nullptr, true), OVAssertionException);
    }
    // call, errno, whether on the temporary; which operations fail: bind, isDirty, set, clear.
    const std::tuple<const char*, int, bool, const char*> rows[] = {
        {"stat", EIO, false, "yyyy"},    {"stat", EACCES, false, "yyyy"},
        {"open", EACCES, false, "yyyn"}, {"open", EIO, false, "yyyn"},
        {"read", EIO, false, "yyyn"},    {"open", EACCES, true, "nnyy"},
        {"open", ENOSPC, true, "nnyy"},  {"write", ENOSPC, true, "nnyn"},
        {"write", EIO, true, "nnyn"},    {"rename", EACCES, false, "nnyy"},
        {"rename", EIO, false, "nnyy"},  {"fsync", EIO, true, "nnyy"}, // clearing writes no byte
        {"read", EINTR, false, "nnnn"},  {"write", EINTR, true, "nnnn"}};
    for (const auto& [call, error, temporary, failing] : rows)
        for (int op = 0; op < 4; ++op) {
            std::string row = std::string(call) + " " + std::to_string(error) + " " +
                              std::to_string(temporary) + ", operation " + std::to_string(op);
            bool fails = failing[op] == 'y';
            writeFile(setFile, "a\n");
            OVDirtyFlagHandler handler;
            if (op != 0)
                bind(handler);
            writeFile(setFile, "a\nb\n"); // by another writer: the handler must read it
            fault = {call, temporary ? temporaryFile() : setFile, error};
            SyslogCapture syslog;
            {
                ScopedSyscalls calls;
                injectFaults(calls.table());
                bool answer = op == 0   ? (bind(handler), fails)
                              : op == 1 ? handler.isDirty("c")
                              : op == 2 ? !handler.setDirty("c", true)
                                        : !handler.clearDirtySet();
                EXPECT_EQ(answer, fails) << row;
                EXPECT_EQ(handler.lastAnswerCertain(), op != 1 || !fails) << row;
            }
            std::vector<std::string> log = syslog.messages();
            std::string said = "\"" + fault.path + "\" could not be ";
            EXPECT_TRUE(fails
                            ? log.size() == 1 && log[0].find(said) != said.npos &&
                                  log[0].find("rror code is " + std::to_string(error)) != said.npos
                            : log.empty())
                << row << ": " << ::testing::PrintToString(log);
            if (fails || op < 2) {
                EXPECT_EQ(readFile(setFile), "a\nb\n") << row;
                EXPECT_TRUE(handler.isDirty("b") && !handler.isDirty("c")) << row;
            } else if (op == 2) { // set, the interrupted call made again
                EXPECT_EQ(readFile(setFile), "a\nb\nc\n") << row;
            }
            EXPECT_EQ(namesIn(repo.path()), std::vector<std::string>{".dirty"}) << row;
            EXPECT_TRUE(namesIn(locks.path()).empty()) << row;
        }
    // A set file absent when last read that now cannot be tested may have been written meanwhile.
    ASSERT_EQ(unlink(setFile.c_str()), 0);
    OVDirtyFlagHandler handler;
    bind(handler);
    EXPECT_FALSE(handler.isDirty("c"));
    fault = {"stat", setFile, EIO};
    SyslogCapture syslog;
    ScopedSyscalls calls;
    injectFaults(calls.table());
    EXPECT_TRUE(handler.isDirty("c") && !handler.lastAnswerCertain());
    EXPECT_EQ(syslog.messages(), std::vector<std::string>{"The dirty mechanism \"" + setFile +
                                                          "\" could not be read. Error code is 5; "
                                                          "\"c\" counts as dirty."});
}

// A crash right after the rename must find the new set on disk: the temporary is flushed while it
// still has its own name, then renamed over the set file, for a change and for clearing alike.
TEST_F(DirtyFlags, TheTemporaryIsFlushedBeforeItReplacesTheSetFile) {
    for (int op = 0; op < 2; ++op) {
        writeFile(setFile, "a\n");
        OVDirtyFlagHandler handler;
        bind(handler);
        callsSeen.clear();
        {
            ScopedSyscalls calls;
            calls.table().fsync = [](int fd) {
                callsSeen.push_back("fsync " + pathOfFd(fd));
                return real.fsync(fd);
            };
            calls.table().rename = [](const char* from, const char* to) {
                callsSeen.push_back(std::string("rename ") + from + " " + to);
                return real.rename(from, to);
            };
            EXPECT_TRUE(op == 0 ? handler.setDirty("b", true) : handler.clearDirtySet()) << op;
        }
        std::vector<std::string> expected = {"fsync " + temporaryFile(),
                                             "rename " + temporaryFile() + " " + setFile};
        EXPECT_EQ(callsSeen, expected) << op;
        EXPECT_EQ(readFile(setFile), op == 0 ? "a\nb\n" : "") << op;
    }
}

TEST_F(DirtyFlags, ANewSetFileKeepsModeAndOwnerOfTheOldOne) {
    // The repository belongs to the application's user; writers run as root with umask 077.
    ASSERT_EQ(chown(repo.path().c_str(), 1234, 1235), 0);
    ASSERT_EQ(chmod(repo.path().c_str(), 0770), 0);
    ASSERT_EQ(chmod(locks.path().c_str(), 0777), 0);
    auto writeAs = [&](uid_t user, gid_t group, const char* id) {
        return runInChild([&] {
            umask(077);
            gid_t shared = 1235; // the repository's group, a supplementary one of the writer
            if (group != 0 &&
                (setgroups(1, &shared) != 0 || setgid(group) != 0 || setuid(user) != 0))
                return 2;
            OVDirtyFlagHandler handler;
            bind(handler);
            handler.setDirty(id, true);
            return handler.isDirty(id) ? 0 : 1;
        });
    };
    ASSERT_EQ(writeAs(0, 0, "a"), 0);
    struct stat st = statOf(setFile); // a first file: the directory's owner, its read/write bits
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 1235u);
    EXPECT_EQ(st.st_mode & 07777, 0660u);

    ASSERT_EQ(chmod(setFile.c_str(), 0644), 0);
    ASSERT_EQ(writeAs(0, 0, "b"), 0);
    st = statOf(setFile);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 1235u);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(readFile(setFile), "a\nb\n");

    // Another user of the group may not give the file away, but keeps its group and mode.
    ASSERT_EQ(chmod(setFile.c_str(), 0664), 0);
    ASSERT_EQ(writeAs(1236, 1237, "c"), 0);
    st = statOf(setFile);
    EXPECT_EQ(st.st_uid, 1236u);
    EXPECT_EQ(st.st_gid, 1235u);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(readFile(setFile), "a\nb\nc\n");
}

// Only this host's process ids are asked; another host's temporary goes only when it is a day
// old, and one named by a process id alone was written here before hosts were named.
TEST_F(DirtyFlags, TemporariesOfWritersThatDiedAreRemoved) {
    ScopedEnv host("ORVANE_HOST", "here");
    pid_t dead = startChild([] { return 0; });
    ASSERT_EQ(waitForChild(dead), 0);
    int toChild[2];
    ASSERT_EQ(pipe(toChild), 0);
    pid_t alive = startChild([&] {
        close(toChild[1]);
        char token;
        return static_cast<int>(read(toChild[0], &token, 1)); // waits for the end of the test
    });
    close(toChild[0]);
    std::string deadPid = std::to_string(dead), livePid = std::to_string(alive);
    const long day = kForeignLeftoverSeconds;
    const struct {
        std::string suffix;
        long age;
        bool removed;
    } rows[] = {
        {deadPid, 0, true},                        // the earlier form: this host's
        {livePid, 0, false},                       //
        {"here-" + deadPid, 0, true},              // this host's, its writer gone
        {"here-" + livePid, 0, false},             // this host's, its writer running
        {"there-" + deadPid, 0, false},            // another host: no pid is asked
        {"there-" + livePid, day - 60, false},     // nor is a temporary of a day removed
        {"other.host-" + livePid, day + 60, true}, // but one older than a day
        {"x1", day + 60, false},                   // no writer tag: not the library's
        {"1x", 0, false},                          //
        {"-5", day + 60, false},                   //
        {"here-", day + 60, false},                //
    };
    std::vector<std::string> left = {".dirty"};
    for (const auto& row : rows) {
        std::string file = setFile + "." + row.suffix;
        writeFile(file, "left over\n");
        struct timespec times[2] = {{time(nullptr) - row.age, 0}, {time(nullptr) - row.age, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        if (!row.removed)
            left.push_back(".dirty." + row.suffix);
    }
    std::sort(left.begin(), left.end());

    OVDirtyFlagHandler handler;
    bind(handler);
    handler.setDirty("a", true);
    EXPECT_EQ(namesIn(repo.path()), left);
    close(toChild[1]);
    waitForChild(alive);
}
